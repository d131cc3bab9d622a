#include "core/scan.h"

#include <fmt/format.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>

namespace tallmap {
namespace {

constexpr rlim_t OPEN_FILES_WANTED = 65536;
constexpr rlim_t OPEN_FILES_FALLBACK = 10240;
constexpr auto GOVERNOR_TICK = std::chrono::milliseconds(100);

// Ends the walk: from here on every job is dropped and `finish` fails.
void exhaust(ScanState& state, const char* what) {
  std::lock_guard lock(state.mu);
  if (state.exhausted.load()) return;
  state.exhausted_text = fmt::format("over {} {} in one scan", uint64_t(NO_PARENT), what);
  state.exhausted.store(true);
}

void run_dir_job(ScanState& state, DirJob& job, unsigned worker);
void spawn_job(ScanState& state, DirJob job);

std::optional<FolderId> record(ScanState& state, const Folder& f, uint64_t reclaimable) {
  ScanStore& store = *state.store;
  uint64_t id = store.base.size() + store.records.reserve();
  if (id >= store.id_limit) {
    exhaust(state, "folders");
    return std::nullopt;
  }
  store.records.write(id - store.base.size(), f);
  if (store.reclaimable) store.reclaimable->write(store.reclaimable->reserve(), {FolderId(id), reclaimable});
  return FolderId(id);
}

void job_finished(ScanState& state) {
  if (state.pending.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    std::lock_guard lock(state.mu);
    state.cv.notify_all();
  }
}

// A worker beyond the current limit hands its job back and waits.
bool throttled(ScanState& state, unsigned worker, DirJob& job) {
  if (worker < state.limit.load(std::memory_order_relaxed)) return false;
  spawn_job(state, std::move(job));
  std::unique_lock lock(state.mu);
  state.cv.wait(lock, [&] {
    return state.limit.load() > worker || state.pending.load() == 0;
  });
  return true;
}

bool should_stop(ScanState& state) {
  if (state.exhausted.load(std::memory_order_relaxed)) return true;
  if (state.stop && (*state.stop)()) {
    state.stopped.store(true, std::memory_order_relaxed);
    return true;
  }
  return false;
}

// One folder below the root, from its parent's descriptor to its record.
void run_dir_job(ScanState& state, DirJob& job, unsigned worker) {
  if (throttled(state, worker, job)) return;
  if (should_stop(state)) {
    job_finished(state);
    return;
  }
  FdResult opened = open_child(job.parent_fd->fd, job.entry.name);
  job.parent_fd.reset();
  uint32_t ino = uint32_t(job.entry.ino);
  if (!opened.ok()) {
    Folder f{job.entry.size, job.parent, job.name, ino, DENIED, 0, uint16_t(opened.errnum)};
    record(state, f, job.entry.reclaimable);
  } else {
    scan_folder(state, opened.fd, job.parent, job.name, ino, job.entry.size,
                job.entry.reclaimable);
  }
  job_finished(state);
}

void spawn_job(ScanState& state, DirJob job) {
  state.pool.spawn([&state, job = std::move(job)](unsigned w) mutable {
    run_dir_job(state, job, w);
  });
}

// Records other-device subfolders at once and queues the rest.
void queue_subfolders(ScanState& state, int fd, FolderId self, std::vector<SubdirEntry>& subdirs) {
  std::optional<std::vector<NameId>> names = state.store->interner.intern(*state.store->names, subdirs);
  if (!names) {
    exhaust(state, "names");
    close_fd(fd);
    return;
  }
  std::vector<DirJob> jobs;
  for (size_t i = 0; i < subdirs.size(); ++i) {
    SubdirEntry& e = subdirs[i];
    if (e.dev != state.root_device) {
      record(state, {0, self, (*names)[i], uint32_t(e.ino), OTHER_DEVICE, 0, 0}, 0);
      continue;
    }
    jobs.push_back({nullptr, std::move(e), self, (*names)[i]});
  }
  if (jobs.empty()) {
    close_fd(fd);
    return;
  }
  auto shared = std::make_shared<SharedFd>(fd);
  state.pending.fetch_add(int64_t(jobs.size()), std::memory_order_acq_rel);
  for (DirJob& job : jobs) {
    job.parent_fd = shared;
    spawn_job(state, std::move(job));
  }
}

}  // namespace

void claim_links(ScanState& state, FolderId folder, std::span<const DevIno> pairs) {
  if (pairs.empty()) return;
  std::lock_guard lock(state.links_mu);
  for (const DevIno& key : pairs) state.links[key] = folder;
}

std::optional<FolderId> scan_folder(ScanState& state, int fd, FolderId parent, NameId name,
                                    uint32_t ino, uint64_t own_start,
                                    uint64_t reclaimable_start) {
  DirListing listing = list_folder(fd, state.listing_shared(), own_start, reclaimable_start);
  Folder f{listing.own, parent, name, ino, 0, 0, 0};
  if (listing.failed) {
    f.flags = DENIED;
    f.errnum = listing.errnum;
  }
  std::optional<FolderId> id = record(state, f, listing.reclaimable);
  if (!id) {
    close_fd(fd);
    return std::nullopt;
  }
  claim_links(state, *id, listing.claimed_links);
  if (!listing.candidates.empty()) state.store->large.offer(*id, listing.candidates);
  if (listing.failed || listing.subdirs.empty()) {
    close_fd(fd);
    return id;
  }
  queue_subfolders(state, fd, *id, listing.subdirs);
  return id;
}

ScanState::ScanState(std::shared_ptr<ScanStore> s, Pool& p, uint64_t device, StopCheck check,
                     std::optional<unsigned> threads, LinkMap link_map)
    : store(std::move(s)), pool(p), links(std::move(link_map)), root_device(device),
      stop(std::move(check)) {
  automatic = !threads || *threads == 0;
  if (automatic) {
    max_threads = core_count();
    min_threads = std::min(max_threads, 4u);
    limit.store(min_threads);
  } else {
    limit.store(*threads);
  }
}

void run(ScanState& state, int root_fd, uint32_t root_ino, uint64_t own_start,
         uint64_t reclaimable_start) {
  // The root is neither throttled nor asked whether to stop.
  state.pool.scope([&](unsigned) {
    scan_folder(state, root_fd, NO_PARENT, 0, root_ino, own_start, reclaimable_start);
  });
}

void run_jobs(ScanState& state, std::vector<DirJob> jobs) {
  if (jobs.empty()) return;
  state.pending.fetch_add(int64_t(jobs.size()));
  state.pool.scope([&](unsigned) {
    for (DirJob& job : jobs) spawn_job(state, std::move(job));
  });
}

namespace {

double seconds(clockid_t clock) {
  struct timespec ts {};
  clock_gettime(clock, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

}  // namespace

unsigned governed_limit(unsigned limit, int64_t pending, double ratio, unsigned min_threads,
                        unsigned max_threads) {
  int64_t next = limit;
  bool queued = pending > int64_t(limit);
  if (queued && ratio < 0.25)
    next = int64_t(limit) * 2;
  else if (queued && ratio < 0.5)
    next = int64_t(limit) + 1;
  else if (ratio > 0.75)
    next = int64_t(limit) - 1;
  return unsigned(std::clamp<int64_t>(next, min_threads, max_threads));
}

void governor_loop(ScanState& state) {
  double cpu = seconds(CLOCK_PROCESS_CPUTIME_ID);
  double wall = seconds(CLOCK_MONOTONIC);
  std::unique_lock lock(state.mu);
  for (;;) {
    if (state.cv.wait_for(lock, GOVERNOR_TICK, [&] { return state.done; })) return;
    double cpu_now = seconds(CLOCK_PROCESS_CPUTIME_ID);
    double wall_now = seconds(CLOCK_MONOTONIC);
    double elapsed = wall_now - wall;
    unsigned limit = state.limit.load();
    double ratio = elapsed > 0 ? (cpu_now - cpu) / elapsed / limit : 0;
    cpu = cpu_now;
    wall = wall_now;
    unsigned next = governed_limit(limit, state.pending.load(), ratio, state.min_threads,
                                   state.max_threads);
    if (next != limit) {
      state.limit.store(next);
      state.cv.notify_all();
    }
  }
}

void mark_done(ScanState& state) {
  std::lock_guard lock(state.mu);
  state.done = true;
  state.cv.notify_all();
}

Result<std::shared_ptr<Tree>, ScanError> finish(ScanState& state) {
  if (state.exhausted.load()) {
    std::lock_guard lock(state.mu);
    return ScanError{ScanError::Kind::Limit, 0, state.exhausted_text};
  }
  ScanStore& store = *state.store;
  uint64_t written = store.records.written_prefix();
  std::vector<Folder> folders;
  folders.reserve(store.base.size() + written);
  folders.assign(store.base.begin(), store.base.end());
  store.records.for_each_written(written, [&](const Folder& f) { folders.push_back(f); });
  std::vector<uint64_t> reclaimable;
  if (store.reclaimable) {
    reclaimable.assign(folders.size(), 0);
    auto& pairs = *store.reclaimable;
    pairs.for_each_written(pairs.written_prefix(), [&](const ReclaimPair& p) {
      if (p.id < reclaimable.size()) reclaimable[p.id] = p.bytes;
    });
  }
  return Tree::from_parts(std::move(folders), store.large.take(), std::move(reclaimable),
                          store.names, std::move(state.links), store.stamp,
                          state.stopped.load());
}

// ---- Drivers ----

std::string os_error_text(int errnum) {
  char buf[256];
  const char* text = strerror_r(errnum, buf, sizeof buf);
  return fmt::format("{} (os error {})", text, errnum);
}

std::string ScanError::text() const {
  switch (kind) {
    case Kind::Io: return os_error_text(errnum);
    case Kind::Threads: return fmt::format("cannot start threads: {}", detail);
    case Kind::Limit: return detail;
  }
  return detail;
}

unsigned core_count() {
  unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

void raise_open_file_limit() {
  struct rlimit lim {};
  if (prlimit(0, RLIMIT_NOFILE, nullptr, &lim) != 0) return;
  rlim_t want = std::min(lim.rlim_max, OPEN_FILES_WANTED);
  if (lim.rlim_cur >= want) return;
  struct rlimit raised {want, lim.rlim_max};
  if (prlimit(0, RLIMIT_NOFILE, &raised, nullptr) == 0) return;
  rlim_t fallback = std::min(lim.rlim_max, OPEN_FILES_FALLBACK);
  if (fallback <= lim.rlim_cur) return;
  raised.rlim_cur = fallback;
  prlimit(0, RLIMIT_NOFILE, &raised, nullptr);  // failing leaves the limit as it was
}

namespace {

Result<std::shared_ptr<Tree>, ScanError> drive(std::string_view path, const ScanOptions& options,
                                               Pool& pool, const ScanChannel* channel) {
  raise_open_file_limit();
  FdResult root = open_root(path);
  if (!root.ok()) return ScanError{ScanError::Kind::Io, root.errnum, {}};
  struct stat st {};
  while (fstat(root.fd, &st) != 0) {
    if (errno == EINTR) continue;
    int err = errno;
    close_fd(root.fd);
    return ScanError{ScanError::Kind::Io, err, {}};
  }
  uint64_t own_start = uint64_t(st.st_blocks) * 512;
  uint64_t reclaimable_start = options.reclaimable ? own_start : 0;
  auto store = new_store(path, options.reclaimable, {});
  ScanState state(store, pool, uint64_t(st.st_dev), options.stop, options.threads,
                  make_link_map());
  if (channel) (*channel)(ScanStarted{StoreHandles{store}});
  std::thread governor;
  if (state.automatic) {
    // Without a governor the walk still completes at the starting limit.
    try {
      governor = std::thread([&state] { governor_loop(state); });
    } catch (const std::system_error&) {
    }
  }
  run(state, root.fd, uint32_t(st.st_ino), own_start, reclaimable_start);
  mark_done(state);
  if (governor.joinable()) governor.join();
  return finish(state);
}

}  // namespace

Result<std::shared_ptr<Tree>, ScanError> scan_once(std::string_view path,
                                                   const ScanOptions& options) {
  unsigned threads = options.threads && *options.threads > 0 ? *options.threads : core_count();
  auto pool = Pool::create(threads);
  if (!pool.ok()) return ScanError{ScanError::Kind::Threads, 0, pool.error()};
  return drive(path, options, **pool, nullptr);
}

Result<std::shared_ptr<Tree>, ScanError> scan_initial(std::string_view path,
                                                      const ScanOptions& options, Pool& pool,
                                                      const ScanChannel& channel) {
  auto result = drive(path, options, pool, &channel);
  channel(ScanDone{});
  return result;
}

}  // namespace tallmap
