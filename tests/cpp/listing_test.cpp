#include "core/listing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"

namespace tallmap {
namespace {

struct Shared {
  LinkMap links = make_link_map();
  std::mutex mu;
  std::atomic<uint64_t> threshold{0};
  ListingShared view() { return {&links, &mu, &threshold}; }
};

DirListing list_path(const std::string& path, Shared& shared, uint64_t own_start = 0) {
  FdResult fd = open_root(path);
  EXPECT_TRUE(fd.ok()) << path << " errno " << fd.errnum;
  DirListing out = list_folder(fd.fd, shared.view(), own_start, 7);
  close_fd(fd.fd);
  return out;
}

TEST(ListingTest, EmptyFolderKeepsOwnStartAndPassesReclaimableThrough) {
  TempDir t;
  Shared shared;
  DirListing l = list_path(t.path, shared, 12345);
  EXPECT_EQ(l.own, 12345u);
  EXPECT_EQ(l.reclaimable, 7u);
  EXPECT_TRUE(l.subdirs.empty());
  EXPECT_TRUE(l.candidates.empty());
  EXPECT_TRUE(l.claimed_links.empty());
  EXPECT_FALSE(l.failed);
}

TEST(ListingTest, CountsFilesLinksAndSubfoldersByAllocatedBytes) {
  TempDir t;
  t.dir("sub");
  t.file("sub/inner", 9000);  // not counted: belongs to the subfolder
  t.file("small", 100);
  t.file("empty", 0);
  t.file("big", 20000);
  {  // sparse: a huge length with one written block
    int fd = open(t.at("sparse").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(pwrite(fd, "y", 1, 1 << 30), 1);
    close(fd);
  }
  ASSERT_EQ(symlink("sub", t.at("to_sub").c_str()), 0);
  ASSERT_EQ(link(t.at("big").c_str(), t.at("big_again").c_str()), 0);

  Shared shared;
  DirListing l = list_path(t.path, shared, 1000);
  uint64_t want = 1000 + t.blocks("small") + t.blocks("empty") + t.blocks("big") +
                  t.blocks("sparse") + t.blocks("to_sub");
  EXPECT_EQ(l.own, want);
  EXPECT_LT(t.blocks("sparse"), uint64_t(1) << 20);  // allocated, not apparent, size
  ASSERT_EQ(l.subdirs.size(), 1u);  // the link to a folder is not one
  EXPECT_EQ(l.subdirs[0].name, std::string("sub", 4));
  EXPECT_EQ(l.subdirs[0].name_bytes(), "sub");
  EXPECT_EQ(l.subdirs[0].size, t.blocks("sub"));
  struct stat st;
  ASSERT_EQ(lstat(t.at("sub").c_str(), &st), 0);
  EXPECT_EQ(l.subdirs[0].ino, uint64_t(st.st_ino));
  EXPECT_EQ(l.subdirs[0].dev, uint64_t(st.st_dev));
  // Two names of one inode in one folder: counted once, claimed once.
  ASSERT_EQ(l.claimed_links.size(), 1u);
  ASSERT_EQ(lstat(t.at("big").c_str(), &st), 0);
  EXPECT_EQ(l.claimed_links[0], (DevIno{uint64_t(st.st_dev), uint64_t(st.st_ino)}));
  EXPECT_EQ(shared.links.at(l.claimed_links[0]), NO_PARENT);
  // Threshold 0: every file with blocks is a candidate, named without NUL.
  std::vector<std::string> names;
  // Whichever name of the linked file the kernel lists first stands for it.
  for (auto& c : l.candidates) names.push_back(c.name == "big_again" ? "big" : c.name);
  std::sort(names.begin(), names.end());
  std::vector<std::string> want_names = {"big", "small", "sparse"};
  if (t.blocks("to_sub") > 0) want_names.push_back("to_sub");
  std::sort(want_names.begin(), want_names.end());
  EXPECT_EQ(names, want_names);
}

TEST(ListingTest, LinkAlreadyCountedElsewhereIsSkipped) {
  TempDir t;
  t.dir("a");
  t.dir("b");
  t.file("a/f", 8192);
  ASSERT_EQ(link(t.at("a/f").c_str(), t.at("b/g").c_str()), 0);
  Shared shared;
  DirListing a = list_path(t.at("a"), shared);
  DirListing b = list_path(t.at("b"), shared);
  EXPECT_EQ(a.own, t.blocks("a/f"));
  EXPECT_EQ(b.own, 0u);
  EXPECT_EQ(a.claimed_links.size(), 1u);
  EXPECT_TRUE(b.claimed_links.empty());
  EXPECT_TRUE(b.candidates.empty());
}

TEST(ListingTest, ThresholdFiltersCandidatesStrictly) {
  TempDir t;
  t.file("equal", 4096);
  t.file("bigger", 16384);
  Shared shared;
  shared.threshold = t.blocks("equal");
  DirListing l = list_path(t.path, shared);
  ASSERT_EQ(l.candidates.size(), 1u);
  EXPECT_EQ(l.candidates[0].name, "bigger");
  EXPECT_EQ(l.candidates[0].size, t.blocks("bigger"));
  EXPECT_EQ(l.own, t.blocks("equal") + t.blocks("bigger"));
}

TEST(ListingTest, OddNamesComeBackByteForByte) {
  TempDir t;
  std::string odd = "bad\xff\xfe\nline";
  t.dir(odd);
  std::string longname(255, 'n');
  t.dir(longname);
  Shared shared;
  DirListing l = list_path(t.path, shared);
  std::vector<std::string> got;
  for (auto& s : l.subdirs) got.push_back(std::string(s.name_bytes()));
  std::sort(got.begin(), got.end());
  std::vector<std::string> want = {odd, longname};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(got, want);
}

TEST(ListingTest, BigFolderGrowsTheBufferAndMissesNothing) {
  TempDir t;
  for (int i = 0; i < 3000; ++i) t.file("file_with_a_longish_name_" + std::to_string(i), 0);
  for (int i = 0; i < 50; ++i) t.dir("d" + std::to_string(i));
  Shared shared;
  DirListing l = list_path(t.path, shared);
  EXPECT_FALSE(l.failed);
  EXPECT_EQ(l.subdirs.size(), 50u);
  EXPECT_EQ(l.own, 0u);
}

TEST(ListingTest, OpenRootRejectsNulWithoutTheKernelAndFollowsALinkedRoot) {
  TempDir t;
  t.dir("real");
  ASSERT_EQ(symlink("real", t.at("link").c_str()), 0);
  std::string with_nul = t.path + std::string("\0x", 2);
  FdResult r = open_root(with_nul);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.errnum, EINVAL);
  FdResult linked = open_root(t.at("link"));
  ASSERT_TRUE(linked.ok());
  close_fd(linked.fd);
  t.file("plain", 1);
  EXPECT_EQ(open_root(t.at("plain")).errnum, ENOTDIR);
  EXPECT_EQ(open_root(t.at("missing")).errnum, ENOENT);
}

TEST(ListingTest, OpenChildNeverFollowsLinks) {
  TempDir t;
  t.dir("real");
  t.file("plain", 1);
  ASSERT_EQ(symlink("real", t.at("link").c_str()), 0);
  FdResult root = open_root(t.path);
  ASSERT_TRUE(root.ok());
  struct Case {
    const char* name;
    int errnum;
  } cases[] = {{"real", 0}, {"link", ENOTDIR}, {"plain", ENOTDIR}, {"gone", ENOENT}};
  for (const Case& c : cases) {
    std::string z(c.name);
    z.push_back('\0');
    FdResult r = open_child(root.fd, z);
    EXPECT_EQ(r.ok(), c.errnum == 0) << c.name;
    // Linux reports a link met with O_DIRECTORY|O_NOFOLLOW as ENOTDIR.
    if (c.errnum == ENOTDIR)
      EXPECT_TRUE(r.errnum == ENOTDIR || r.errnum == ELOOP) << c.name << " " << r.errnum;
    else
      EXPECT_EQ(r.errnum, c.errnum) << c.name;
    close_fd(r.fd);
  }
  close_fd(root.fd);
}

TEST(ListingTest, OpenByComponentsWalksNamesAndStopsAtALink) {
  TempDir t;
  t.dir("a");
  t.dir("a/b");
  t.file("a/b/marker", 1);
  ASSERT_EQ(symlink("b", t.at("a/l").c_str()), 0);
  FdResult root = open_root(t.path);
  ASSERT_TRUE(root.ok());
  std::vector<std::string> good = {"a", "b"};
  FdResult r = open_by_components(root.fd, good);
  ASSERT_TRUE(r.ok());
  struct stat st;
  EXPECT_EQ(fstatat(r.fd, "marker", &st, AT_SYMLINK_NOFOLLOW), 0);
  close_fd(r.fd);
  std::vector<std::string> via_link = {"a", "l"};
  int link_err = open_by_components(root.fd, via_link).errnum;
  EXPECT_TRUE(link_err == ELOOP || link_err == ENOTDIR) << link_err;
  std::vector<std::string> missing = {"a", "zz", "b"};
  EXPECT_EQ(open_by_components(root.fd, missing).errnum, ENOENT);
  FdResult self = open_by_components(root.fd, {});  // "." of the base: a new descriptor
  ASSERT_TRUE(self.ok());
  EXPECT_NE(self.fd, root.fd);
  close_fd(self.fd);
  close_fd(root.fd);
}

TEST(ListingTest, OpenByComponentsRefusesNamesThatResolveFurther) {
  TempDir t;
  t.dir("a/b");
  ASSERT_EQ(symlink("a", t.at("l").c_str()), 0);
  FdResult root = open_root(t.path);
  ASSERT_TRUE(root.ok());
  const std::vector<std::vector<std::string>> cases = {
      {"l/b"},       // would follow the link l on the way
      {"a", ".."},   // would climb back out of a
      {"a", "b/"},
      {""},
  };
  for (const auto& names : cases) {
    FdResult r = open_by_components(root.fd, names);
    EXPECT_EQ(r.errnum, EINVAL) << names.back();
    close_fd(r.fd);
  }
  close_fd(root.fd);
}

TEST(ListingTest, FolderWithoutSearchPermissionFailsWithEacces) {
  TempDir t;
  t.dir("noexec");
  t.file("noexec/f", 5000);
  ASSERT_EQ(chmod(t.at("noexec").c_str(), 0444), 0);
  uint64_t start = t.blocks("noexec");
  std::string report = child_report([&]() -> std::string {
    if (!drop_to_nobody()) return "cannot drop privileges";
    Shared shared;
    FdResult fd = open_root(t.at("noexec"));
    if (!fd.ok()) return "open failed: " + std::to_string(fd.errnum);
    DirListing l = list_folder(fd.fd, shared.view(), start, 0);
    if (!l.failed || l.errnum != EACCES) return "expected EACCES, got " + std::to_string(l.errnum);
    if (l.own != start) return "own changed: " + std::to_string(l.own);
    return "";
  });
  EXPECT_EQ(report, "");
}

TEST(ListingTest, StreamReturnsEveryEntryOnce) {
  TempDir t;
  for (int i = 0; i < 500; ++i) t.file("e" + std::to_string(i), 0);
  FdResult fd = open_root(t.path);
  ASSERT_TRUE(fd.ok());
  DirStream stream(fd.fd);
  DirStream::Entry e;
  std::vector<std::string> names;
  while (stream.next(e)) {
    ASSERT_EQ(e.name_z.back(), '\0');
    names.emplace_back(e.name_z.substr(0, e.name_z.size() - 1));
  }
  EXPECT_EQ(stream.error(), 0);
  close_fd(fd.fd);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end());
  EXPECT_EQ(names.size(), 502u);  // with "." and ".."
}

}  // namespace
}  // namespace tallmap
