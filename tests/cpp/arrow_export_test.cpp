// The Arrow stream of a tree, read the way a consumer reads the C structs.
#include "python/arrow_export.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/read.h"
#include "core/tree.h"
#include "support.h"

namespace tallmap {
namespace {

bool bit(const void* bitmap, int64_t i) {
  return (static_cast<const uint8_t*>(bitmap)[i / 8] >> (i % 8)) & 1;
}

template <class T>
T value(const ArrowArray* a, int64_t i) {
  return static_cast<const T*>(a->buffers[1])[a->offset + i];
}

std::string dictionary_value(const ArrowArray* dict, int64_t i) {
  auto* offsets = static_cast<const int64_t*>(dict->buffers[1]);
  auto* data = static_cast<const char*>(dict->buffers[2]);
  return std::string(data + offsets[i], size_t(offsets[i + 1] - offsets[i]));
}

// Ids 0..7: record 4 is GONE and must not become a row; "a" appears twice;
// "bad\xff" is not UTF-8; "b" is DENIED, so "/r" above it is partial.
std::shared_ptr<Tree> fixture() {
  return make_tree({
      {NO_PARENT, "/r", 100, 0, 0},
      {0, "a", 10, 0, 0},
      {0, "b", 20, DENIED, 13},
      {1, "x", 30, 0, 0},
      {1, "dead", 0, GONE, 0},
      {3, "a", 40, 0, 0},
      {0, "dev", 0, OTHER_DEVICE, 0},
      {0, "bad\xff", 50, 0, 0},
  });
}

// Owns one stream and what was taken from it, releasing whatever the test
// left unreleased.
struct Reader {
  ArrowArrayStream stream{};
  ArrowSchema schema{};
  ArrowArray batch{};

  explicit Reader(const Tree& tree) {
    export_tree_stream(tree, &stream);
    EXPECT_EQ(stream.get_schema(&stream, &schema), 0);
    EXPECT_EQ(stream.get_next(&stream, &batch), 0);
  }
  ~Reader() {
    if (batch.release) batch.release(&batch);
    if (schema.release) schema.release(&schema);
    if (stream.release) stream.release(&stream);
  }
  const ArrowArray* column(int i) const { return batch.children[i]; }
};

TEST(ArrowExport, SchemaHasEightFieldsWithFormatsAndFlags) {
  auto tree = fixture();
  Reader r(*tree);
  const ArrowSchema& s = r.schema;
  EXPECT_STREQ(s.format, "+s");
  EXPECT_EQ(s.metadata, nullptr);
  EXPECT_EQ(s.flags, 0);
  EXPECT_EQ(s.dictionary, nullptr);
  ASSERT_EQ(s.n_children, 8);

  struct Expected {
    const char* name;
    const char* format;
    int64_t flags;
  };
  const Expected fields[] = {
      {"id", "I", 0},         {"parent", "I", ARROW_FLAG_NULLABLE},
      {"name", "I", 0},       {"size", "L", 0},
      {"own", "L", 0},        {"denied", "b", 0},
      {"partial", "b", 0},    {"other_device", "b", 0},
  };
  for (int i = 0; i < 8; ++i) {
    SCOPED_TRACE(fields[i].name);
    const ArrowSchema* f = s.children[i];
    EXPECT_STREQ(f->name, fields[i].name);
    EXPECT_STREQ(f->format, fields[i].format);
    EXPECT_EQ(f->flags, fields[i].flags);
    EXPECT_EQ(f->metadata, nullptr);
    EXPECT_EQ(f->n_children, 0);
    EXPECT_NE(f->release, nullptr);
    if (i == 2) {
      ASSERT_NE(f->dictionary, nullptr);
      EXPECT_STREQ(f->dictionary->format, "U");
      EXPECT_EQ(f->dictionary->flags, 0);
      EXPECT_EQ(f->dictionary->n_children, 0);
    } else {
      EXPECT_EQ(f->dictionary, nullptr);
    }
  }
}

TEST(ArrowExport, BatchLayoutAndBufferCounts) {
  auto tree = fixture();
  Reader r(*tree);
  const ArrowArray& b = r.batch;
  ASSERT_NE(b.release, nullptr);
  EXPECT_EQ(b.length, 7);
  EXPECT_EQ(b.null_count, 0);
  EXPECT_EQ(b.offset, 0);
  EXPECT_EQ(b.n_buffers, 1);
  EXPECT_EQ(b.buffers[0], nullptr);
  ASSERT_EQ(b.n_children, 8);
  for (int i = 0; i < 8; ++i) {
    SCOPED_TRACE(i);
    const ArrowArray* c = r.column(i);
    EXPECT_EQ(c->length, 7);
    EXPECT_EQ(c->offset, 0);
    EXPECT_EQ(c->n_buffers, 2);
    EXPECT_EQ(c->n_children, 0);
    EXPECT_NE(c->buffers[1], nullptr);
    EXPECT_NE(c->release, nullptr);
    if (i == 1) {
      EXPECT_EQ(c->null_count, 1);
      EXPECT_NE(c->buffers[0], nullptr);
    } else {
      EXPECT_EQ(c->null_count, 0);
      EXPECT_EQ(c->buffers[0], nullptr);  // no nulls, no bitmap
    }
    EXPECT_EQ(c->dictionary != nullptr, i == 2);
  }
  const ArrowArray* dict = r.column(2)->dictionary;
  EXPECT_EQ(dict->n_buffers, 3);
  EXPECT_EQ(dict->null_count, 0);
  EXPECT_EQ(dict->buffers[0], nullptr);
}

TEST(ArrowExport, RowsMatchTreeQueries) {
  auto tree = fixture();
  Reader r(*tree);
  const std::vector<uint32_t> ids = {0, 1, 2, 3, 5, 6, 7};
  const ArrowArray* parent = r.column(1);
  for (int64_t row = 0; row < int64_t(ids.size()); ++row) {
    const FolderId id = ids[row];
    SCOPED_TRACE(id);
    EXPECT_EQ(value<uint32_t>(r.column(0), row), id);
    EXPECT_EQ(bit(parent->buffers[0], row), id != 0);
    if (id != 0) {
      EXPECT_EQ(value<uint32_t>(parent, row), tree->folder(id).parent);
    }
    EXPECT_EQ(value<uint64_t>(r.column(3), row), size(*tree, id));
    EXPECT_EQ(value<uint64_t>(r.column(4), row), own(*tree, id));
    EXPECT_EQ(bit(r.column(5)->buffers[1], row), denied(*tree, id));
    EXPECT_EQ(bit(r.column(6)->buffers[1], row), partial(*tree, id));
    EXPECT_EQ(bit(r.column(7)->buffers[1], row), other_device(*tree, id));
  }
  // Spot values, so a query that is itself wrong cannot hide a fault here.
  EXPECT_EQ(value<uint64_t>(r.column(3), 0), 250u);  // 100+10+20+30+40+50
  EXPECT_EQ(value<uint64_t>(r.column(3), 1), 80u);   // a: 10+30+40
  EXPECT_TRUE(bit(r.column(5)->buffers[1], 2));      // b is denied
  EXPECT_TRUE(bit(r.column(6)->buffers[1], 0));      // the root is partial
  EXPECT_FALSE(bit(r.column(6)->buffers[1], 2));     // b itself is not
  EXPECT_TRUE(bit(r.column(7)->buffers[1], 5));      // dev
}

TEST(ArrowExport, NamesAreDictionaryEncodedByBytes) {
  auto tree = fixture();
  Reader r(*tree);
  const ArrowArray* keys = r.column(2);
  const ArrowArray* dict = keys->dictionary;
  // Distinct names in order of first appearance; "a" once although the two
  // folders named "a" have different name ids.
  const std::vector<std::string> expected = {"/r", "a", "b", "x", "dev", "bad\xEF\xBF\xBD"};
  ASSERT_EQ(dict->length, int64_t(expected.size()));
  for (int64_t i = 0; i < dict->length; ++i) EXPECT_EQ(dictionary_value(dict, i), expected[i]);
  const std::vector<uint32_t> expected_keys = {0, 1, 2, 3, 1, 4, 5};
  for (int64_t row = 0; row < 7; ++row) EXPECT_EQ(value<uint32_t>(keys, row), expected_keys[row]);
  EXPECT_EQ(static_cast<const int64_t*>(dict->buffers[1])[0], 0);
}

TEST(ArrowExport, RootOnlyTree) {
  auto tree = make_tree({{NO_PARENT, "/only", 7, 0, 0}});
  Reader r(*tree);
  EXPECT_EQ(r.batch.length, 1);
  EXPECT_EQ(r.column(1)->null_count, 1);
  EXPECT_FALSE(bit(r.column(1)->buffers[0], 0));
  EXPECT_EQ(r.schema.children[1]->flags, ARROW_FLAG_NULLABLE);
  EXPECT_EQ(r.column(2)->dictionary->length, 1);
  EXPECT_EQ(dictionary_value(r.column(2)->dictionary, 0), "/only");
  EXPECT_EQ(value<uint64_t>(r.column(3), 0), 7u);
}

TEST(ArrowExport, ManyRowsCrossBitmapBytes) {
  // 3 repeating names over 1000 folders: bitmaps span many bytes and the
  // dictionary stays at four entries.
  std::vector<TreeRow> rows = {{NO_PARENT, "/big", 1, 0, 0}};
  const char* cycle[] = {"p", "q", "r"};
  for (uint32_t i = 1; i < 1000; ++i)
    rows.push_back({i - 1, cycle[i % 3], i, uint8_t(i % 7 == 0 ? DENIED : 0), 1});
  auto tree = make_tree(rows);
  Reader r(*tree);
  ASSERT_EQ(r.batch.length, 1000);
  EXPECT_EQ(r.column(2)->dictionary->length, 4);
  for (int64_t row = 0; row < 1000; ++row) {
    EXPECT_EQ(bit(r.column(5)->buffers[1], row), row % 7 == 0 && row != 0);
    EXPECT_EQ(bit(r.column(6)->buffers[1], row), partial(*tree, FolderId(row)));
    EXPECT_EQ(value<uint32_t>(r.column(2), row), row == 0 ? 0u : 1 + ((row % 3) + 2) % 3);
  }
}

TEST(ArrowExport, StreamEndsAfterOneBatch) {
  auto tree = fixture();
  ArrowArrayStream stream;
  export_tree_stream(*tree, &stream);
  ASSERT_NE(stream.release, nullptr);
  EXPECT_EQ(stream.get_last_error(&stream), nullptr);

  ArrowArray first;
  ASSERT_EQ(stream.get_next(&stream, &first), 0);
  ASSERT_NE(first.release, nullptr);
  for (int i = 0; i < 2; ++i) {
    ArrowArray end;
    std::memset(&end, 0xAB, sizeof end);
    ASSERT_EQ(stream.get_next(&stream, &end), 0);
    EXPECT_EQ(end.release, nullptr);
  }
  // Schemas can be asked for again at any time, each one owned by the caller.
  ArrowSchema s1, s2;
  ASSERT_EQ(stream.get_schema(&stream, &s1), 0);
  ASSERT_EQ(stream.get_schema(&stream, &s2), 0);
  EXPECT_NE(s1.children, s2.children);
  s1.release(&s1);
  EXPECT_EQ(s1.release, nullptr);
  s2.release(&s2);

  stream.release(&stream);
  EXPECT_EQ(stream.release, nullptr);
  // The batch outlives the stream that produced it.
  EXPECT_EQ(value<uint32_t>(first.children[0], 6), 7u);
  first.release(&first);
  EXPECT_EQ(first.release, nullptr);
}

TEST(ArrowExport, MovedChildrenOutliveTheirParents) {
  auto tree = fixture();
  ArrowArrayStream stream;
  export_tree_stream(*tree, &stream);
  ArrowArray batch;
  ASSERT_EQ(stream.get_next(&stream, &batch), 0);
  ArrowSchema schema;
  ASSERT_EQ(stream.get_schema(&stream, &schema), 0);
  stream.release(&stream);

  // A consumer moves a child out: copies the struct and marks the source
  // released. The parent must then skip it, and the child stay readable.
  ArrowArray names = *batch.children[2];
  batch.children[2]->release = nullptr;
  ArrowSchema name_field = *schema.children[2];
  schema.children[2]->release = nullptr;
  ArrowSchema dict_schema = *name_field.dictionary;
  name_field.dictionary->release = nullptr;

  batch.release(&batch);
  schema.release(&schema);
  tree.reset();  // the columns do not depend on the tree either

  EXPECT_EQ(dictionary_value(names.dictionary, 5), "bad\xEF\xBF\xBD");
  EXPECT_STREQ(name_field.name, "name");
  EXPECT_STREQ(dict_schema.format, "U");
  names.release(&names);
  EXPECT_EQ(names.release, nullptr);
  name_field.release(&name_field);  // skips the dictionary moved out above
  dict_schema.release(&dict_schema);
  EXPECT_EQ(dict_schema.release, nullptr);
}

TEST(ArrowExport, TwoStreamsAreIndependent) {
  auto tree = fixture();
  ArrowArrayStream a, b;
  export_tree_stream(*tree, &a);
  export_tree_stream(*tree, &b);
  EXPECT_NE(a.private_data, b.private_data);
  ArrowArray from_a;
  ASSERT_EQ(a.get_next(&a, &from_a), 0);
  a.release(&a);  // releasing one stream leaves the other untouched

  ArrowArray from_b;
  ASSERT_EQ(b.get_next(&b, &from_b), 0);
  ASSERT_NE(from_b.release, nullptr);
  EXPECT_NE(from_a.children[0]->buffers[1], from_b.children[0]->buffers[1]);
  EXPECT_EQ(value<uint64_t>(from_b.children[3], 0), 250u);
  from_a.release(&from_a);
  from_b.release(&from_b);
  b.release(&b);
}

TEST(ArrowExport, UnreadStreamReleasesCleanly) {
  // Under the sanitizer build a leak here fails the run.
  auto tree = fixture();
  for (int i = 0; i < 100; ++i) {
    ArrowArrayStream s;
    export_tree_stream(*tree, &s);
    s.release(&s);
    EXPECT_EQ(s.release, nullptr);
  }
}

}  // namespace
}  // namespace tallmap
