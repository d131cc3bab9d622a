#include "core/tree.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <random>

#include "core/text.h"

namespace tallmap {

uint32_t next_stamp() {
  static std::atomic<uint32_t> counter{1};
  return counter.fetch_add(1, std::memory_order_relaxed);
}

// ---- NameStore -------------------------------------------------------------
//
// Slots live in segments of doubling size (1024, 2048, ...), so a slot never
// moves once handed out and readers need no lock. Name bytes go into chunks
// claimed by an atomic bump; a full chunk is replaced by a new one pushed
// onto a lock-free list that the destructor walks.

struct NameStore::Chunk {
  Chunk* next;
  size_t capacity;
  std::atomic<size_t> used;
  char* data() { return reinterpret_cast<char*>(this + 1); }
};

static constexpr size_t CHUNK_BYTES = 64 * 1024;

NameStore::NameStore() {
  for (auto& s : segments_) s.store(nullptr, std::memory_order_relaxed);
}

NameStore::~NameStore() {
  for (int i = 0; i < SEGMENTS; i++) delete[] segments_[i].load();
  for (Chunk* c = chunk_.load(); c;) {
    Chunk* next = c->next;
    std::free(c);
    c = next;
  }
}

static inline void segment_of(uint64_t id, int first_bits, int* seg, uint64_t* off) {
  uint64_t v = id + (uint64_t(1) << first_bits);
  int top = 63 - std::countl_zero(v);
  *seg = top - first_bits;
  *off = v - (uint64_t(1) << top);
}

NameStore::Slot* NameStore::slot(uint64_t id, bool create) {
  int seg;
  uint64_t off;
  segment_of(id, FIRST_SEGMENT_BITS, &seg, &off);
  Slot* s = segments_[seg].load(std::memory_order_acquire);
  if (!s && create) {
    size_t n = size_t(1) << (seg + FIRST_SEGMENT_BITS);
    Slot* fresh = new Slot[n];
    for (size_t i = 0; i < n; i++) fresh[i].written.store(false, std::memory_order_relaxed);
    if (segments_[seg].compare_exchange_strong(s, fresh, std::memory_order_acq_rel))
      s = fresh;
    else
      delete[] fresh;
  }
  return s ? s + off : nullptr;
}

const char* NameStore::store_bytes(std::string_view bytes) {
  size_t n = bytes.size();
  if (n == 0) return "";
  for (;;) {
    Chunk* c = chunk_.load(std::memory_order_acquire);
    if (c) {
      size_t at = c->used.fetch_add(n, std::memory_order_relaxed);
      if (at + n <= c->capacity) {
        std::memcpy(c->data() + at, bytes.data(), n);
        return c->data() + at;
      }
    }
    size_t cap = std::max(CHUNK_BYTES, n);
    auto* fresh = static_cast<Chunk*>(std::malloc(sizeof(Chunk) + cap));
    if (!fresh) std::abort();
    fresh->next = c;
    fresh->capacity = cap;
    fresh->used.store(0, std::memory_order_relaxed);
    if (!chunk_.compare_exchange_strong(c, fresh, std::memory_order_acq_rel)) std::free(fresh);
  }
}

std::optional<NameId> NameStore::append(std::string_view bytes) {
  uint64_t id = next_.fetch_add(1, std::memory_order_acq_rel);
  if (id > 0xFFFFFFFFull) {
    next_.fetch_sub(1, std::memory_order_acq_rel);
    return std::nullopt;
  }
  Slot* s = slot(id, true);
  s->data = store_bytes(bytes);
  s->size = uint32_t(bytes.size());
  s->written.store(true, std::memory_order_release);
  return NameId(id);
}

std::string_view NameStore::get(NameId id) const {
  int seg;
  uint64_t off;
  segment_of(id, FIRST_SEGMENT_BITS, &seg, &off);
  const Slot* s = segments_[seg].load(std::memory_order_acquire);
  if (!s || !s[off].written.load(std::memory_order_acquire)) return {};
  return {s[off].data, s[off].size};
}

// ---- LinkMap ---------------------------------------------------------------

size_t DevInoHash::operator()(const DevIno& k) const {
  // A keyed multiply-xorshift mix: cheap, and the key makes collisions
  // unpredictable from the outside.
  uint64_t h = seed ^ (k.dev * 0x9E3779B97F4A7C15ull);
  h ^= k.ino + 0x632BE59BD9B4E019ull + (h << 6) + (h >> 2);
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 33;
  return size_t(h);
}

LinkMap make_link_map() {
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  return LinkMap(0, DevInoHash{rng()});
}

// ---- Tree ------------------------------------------------------------------

std::shared_ptr<Tree> Tree::from_parts(std::vector<Folder> folders,
                                       std::vector<LargeFile> largest_files,
                                       std::vector<uint64_t> reclaimable,
                                       std::shared_ptr<NameStore> names, LinkMap links,
                                       uint32_t stamp, bool stopped) {
  std::shared_ptr<Tree> t(new Tree());
  t->folders_ = std::move(folders);
  t->largest_ = std::move(largest_files);
  t->reclaimable_ = std::move(reclaimable);
  t->names_ = std::move(names);
  t->links_ = std::move(links);
  t->stamp_ = stamp;
  t->stopped_ = stopped;
  return t;
}

TreeIndex derive_index(std::span<const Folder> folders, std::span<const uint64_t> reclaimable) {
  return derive_index_of(folders, reclaimable);
}

const TreeIndex& Tree::index() const {
  if (const TreeIndex* ix = index_.load(std::memory_order_acquire)) return *ix;
  std::lock_guard lock(index_mu_);
  if (const TreeIndex* ix = index_.load(std::memory_order_relaxed)) return *ix;
  index_own_ = std::make_unique<TreeIndex>(derive_index(folders_, reclaimable_));
  index_.store(index_own_.get(), std::memory_order_release);
  return *index_own_;
}

void Tree::reset_index() {
  index_.store(nullptr, std::memory_order_release);
  index_own_.reset();
}

std::string Tree::path_bytes(FolderId id) const {
  std::vector<FolderId> chain;
  for (FolderId f = id; f != 0; f = folders_[f].parent) chain.push_back(f);
  std::string out(name_bytes(folders_[0].name));
  for (size_t i = chain.size(); i-- > 0;) append_component(out, name_bytes(folders_[chain[i]].name));
  return out;
}

std::string Tree::relative_path_bytes(FolderId id) const {
  std::vector<FolderId> chain;
  for (FolderId f = id; f != 0; f = folders_[f].parent) chain.push_back(f);
  std::string out;
  for (size_t i = chain.size(); i-- > 0;) {
    if (i + 1 != chain.size()) out.push_back('/');
    out.append(name_bytes(folders_[chain[i]].name));
  }
  return out;
}

std::optional<FolderId> Tree::append_folder(const Folder& f) {
  if (folders_.size() >= 0xFFFFFFFFull) return std::nullopt;
  folders_.push_back(f);
  if (!reclaimable_.empty()) reclaimable_.push_back(0);
  return FolderId(folders_.size() - 1);
}

void Tree::prune_gone() {
  for (size_t i = 1; i < folders_.size(); i++) {
    Folder& f = folders_[i];
    if (folders_[f.parent].flags & GONE) {
      f.own = 0;
      f.flags = GONE;
      f.reserved = 0;
      f.errnum = 0;
      if (i < reclaimable_.size()) reclaimable_[i] = 0;
    }
  }
  std::erase_if(links_, [&](const auto& kv) {
    return kv.second < folders_.size() && (folders_[kv.second].flags & GONE);
  });
  std::erase_if(largest_, [&](const LargeFile& lf) { return folders_[lf.folder].flags & GONE; });
}

std::shared_ptr<Tree> Tree::copy() const {
  const TreeIndex& ix = index();
  std::shared_ptr<Tree> t(new Tree());
  t->folders_ = folders_;
  t->largest_ = largest_;
  t->reclaimable_ = reclaimable_;
  t->names_ = names_;
  t->links_ = links_;
  t->stamp_ = stamp_;
  t->stopped_ = stopped_;
  t->index_own_ = std::make_unique<TreeIndex>(ix);
  t->index_.store(t->index_own_.get(), std::memory_order_release);
  return t;
}

std::optional<std::string> error_text(const Folder& f) {
  if (!(f.flags & DENIED)) return std::nullopt;
  if (f.errnum == 1) return "EPERM";
  if (f.errnum == 13) return "EACCES";
  return "errno " + std::to_string(f.errnum);
}

}  // namespace tallmap
