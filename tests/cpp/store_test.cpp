#include "core/store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/report.h"
#include "support.h"

namespace fs = std::filesystem;
using namespace tallmap;

namespace {

// root "x-root" with children a (1) and bc (2, denied), a/d\xff (3); inos 11 to 14.
std::shared_ptr<Tree> small_tree(bool stopped = true, std::vector<uint64_t> reclaim = {},
                                 std::string root = "x-root") {
  TreeBuilder b(root, 100);
  b.add(0, "a", 200);
  b.add(0, "bc", 0, DENIED, 13);
  b.add(1, "d\xff", 300);
  for (FolderId id = 0; id < b.folders.size(); id++) b.folders[id].ino = 11 + id;
  b.files = {{5000, 1, "big.iso"}, {4000, 3, "z"}};
  b.reclaimable = std::move(reclaim);
  return b.build(stopped);
}

// Little-endian writers of the test's own, independent of the store's.
struct Builder {
  Bytes b;
  void u8(uint8_t v) { b.push_back(v); }
  void u16(uint16_t v) { u8(v & 0xff), u8(v >> 8); }
  void u32(uint32_t v) {
    for (int i = 0; i < 4; i++) u8(uint8_t(v >> (8 * i)));
  }
  void i32(int32_t v) { u32(uint32_t(v)); }
  void u64(uint64_t v) {
    for (int i = 0; i < 8; i++) u8(uint8_t(v >> (8 * i)));
  }
  void str(std::string_view s) { b.insert(b.end(), s.begin(), s.end()); }
  void zeros(size_t n) { b.insert(b.end(), n, 0); }
};

uint32_t zcrc(const Bytes& b, size_t n) { return uint32_t(crc32(0, b.data(), uInt(n))); }

Bytes image_of(const Tree& t, std::string_view path = "/data/x", bool flag = false) {
  auto r = serialize_scan(t, path, flag);
  EXPECT_TRUE(r.ok());
  return r.ok() ? *r : Bytes{};
}

bool accepted(const Bytes& b) { return check_scan(b).has_value(); }

// Where the cache keeps the scan (".scan") or the picks (".picks") of `root`.
std::string cache_file(const std::string& cache, const std::string& root, const char* ending) {
  return join_path(cache, scan_key(root)->key + ending);
}

// Layout of image_of(small_tree()), worked out by hand:
//   0 header, 8 path (7) + pad, 16 folders (4 x 24), 112 names (5) + pad,
//   120 name_ends (4 x 4), 136 large-file names (7 + 1), 144 entries
//   (2 x 24), 192 reclaimable (none), 192 root record, 240 CRC, 244 end.
constexpr size_t ROOT = 192;

}  // namespace

// ---- File format --------------------------------------------------------------

TEST(StoreFormat, ByteExactImage) {
  Builder x;
  x.str("TMAP");
  x.u8(7);
  x.u8(2);  // stopped, no reclaimable
  x.u16(0);
  x.str("/data/x");
  x.zeros(1);
  auto folder = [&](uint32_t parent, uint32_t name, uint8_t flags, uint16_t err, uint32_t ino,
                    uint64_t own) {
    x.u32(parent), x.u32(name), x.u8(flags), x.u8(0), x.u16(err), x.u32(ino), x.u64(own);
  };
  folder(0xFFFFFFFF, 0, 0, 0, 11, 100);
  folder(0, 1, 0, 0, 12, 200);
  folder(0, 2, 1, 13, 13, 0);
  folder(1, 3, 0, 0, 14, 300);
  x.str("abcd\xff");
  x.zeros(3);
  for (uint32_t e : {0, 1, 3, 5}) x.u32(e);
  x.str("big.iso");
  x.str("z");
  // Entry 0 at 144 names byte 136; entry 1 at 168 names byte 143.
  x.u64(5000), x.u32(1), x.i32(136 - 156), x.u32(7), x.u32(0);
  x.u64(4000), x.u32(3), x.i32(143 - 180), x.u32(1), x.u32(0);
  ASSERT_EQ(x.b.size(), ROOT);
  const std::pair<size_t, uint32_t> arrays[] = {{8, 7}, {16, 4}, {112, 5}, {120, 4}, {144, 2}, {192, 0}};
  for (size_t k = 0; k < 6; k++) {
    x.i32(int32_t(arrays[k].first) - int32_t(ROOT + 8 * k));
    x.u32(arrays[k].second);
  }
  x.u32(zcrc(x.b, x.b.size()));

  Bytes got = image_of(*small_tree());
  EXPECT_EQ(got, x.b);
  EXPECT_TRUE(accepted(got));
}

TEST(StoreFormat, HeaderFlagsAndReclaimableArray) {
  Bytes plain = image_of(*small_tree(false), "/d", true);
  EXPECT_EQ(plain[5], 1);  // reclaimable flag, not stopped

  // A shorter in-memory vector is written as one entry per folder.
  auto t = small_tree(false, {7, 8});
  Bytes b = image_of(*t, "/d");
  auto root = check_scan(b);
  ASSERT_TRUE(root);
  ASSERT_EQ(root->reclaimable_count(), 4u);
  EXPECT_EQ(root->reclaimable(0), 7u);
  EXPECT_EQ(root->reclaimable(1), 8u);
  EXPECT_EQ(root->reclaimable(3), 0u);
  size_t root_at = b.size() - 52;
  EXPECT_EQ(root_at % 8, 0u);
  int32_t off;
  std::memcpy(&off, &b[root_at + 40], 4);
  EXPECT_EQ((root_at + 40 + off) % 8, 0u);
  EXPECT_EQ(root_at + 40 + off + 4 * 8, root_at);
}

TEST(StoreFormat, RootOnlyTreeHasEmptyNamesAndOneNameEnd) {
  auto t = TreeBuilder("/r", 4096).build();
  Bytes b = image_of(*t, "/r");
  auto root = check_scan(b);
  ASSERT_TRUE(root);
  EXPECT_EQ(root->names_bytes().size(), 0u);
  EXPECT_EQ(root->name_count(), 1u);
  EXPECT_EQ(root->largest_file_count(), 0u);
  auto back = tree_from_scan(*root, "/r");
  EXPECT_EQ(back->folder_count(), 1u);
  EXPECT_EQ(back->index().totals[0], 4096u);
  EXPECT_TRUE(back->largest_files().empty());
}

TEST(StoreFormat, LoadGivesBackTheSameTree) {
  auto t = small_tree(true, {1, 2, 3, 4});
  Bytes b = image_of(*t);
  auto root = check_scan(b);
  ASSERT_TRUE(root);
  EXPECT_EQ(root->path(), "/data/x");
  EXPECT_TRUE(root->stopped());
  auto back = tree_from_scan(*root, "shown-as");
  ASSERT_EQ(back->folder_count(), t->folder_count());
  for (FolderId i = 0; i < t->folder_count(); i++) {
    const Folder &a = t->folder(i), &c = back->folder(i);
    EXPECT_EQ(std::memcmp(&a, &c, sizeof(Folder)), 0) << "folder " << i;
    if (i > 0) {
      EXPECT_EQ(back->name_bytes(c.name), t->name_bytes(a.name));
    }
  }
  EXPECT_EQ(back->name_bytes(0), "shown-as");
  EXPECT_EQ(back->name_bytes(3), "d\xff");
  ASSERT_EQ(back->largest_files().size(), 2u);
  EXPECT_EQ(back->largest_files()[1].name, "z");
  EXPECT_EQ(back->largest_files()[1].folder, 3u);
  EXPECT_EQ(back->largest_files()[0].size, 5000u);
  EXPECT_EQ(back->reclaimable(), (std::vector<uint64_t>{1, 2, 3, 4}));
  EXPECT_TRUE(back->stopped());
  EXPECT_TRUE(back->links().empty());
  EXPECT_NE(back->stamp(), t->stamp());
  EXPECT_NE(tree_from_scan(*root, "y")->stamp(), back->stamp());
  EXPECT_EQ(back->path_bytes(3), "shown-as/a/d\xff");
  EXPECT_EQ(back->index().totals[0], 600u);

  Bytes running = image_of(*small_tree(false));
  auto not_stopped = check_scan(running);
  ASSERT_TRUE(not_stopped);
  EXPECT_FALSE(tree_from_scan(*not_stopped, "r")->stopped());
}

TEST(StoreFormat, EverySingleByteChangeIsRefused) {
  Bytes good = image_of(*small_tree());
  ASSERT_TRUE(accepted(good));
  for (size_t i = 0; i < good.size(); i++) {
    for (uint8_t mask : {0x01, 0x80, 0xFF}) {
      Bytes b = good;
      b[i] ^= mask;
      EXPECT_FALSE(accepted(b)) << "byte " << i << " mask " << int(mask);
    }
  }
}

TEST(StoreFormat, EveryTruncationIsRefused) {
  Bytes good = image_of(*small_tree());
  for (size_t n = 0; n < good.size(); n++) {
    Bytes b(good.begin(), good.begin() + n);
    EXPECT_FALSE(accepted(b)) << "length " << n;
  }
  Bytes longer = good;
  longer.push_back(0);
  EXPECT_FALSE(accepted(longer));
}

// Changes made with a valid checksum, so that only the later checks can
// refuse them. Offsets follow the hand-worked layout above.
TEST(StoreFormat, StructuralCorruptionsAreRefused) {
  auto root_off = [](int k) { return ROOT + 8 * k; };
  auto folder_at = [](int i) { return size_t(16 + 24 * i); };
  struct Case {
    const char* what;
    std::function<void(Bytes&)> change;
  };
  const Case cases[] = {
      {"version 6", [](Bytes& b) { b[4] = 6; }},
      {"version 8", [](Bytes& b) { b[4] = 8; }},
      {"magic", [](Bytes& b) { b[0] = 'X'; }},
      {"path before the archive", [&](Bytes& b) { poke32(b, root_off(0), uint32_t(int32_t(4 - ROOT))); }},
      {"names before the end of folders",
       [&](Bytes& b) { poke32(b, root_off(2), uint32_t(int32_t(104 - root_off(2)))); }},
      {"name_ends before names", [&](Bytes& b) { poke32(b, root_off(3), uint32_t(int32_t(112 - root_off(3)))); }},
      {"folders out of bounds", [&](Bytes& b) { poke32(b, root_off(1) + 4, 1000); }},
      {"huge folder count", [&](Bytes& b) { poke32(b, root_off(1) + 4, 0xFFFFFFFF); }},
      {"reclaimable into the root", [&](Bytes& b) { poke32(b, root_off(5) + 4, 1); }},
      {"array pointing past the end", [&](Bytes& b) { poke32(b, root_off(5), 0x7FFFFFF0); }},
      {"folders misaligned",
       [&](Bytes& b) { poke32(b, root_off(1), uint32_t(int32_t(17 - root_off(1)))); poke32(b, root_off(1) + 4, 3); }},
      {"name_ends misaligned",
       [&](Bytes& b) { poke32(b, root_off(3), uint32_t(int32_t(121 - root_off(3)))); poke32(b, root_off(3) + 4, 3); }},
      {"no folders", [&](Bytes& b) { poke32(b, root_off(1) + 4, 0); }},
      {"root has a parent", [&](Bytes& b) { poke32(b, folder_at(0), 0); }},
      {"root has a name", [&](Bytes& b) { poke32(b, folder_at(0) + 4, 1); }},
      {"parent equal to own id", [&](Bytes& b) { poke32(b, folder_at(2), 2); }},
      {"parent above own id", [&](Bytes& b) { poke32(b, folder_at(1), 3); }},
      {"name id 0 below the root", [&](Bytes& b) { poke32(b, folder_at(3) + 4, 0); }},
      {"name id out of range", [&](Bytes& b) { poke32(b, folder_at(3) + 4, 4); }},
      {"name_ends empty", [&](Bytes& b) { poke32(b, root_off(3) + 4, 0); }},
      {"name_ends not starting at 0", [](Bytes& b) { poke32(b, 120, 1); }},
      {"name_ends decreasing", [](Bytes& b) { poke32(b, 124, 4); }},
      {"last name end short of names", [](Bytes& b) { poke32(b, 132, 4); }},
      {"large file in no folder", [](Bytes& b) { poke32(b, 144 + 8, 4); }},
      {"large file name inside name_ends", [](Bytes& b) { poke32(b, 156, uint32_t(-24)); }},
      {"large file name into the entries", [](Bytes& b) { poke32(b, 184, 3); }},
      {"large file names out of order", [](Bytes& b) { poke32(b, 180, uint32_t(136 - 180)); }},
      {"reclaimable overlapping the entries",
       [&](Bytes& b) { poke32(b, root_off(5), uint32_t(int32_t(160 - root_off(5)))); poke32(b, root_off(5) + 4, 4); }},
      {"name with a slash", [](Bytes& b) { b[113] = '/'; }},
      {"name with a NUL", [](Bytes& b) { b[115] = 0; }},
      {"name that climbs up", [](Bytes& b) { b[113] = '.'; b[114] = '.'; }},
      {"large file name with a slash", [](Bytes& b) { b[139] = '/'; }},
      {"stored path not absolute", [](Bytes& b) { b[8] = 'd'; }},
  };
  Bytes good = image_of(*small_tree());
  ASSERT_TRUE(accepted(good));
  for (const Case& c : cases) {
    Bytes b = good;
    c.change(b);
    reseal(b);
    EXPECT_FALSE(accepted(b)) << c.what;
  }
}

TEST(StoreFormat, ReclaimableOfWrongLengthIsRefused) {
  Bytes b = image_of(*small_tree(false, {1, 2, 3, 4}));
  ASSERT_TRUE(accepted(b));
  size_t len_field = b.size() - 52 + 44;
  for (uint32_t n : {1u, 3u}) {
    Bytes c = b;
    poke32(c, len_field, n);
    reseal(c);
    EXPECT_FALSE(accepted(c)) << n;
  }
}

TEST(StoreFormat, ArchiveTooShortOrRootMisalignedIsRefused) {
  Builder x;
  x.str("TMAP"), x.u8(7), x.u8(0), x.u16(0);
  x.u32(zcrc(x.b, 8));
  EXPECT_FALSE(accepted(x.b));  // 12 bytes: no archive at all

  Bytes good = image_of(*small_tree());
  Bytes shifted(good.begin(), good.end() - 4);
  shifted.insert(shifted.begin() + 8, 2, 0);  // root record now at 194
  shifted.resize(shifted.size() + 4);
  reseal(shifted);
  EXPECT_FALSE(accepted(shifted));
}

TEST(StoreFormat, TooManyLargestFilesIsRefused) {
  TreeBuilder b("/r");
  b.files.assign(LARGE_FILES_MAX + 1, LargeFile{1, 0, "f"});
  auto t = b.build();
  EXPECT_FALSE(accepted(image_of(*t, "/r")));
  t->mutable_largest_files().pop_back();
  EXPECT_TRUE(accepted(image_of(*t, "/r")));
}

// ---- Cache directory and key ------------------------------------------------

TEST(StoreCache, DirectoryRules) {
  struct Case {
    const char *tallmap, *xdg, *home;
    const char* want;  // null: "HOME is not set"
  };
  const Case cases[] = {
      {"/c", "/x", "/h", "/c"},
      {"rel/c", "/x", "/h", "rel/c"},
      {"", "/x", "/h", "/x/tallmap"},
      {nullptr, "/x/", "/h", "/x/tallmap"},
      {nullptr, "x", "/h", "/h/.cache/tallmap"},
      {nullptr, "", "/h/", "/h/.cache/tallmap"},
      {"", nullptr, "h", "h/.cache/tallmap"},
      {nullptr, "relative", nullptr, nullptr},
      {"", "", "", nullptr},
      {nullptr, nullptr, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    auto got = cache_dir_from(c.tallmap, c.xdg, c.home);
    if (c.want) {
      ASSERT_TRUE(got.ok()) << c.want;
      EXPECT_EQ(*got, c.want);
    } else {
      ASSERT_FALSE(got.ok());
      EXPECT_EQ(got.error().text, "HOME is not set");
      EXPECT_EQ(got.error().code, 0);
    }
  }
}

TEST(StoreCache, CacheDirReadsTheEnvironment) {
  const char* saved = std::getenv("TALLMAP_CACHE_DIR");
  std::string keep = saved ? saved : "";
  setenv("TALLMAP_CACHE_DIR", "/from/env", 1);
  auto got = cache_dir();
  if (saved) setenv("TALLMAP_CACHE_DIR", keep.c_str(), 1);
  else unsetenv("TALLMAP_CACHE_DIR");
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(*got, "/from/env");
}

TEST(StoreCache, KeyFormatAndHash) {
  EXPECT_EQ(format_scan_key(0x1234, 0xab), "00000000000000000000000000001234-00000000000000ab");
  EXPECT_EQ(fnv1a64(""), 0xcbf29ce484222325ull);
  EXPECT_EQ(fnv1a64("a"), 0xaf63dc4c8601ec8cull);
  EXPECT_EQ(fnv1a64("foobar"), 0x85944171f73967e8ull);
}

TEST(StoreCache, KeyOfAFolder) {
  TempDir d;
  fs::create_directory(d.at("data"));
  auto k = scan_key(d.at("data"));
  ASSERT_TRUE(k.ok());
  std::string canon = fs::canonical(d.at("data")).string();
  EXPECT_EQ(k->canonical, canon);
  struct statfs st;
  ASSERT_EQ(statfs(canon.c_str(), &st), 0);
  uint32_t halves[2];
  std::memcpy(halves, &st.f_fsid, 8);
  char want[64];
  snprintf(want, sizeof want, "%016x%08x%08x-%016llx", 0u, halves[1], halves[0],
           (unsigned long long)fnv1a64(canon));
  EXPECT_EQ(k->key, want);
}

TEST(StoreCache, SpellingsOfOneFolderShareAKey) {
  TempDir d;
  fs::create_directories(d.at("data/sub"));
  fs::create_directory_symlink(d.at("data"), d.at("link"));
  auto want = scan_key(d.at("data"));
  ASSERT_TRUE(want.ok());
  std::vector<std::string> spellings = {"data", "./data", "data/", "link", "link/",
                                        "data/sub/..", d.at("data/"), d.at("link")};
  in_dir(d.path, [&] {
    for (const auto& s : spellings) {
      auto k = scan_key(s);
      ASSERT_TRUE(k.ok()) << s;
      EXPECT_EQ(k->key, want->key) << s;
      EXPECT_EQ(k->canonical, want->canonical) << s;
    }
  });
  EXPECT_NE(scan_key(d.at("data/sub"))->key, want->key);
}

TEST(StoreCache, KeyErrors) {
  TempDir d;
  auto missing = scan_key(d.at("nope"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().code, ENOENT);
  EXPECT_EQ(missing.error().text, std::string(strerror(ENOENT)) + " (os error 2)");
  auto nul = scan_key(std::string("/tmp\0x", 6));
  ASSERT_FALSE(nul.ok());
  EXPECT_EQ(nul.error().code, EINVAL);
}

TEST(StoreCache, SamePathOnAnotherFileSystemHasAnotherKey) {
  TempDir d;
  fs::create_directory(d.at("m"));
  auto before = scan_key(d.at("m"));
  ASSERT_TRUE(before.ok());
  if (mount("tmpfs", (d.at("m")).c_str(), "tmpfs", 0, "size=1m") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here";
  auto after = scan_key(d.at("m"));
  umount((d.at("m")).c_str());
  ASSERT_TRUE(after.ok());
  EXPECT_EQ(after->canonical, before->canonical);
  EXPECT_NE(after->key, before->key);
  EXPECT_EQ(after->key.substr(33), before->key.substr(33));  // same path hash
}

// ---- Atomic writes ----------------------------------------------------------

TEST(StoreWrite, WritesWithMode0600AndLeavesNoTemporary) {
  TempDir d;
  std::string target = d.at("f");
  write_file(target, "old");
  chmod(target.c_str(), 0644);
  mode_t old_mask = umask(0);
  Bytes content = {'n', 'e', 'w', 0, 1};
  auto e = write_atomic(target, content);
  umask(old_mask);
  ASSERT_FALSE(e) << e->text;
  EXPECT_EQ(read_file(target), std::string("new\0\1", 5));
  struct stat st;
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(std::distance(fs::directory_iterator(d.path), fs::directory_iterator()), 1);
}

TEST(StoreWrite, ExistingTemporaryIsNeverWrittenThrough) {
  TempDir d;
  std::string target = d.at("f");
  std::string tmp = target + "." + std::to_string(getpid()) + ".tmp";
  write_file(target, "old");
  write_file(d.at("victim"), "victim");
  fs::create_symlink(d.at("victim"), tmp);
  Bytes content = {'x'};
  auto e = write_atomic(target, content);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->code, EEXIST);
  EXPECT_EQ(read_file(target), "old");
  EXPECT_EQ(read_file(d.at("victim")), "victim");
  EXPECT_TRUE(fs::is_symlink(tmp));  // someone else's file stays
}

TEST(StoreWrite, FailedRenameRemovesTheTemporary) {
  TempDir d;
  std::string target = d.at("f");
  fs::create_directories(target + "/inside");  // a non-empty folder cannot be replaced
  Bytes content = {'x'};
  auto e = write_atomic(target, content);
  ASSERT_TRUE(e);
  EXPECT_NE(e->code, 0);
  EXPECT_TRUE(fs::is_directory(target + "/inside"));
  EXPECT_FALSE(fs::exists(target + "." + std::to_string(getpid()) + ".tmp"));
}

TEST(StoreWrite, FullDiskKeepsThePreviousFile) {
  TempDir d;
  std::string m = d.at("m");
  fs::create_directory(m);
  if (mount("tmpfs", m.c_str(), "tmpfs", 0, "size=64k") != 0) GTEST_SKIP() << "cannot mount a tmpfs here";
  std::string target = join_path(m, "f");
  write_file(target, "previous");
  Bytes big(1 << 20, 'x');
  auto e = write_atomic(target, big);
  std::string after = read_file(target);
  bool tmp_left = fs::exists(target + "." + std::to_string(getpid()) + ".tmp");
  umount(m.c_str());
  ASSERT_TRUE(e);
  EXPECT_EQ(e->code, ENOSPC);
  EXPECT_EQ(after, "previous");
  EXPECT_FALSE(tmp_left);
}

TEST(StoreWrite, UnwritableDirectoryKeepsThePreviousFile) {
  TempDir d;
  chmod(d.path.c_str(), 0755);
  std::string target = d.at("f");
  write_file(target, "previous");
  if (!getpwnam("nobody")) GTEST_SKIP() << "no user nobody";
  int status = in_child([&] {
    if (!drop_to_nobody()) return 90;
    Bytes content = {'n', 'e', 'w'};
    auto e = write_atomic(target, content);
    return !e ? 91 : e->code == EACCES ? 0 : 92;
  });
  ASSERT_LT(status, CHILD_KILLED);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(read_file(target), "previous");
  EXPECT_EQ(std::distance(fs::directory_iterator(d.path), fs::directory_iterator()), 1);
}

TEST(StoreWrite, MakeDirsCreatesParentsPrivately) {
  TempDir d;
  std::string deep = d.at("a/b/c");
  ASSERT_FALSE(make_dirs(deep));
  for (const char* p : {"a", "a/b", "a/b/c"}) {
    struct stat st;
    ASSERT_EQ(stat((d.at(p)).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << p;
  }
  EXPECT_FALSE(make_dirs(deep));  // already there
  write_file(d.at("file"), "x");
  auto e = make_dirs(d.at("file/sub"));
  ASSERT_TRUE(e);
  EXPECT_EQ(e->code, ENOTDIR);
}

// ---- Saving and opening in the cache ------------------------------------------

TEST(StoreCache, SaveThenOpenUnderAnotherSpelling) {
  TempDir d;
  fs::create_directory(d.at("data"));
  std::string cache = d.at("cache/deep");
  auto t = small_tree(true, {}, d.at("data"));
  ASSERT_FALSE(save_scan(cache, d.at("data"), *t, false));
  struct stat st;
  ASSERT_EQ(stat(cache.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  auto key = scan_key(d.at("data"));
  std::string file = join_path(cache, key->key + ".scan");
  ASSERT_TRUE(fs::exists(file));
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  auto opened = in_dir(d.path, [&] { return open_scan(cache, "./data/"); });
  ASSERT_TRUE(opened.ok());
  ASSERT_TRUE(opened->has_value());
  const SavedScan& s = **opened;
  EXPECT_EQ(s.path, "./data/");
  EXPECT_EQ(s.canonical, key->canonical);
  EXPECT_EQ(s.mtime.tv_sec, st.st_mtim.tv_sec);
  EXPECT_EQ(s.mtime.tv_nsec, st.st_mtim.tv_nsec);
  auto root = check_scan(s.image.bytes());
  ASSERT_TRUE(root);
  EXPECT_EQ(root->path(), key->canonical);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(s.image.bytes().data()) % 8, 0u);

  auto loaded = load_scan(cache, d.at("data"));
  ASSERT_TRUE(loaded.ok() && loaded->has_value());
  EXPECT_EQ((*loaded)->tree->name_bytes(0), d.at("data"));
  EXPECT_TRUE((*loaded)->tree->stopped());
  EXPECT_FALSE((*loaded)->reclaimable_gathered);
}

TEST(StoreCache, NothingSavedAndInvalidFilesCountAsNoScan) {
  TempDir d;
  fs::create_directory(d.at("data"));
  fs::create_directory(d.at("other"));
  std::string cache = d.at("cache");
  auto none = open_scan(cache, d.at("data"));
  ASSERT_TRUE(none.ok());
  EXPECT_FALSE(none->has_value());
  auto view = open_scan_view(cache, d.at("data"));
  ASSERT_TRUE(view.ok());
  EXPECT_FALSE(view->has_value());

  auto t = small_tree(false, {}, d.at("other"));
  ASSERT_FALSE(save_scan(cache, d.at("other"), *t, false));
  std::string data_file = cache_file(cache, d.at("data"), ".scan");
  std::string other_file = cache_file(cache, d.at("other"), ".scan");

  // Saved for another canonical path.
  fs::copy_file(other_file, data_file);
  EXPECT_FALSE(open_scan_view(cache, d.at("data"))->has_value());
  EXPECT_FALSE(load_scan(cache, d.at("data"))->has_value());
  // Empty and garbage files.
  write_file(data_file, "");
  EXPECT_FALSE(open_scan_view(cache, d.at("data"))->has_value());
  write_file(data_file, "TMAP\x07 not really");
  EXPECT_FALSE(load_scan(cache, d.at("data"))->has_value());
  EXPECT_TRUE(open_scan_view(cache, d.at("other"))->has_value());
}

TEST(StoreCache, OpenErrors) {
  TempDir d;
  fs::create_directory(d.at("data"));
  std::string cache = d.at("cache");
  auto missing = open_scan(cache, d.at("gone"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().code, ENOENT);
  fs::create_directories(cache_file(cache, d.at("data"), ".scan"));
  auto dir = open_scan(cache, d.at("data"));
  ASSERT_FALSE(dir.ok());
  EXPECT_EQ(dir.error().code, EISDIR);
  std::string fifo_root = d.at("fifo-root");
  fs::create_directory(fifo_root);
  std::string fifo = cache_file(cache, fifo_root, ".scan");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  auto pipe = open_scan(cache, fifo_root);  // must not block
  EXPECT_FALSE(pipe.ok());
}

TEST(StoreCache, SaveFailuresAreErrors) {
  TempDir d;
  fs::create_directory(d.at("data"));
  write_file(d.at("plain"), "x");
  auto t = small_tree(false, {}, d.at("data"));
  auto under_file = save_scan(d.at("plain/cache"), d.at("data"), *t, false);
  ASSERT_TRUE(under_file);
  EXPECT_EQ(under_file->code, ENOTDIR);
  auto missing = save_scan(d.at("cache"), d.at("nope"), *t, false);
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->code, ENOENT);
  EXPECT_FALSE(fs::exists(d.at("cache")));  // key failed before anything was created
}

TEST(StoreCache, FailedSaveKeepsThePreviousScan) {
  TempDir d;
  fs::create_directory(d.at("data"));
  std::string cache = d.at("cache");
  auto first = small_tree(false, {}, d.at("data"));
  ASSERT_FALSE(save_scan(cache, d.at("data"), *first, false));
  std::string file = cache_file(cache, d.at("data"), ".scan");
  std::string before = read_file(file);
  chmod(d.path.c_str(), 0755);
  chmod(cache.c_str(), 0755);
  if (!getpwnam("nobody")) GTEST_SKIP() << "no user nobody";
  auto second = small_tree(true, {}, d.at("data"));
  int status = in_child([&] {
    if (!drop_to_nobody()) return 90;
    auto e = save_scan(cache, d.at("data"), *second, false);
    return !e ? 91 : e->code == EACCES ? 0 : 92;
  });
  ASSERT_LT(status, CHILD_KILLED);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(read_file(file), before);
  auto loaded = load_scan(cache, d.at("data"));
  ASSERT_TRUE(loaded.ok() && loaded->has_value());
  EXPECT_FALSE((*loaded)->tree->stopped());
}

TEST(StoreCache, ReportFromTheMappingMatchesTheTree) {
  TempDir d;
  fs::create_directory(d.at("data"));
  std::string cache = d.at("cache");
  auto t = small_tree(true, {}, d.at("data"));
  ASSERT_FALSE(save_scan(cache, d.at("data"), *t, false));
  std::string shown = d.at("data/");
  auto view = open_scan_view(cache, shown);
  ASSERT_TRUE(view.ok() && view->has_value());
  const ScanView& v = **view;
  EXPECT_EQ(v.name_bytes(0), shown);
  EXPECT_EQ(v.name_bytes(2), "bc");
  EXPECT_EQ(view_path(v.report_view(), 3), shown + "a/d\xff");
  EXPECT_TRUE(v.stopped());
  EXPECT_EQ(v.root_path(), scan_key(d.at("data"))->canonical);
  EXPECT_EQ(v.index().totals[0], 600u);
  EXPECT_EQ(v.folder(2).errnum, 13);

  auto loaded = load_scan(cache, shown);
  ASSERT_TRUE(loaded.ok() && loaded->has_value());
  const Tree& tree = *(*loaded)->tree;
  ReportView rv = v.report_view();
  EXPECT_EQ(text_report(rv, false, 5), text_report(tree, false, 5));
  EXPECT_EQ(view_path(rv, 3), tree.path_bytes(3));
  ASSERT_EQ(rv.largest_files.size(), 2u);
  EXPECT_EQ(rv.largest_files[0].name, "big.iso");
}

// ---- Explicit files (Tree.save / load) ------------------------------------------

TEST(StoreFile, WriteThenReadWithTheCanonicalRoot) {
  TempDir d;
  fs::create_directory(d.at("data"));
  fs::create_directory_symlink(d.at("data"), d.at("link"));
  auto t = small_tree(true, {5, 6, 7, 8}, d.at("link/"));
  std::string file = d.at("saved.scan");
  write_file(file, "older content");
  ASSERT_FALSE(write_scan_file(*t, file));
  auto back = read_scan_file(file);
  ASSERT_TRUE(back.ok()) << back.error().text;
  const Tree& b = **back;
  EXPECT_EQ(b.name_bytes(0), fs::canonical(d.at("data")).string());
  EXPECT_EQ(b.folder_count(), 4u);
  EXPECT_EQ(b.reclaimable(), (std::vector<uint64_t>{5, 6, 7, 8}));
  EXPECT_TRUE(b.stopped());
  EXPECT_EQ(read_file(file)[5], 3);  // reclaimable and stopped
}

TEST(StoreFile, ReadErrorsAreTold) {
  TempDir d;
  write_file(d.at("text"), "hello, this is not a scan\n");
  auto text = read_scan_file(d.at("text"));
  ASSERT_FALSE(text.ok());
  EXPECT_TRUE(is_invalid_data(text.error()));
  EXPECT_EQ(text.error().text, "not a scan saved by this version of tallmap");

  auto missing = read_scan_file(d.at("none"));
  ASSERT_FALSE(missing.ok());
  EXPECT_FALSE(is_invalid_data(missing.error()));
  EXPECT_EQ(missing.error().code, ENOENT);

  auto folder = read_scan_file(d.path);
  ASSERT_FALSE(folder.ok());
  EXPECT_EQ(folder.error().code, EISDIR);
}

TEST(StoreFile, WriteErrors) {
  TempDir d;
  auto gone = small_tree(false, {}, d.at("missing-root"));
  auto e = write_scan_file(*gone, d.at("out.scan"));
  ASSERT_TRUE(e);
  EXPECT_EQ(e->code, ENOENT);
  EXPECT_FALSE(fs::exists(d.at("out.scan")));
  fs::create_directory(d.at("data"));
  auto t = small_tree(false, {}, d.at("data"));
  auto no_dir = write_scan_file(*t, d.at("no/such/dir.scan"));
  ASSERT_TRUE(no_dir);
  EXPECT_EQ(no_dir->code, ENOENT);
}

// ---- Picks ------------------------------------------------------------------

TEST(StorePicks, DecodeSplitsAtNulsAndDropsEmptyPieces) {
  struct Case {
    std::string bytes;
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {"", {}},
      {std::string("a\0b/c\0", 6), {"a", "b/c"}},
      {std::string("a\0b/c", 5), {"a", "b/c"}},
      {std::string("a\0\0b\0", 5), {"a", "b"}},
      {std::string("\0a\0", 3), {"a"}},
      {std::string("\0\0", 2), {}},
      {"only", {"only"}},
  };
  for (const Case& c : cases) {
    Bytes b(c.bytes.begin(), c.bytes.end());
    EXPECT_EQ(decode_picks(b), c.want) << c.bytes;
  }
  std::vector<std::string> picks = {"a", "b/c"};
  EXPECT_EQ(encode_picks(picks), (Bytes{'a', 0, 'b', '/', 'c', 0}));
}

TEST(StorePicks, RoundTripSharedBySpellings) {
  TempDir d;
  fs::create_directory(d.at("root"));
  std::string cache = d.at("cache");
  auto none = read_picks(cache, d.at("root"));
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->empty());
  EXPECT_FALSE(fs::exists(cache));  // reading creates nothing

  std::vector<std::string> picks = {"a", "b/c", "n\xfe"};
  ASSERT_FALSE(write_picks(cache, d.at("root"), picks));
  std::string file = cache_file(cache, d.at("root"), ".picks");
  EXPECT_EQ(read_file(file), std::string("a\0b/c\0n\xfe\0", 9));
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  auto back = in_dir(d.path, [&] { return read_picks(cache, "root/"); });
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(*back, picks);

  ASSERT_FALSE(write_picks(cache, d.at("root"), {}));
  EXPECT_EQ(read_file(file), "");
  EXPECT_TRUE(read_picks(cache, d.at("root"))->empty());
}

TEST(StorePicks, Failures) {
  TempDir d;
  fs::create_directory(d.at("root"));
  std::string cache = d.at("cache");
  std::vector<std::string> picks = {"a"};

  auto no_root = write_picks(cache, d.at("gone"), picks);
  ASSERT_TRUE(no_root);
  EXPECT_EQ(no_root->code, ENOENT);
  auto read_no_root = read_picks(cache, d.at("gone"));
  ASSERT_FALSE(read_no_root.ok());
  EXPECT_EQ(read_no_root.error().code, ENOENT);

  std::vector<std::string> bad = {"ok", std::string("x\0y", 3)};
  auto nul = write_picks(cache, d.at("root"), bad);
  ASSERT_TRUE(nul);
  EXPECT_EQ(nul->code, EINVAL);

  write_file(d.at("plain"), "x");
  auto under_file = write_picks(d.at("plain"), d.at("root"), picks);
  ASSERT_TRUE(under_file);
  EXPECT_EQ(under_file->code, ENOTDIR);

  // A folder where the file should be: reading and writing both fail, and
  // the folder is left as it was.
  std::string file = cache_file(cache, d.at("root"), ".picks");
  fs::create_directories(file + "/x");
  auto r = read_picks(cache, d.at("root"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code, EISDIR);
  EXPECT_TRUE(write_picks(cache, d.at("root"), picks));
  EXPECT_TRUE(fs::is_directory(file + "/x"));
}

TEST(StorePicks, FailedWriteKeepsThePreviousPicks) {
  TempDir d;
  fs::create_directory(d.at("root"));
  std::string cache = d.at("cache");
  std::vector<std::string> first = {"keep/me"};
  ASSERT_FALSE(write_picks(cache, d.at("root"), first));
  std::string file = cache_file(cache, d.at("root"), ".picks");
  std::string tmp = file + "." + std::to_string(getpid()) + ".tmp";
  write_file(tmp, "stale");
  std::vector<std::string> second = {"other"};
  EXPECT_TRUE(write_picks(cache, d.at("root"), second));
  EXPECT_EQ(*read_picks(cache, d.at("root")), first);
}
