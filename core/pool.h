// A fixed-size work-stealing thread pool with scoped jobs: a worker runs
// its own newest job first, idle workers take the oldest jobs of others,
// and workers with nothing to do sleep.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/result.h"

namespace tallmap {

class Pool {
 public:
  // `worker` is the index (0..size-1) of the thread running the job.
  using Job = std::function<void(unsigned worker)>;

  // Starts `threads` workers (at least 1); the error is the system's text.
  static Result<std::unique_ptr<Pool>, std::string> create(unsigned threads);
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  unsigned size() const { return unsigned(workers_.size()); }

  // Runs `root` on a worker and blocks until it and every job spawned from
  // it (directly or indirectly) have finished. Must not be called from a
  // worker.
  void scope(Job root);

  // Queues a job in the scope of the calling job; only from a worker.
  void spawn(Job job);

 private:
  struct Scope;
  struct Task {
    Job job;
    Scope* scope = nullptr;
  };
  struct Queue {
    std::mutex mu;
    std::deque<Task> tasks;
  };

  Pool() = default;
  void push(unsigned queue, Task task);
  bool take(unsigned worker, Task& out);
  void worker_loop(unsigned index);
  void run_task(unsigned worker, Task& task);

  std::vector<std::thread> workers_;
  std::vector<std::unique_ptr<Queue>> queues_;
  std::atomic<uint64_t> queued_{0};
  std::atomic<unsigned> sleepers_{0};
  std::atomic<unsigned> next_queue_{0};
  std::mutex sleep_mu_;
  std::condition_variable sleep_cv_;
  bool stopping_ = false;  // under sleep_mu_
};

// The pool index of the calling thread, or -1 outside any pool worker.
int current_worker();

}  // namespace tallmap
