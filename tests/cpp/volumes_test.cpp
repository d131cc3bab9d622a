#include "app/volumes.h"

#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tallmap {
namespace {

TEST(Volumes, UnescapeMountField) {
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"/mnt/my\\040disk", "/mnt/my disk"},
      {"a\\011b\\012c", "a\tb\nc"},
      {"back\\134slash", "back\\slash"},
      {"\\0400", " 0"},                        // exactly three digits are taken
      {std::string("nul\\000x"), std::string("nul\0x", 5)},
      {"\\377", "\xff"},
      {"\\400", "\\400"},                      // above 255
      {"\\777", "\\777"},
      {"\\q", "\\q"},                          // not a digit
      {"\\089", "\\089"},                      // 8 is not octal
      {"end\\04", "end\\04"},                  // too short at the end
      {"end\\", "end\\"},
      {"\\\\040", "\\ "},                      // first backslash kept as is
      {"plain", "plain"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(unescape_mount_field(c.in), c.out) << c.in;
  }
}

// A fake statfs: known points answer, every other point fails.
struct FakeStatFs {
  std::map<std::string, FsStats> known;
  std::vector<std::string> asked;
  StatFs fn() {
    return [this](const std::string& p) -> std::optional<FsStats> {
      asked.push_back(p);
      auto it = known.find(p);
      if (it == known.end()) return std::nullopt;
      return it->second;
    };
  }
};

TEST(Volumes, ParseMountinfo) {
  const std::string text =
      "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
      "\n"
      "23 22 0:5 / /proc rw,nosuid - proc proc rw\n"
      "24 22 8:2 / /mnt/my\\040disk rw master:3 shared:4 - vfat /dev/sdb1 rw\n"
      "25 22 8:3 / /odd\\name rw - xfs /dev/sdc1 rw\n"
      "26 22 8:3 / /no/separator rw shared:5 ext4 /dev/sdc1 rw\n"
      "27 22 8:3 / /separator/last rw -\n"
      "28 22 8:3 /\n"
      "29 22 0:40 / /dup rw - tmpfs tmpfs rw\n"
      "30 22 0:41 / /dup rw - ramfs other rw\n"
      "31 22 0:42 / /bad\\040fs rw - fuse.\xff\xfe x rw\n"
      "32 22 0:43 / /last rw - btrfs /dev/sdd";  // no final line feed
  FakeStatFs fake;
  fake.known["/"] = {.blocks = 1000, .bfree = 400, .bavail = 300, .bsize = 4096, .frsize = 1024};
  fake.known["/mnt/my disk"] = {.blocks = 10, .bfree = 5, .bavail = 5, .bsize = 512, .frsize = 0};
  fake.known["/dup"] = {.blocks = 8, .bfree = 9, .bavail = 9, .bsize = 4096, .frsize = 4096};
  fake.known["/last"] = {.blocks = UINT64_MAX / 2, .bfree = 0, .bavail = 0, .bsize = 4096,
                         .frsize = 4096};

  std::vector<Mount> got = parse_mountinfo(text, fake.fn());
  std::vector<Mount> want = {
      {"/", "ext4", false, 1000 * 1024, 600 * 1024, 300 * 1024},
      {"/proc", "proc", false, 0, 0, 0},
      {"/mnt/my disk", "vfat", false, 10 * 512, 5 * 512, 5 * 512},  // f_frsize 0
      {"/odd\\name", "xfs", false, 0, 0, 0},
      {"/dup", "tmpfs", false, 8 * 4096, 0, 9 * 4096},  // more free than total
      {"/dup", "ramfs", false, 8 * 4096, 0, 9 * 4096},  // both, in file order
      {"/bad fs", "fuse.\xef\xbf\xbd\xef\xbf\xbd", false, 0, 0, 0},
      {"/last", "btrfs", false, UINT64_MAX, UINT64_MAX, 0},  // saturated
  };
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); i++) {
    SCOPED_TRACE(want[i].point);
    EXPECT_EQ(got[i].point, want[i].point);
    EXPECT_EQ(got[i].fs, want[i].fs);
    EXPECT_FALSE(got[i].hidden);
    EXPECT_EQ(got[i].total, want[i].total);
    EXPECT_EQ(got[i].used, want[i].used);
    EXPECT_EQ(got[i].free, want[i].free);
  }
  // Skipped lines are not measured.
  std::vector<std::string> asked = {"/", "/proc", "/mnt/my disk", "/odd\\name",
                                    "/dup", "/dup", "/bad fs", "/last"};
  EXPECT_EQ(fake.asked, asked);
}

TEST(Volumes, EmptyTableGivesNoMounts) {
  FakeStatFs fake;
  EXPECT_TRUE(parse_mountinfo("", fake.fn()).empty());
  EXPECT_TRUE(parse_mountinfo("\n\n", fake.fn()).empty());
}

TEST(Volumes, StatfsPoint) {
  std::optional<FsStats> root = statfs_point("/");
  ASSERT_TRUE(root.has_value());
  EXPECT_GT(root->bsize, 0u);
  EXPECT_FALSE(statfs_point("/no/such/mount/point").has_value());
  // A NUL must not quietly measure the path before it.
  EXPECT_FALSE(statfs_point(std::string("/\0tmp", 5)).has_value());
}

TEST(Volumes, ListsThisMachine) {
  Result<std::vector<Mount>> got = list_mounts();
  ASSERT_TRUE(got.ok()) << got.error().text;
  bool has_root = false;
  for (const Mount& m : *got) {
    EXPECT_FALSE(m.fs.empty()) << m.point;
    EXPECT_LE(m.used, m.total) << m.point;
    if (m.point == "/") has_root = true;
    if (m.fs == "proc") {
      EXPECT_EQ(m.total, 0u) << m.point;
    }
  }
  EXPECT_TRUE(has_root);
}

TEST(Volumes, UnreadableTableIsAnError) {
  Result<std::vector<Mount>> got = list_mounts("/no/such/dir/mountinfo");
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().code, ENOENT);
  EXPECT_EQ(got.error().text, "No such file or directory (os error 2)");
  Result<std::vector<Mount>> dir = list_mounts("/");
  ASSERT_FALSE(dir.ok());
  EXPECT_EQ(dir.error().code, EISDIR);
}

}  // namespace
}  // namespace tallmap
