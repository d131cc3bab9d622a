// The folder tree: one 24-byte record per folder, names in a shared store,
// and everything derivable (totals, child lists) computed once on demand.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tallmap {

using FolderId = uint32_t;
using NameId = uint32_t;

inline constexpr FolderId NO_PARENT = 0xFFFFFFFFu;
inline constexpr size_t LARGE_FILES_MAX = 1000;

// Folder flags.
inline constexpr uint8_t DENIED = 1;
inline constexpr uint8_t OTHER_DEVICE = 2;
inline constexpr uint8_t PARTIAL = 4;
inline constexpr uint8_t GONE = 8;

struct Folder {
  uint64_t own = 0;
  uint32_t parent = NO_PARENT;
  uint32_t name = 0;
  uint32_t ino = 0;
  uint8_t flags = 0;
  uint8_t reserved = 0;
  uint16_t errnum = 0;  // the OS error number when DENIED (`errno` is a macro)
};
static_assert(sizeof(Folder) == 24, "a folder record is exactly 24 bytes");

// Names a folder of one particular tree; stamp 0 matches any tree.
struct FolderRef {
  FolderId id = 0;
  uint32_t stamp = 0;
};

// Process-wide counter: 1, 2, 3, ...
uint32_t next_stamp();

// Append-only store of name bytes, shared by every tree of one scan.
// Appends are lock-free and may come from many threads; an entry is
// readable by anyone who learned its id after the append returned.
class NameStore {
 public:
  NameStore();
  ~NameStore();
  NameStore(const NameStore&) = delete;
  NameStore& operator=(const NameStore&) = delete;

  // Returns the new entry's id, or nothing once 2^32 entries exist.
  std::optional<NameId> append(std::string_view bytes);
  std::string_view get(NameId id) const;
  // Entries whose append has completed form a prefix only when appends
  // are not concurrent; this is the number of slots handed out.
  uint64_t reserved_count() const { return next_.load(std::memory_order_acquire); }

 private:
  struct Slot {
    const char* data;
    uint32_t size;
    std::atomic<bool> written;
  };
  struct Chunk;
  static constexpr int FIRST_SEGMENT_BITS = 10;
  static constexpr int SEGMENTS = 33 - FIRST_SEGMENT_BITS;

  Slot* slot(uint64_t id, bool create);
  const char* store_bytes(std::string_view bytes);

  std::atomic<uint64_t> next_{0};
  std::atomic<Slot*> segments_[SEGMENTS];
  std::atomic<Chunk*> chunk_{nullptr};
};

struct LargeFile {
  uint64_t size = 0;
  FolderId folder = 0;
  std::string name;
};

// Ordering of large files: size, then folder id, then name bytes.
inline bool large_file_less(const LargeFile& a, const LargeFile& b) {
  if (a.size != b.size) return a.size < b.size;
  if (a.folder != b.folder) return a.folder < b.folder;
  return a.name < b.name;
}

struct DevIno {
  uint64_t dev = 0;
  uint64_t ino = 0;
  bool operator==(const DevIno&) const = default;
};

// Hash with a key chosen per map, so that crafted inode numbers cannot
// degrade the map.
struct DevInoHash {
  uint64_t seed = 0;
  size_t operator()(const DevIno& k) const;
};
using LinkMap = std::unordered_map<DevIno, FolderId, DevInoHash>;
LinkMap make_link_map();  // empty, with a fresh random seed

struct TreeIndex {
  std::vector<uint64_t> totals;
  std::vector<uint64_t> reclaimable_totals;
  std::vector<uint16_t> derived_flags;
  std::vector<uint32_t> child_offsets;  // folder count + 1
  std::vector<FolderId> children;
};

// What labelling needs once per tree (filled by the label rules).
struct LabelContext {
  std::optional<std::string> root;  // canonical root path
  std::optional<std::string> home;  // canonical $HOME
};

class Tree {
 public:
  static std::shared_ptr<Tree> from_parts(std::vector<Folder> folders,
                                          std::vector<LargeFile> largest_files,
                                          std::vector<uint64_t> reclaimable,
                                          std::shared_ptr<NameStore> names,
                                          LinkMap links, uint32_t stamp,
                                          bool stopped);
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;

  // Read access.
  uint32_t folder_count() const { return uint32_t(folders_.size()); }
  const Folder& folder(FolderId id) const { return folders_[id]; }
  std::span<const Folder> folders() const { return folders_; }
  std::string_view name_bytes(NameId id) const { return names_->get(id); }
  const TreeIndex& index() const;
  uint32_t stamp() const { return stamp_; }
  bool stopped() const { return stopped_; }
  const std::vector<LargeFile>& largest_files() const { return largest_; }
  const std::vector<uint64_t>& reclaimable() const { return reclaimable_; }
  const LinkMap& links() const { return links_; }
  const std::shared_ptr<NameStore>& names() const { return names_; }

  std::string path_bytes(FolderId id) const;
  std::string relative_path_bytes(FolderId id) const;

  // Building and changing: only on a tree nobody else has seen yet.
  std::optional<FolderId> append_folder(const Folder& f);
  void prune_gone();
  std::shared_ptr<Tree> copy() const;
  void reset_index();
  std::vector<Folder>& mutable_folders() { return folders_; }
  std::vector<LargeFile>& mutable_largest_files() { return largest_; }
  std::vector<uint64_t>& mutable_reclaimable() { return reclaimable_; }
  LinkMap& mutable_links() { return links_; }

  // Computed by `compute` the first time, then kept for the tree's life.
  template <class F>
  const LabelContext& label_context(F&& compute) const {
    std::call_once(label_once_, [&] { label_ctx_ = compute(); });
    return label_ctx_;
  }

 private:
  Tree() = default;

  std::vector<Folder> folders_;
  std::vector<LargeFile> largest_;
  std::vector<uint64_t> reclaimable_;
  std::shared_ptr<NameStore> names_;
  LinkMap links_;
  mutable std::atomic<const TreeIndex*> index_{nullptr};
  mutable std::mutex index_mu_;
  mutable std::unique_ptr<TreeIndex> index_own_;
  uint32_t stamp_ = 0;
  bool stopped_ = false;
  mutable std::once_flag label_once_;
  mutable LabelContext label_ctx_;
};

// Derives the index of `folders` (with `reclaimable`, possibly shorter).
TreeIndex derive_index(std::span<const Folder> folders,
                       std::span<const uint64_t> reclaimable);
// The same over any table with size() and operator[] giving a Folder.
template <class Records>
TreeIndex derive_index_of(const Records& folders, std::span<const uint64_t> reclaimable);

// "EPERM", "EACCES", "errno {}" for a DENIED record; nothing otherwise.
std::optional<std::string> error_text(const Folder& f);

template <class Records>
TreeIndex derive_index_of(const Records& folders, std::span<const uint64_t> reclaimable) {
  size_t n = folders.size();
  TreeIndex ix;
  ix.totals.assign(n, 0);
  ix.reclaimable_totals.assign(n, 0);
  ix.derived_flags.assign(n, 0);
  ix.child_offsets.assign(n + 1, 0);
  // Backward: every child is complete before it is added to its parent.
  for (size_t i = n; i-- > 0;) {
    const Folder f = folders[FolderId(i)];
    ix.totals[i] += f.own;
    if (i < reclaimable.size()) ix.reclaimable_totals[i] += reclaimable[i];
    ix.derived_flags[i] |= uint16_t(f.flags | (uint16_t(f.reserved) << 8));
    if (i == 0) continue;
    ix.totals[f.parent] += ix.totals[i];
    ix.reclaimable_totals[f.parent] += ix.reclaimable_totals[i];
    if (ix.derived_flags[i] & (DENIED | PARTIAL)) ix.derived_flags[f.parent] |= PARTIAL;
    if (!(f.flags & GONE)) ix.child_offsets[f.parent + 1]++;
  }
  for (size_t i = 0; i < n; i++) ix.child_offsets[i + 1] += ix.child_offsets[i];
  ix.children.resize(ix.child_offsets[n]);
  std::vector<uint32_t> cursor(ix.child_offsets.begin(), ix.child_offsets.end() - 1);
  for (size_t i = 1; i < n; i++) {
    const Folder f = folders[FolderId(i)];
    if (!(f.flags & GONE)) ix.children[cursor[f.parent]++] = FolderId(i);
  }
  return ix;
}

}  // namespace tallmap
