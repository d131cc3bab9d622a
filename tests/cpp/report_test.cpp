#include "core/report.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/json.h"
#include "support.h"

namespace tallmap {
namespace {

constexpr uint64_t PHOTOS = 8697308774;  // 8.1 GiB
constexpr uint64_t BACKUP = 3650722201;  // 3.4 GiB
constexpr uint64_t FILES = 536870912;    // 512 MiB

std::shared_ptr<Tree> data_tree(bool stopped = false) {
  TreeBuilder b("/data", FILES);
  b.add(0, "photos", PHOTOS);
  FolderId backup = b.add(0, "backup", BACKUP);
  b.add(backup, "secret", 0, DENIED, 13);
  b.add(0, "lost+found", 0, DENIED, 13);
  return b.build(stopped);
}

TEST(TextReport, SampleTreeInBothUnitSystems) {
  auto tree = data_tree();
  EXPECT_EQ(text_report(*tree, false, std::nullopt),
            "  12.0 GiB  /data  (partial: 2 denied)\n"
            "   8.1 GiB  photos/\n"
            "   3.4 GiB  backup/ (partial)\n"
            " 512.0 MiB  [files]\n"
            "       0 B  lost+found/ (denied: EACCES)\n");
  EXPECT_EQ(text_report(*tree, true, std::nullopt),
            "   12.9 GB  /data  (partial: 2 denied)\n"
            "    8.7 GB  photos/\n"
            "    3.7 GB  backup/ (partial)\n"
            "  536.9 MB  [files]\n"
            "       0 B  lost+found/ (denied: EACCES)\n");
}

TEST(TextReport, StoppedPartialTreeShowsBothMarksPartialFirst) {
  auto tree = data_tree(true);
  std::string out = text_report(*tree, false, std::nullopt);
  EXPECT_EQ(out.substr(0, out.find('\n')),
            "  12.0 GiB  /data  (partial: 2 denied)  (incomplete: scan stopped)");
}

TEST(TextReport, RootOnlyCases) {
  struct Case {
    uint64_t own;
    uint8_t flags;
    uint16_t err;
    bool stopped;
    const char* want;
  };
  const Case cases[] = {
      {0, 0, 0, false, "       0 B  /r\n"},
      {4096, 0, 0, false, "   4.0 KiB  /r\n   4.0 KiB  [files]\n"},
      {0, DENIED, 13, false, "       0 B  /r  (partial: 1 denied)\n"},
      {0, 0, 0, true, "       0 B  /r  (incomplete: scan stopped)\n"},
  };
  for (const Case& c : cases) {
    TreeBuilder b("/r", c.own);
    b.folders[0].flags = c.flags;
    b.folders[0].errnum = c.err;
    EXPECT_EQ(text_report(*b.build(c.stopped), false, std::nullopt), c.want);
  }
}

TEST(TextReport, SuffixesForEachChildState) {
  TreeBuilder b("/m", 0);
  b.add(0, "eperm", 300, DENIED, 1);
  b.add(0, "enoent", 200, DENIED, 2);
  b.add(0, "mnt", 0, OTHER_DEVICE);
  FolderId deep = b.add(0, "deep", 100);
  FolderId mid = b.add(deep, "mid", 0);
  b.add(mid, "locked", 0, DENIED, 13);
  b.add(0, "gone", 0, GONE);  // never listed, never counted as denied
  EXPECT_EQ(text_report(*b.build(), false, std::nullopt),
            "     600 B  /m  (partial: 3 denied)\n"
            "     300 B  eperm/ (denied: EPERM)\n"
            "     200 B  enoent/ (denied: errno 2)\n"
            "     100 B  deep/ (partial)\n"
            "       0 B  mnt/ (other device)\n");
}

TEST(TextReport, EqualSizesSortByNameBytesAndFilesRowAfterNamesake) {
  TreeBuilder b("/t", 10);
  b.add(0, "ab", 10);
  b.add(0, "a", 10);
  b.add(0, "[files]", 10);
  b.add(0, "B", 10);
  b.add(0, "big", 11);
  EXPECT_EQ(text_report(*b.build(), false, std::nullopt),
            "      61 B  /t\n"
            "      11 B  big/\n"
            "      10 B  B/\n"
            "      10 B  [files]/\n"
            "      10 B  [files]\n"
            "      10 B  a/\n"
            "      10 B  ab/\n");
}

TEST(TextReport, NamesNeverCarryRawControlBytesOrInvalidUtf8) {
  TreeBuilder b("/x\x1b]0;pwned\x07", 0);
  b.add(0, "bad\xff", 5);
  b.add(0, "tab\there", 4);
  b.add(0, "csi\xc2\x9b" "2J", 3);
  b.add(0, "caf\xc3\xa9", 2);
  FolderId nl = b.add(0, "new\nline", 1);
  b.file(nl, "f\x1b[31m", 7);
  std::string out = text_report(*b.build(), false, 1);
  EXPECT_EQ(out,
            "      15 B  /x\\u001b]0;pwned\\u0007\n"
            "       5 B  bad\xef\xbf\xbd/\n"
            "       4 B  tab\\there/\n"
            "       3 B  csi\\u009b2J/\n"
            "       2 B  caf\xc3\xa9/\n"
            "       1 B  new\\nline/\n"
            "\n"
            "largest files:\n"
            "       7 B  /x\\u001b]0;pwned\\u0007/new\\nline/f\\u001b[31m\n");
  for (char c : out) {
    unsigned char u = static_cast<unsigned char>(c);
    EXPECT_TRUE(u == '\n' || (u >= 0x20 && u != 0x7f)) << int(u);
  }
}

TEST(TextReport, LargestFilesSortedTiedByPathAndCut) {
  TreeBuilder b("/", 0);
  FolderId usr = b.add(0, "usr", 0);
  FolderId lib = b.add(usr, "lib", 0);
  b.file(lib, "b", 2048);
  b.file(0, "root.img", 5u << 20);
  b.file(usr, "z", 2048);
  b.file(lib, "a", 2048);
  b.file(usr, "big", 7u << 20);
  auto tree = b.build();
  const std::string head = "       0 B  /\n"
                           "       0 B  usr/\n"
                           "\nlargest files:\n";
  EXPECT_EQ(text_report(*tree, false, 0), head);
  EXPECT_EQ(text_report(*tree, false, 5),
            head +
                "   7.0 MiB  /usr/big\n"
                "   5.0 MiB  /root.img\n"
                "   2.0 KiB  /usr/lib/a\n"
                "   2.0 KiB  /usr/lib/b\n"
                "   2.0 KiB  /usr/z\n");
  EXPECT_EQ(text_report(*tree, true, 2),
            head +
                "    7.3 MB  /usr/big\n"
                "    5.2 MB  /root.img\n");
  EXPECT_EQ(text_report(*tree, false, 65535), text_report(*tree, false, 5));
}

TEST(TextReport, RootWithTrailingSlashJoinsOnce) {
  TreeBuilder b("/home/a/", 0);
  FolderId x = b.add(0, "x", 0);
  b.file(x, "f", 300);
  EXPECT_EQ(text_report(*b.build(), false, 1),
            "       0 B  /home/a/\n"
            "       0 B  x/\n"
            "\nlargest files:\n"
            "     300 B  /home/a/x/f\n");
}

// A view laid out the way a saved scan is mapped: names concatenated with
// end offsets, the root's name given separately, folder records in their
// stored field order, read where they lie.
struct SavedLayout {
  std::string names;
  std::vector<uint32_t> ends{0};
  std::vector<uint8_t> records;
  TreeIndex index;
  std::vector<std::string> file_names;
  ReportView view;

  SavedLayout(const Tree& tree, std::string_view root_name) {
    for (uint64_t id = 1; id < tree.names()->reserved_count(); id++) {
      names += tree.name_bytes(NameId(id));
      ends.push_back(uint32_t(names.size()));
    }
    auto put = [&](uint64_t v, int bytes) {
      for (int i = 0; i < bytes; i++) records.push_back(uint8_t(v >> (8 * i)));
    };
    for (const Folder& f : tree.folders()) {
      put(f.parent, 4);
      put(f.name, 4);
      put(f.flags, 1);
      put(f.reserved, 1);
      put(f.errnum, 2);
      put(f.ino, 4);
      put(f.own, 8);
    }
    view.root_name = root_name;
    view.folders = FolderTable::stored(records.data(), tree.folder_count());
    index = derive_index_of(view.folders, {});
    view.index = &index;
    view.names = NameTable{nullptr, names, ends};
    for (const LargeFile& f : tree.largest_files()) file_names.push_back(f.name);
    for (size_t i = 0; i < file_names.size(); i++) {
      const LargeFile& f = tree.largest_files()[i];
      view.largest_files.push_back(ReportFile{f.size, f.folder, file_names[i]});
    }
    view.stopped = tree.stopped();
  }
};

TEST(ReportView, SavedLayoutPrintsTheSameBytesAsTheTree) {
  TreeBuilder b("/data", FILES);
  FolderId p = b.add(0, "photos", PHOTOS);
  FolderId y = b.add(p, "2024\xff", 4096);
  b.add(y, "raw", 1000);
  b.add(0, "lost+found", 0, DENIED, 13);
  b.add(0, "photos", 5);  // a recurring name: same bytes, other place
  b.file(y, "a.jpg", 4000);
  b.file(0, "core", 4000);
  auto tree = b.build(true);
  SavedLayout saved(*tree, "/data");
  for (bool si : {false, true}) {
    for (auto top : {std::optional<uint32_t>(), std::optional<uint32_t>(0),
                     std::optional<uint32_t>(5)}) {
      EXPECT_EQ(text_report(saved.view, si, top), text_report(*tree, si, top));
      for (uint64_t depth : {0, 1, 3})
        EXPECT_EQ(json_report(saved.view, depth, top), json_report(*tree, depth, top));
    }
  }
  // `show` prints the PATH it was given, also at the front of file paths.
  SavedLayout shown(*tree, "data/");
  std::string out = text_report(shown.view, false, 1);
  EXPECT_NE(out.find("  data/  (partial"), std::string::npos) << out;
  EXPECT_NE(out.find("  data/core\n"), std::string::npos) << out;
}

TEST(ReportView, ChildrenBySizeAndPaths) {
  TreeBuilder b("/", 0);
  FolderId usr = b.add(0, "usr", 0);
  b.add(usr, "b", 5);
  b.add(usr, "ab", 5);
  b.add(usr, "a", 5);
  b.add(usr, "old", 0, GONE);
  FolderId big = b.add(usr, "zz", 9);
  auto tree = b.build();
  ReportView view = report_view(*tree);
  EXPECT_EQ(view_children_by_size(view, usr), (std::vector<FolderId>{big, 4, 3, 2}));
  EXPECT_EQ(view_path(view, 0), "/");
  EXPECT_EQ(view_path(view, big), "/usr/zz");
  EXPECT_EQ(view_name(view, 0), "/");
}

}  // namespace
}  // namespace tallmap
