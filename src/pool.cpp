#include "pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace morvel {
namespace {

// State shared by the ranges of one parallel_for call.
struct Batch {
  const RangeBody* body = nullptr;
  std::size_t n = 0;
  std::size_t chunk = 1;
  std::size_t n_chunks = 0;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex mutex;
  std::condition_variable done_cv;
  std::size_t done = 0;  // chunks finished or skipped, guarded by mutex
  std::size_t error_chunk = 0;
  std::exception_ptr error;

  // Takes chunks until none are left; returns when this thread has no more to do.
  void work() {
    for (;;) {
      const std::size_t c = next.fetch_add(1);
      if (c >= n_chunks) return;
      std::exception_ptr caught;
      if (!failed.load(std::memory_order_relaxed)) {
        try {
          const std::size_t begin = c * chunk;
          (*body)(begin, std::min(n, begin + chunk));
        } catch (...) {
          caught = std::current_exception();
          failed.store(true);
          if (!caught) {
            // Not a C++ exception: the forced unwind that ends the calling thread (its
            // interpreter is exiting). Let it go on, after counting the chunk so that
            // nobody waits for it.
            finish(c, nullptr);
            throw;
          }
        }
      }
      finish(c, caught);
    }
  }

  void finish(std::size_t c, const std::exception_ptr& caught) {
    std::lock_guard<std::mutex> lock(mutex);
    // Keep the error of the lowest chunk so the reported failure is deterministic.
    if (caught && (!error || c < error_chunk)) {
      error = caught;
      error_chunk = c;
    }
    if (++done == n_chunks) done_cv.notify_all();
  }

  void wait_all() {
    std::unique_lock<std::mutex> lock(mutex);
    done_cv.wait(lock, [&] { return done == n_chunks; });
  }
};

// Chunks on other threads read the caller's body: the caller never leaves parallel_for,
// not even by an unwind, before every chunk is finished or skipped.
struct AwaitChunks {
  Batch& batch;
  ~AwaitChunks() { batch.wait_all(); }
};

class Pool {
 public:
  explicit Pool(std::size_t n_workers) : n_workers_(n_workers) {
    for (std::size_t i = 0; i < n_workers_; ++i) {
      std::thread([this] { worker_loop(); }).detach();
    }
  }

  std::size_t size() const { return n_workers_; }

  void run(const std::shared_ptr<Batch>& batch, std::size_t helpers) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (std::size_t i = 0; i < helpers; ++i) queue_.push_back(batch);
    }
    cv_.notify_all();
  }

 private:
  void worker_loop() {
    for (;;) {
      std::shared_ptr<Batch> batch;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return !queue_.empty(); });
        batch = std::move(queue_.front());
        queue_.pop_front();
      }
      batch->work();
    }
  }

  std::size_t n_workers_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::shared_ptr<Batch>> queue_;
};

// The pool is never destroyed: its threads are detached and may still be parked when the
// process exits, and no static destructor may wait for them.
std::atomic<Pool*> g_pool{nullptr};
std::mutex g_pool_mutex;

void forget_pool_in_child() {
  // A forked child has none of the parent's threads; start a fresh pool on next use.
  g_pool.store(nullptr);
  new (&g_pool_mutex) std::mutex();
}

Pool& pool() {
  Pool* p = g_pool.load(std::memory_order_acquire);
  if (p != nullptr) return *p;
  std::lock_guard<std::mutex> lock(g_pool_mutex);
  p = g_pool.load();
  if (p == nullptr) {
    static const bool registered = [] {
      pthread_atfork(nullptr, nullptr, forget_pool_in_child);
      return true;
    }();
    (void)registered;
    const unsigned cpus = std::max(1u, std::thread::hardware_concurrency());
    p = new Pool(cpus);
    g_pool.store(p, std::memory_order_release);
  }
  return *p;
}

}  // namespace

std::size_t pool_size() { return pool().size(); }

void parallel_for(std::size_t n, std::size_t min_chunk, const RangeBody& body) {
  if (n == 0) return;
  Pool& p = pool();
  min_chunk = std::max<std::size_t>(min_chunk, 1);
  // A few chunks per worker balances uneven rows without much scheduling overhead.
  const std::size_t target_chunks = p.size() * 4;
  std::size_t chunk = std::max(min_chunk, (n + target_chunks - 1) / target_chunks);
  const std::size_t n_chunks = (n + chunk - 1) / chunk;
  if (n_chunks == 1 || p.size() == 1) {
    body(0, n);
    return;
  }
  auto batch = std::make_shared<Batch>();
  batch->body = &body;
  batch->n = n;
  batch->chunk = chunk;
  batch->n_chunks = n_chunks;
  p.run(batch, std::min(p.size(), n_chunks - 1));
  {
    const AwaitChunks await_chunks{*batch};
    batch->work();
  }
  if (batch->error) std::rethrow_exception(batch->error);
}

}  // namespace morvel
