// Builds a tree's columns and exposes them as one Arrow record batch.
//
// Ownership: the columns are built once and shared (reference-counted) by
// the stream and by every array handed out of it, so a consumer may release
// the stream, the batch, or any child it moved out, in any order.
#include "python/arrow_export.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <random>
#include <string_view>
#include <unordered_map>

#include "core/read.h"
#include "core/utf8.h"

namespace tallmap {

// ---------------------------------------------------------------- columns

namespace {

// Keyed per process so that crafted folder names cannot force collisions.
struct NameHash {
  uint64_t seed;
  size_t operator()(std::string_view s) const {
    auto mix = [](uint64_t a, uint64_t b) {
      __uint128_t r = __uint128_t(a) * b;
      return uint64_t(r) ^ uint64_t(r >> 64);
    };
    uint64_t h = seed ^ (s.size() * 0x9E3779B97F4A7C15ull);
    size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
      uint64_t w;
      std::memcpy(&w, s.data() + i, 8);
      h = mix(h ^ w, 0xA0761D6478BD642Full ^ seed);
    }
    uint64_t tail = 0;
    std::memcpy(&tail, s.data() + i, s.size() - i);
    return mix(h ^ tail, 0xE7037ED1A0B428DBull);
  }
};

uint64_t process_seed() {
  static const uint64_t seed = [] {
    std::random_device rd;
    return (uint64_t(rd()) << 32) ^ rd();
  }();
  return seed;
}

void set_bit(std::vector<uint8_t>& bits, size_t i) { bits[i / 8] |= uint8_t(1u << (i % 8)); }

}  // namespace

FolderColumns build_folder_columns(const Tree& tree) {
  FolderColumns c;
  const uint32_t count = tree.folder_count();
  if (count > 0) tree.index();  // derive once, before the per-row queries

  c.id.reserve(count);
  for (FolderId i = 0; i < count; ++i)
    if (!(tree.folder(i).flags & GONE)) c.id.push_back(i);
  const size_t rows = c.id.size();
  c.rows = int64_t(rows);

  const size_t bitmap_bytes = (rows + 7) / 8;
  c.parent.resize(rows);
  c.parent_valid.assign(bitmap_bytes, 0);
  c.name_key.resize(rows);
  c.size.resize(rows);
  c.own.resize(rows);
  c.denied.assign(bitmap_bytes, 0);
  c.partial.assign(bitmap_bytes, 0);
  c.other_device.assign(bitmap_bytes, 0);
  c.name_offsets.push_back(0);

  std::unordered_map<std::string_view, uint32_t, NameHash> keys(0, NameHash{process_seed()});
  for (size_t r = 0; r < rows; ++r) {
    const FolderId id = c.id[r];
    const Folder& f = tree.folder(id);
    if (id == 0 || f.parent == NO_PARENT) {
      ++c.parent_nulls;
    } else {
      c.parent[r] = f.parent;
      set_bit(c.parent_valid, r);
    }

    std::string_view bytes = name(tree, id);
    auto [it, added] = keys.try_emplace(bytes, uint32_t(keys.size()));
    if (added) {
      append_lossy_utf8(c.name_data, bytes);
      c.name_offsets.push_back(int64_t(c.name_data.size()));
    }
    c.name_key[r] = it->second;

    c.size[r] = size(tree, id);
    c.own[r] = own(tree, id);
    if (denied(tree, id)) set_bit(c.denied, r);
    if (partial(tree, id)) set_bit(c.partial, r);
    if (other_device(tree, id)) set_bit(c.other_device, r);
  }
  return c;
}

// ---------------------------------------------------------------- schema

namespace {

struct FieldSpec {
  const char* name;
  const char* format;
};

// Field order is part of the interface.
constexpr FieldSpec FIELDS[] = {
    {"id", "I"},          {"parent", "I"},   {"name", "I"},    {"size", "L"},
    {"own", "L"},         {"denied", "b"},   {"partial", "b"}, {"other_device", "b"},
};
constexpr int64_t FIELD_COUNT = sizeof(FIELDS) / sizeof(FIELDS[0]);
constexpr int NAME_FIELD = 2;
constexpr int PARENT_FIELD = 1;

// Storage for the schema nodes below one released-together node.
struct SchemaData {
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_ptrs;
  ArrowSchema dictionary{};
};

void release_schema(ArrowSchema* s) {
  auto* data = static_cast<SchemaData*>(s->private_data);
  for (int64_t i = 0; i < s->n_children; ++i) {
    ArrowSchema* child = s->children[i];
    if (child->release) child->release(child);
  }
  if (s->dictionary && s->dictionary->release) s->dictionary->release(s->dictionary);
  delete data;
  s->release = nullptr;
}

void init_schema(ArrowSchema* s, const char* format, const char* name, int64_t flags) {
  *s = ArrowSchema{};
  s->format = format;
  s->name = name;
  s->metadata = nullptr;
  s->flags = flags;
  s->release = release_schema;
  s->private_data = new SchemaData;
}

void fill_schema(const FolderColumns& c, ArrowSchema* out) {
  init_schema(out, "+s", "", 0);
  auto* top = static_cast<SchemaData*>(out->private_data);
  top->children.resize(FIELD_COUNT);
  top->child_ptrs.resize(FIELD_COUNT);
  for (int64_t i = 0; i < FIELD_COUNT; ++i) {
    ArrowSchema* child = &top->children[i];
    // A field is nullable exactly when its column holds nulls.
    int64_t flags = (i == PARENT_FIELD && c.parent_nulls > 0) ? ARROW_FLAG_NULLABLE : 0;
    init_schema(child, FIELDS[i].format, FIELDS[i].name, flags);
    top->child_ptrs[i] = child;
    if (i == NAME_FIELD) {
      auto* data = static_cast<SchemaData*>(child->private_data);
      init_schema(&data->dictionary, "U", "", 0);
      child->dictionary = &data->dictionary;
    }
  }
  out->n_children = FIELD_COUNT;
  out->children = top->child_ptrs.data();
}

// ---------------------------------------------------------------- arrays

// Storage for one array node; every node keeps the columns alive, so a
// child moved out by the consumer outlives its parent safely.
struct ArrayData {
  std::shared_ptr<const FolderColumns> columns;
  const void* buffers[3] = {nullptr, nullptr, nullptr};
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_ptrs;
  ArrowArray dictionary{};
};

// Consumers may reject null data buffers even for empty columns.
alignas(64) const uint8_t EMPTY_BUFFER[64] = {};

template <class V>
const void* buffer(const V& v) {
  return v.empty() ? static_cast<const void*>(EMPTY_BUFFER) : static_cast<const void*>(v.data());
}

void release_array(ArrowArray* a) {
  auto* data = static_cast<ArrayData*>(a->private_data);
  for (int64_t i = 0; i < a->n_children; ++i) {
    ArrowArray* child = a->children[i];
    if (child->release) child->release(child);
  }
  if (a->dictionary && a->dictionary->release) a->dictionary->release(a->dictionary);
  delete data;
  a->release = nullptr;
}

ArrayData* init_array(ArrowArray* a, const std::shared_ptr<const FolderColumns>& columns,
                      int64_t length, int64_t null_count, std::initializer_list<const void*> bufs) {
  auto* data = new ArrayData;
  data->columns = columns;
  size_t n = 0;
  for (const void* b : bufs) data->buffers[n++] = b;
  *a = ArrowArray{};
  a->length = length;
  a->null_count = null_count;
  a->offset = 0;
  a->n_buffers = int64_t(n);
  a->buffers = data->buffers;
  a->release = release_array;
  a->private_data = data;
  return data;
}

void fill_column(const std::shared_ptr<const FolderColumns>& cols, int field, ArrowArray* out) {
  const FolderColumns& c = *cols;
  const int64_t n = c.rows;
  switch (field) {
    case 0: init_array(out, cols, n, 0, {nullptr, buffer(c.id)}); break;
    case 1:
      init_array(out, cols, n, c.parent_nulls,
                 {c.parent_nulls > 0 ? buffer(c.parent_valid) : nullptr, buffer(c.parent)});
      break;
    case 2: {
      ArrayData* data = init_array(out, cols, n, 0, {nullptr, buffer(c.name_key)});
      init_array(&data->dictionary, cols, c.name_count(), 0,
                 {nullptr, buffer(c.name_offsets), buffer(c.name_data)});
      out->dictionary = &data->dictionary;
      break;
    }
    case 3: init_array(out, cols, n, 0, {nullptr, buffer(c.size)}); break;
    case 4: init_array(out, cols, n, 0, {nullptr, buffer(c.own)}); break;
    case 5: init_array(out, cols, n, 0, {nullptr, buffer(c.denied)}); break;
    case 6: init_array(out, cols, n, 0, {nullptr, buffer(c.partial)}); break;
    case 7: init_array(out, cols, n, 0, {nullptr, buffer(c.other_device)}); break;
  }
}

void fill_batch(const std::shared_ptr<const FolderColumns>& cols, ArrowArray* out) {
  ArrayData* top = init_array(out, cols, cols->rows, 0, {nullptr});
  top->children.resize(FIELD_COUNT);
  top->child_ptrs.resize(FIELD_COUNT);
  for (int i = 0; i < FIELD_COUNT; ++i) {
    fill_column(cols, i, &top->children[i]);
    top->child_ptrs[i] = &top->children[i];
  }
  out->n_children = FIELD_COUNT;
  out->children = top->child_ptrs.data();
}

// ---------------------------------------------------------------- stream

struct StreamData {
  std::shared_ptr<const FolderColumns> columns;
  bool batch_sent = false;
  std::string last_error;
};

StreamData* stream_data(ArrowArrayStream* s) { return static_cast<StreamData*>(s->private_data); }

// The callbacks are called from C: nothing may be thrown through them.
int stream_get_schema(ArrowArrayStream* s, ArrowSchema* out) {
  StreamData* data = stream_data(s);
  try {
    fill_schema(*data->columns, out);
    return 0;
  } catch (const std::bad_alloc&) {
    data->last_error = "out of memory";
    return ENOMEM;
  }
}

int stream_get_next(ArrowArrayStream* s, ArrowArray* out) {
  StreamData* data = stream_data(s);
  if (data->batch_sent) {
    *out = ArrowArray{};  // release == nullptr marks the end of the stream
    return 0;
  }
  try {
    fill_batch(data->columns, out);
  } catch (const std::bad_alloc&) {
    data->last_error = "out of memory";
    return ENOMEM;
  }
  data->batch_sent = true;
  return 0;
}

const char* stream_get_last_error(ArrowArrayStream* s) {
  StreamData* data = stream_data(s);
  return data->last_error.empty() ? nullptr : data->last_error.c_str();
}

void stream_release(ArrowArrayStream* s) {
  delete stream_data(s);
  s->release = nullptr;
}

}  // namespace

void export_folder_stream(std::shared_ptr<const FolderColumns> columns, ArrowArrayStream* out) {
  *out = ArrowArrayStream{};
  out->get_schema = stream_get_schema;
  out->get_next = stream_get_next;
  out->get_last_error = stream_get_last_error;
  out->release = stream_release;
  auto* data = new StreamData;
  data->columns = std::move(columns);
  out->private_data = data;
}

void export_tree_stream(const Tree& tree, ArrowArrayStream* out) {
  export_folder_stream(std::make_shared<const FolderColumns>(build_folder_columns(tree)), out);
}

}  // namespace tallmap
