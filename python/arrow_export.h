// A tree's folders as one Arrow record batch, handed out through the Arrow
// C stream interface. Plain C++: the Python module wraps the stream in a
// capsule, and the C++ tests read it directly.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/tree.h"

// The Arrow C data and C stream ABI. The guards let this coexist with any
// other declaration of the same ABI in one translation unit.
extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE

}  // extern "C"

namespace tallmap {

// The columns of every living folder, in increasing id order. Bitmaps are
// Arrow's: bit i of byte i/8, least significant bit first.
struct FolderColumns {
  int64_t rows = 0;
  std::vector<uint32_t> id;
  std::vector<uint32_t> parent;  // 0 where the validity bit is clear
  std::vector<uint8_t> parent_valid;
  int64_t parent_nulls = 0;
  std::vector<uint32_t> name_key;       // index into the name dictionary
  std::vector<int64_t> name_offsets;    // dictionary entries + 1
  std::string name_data;                // dictionary values, UTF-8
  std::vector<uint64_t> size;
  std::vector<uint64_t> own;
  std::vector<uint8_t> denied;
  std::vector<uint8_t> partial;
  std::vector<uint8_t> other_device;

  int64_t name_count() const { return int64_t(name_offsets.size()) - 1; }
};

FolderColumns build_folder_columns(const Tree& tree);

// Fills `out` with a stream whose only batch is `columns`. The stream and
// every schema and array taken from it own what they point to; each can be
// released in any order.
void export_folder_stream(std::shared_ptr<const FolderColumns> columns,
                          ArrowArrayStream* out);

// Builds the columns of `tree` now and fills `out` with their stream.
void export_tree_stream(const Tree& tree, ArrowArrayStream* out);

}  // namespace tallmap
