#include "core/json.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support.h"

namespace tallmap {
namespace {

const std::optional<uint32_t> NO_TOP;

TEST(JsonReport, ExampleWithDeniedChild) {
  TreeBuilder b("/data", 20);
  b.add(0, "b", 0, DENIED, 13);
  b.add(0, "a", 100);
  EXPECT_EQ(json_report(*b.build(), 1, NO_TOP),
            R"({"name":"/data","size":120,"own":20,"partial":true,"children":[)"
            R"({"name":"a","size":100,"own":100},)"
            R"({"name":"b","size":0,"own":0,"denied":"EACCES"}]})"
            "\n");
}

TEST(JsonReport, DepthDecidesWhichLevelsCarryChildren) {
  TreeBuilder b("/r", 1);
  FolderId a = b.add(0, "a", 10);
  b.add(0, "b", 3);
  FolderId a1 = b.add(a, "a1", 5);
  FolderId a11 = b.add(a1, "a11", 2);
  b.add(a11, "a111", 1);
  auto tree = b.build();
  const std::pair<uint64_t, std::string> cases[] = {
      {0, R"({"name":"/r","size":22,"own":1})"},
      {1, R"({"name":"/r","size":22,"own":1,"children":[{"name":"a","size":18,"own":10},)"
          R"({"name":"b","size":3,"own":3}]})"},
      {2, R"({"name":"/r","size":22,"own":1,"children":[{"name":"a","size":18,"own":10,)"
          R"("children":[{"name":"a1","size":8,"own":5}]},)"
          R"({"name":"b","size":3,"own":3,"children":[]}]})"},
      {3, R"({"name":"/r","size":22,"own":1,"children":[{"name":"a","size":18,"own":10,)"
          R"("children":[{"name":"a1","size":8,"own":5,"children":[{"name":"a11","size":3,"own":2}]}]},)"
          R"({"name":"b","size":3,"own":3,"children":[]}]})"},
      {UINT64_MAX,
       R"({"name":"/r","size":22,"own":1,"children":[{"name":"a","size":18,"own":10,)"
       R"("children":[{"name":"a1","size":8,"own":5,"children":[{"name":"a11","size":3,"own":2,)"
       R"("children":[{"name":"a111","size":1,"own":1,"children":[]}]}]}]},)"
       R"({"name":"b","size":3,"own":3,"children":[]}]})"},
  };
  for (const auto& [depth, want] : cases)
    EXPECT_EQ(json_report(*tree, depth, NO_TOP), want + "\n") << depth;
}

TEST(JsonReport, RootWithoutChildrenHasEmptyArray) {
  TreeBuilder b("/empty", 0);
  EXPECT_EQ(json_report(*b.build(), 1, NO_TOP),
            "{\"name\":\"/empty\",\"size\":0,\"own\":0,\"children\":[]}\n");
}

TEST(JsonString, EscapesExactlyTheControlsQuotesAndBackslash) {
  const std::pair<std::string, std::string> cases[] = {
      {"\"", R"("\"")"},
      {"\\", R"("\\")"},
      {"\t", R"("\t")"},
      {"\n", R"("\n")"},
      {"\r", R"("\r")"},
      {"\x01", R"("\u0001")"},
      {"\x1b", R"("\u001b")"},
      {"\x1f", R"("\u001f")"},
      {"\x08\x0c", R"("\u0008\u000c")"},
      {std::string("\0", 1), R"("\u0000")"},
      {"/", R"("/")"},
      {"\x7f", "\"\x7f\""},
      {" ~", "\" ~\""},
      {"caf\xc3\xa9 \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xf0\x9f\x98\x80\""},
      {"\xc2\x9b", "\"\xc2\x9b\""},
      {"q\"b\\t\tx\x01", R"("q\"b\\t\tx\u0001")"},
  };
  for (const auto& [in, want] : cases) {
    std::string out;
    EXPECT_FALSE(append_json_string(out, in));
    EXPECT_EQ(out, want);
  }
  std::string out;
  EXPECT_TRUE(append_json_string(out, "a\xff\"\xe2\x82"));
  EXPECT_EQ(out, "\"a\xef\xbf\xbd\\\"\xef\xbf\xbd\"");
}

TEST(JsonReport, LossyNameIsTheLastOwnKeyAndIncompleteFollowsRootKeys) {
  TreeBuilder b("/r\xff", 0);
  FolderId x = b.add(0, "x\xfe", 0);
  b.add(x, "no", 0, DENIED, 1);
  b.add(0, "mnt", 0, OTHER_DEVICE);
  EXPECT_EQ(json_report(*b.build(true), 2, NO_TOP),
            "{\"name\":\"/r\xef\xbf\xbd\",\"size\":0,\"own\":0,\"partial\":true,"
            "\"name_lossy\":true,\"incomplete\":true,\"children\":["
            "{\"name\":\"mnt\",\"size\":0,\"own\":0,\"other_device\":true,\"children\":[]},"
            "{\"name\":\"x\xef\xbf\xbd\",\"size\":0,\"own\":0,\"partial\":true,"
            "\"name_lossy\":true,\"children\":["
            "{\"name\":\"no\",\"size\":0,\"own\":0,\"denied\":\"EPERM\"}]}]}\n");
}

TEST(JsonReport, DeniedRootWithOtherErrno) {
  TreeBuilder b("/r", 0);
  b.folders[0].flags = DENIED;
  b.folders[0].errnum = 2;
  EXPECT_EQ(json_report(*b.build(), 0, NO_TOP),
            "{\"name\":\"/r\",\"size\":0,\"own\":0,\"denied\":\"errno 2\"}\n");
}

TEST(JsonReport, LargestFiles) {
  TreeBuilder b("/r/", 0);
  FolderId d = b.add(0, "d", 0);
  b.add(0, "gone", 0, GONE);
  b.file(d, "b", 50);
  b.file(0, "top\xff", 90);
  b.file(d, "a", 50);
  b.file(0, "c", 10);
  auto tree = b.build(true);
  EXPECT_EQ(json_report(*tree, 0, 0),
            "{\"name\":\"/r/\",\"size\":0,\"own\":0,\"incomplete\":true,"
            "\"largest_files\":[]}\n");
  // Invalid bytes in a path are replaced but mark nothing as lossy.
  EXPECT_EQ(json_report(*tree, 1, 3),
            "{\"name\":\"/r/\",\"size\":0,\"own\":0,\"incomplete\":true,"
            "\"children\":[{\"name\":\"d\",\"size\":0,\"own\":0}],"
            "\"largest_files\":[{\"path\":\"/r/top\xef\xbf\xbd\",\"size\":90},"
            "{\"path\":\"/r/d/a\",\"size\":50},{\"path\":\"/r/d/b\",\"size\":50}]}\n");
}

// Nesting is written with an explicit stack: a chain far deeper than the
// call stack could take must still come out whole.
TEST(JsonReport, VeryDeepChain) {
  constexpr uint32_t LEVELS = 200000;
  TreeBuilder b("/", 0);
  for (uint32_t i = 1; i <= LEVELS; i++) b.add(i - 1, "d", 1);
  std::string want = R"({"name":"/","size":200000,"own":0,"children":[)";
  for (uint32_t i = 1; i <= LEVELS; i++)
    want += R"({"name":"d","size":)" + std::to_string(LEVELS - i + 1) +
            R"(,"own":1,"children":[)";
  for (uint32_t i = 1; i <= LEVELS; i++) want += "]}";
  want += "]}\n";
  EXPECT_EQ(json_report(*b.build(), UINT64_MAX, NO_TOP), want);
}

}  // namespace
}  // namespace tallmap
