#include "core/pool.h"

#include <system_error>

namespace tallmap {

struct Pool::Scope {
  std::atomic<uint64_t> live{0};
  std::mutex mu;
  bool done = false;  // under mu; the waiter returns only after seeing it
  std::condition_variable cv;
};

namespace {
thread_local int tls_worker = -1;
thread_local void* tls_scope = nullptr;  // the Scope of the job being run
}  // namespace

int current_worker() { return tls_worker; }

Result<std::unique_ptr<Pool>, std::string> Pool::create(unsigned threads) {
  if (threads == 0) threads = 1;
  std::unique_ptr<Pool> pool(new Pool());
  for (unsigned i = 0; i < threads; ++i) pool->queues_.push_back(std::make_unique<Queue>());
  try {
    pool->workers_.reserve(threads);
    for (unsigned i = 0; i < threads; ++i)
      pool->workers_.emplace_back([p = pool.get(), i] { p->worker_loop(i); });
  } catch (const std::system_error& e) {
    return std::string(e.what());  // the destructor stops the started workers
  }
  return pool;
}

Pool::~Pool() {
  {
    std::lock_guard lock(sleep_mu_);
    stopping_ = true;
  }
  sleep_cv_.notify_all();
  for (std::thread& t : workers_) t.join();
}

void Pool::push(unsigned queue, Task task) {
  {
    std::lock_guard lock(queues_[queue]->mu);
    queues_[queue]->tasks.push_back(std::move(task));
  }
  // Paired with the sleeper's increment of sleepers_ before it re-checks
  // queued_: one of the two always sees the other.
  queued_.fetch_add(1, std::memory_order_seq_cst);
  if (sleepers_.load(std::memory_order_seq_cst) > 0) {
    std::lock_guard lock(sleep_mu_);
    sleep_cv_.notify_one();
  }
}

bool Pool::take(unsigned worker, Task& out) {
  if (queued_.load(std::memory_order_acquire) == 0) return false;
  {
    Queue& own = *queues_[worker];
    std::lock_guard lock(own.mu);
    if (!own.tasks.empty()) {
      out = std::move(own.tasks.back());
      own.tasks.pop_back();
      queued_.fetch_sub(1);
      return true;
    }
  }
  unsigned n = size();
  for (unsigned k = 1; k < n; ++k) {
    Queue& other = *queues_[(worker + k) % n];
    std::lock_guard lock(other.mu);
    if (!other.tasks.empty()) {
      out = std::move(other.tasks.front());
      other.tasks.pop_front();
      queued_.fetch_sub(1);
      return true;
    }
  }
  return false;
}

void Pool::run_task(unsigned worker, Task& task) {
  Scope* scope = task.scope;
  tls_scope = scope;
  task.job(worker);
  task.job = nullptr;  // release captures before the scope may end
  tls_scope = nullptr;
  if (scope->live.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    // The scope lives on the waiter's stack: touch it only under its lock.
    std::lock_guard lock(scope->mu);
    scope->done = true;
    scope->cv.notify_all();
  }
}

void Pool::worker_loop(unsigned index) {
  tls_worker = int(index);
  Task task;
  for (;;) {
    if (take(index, task)) {
      run_task(index, task);
      continue;
    }
    std::unique_lock lock(sleep_mu_);
    sleepers_.fetch_add(1, std::memory_order_seq_cst);
    while (!stopping_ && queued_.load(std::memory_order_seq_cst) == 0) sleep_cv_.wait(lock);
    sleepers_.fetch_sub(1);
    if (stopping_ && queued_.load() == 0) return;
  }
}

void Pool::scope(Job root) {
  Scope scope;
  scope.live.store(1);
  unsigned queue = next_queue_.fetch_add(1) % size();
  push(queue, Task{std::move(root), &scope});
  std::unique_lock lock(scope.mu);
  scope.cv.wait(lock, [&] { return scope.done; });
}

void Pool::spawn(Job job) {
  auto* scope = static_cast<Scope*>(tls_scope);
  scope->live.fetch_add(1, std::memory_order_relaxed);
  push(unsigned(tls_worker), Task{std::move(job), scope});
}

}  // namespace tallmap
