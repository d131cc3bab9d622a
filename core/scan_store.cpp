#include "core/scan_store.h"

#include <algorithm>
#include <cstring>
#include <random>

namespace tallmap {
namespace {

constexpr uint64_t EMPTY = ~uint64_t(0);
constexpr size_t INTERNER_START = 1024;

uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct Sip {
  uint64_t v0, v1, v2, v3;
  void round() {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  }
  void absorb(uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

uint64_t random_u64() {
  std::random_device rd;
  return (uint64_t(rd()) << 32) ^ rd();
}

// Min-heap order: the smallest entry by (size, folder, name) at the front.
bool heap_greater(const LargeFile& a, const LargeFile& b) { return large_file_less(b, a); }

}  // namespace

uint64_t keyed_hash(std::string_view bytes, uint64_t k0, uint64_t k1) {
  Sip s{k0 ^ 0x736f6d6570736575ull, k1 ^ 0x646f72616e646f6dull, k0 ^ 0x6c7967656e657261ull,
        k1 ^ 0x7465646279746573ull};
  size_t n = bytes.size();
  const char* p = bytes.data();
  for (; n >= 8; n -= 8, p += 8) {
    uint64_t m;
    std::memcpy(&m, p, 8);
    s.absorb(m);
  }
  uint64_t last = uint64_t(bytes.size()) << 56;
  for (size_t i = 0; i < n; ++i) last |= uint64_t(uint8_t(p[i])) << (8 * i);
  s.absorb(last);
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

NameInterner::NameInterner()
    : slots_(INTERNER_START, EMPTY), k0_(random_u64()), k1_(random_u64()) {}

void NameInterner::grow() {
  std::vector<uint64_t> old(slots_.size() * 2, EMPTY);
  old.swap(slots_);
  size_t mask = slots_.size() - 1;
  for (uint64_t v : old) {
    if (v == EMPTY) continue;
    size_t i = size_t(v >> 32) & mask;
    while (slots_[i] != EMPTY) i = (i + 1) & mask;
    slots_[i] = v;
  }
}

std::optional<NameId> NameInterner::intern_one(NameStore& names, std::string_view bytes) {
  if ((used_ + 1) * 4 > slots_.size() * 3) grow();
  uint32_t tag = uint32_t(keyed_hash(bytes, k0_, k1_));
  size_t mask = slots_.size() - 1;
  size_t i = tag & mask;
  for (; slots_[i] != EMPTY; i = (i + 1) & mask) {
    uint64_t v = slots_[i];
    if (uint32_t(v >> 32) == tag && names.get(NameId(v)) == bytes) return NameId(v);
  }
  std::optional<NameId> id = names.append(bytes);
  // The table cannot hold the last id; no real scan gets near it.
  if (!id || *id == NO_PARENT) return std::nullopt;
  slots_[i] = (uint64_t(tag) << 32) | *id;
  ++used_;
  return id;
}

std::optional<std::vector<NameId>> NameInterner::intern(NameStore& names,
                                                        std::span<const SubdirEntry> subdirs) {
  std::vector<NameId> ids;
  ids.reserve(subdirs.size());
  std::lock_guard lock(mu_);
  for (const SubdirEntry& e : subdirs) {
    std::optional<NameId> id = intern_one(names, e.name_bytes());
    if (!id) return std::nullopt;
    ids.push_back(*id);
  }
  return ids;
}

void LargeFileHeap::offer(FolderId folder, std::vector<FileCandidate>& candidates) {
  std::lock_guard lock(mu_);
  for (FileCandidate& c : candidates) {
    if (heap_.size() < LARGE_FILES_MAX) {
      heap_.push_back({c.size, folder, std::move(c.name)});
      std::push_heap(heap_.begin(), heap_.end(), heap_greater);
      continue;
    }
    // Strictly greater only: an equal file never displaces one already kept.
    if (c.size <= heap_.front().size) continue;
    std::pop_heap(heap_.begin(), heap_.end(), heap_greater);
    heap_.back() = {c.size, folder, std::move(c.name)};
    std::push_heap(heap_.begin(), heap_.end(), heap_greater);
  }
  if (heap_.size() == LARGE_FILES_MAX)
    threshold_.store(heap_.front().size, std::memory_order_relaxed);
}

std::vector<LargeFile> LargeFileHeap::entries_below(uint64_t folder_count) {
  std::lock_guard lock(mu_);
  std::vector<LargeFile> out;
  for (const LargeFile& f : heap_)
    if (f.folder < folder_count) out.push_back(f);
  return out;
}

std::vector<LargeFile> LargeFileHeap::take() {
  std::lock_guard lock(mu_);
  return std::move(heap_);
}

std::shared_ptr<ScanStore> new_store(std::string_view root_path, bool reclaimable,
                                     std::vector<Folder> base) {
  auto names = std::make_shared<NameStore>();
  names->append(root_path);  // entry 0 of a fresh store
  return continue_store(std::move(names), next_stamp(), reclaimable, std::move(base));
}

std::shared_ptr<ScanStore> continue_store(std::shared_ptr<NameStore> names, uint32_t stamp,
                                          bool reclaimable, std::vector<Folder> base) {
  auto store = std::make_shared<ScanStore>();
  store->base = std::move(base);
  store->names = std::move(names);
  store->stamp = stamp;
  if (reclaimable) store->reclaimable = std::make_unique<ConcurrentVector<ReclaimPair>>();
  return store;
}

std::shared_ptr<Tree> snapshot(const StoreHandles& handles) {
  ScanStore& store = *handles.store;
  uint64_t written = store.records.written_prefix();
  if (store.base.empty() && written == 0) return nullptr;
  std::vector<Folder> folders;
  folders.reserve(store.base.size() + written);
  folders.assign(store.base.begin(), store.base.end());
  store.records.for_each_written(written, [&](const Folder& f) { folders.push_back(f); });
  std::vector<LargeFile> large = store.large.entries_below(folders.size());
  std::vector<uint64_t> reclaimable;
  if (store.reclaimable) {
    reclaimable.assign(folders.size(), 0);
    ConcurrentVector<ReclaimPair>& pairs = *store.reclaimable;
    pairs.for_each_written(pairs.written_prefix(), [&](const ReclaimPair& p) {
      if (p.id < reclaimable.size()) reclaimable[p.id] = p.bytes;
    });
  }
  return Tree::from_parts(std::move(folders), std::move(large), std::move(reclaimable),
                          store.names, make_link_map(), store.stamp, false);
}

}  // namespace tallmap
