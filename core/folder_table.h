// Folder records where they lie: a Tree's vector, or the records of a saved
// scan read in place from its mapping, where the same fields sit in another
// order and are decoded one record at a time.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>

#include "core/tree.h"

namespace tallmap {

// Size of one folder record in a saved scan.
inline constexpr size_t STORED_FOLDER_SIZE = 24;

inline uint32_t load_le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// parent u32, name u32, flags u8, reserved u8, errno u16, ino u32, own u64;
// all little-endian.
inline Folder decode_stored_folder(const uint8_t* p) {
  Folder f;
  f.parent = load_le32(p);
  f.name = load_le32(p + 4);
  f.flags = p[8];
  f.reserved = p[9];
  f.errnum = uint16_t(p[10] | p[11] << 8);
  f.ino = load_le32(p + 12);
  f.own = load_le32(p + 16) | uint64_t(load_le32(p + 20)) << 32;
  return f;
}

class FolderTable {
 public:
  FolderTable() = default;
  FolderTable(std::span<const Folder> records) : records_(records), count_(records.size()) {}
  // `count` records in the saved layout starting at `first`.
  static FolderTable stored(const uint8_t* first, size_t count) {
    FolderTable t;
    t.stored_ = first;
    t.count_ = count;
    return t;
  }

  size_t size() const { return count_; }
  Folder operator[](FolderId id) const {
    return stored_ ? decode_stored_folder(stored_ + STORED_FOLDER_SIZE * size_t(id))
                   : records_[id];
  }

 private:
  std::span<const Folder> records_;
  const uint8_t* stored_ = nullptr;
  size_t count_ = 0;
};

}  // namespace tallmap
