#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "core/read.h"
#include "core/tree.h"
#include "support.h"

using namespace tallmap;

namespace {

std::vector<FolderId> kids(const Tree& t, FolderId id) {
  auto s = children(t, id);
  return {s.begin(), s.end()};
}

}  // namespace

TEST(TreeModel, FolderIsExactly24Bytes) { EXPECT_EQ(sizeof(Folder), 24u); }

TEST(TreeModel, RootOnly) {
  auto t = make_tree({{NO_PARENT, "/data", 4096}});
  EXPECT_EQ(size(*t, 0), 4096u);
  EXPECT_TRUE(children(*t, 0).empty());
  EXPECT_EQ(path(*t, 0), "/data");
  EXPECT_EQ(t->relative_path_bytes(0), "");
}

TEST(TreeModel, TotalsAndPartialPropagation) {
  // 0 root
  // ├─ 1 a (own 10)
  // │  └─ 3 deep (DENIED, own 5)
  // ├─ 2 b (own 20)
  // │  └─ 4 mnt (OTHER_DEVICE)
  // └─ 5 gone (GONE)
  auto t = make_tree({{NO_PARENT, "r", 1},
                      {0, "a", 10},
                      {0, "b", 20},
                      {1, "deep", 5, DENIED, 13},
                      {2, "mnt", 0, OTHER_DEVICE},
                      {0, "gone", 0, GONE}});
  EXPECT_EQ(size(*t, 0), 36u);
  EXPECT_EQ(size(*t, 1), 15u);
  EXPECT_EQ(size(*t, 2), 20u);
  EXPECT_TRUE(partial(*t, 0));
  EXPECT_TRUE(partial(*t, 1));
  EXPECT_FALSE(partial(*t, 2)) << "another device does not make a parent partial";
  EXPECT_FALSE(partial(*t, 3)) << "a denied folder is not partial itself";
  EXPECT_TRUE(denied(*t, 3));
  EXPECT_TRUE(other_device(*t, 4));
  EXPECT_EQ(kids(*t, 0), (std::vector<FolderId>{1, 2}));
  EXPECT_TRUE(children(*t, 4).empty());
  EXPECT_TRUE(check_ref(*t, {5, 0}).has_value());
}

TEST(TreeModel, PartialPropagatesThroughEveryAncestor) {
  auto t = make_tree({{NO_PARENT, "r", 0}, {0, "a", 0}, {1, "b", 0}, {2, "c", 0},
                      {3, "x", 0, DENIED, 1}});
  for (FolderId id : {0u, 1u, 2u, 3u}) EXPECT_TRUE(partial(*t, id)) << id;
  EXPECT_EQ(error(*t, 4), "EPERM");
}

TEST(TreeModel, StoredPartialBitIsHonoured) {
  auto t = make_tree({{NO_PARENT, "r", 0}, {0, "a", 0, PARTIAL}});
  EXPECT_TRUE(partial(*t, 1));
  EXPECT_TRUE(partial(*t, 0));
}

TEST(TreeModel, ErrorText) {
  struct Case {
    uint8_t flags;
    uint16_t errnum;
    std::optional<std::string> want;
  } cases[] = {
      {DENIED, 13, "EACCES"},
      {DENIED, 1, "EPERM"},
      {DENIED, 2, "errno 2"},
      {DENIED, 24, "errno 24"},
      {OTHER_DEVICE | PARTIAL, 0, std::nullopt},
      {0, 13, std::nullopt},
  };
  for (const Case& c : cases) {
    Folder f;
    f.flags = c.flags;
    f.errnum = c.errnum;
    EXPECT_EQ(error_text(f), c.want) << int(c.flags) << " " << c.errnum;
  }
}

TEST(TreeModel, PathSeparators) {
  struct Case {
    const char* root;
    const char* want_child;
  } cases[] = {{"/", "/usr/lib"}, {"/home/a/", "/home/a/usr/lib"}, {"rel", "rel/usr/lib"},
               {"/x", "/x/usr/lib"}};
  for (const Case& c : cases) {
    auto t = make_tree({{NO_PARENT, c.root, 0}, {0, "usr", 0}, {1, "lib", 0}});
    EXPECT_EQ(path(*t, 2), c.want_child);
    EXPECT_EQ(path(*t, 0), c.root);
    EXPECT_EQ(t->relative_path_bytes(2), "usr/lib");
  }
}

TEST(TreeModel, NonUtf8NamesAreKeptByteForByte) {
  std::string odd = "bad\xff\xfe\nname";
  auto t = make_tree({{NO_PARENT, "/r", 0}, {0, odd.c_str(), 0}});
  EXPECT_EQ(name(*t, 1), odd);
  EXPECT_EQ(path(*t, 1), "/r/" + odd);
}

TEST(TreeModel, PruneGoneDropsSubtreeLinksAndLargeFiles) {
  TreeBuilder b("/r");
  const FolderId parents[] = {0, 0, 1, 2, 0};
  for (FolderId i = 1; i < 5; i++) b.add(parents[i], "n" + std::to_string(i), 100);
  b.folders[1].flags = GONE;
  b.folders[1].own = 0;
  b.links[{1, 10}] = 3;
  b.links[{1, 11}] = 4;
  b.files = {{500, 3, "big"}, {400, 4, "kept"}, {300, 2, "also"}};
  b.reclaimable = {7, 7, 7, 7, 7};
  auto t = b.build();
  t->prune_gone();
  for (FolderId id : {2u, 3u}) {
    EXPECT_EQ(t->folder(id).flags, GONE);
    EXPECT_EQ(t->folder(id).own, 0u);
    EXPECT_EQ(t->reclaimable()[id], 0u);
  }
  EXPECT_EQ(t->folder(3).parent, 2u) << "parent, name and ino stay";
  EXPECT_EQ(t->folder(4).flags, 0);
  EXPECT_EQ(t->links().size(), 1u);
  EXPECT_EQ(t->links().count({1, 11}), 1u);
  ASSERT_EQ(t->largest_files().size(), 1u);
  EXPECT_EQ(t->largest_files()[0].name, "kept");
  t->reset_index();
  EXPECT_EQ(kids(*t, 0), (std::vector<FolderId>{4}));
  EXPECT_EQ(size(*t, 0), 100u);
}

TEST(TreeModel, CopyKeepsStampAndSharesNames) {
  auto t = make_tree({{NO_PARENT, "/r", 1}, {0, "a", 2}}, {}, true);
  auto c = t->copy();
  EXPECT_EQ(c->stamp(), t->stamp());
  EXPECT_TRUE(c->stopped());
  EXPECT_EQ(c->names(), t->names());
  c->mutable_folders()[1].own = 50;
  c->reset_index();
  EXPECT_EQ(size(*c, 0), 51u);
  EXPECT_EQ(size(*t, 0), 3u);
}

TEST(TreeModel, AppendFolderExtendsReclaimable) {
  TreeBuilder b("/r");
  b.reclaimable = {9};
  auto t = b.build();
  Folder f;
  f.parent = 0;
  f.flags = OTHER_DEVICE;
  f.name = *b.names->append("mnt");
  EXPECT_EQ(t->append_folder(f), 1u);
  EXPECT_EQ(t->reclaimable(), (std::vector<uint64_t>{9, 0}));
}

TEST(TreeModel, StampsAreDistinctAndIncreasing) {
  uint32_t a = next_stamp(), b = next_stamp();
  EXPECT_GT(a, 0u);
  EXPECT_GT(b, a);
}

TEST(NameStore, ConcurrentAppendsAreAllReadable) {
  NameStore store;
  constexpr int THREADS = 4, PER = 20000;
  std::vector<std::vector<NameId>> ids(THREADS);
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; t++) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < PER; i++)
        ids[t].push_back(*store.append("t" + std::to_string(t) + "-" + std::to_string(i)));
    });
  }
  for (auto& th : threads) th.join();
  std::set<NameId> seen;
  for (int t = 0; t < THREADS; t++) {
    for (int i = 0; i < PER; i++) {
      NameId id = ids[t][i];
      EXPECT_TRUE(seen.insert(id).second);
      ASSERT_EQ(store.get(id), "t" + std::to_string(t) + "-" + std::to_string(i));
    }
  }
  EXPECT_EQ(*std::max_element(seen.begin(), seen.end()), NameId(THREADS * PER - 1));
}

TEST(NameStore, LongAndEmptyNames) {
  NameStore store;
  std::string big(200000, 'x');
  NameId a = *store.append(big);
  NameId b = *store.append("");
  NameId c = *store.append("after");
  EXPECT_EQ(store.get(a), big);
  EXPECT_EQ(store.get(b), "");
  EXPECT_EQ(store.get(c), "after");
}

TEST(Queries, CheckRef) {
  auto t = make_tree({{NO_PARENT, "/r", 0}, {0, "a", 0}, {0, "g", 0, GONE}});
  auto other = make_tree({{NO_PARENT, "/r", 0}, {0, "a", 0}});
  EXPECT_EQ(check_ref(*t, {1, 0}), std::nullopt);
  EXPECT_EQ(check_ref(*t, {1, t->stamp()}), std::nullopt);
  EXPECT_EQ(check_ref(*t, {1, other->stamp()}), "folder id 1 is from another tree");
  EXPECT_EQ(check_ref(*t, {3, 0}), "no folder 3 in this tree");
  EXPECT_EQ(check_ref(*t, {2, 0}), "no folder 2 in this tree");
}

TEST(Queries, ChildrenBySizeBreaksTiesByNameBytes) {
  auto t = make_tree({{NO_PARENT, "/r", 0}, {0, "b", 5}, {0, "ab", 5}, {0, "a", 5},
                      {0, "big", 9}, {0, "A", 5}});
  std::vector<std::string> got;
  for (FolderId id : children_by_size(*t, 0)) got.emplace_back(name(*t, id));
  EXPECT_EQ(got, (std::vector<std::string>{"big", "A", "a", "ab", "b"}));
}

TEST(Queries, ChildrenBySizeLongList) {
  std::vector<TreeRow> rows = {{NO_PARENT, "/r", 0}};
  for (int i = 0; i < 50; i++) rows.push_back({0, "n" + std::to_string(i), uint64_t((i * 7) % 13)});
  auto t = make_tree(rows);
  auto order = children_by_size(*t, 0);
  ASSERT_EQ(order.size(), 50u);
  for (size_t i = 1; i < order.size(); i++) {
    uint64_t a = size(*t, order[i - 1]), b = size(*t, order[i]);
    EXPECT_TRUE(a > b || (a == b && name(*t, order[i - 1]) < name(*t, order[i])));
  }
}

TEST(Queries, Find) {
  auto t = make_tree({{NO_PARENT, "/home/a", 0}, {0, "x", 0}, {1, "y", 0}, {0, "y", 0}});
  struct Case {
    const char* path;
    std::optional<FolderId> want;
  } cases[] = {
      {"", 0},
      {".", 0},
      {"/home/a", 0},
      {"/home/a/", 0},
      {"//home//a//", 0},
      {"/home/a/x/y", 2},
      {"/home/ab", std::nullopt},
      {"/home", std::nullopt},
      {"/elsewhere/x", std::nullopt},
      {"x", 1},
      {"x/./y", 2},
      {"x/../y", std::nullopt},
      {"y", 3},
      {"x/z", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(find(*t, c.path), c.want) << c.path;
}

TEST(Queries, FindBelowSlashRoot) {
  auto t = make_tree({{NO_PARENT, "/", 0}, {0, "usr", 0}, {1, "lib", 0}});
  EXPECT_EQ(find(*t, "/usr/lib"), 2u);
  EXPECT_EQ(find(*t, "/"), 0u);
}

TEST(Queries, FindMatchesSpecialRootComponentsLiterally) {
  auto t = make_tree({{NO_PARENT, "/srv/./data/..", 0}, {0, "x", 0}});
  EXPECT_EQ(find(*t, path(*t, 1)), 1u);
  EXPECT_EQ(find(*t, "/srv/./data/../"), 0u);
  EXPECT_EQ(find(*t, "/srv/x"), std::nullopt) << "components are compared, not resolved";
}

TEST(Queries, LargestFiles) {
  auto t = make_tree({{NO_PARENT, "/r/", 0}, {0, "b", 0}, {0, "a", 0}},
                     {{10, 1, "x"}, {30, 2, "y"}, {10, 2, "x"}, {20, 0, "top"}});
  EXPECT_TRUE(largest_files(*t, 0).empty());
  auto all = largest_files(*t, 5000);
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0].path, "/r/a/y");
  EXPECT_EQ(all[1].path, "/r/top");
  EXPECT_EQ(all[2].path, "/r/a/x") << "equal sizes come in path order";
  EXPECT_EQ(all[3].path, "/r/b/x");
  EXPECT_EQ(largest_files(*t, 2).size(), 2u);
}

class FilesQuery : public ::testing::Test {
 protected:
  void SetUp() override {
    tmp_.dir("sub");
    tmp_.file("sub/a", 10000);
    tmp_.file("sub/empty", 0);
    tmp_.dir("sub/inner");
    tmp_.symlink("sub/link", "a");
  }
  TempDir tmp_;
  const std::string root_ = tmp_.path;
};

TEST_F(FilesQuery, ListsNonFoldersWithAllocatedSizes) {
  auto t = make_tree({{NO_PARENT, root_.c_str(), 0}, {0, "sub", 0}, {0, "mnt", 0, OTHER_DEVICE}});
  auto listed = files(*t, 1);
  ASSERT_TRUE(listed.ok()) << listed.error().text;
  std::map<std::string, uint64_t> got;
  for (auto& e : *listed) got[e.name] = e.size;
  std::map<std::string, uint64_t> want = {{"a", tmp_.blocks("sub/a")},
                                          {"empty", 0},
                                          {"link", tmp_.blocks("sub/link")}};
  EXPECT_EQ(got, want);
  EXPECT_GT(got["a"], 0u);
  auto none = files(*t, 2);
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->empty());
  auto at_root = files(*t, 0);
  ASSERT_TRUE(at_root.ok());
  EXPECT_TRUE(at_root->empty()) << "the root holds only a folder";
}

TEST_F(FilesQuery, DeletedFolderFailsWithEnoent) {
  auto t = make_tree({{NO_PARENT, root_.c_str(), 0}, {0, "sub", 0}});
  std::filesystem::remove_all(root_ + "/sub");
  auto listed = files(*t, 1);
  ASSERT_FALSE(listed.ok());
  EXPECT_EQ(listed.error().code, ENOENT);
  EXPECT_EQ(listed.error().text, std::string(strerror(ENOENT)) + " (os error 2)");
}

TEST_F(FilesQuery, FolderReplacedBySymlinkIsNotFollowed) {
  auto t = make_tree({{NO_PARENT, root_.c_str(), 0}, {0, "sub", 0}, {0, "other", 0}});
  std::filesystem::rename(root_ + "/sub", root_ + "/moved");
  symlink("moved", (root_ + "/sub").c_str());
  auto listed = files(*t, 1);
  ASSERT_FALSE(listed.ok());
  EXPECT_TRUE(listed.error().code == ELOOP || listed.error().code == ENOTDIR)
      << listed.error().code;
}

TEST_F(FilesQuery, FolderOnTheWayReplacedBySymlinkIsNotFollowed) {
  tmp_.dir("elsewhere/inner");
  tmp_.file("elsewhere/inner/secret", 5000);
  auto t = make_tree({{NO_PARENT, root_.c_str(), 0}, {0, "sub", 0}, {1, "inner", 0}});
  std::filesystem::rename(root_ + "/sub", root_ + "/moved");
  symlink("elsewhere", (root_ + "/sub").c_str());
  auto listed = files(*t, 2);
  ASSERT_FALSE(listed.ok()) << "listed " << listed->size() << " entries through the link";
  EXPECT_TRUE(listed.error().code == ELOOP || listed.error().code == ENOTDIR)
      << listed.error().code;
}
