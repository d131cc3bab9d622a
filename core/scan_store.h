// Where a running scan puts what it finds: folder records appended without
// locks and readable as a prefix while the scan runs, interned names, and
// the largest files met so far.
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/listing.h"
#include "core/tree.h"

namespace tallmap {

// Append-only vector for many writers and concurrent readers: a slot is
// reserved by an atomic counter, written, then marked written. Elements
// never move, so readers need no lock.
template <class T>
class ConcurrentVector {
 public:
  ConcurrentVector() {
    for (auto& s : items_) s.store(nullptr, std::memory_order_relaxed);
    for (auto& s : marks_) s.store(nullptr, std::memory_order_relaxed);
  }
  ~ConcurrentVector() {
    for (auto& s : items_) std::free(s.load());
    for (auto& s : marks_) std::free(s.load());
  }
  ConcurrentVector(const ConcurrentVector&) = delete;
  ConcurrentVector& operator=(const ConcurrentVector&) = delete;

  uint64_t reserve() { return next_.fetch_add(1, std::memory_order_relaxed); }

  void write(uint64_t slot, const T& value) {
    auto [seg, off] = locate(slot);
    T* items = segment(items_[seg], seg, sizeof(T));
    uint8_t* marks = segment(marks_[seg], seg, 1);
    items[off] = value;
    std::atomic_ref<uint8_t>(marks[off]).store(1, std::memory_order_release);
  }

  // Slots 0..n-1 are written and n is reserved-but-unwritten or unreserved.
  uint64_t written_prefix() const {
    uint64_t reserved = next_.load(std::memory_order_acquire);
    uint64_t n = 0;
    while (n < reserved && is_written(n)) ++n;
    return n;
  }

  // Only for slots known to be written.
  const T& at(uint64_t slot) const {
    auto [seg, off] = locate(slot);
    return items_[seg].load(std::memory_order_acquire)[off];
  }

  template <class F>
  void for_each_written(uint64_t count, F&& f) const {
    for (uint64_t i = 0; i < count; ++i) f(at(i));
  }

 private:
  static constexpr int FIRST_BITS = 12;
  static constexpr int SEGMENTS = 34 - FIRST_BITS;  // room for more than 2^32 slots

  static std::pair<int, uint64_t> locate(uint64_t slot) {
    uint64_t block = (slot >> FIRST_BITS) + 1;
    int seg = std::bit_width(block) - 1;
    uint64_t start = ((uint64_t(1) << seg) - 1) << FIRST_BITS;
    return {seg, slot - start};
  }
  static uint64_t segment_len(int seg) { return uint64_t(1) << (FIRST_BITS + seg); }

  // calloc keeps untouched pages of big segments out of the resident set.
  template <class P>
  static P* segment(std::atomic<P*>& s, int seg, size_t elem) {
    P* p = s.load(std::memory_order_acquire);
    if (p) return p;
    auto* fresh = static_cast<P*>(std::calloc(segment_len(seg), elem));
    if (!fresh) throw std::bad_alloc();
    if (s.compare_exchange_strong(p, fresh, std::memory_order_acq_rel)) return fresh;
    std::free(fresh);
    return p;
  }

  bool is_written(uint64_t slot) const {
    auto [seg, off] = locate(slot);
    uint8_t* marks = marks_[seg].load(std::memory_order_acquire);
    return marks && std::atomic_ref<uint8_t>(marks[off]).load(std::memory_order_acquire);
  }

  std::atomic<uint64_t> next_{0};
  std::atomic<T*> items_[SEGMENTS];
  std::atomic<uint8_t*> marks_[SEGMENTS];
};

// Makes equal names share one NameStore entry. One lock per folder's batch.
class NameInterner {
 public:
  NameInterner();
  // One id per subfolder, in order; nothing once the store is full.
  std::optional<std::vector<NameId>> intern(NameStore& names,
                                            std::span<const SubdirEntry> subdirs);

 private:
  std::optional<NameId> intern_one(NameStore& names, std::string_view bytes);
  void grow();

  std::mutex mu_;
  std::vector<uint64_t> slots_;  // (hash low 32 << 32) | id; EMPTY when free
  size_t used_ = 0;
  uint64_t k0_ = 0, k1_ = 0;
};

// The largest files met so far: a min-heap of at most LARGE_FILES_MAX.
class LargeFileHeap {
 public:
  void offer(FolderId folder, std::vector<FileCandidate>& candidates);
  std::vector<LargeFile> entries_below(uint64_t folder_count);
  std::vector<LargeFile> take();
  const std::atomic<uint64_t>& threshold() const { return threshold_; }

 private:
  std::mutex mu_;
  std::vector<LargeFile> heap_;
  std::atomic<uint64_t> threshold_{0};  // 0 until full, then the smallest size
};

struct ReclaimPair {
  FolderId id = 0;
  uint64_t bytes = 0;
};

struct ScanStore {
  std::vector<Folder> base;  // records that precede this scan's
  ConcurrentVector<Folder> records;
  std::shared_ptr<NameStore> names;
  NameInterner interner;
  LargeFileHeap large;
  std::unique_ptr<ConcurrentVector<ReclaimPair>> reclaimable;  // only when asked for
  uint32_t stamp = 0;
  // Ids are u32 and NO_PARENT is not an id; tests lower it to reach it.
  uint64_t id_limit = NO_PARENT;
};

// A store for a new scan: name 0 is the root path as given; takes a stamp.
std::shared_ptr<ScanStore> new_store(std::string_view root_path, bool reclaimable,
                                     std::vector<Folder> base);
// A store that continues an existing tree (its names, stamp and records).
std::shared_ptr<ScanStore> continue_store(std::shared_ptr<NameStore> names, uint32_t stamp,
                                          bool reclaimable, std::vector<Folder> base);

// What a live scan keeps to take snapshots of a running scan.
struct StoreHandles {
  std::shared_ptr<ScanStore> store;
};

// Everything recorded so far as a Tree; null before the root is recorded.
std::shared_ptr<Tree> snapshot(const StoreHandles& handles);

// Keyed 64-bit hash of bytes (SipHash-1-3).
uint64_t keyed_hash(std::string_view bytes, uint64_t k0, uint64_t k1);

}  // namespace tallmap
