// Scanning: reading one folder, the parallel walk, and the drivers that
// turn a path into a Tree.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/listing.h"
#include "core/pool.h"
#include "core/result.h"
#include "core/scan_store.h"
#include "core/tree.h"

namespace tallmap {

// Called before each folder below the root is opened; true means stop.
// Must be thread-safe.
using StopCheck = std::shared_ptr<const std::function<bool()>>;

enum class Reader { Auto, Portable };

struct ScanOptions {
  StopCheck stop;
  std::optional<unsigned> threads;  // absent or 0: automatic
  bool reclaimable = false;
  Reader reader = Reader::Auto;
};

struct ScanError {
  enum class Kind { Io, Threads, Limit };
  Kind kind = Kind::Io;
  int errnum = 0;      // Io
  std::string detail;  // Threads: the pool's error text; Limit: the message
  // "{strerror} (os error {n})", "cannot start threads: {}", or the
  // Limit message.
  std::string text() const;
};

// "{strerror(n)} (os error {n})"
std::string os_error_text(int errnum);

// The one-shot driver: blocks until the walk is over.
Result<std::shared_ptr<Tree>, ScanError> scan_once(std::string_view path,
                                                   const ScanOptions& options);

// What the initial scan of a live scan tells its owner, in this order.
struct ScanStarted {
  StoreHandles handles;
};
struct ScanDone {};
using ScanMessage = std::variant<ScanStarted, ScanDone>;
using ScanChannel = std::function<void(ScanMessage)>;

// The initial-scan driver of a live scan: like scan_once on the caller's
// pool, sending ScanStarted just before the walk (only when the root could
// be opened) and ScanDone at the end.
Result<std::shared_ptr<Tree>, ScanError> scan_initial(std::string_view path,
                                                      const ScanOptions& options, Pool& pool,
                                                      const ScanChannel& channel);

// Raises the soft open-file limit towards min(hard, 65536).
void raise_open_file_limit();

// Cores as the system reports them, 1 when it cannot say.
unsigned core_count();

// ---- The engine, for the drivers and the relist pass ----

// A folder's descriptor shared by the jobs of its subfolders; closed when
// the last of them has opened its folder.
struct SharedFd {
  int fd = -1;
  explicit SharedFd(int f) : fd(f) {}
  ~SharedFd() { close_fd(fd); }
  SharedFd(const SharedFd&) = delete;
  SharedFd& operator=(const SharedFd&) = delete;
};

struct DirJob {
  std::shared_ptr<SharedFd> parent_fd;
  SubdirEntry entry;
  FolderId parent = NO_PARENT;
  NameId name = 0;
};

struct ScanState {
  ScanState(std::shared_ptr<ScanStore> store, Pool& pool, uint64_t root_device,
            StopCheck stop, std::optional<unsigned> threads, LinkMap links);

  std::shared_ptr<ScanStore> store;
  Pool& pool;
  bool automatic = true;
  unsigned min_threads = 1;
  unsigned max_threads = 1;
  std::atomic<unsigned> limit{1};
  std::atomic<int64_t> pending{0};  // queued or running jobs, the root not counted
  std::mutex mu;                    // limit changes, parking, done
  std::condition_variable cv;
  bool done = false;
  LinkMap links;
  std::mutex links_mu;
  uint64_t root_device = 0;
  StopCheck stop;
  std::atomic<bool> stopped{false};
  // Set when ids would run out; the walk then drops every job.
  std::atomic<bool> exhausted{false};
  std::string exhausted_text;  // written once, before `exhausted` is set

  ListingShared listing_shared() {
    return {&links, &links_mu, &store->large.threshold()};
  }
};

// Lists and records one folder and queues its subfolders as jobs in the
// calling job's pool scope. Takes ownership of `fd`. Returns the new id,
// or nothing when ids ran out.
std::optional<FolderId> scan_folder(ScanState& state, int fd, FolderId parent, NameId name,
                                    uint32_t ino, uint64_t own_start, uint64_t reclaimable_start);

// Sets the folder of each claimed hard link.
void claim_links(ScanState& state, FolderId folder, std::span<const DevIno> pairs);

// The whole walk from an open root (ownership of `root_fd` passes).
void run(ScanState& state, int root_fd, uint32_t root_ino, uint64_t own_start,
         uint64_t reclaimable_start);

// Runs the given jobs (subfolders of existing records) and all below them.
void run_jobs(ScanState& state, std::vector<DirJob> jobs);

// The governor's rule: workers mostly waiting with work queued means more
// threads; busy ones mean fewer. Clamped to [min_threads, max_threads].
unsigned governed_limit(unsigned limit, int64_t pending, double ratio, unsigned min_threads,
                        unsigned max_threads);

// Tunes `limit` every 100 ms until `done`; only in automatic mode.
void governor_loop(ScanState& state);

// Sets `done`, wakes every waiter.
void mark_done(ScanState& state);

// The store as a Tree; the error when ids ran out.
Result<std::shared_ptr<Tree>, ScanError> finish(ScanState& state);

}  // namespace tallmap
