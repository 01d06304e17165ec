// The worker pool when its calling thread is ended in the middle of a parallel_for, as
// CPython ends a thread that asks for the interpreter lock back at interpreter exit.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "pool.hpp"

namespace morvel {
namespace {

struct Episode {
  pthread_t caller{};
  std::atomic<int> finished{0};  // chunks whose body ran to the end
  std::atomic<bool> caller_ended{false};
};

void* end_caller_inside_a_chunk(void* arg) {
  auto* run = static_cast<Episode*>(arg);
  run->caller = pthread_self();
  parallel_for(64, 1, [run](std::size_t, std::size_t) {
    // Slow chunks, so that the calling thread takes some of them itself.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (pthread_equal(pthread_self(), run->caller)) {
      run->caller_ended = true;
      pthread_exit(nullptr);  // a forced unwind through the pool's frames
    }
    run->finished++;
  });
  ADD_FAILURE() << "the calling thread ran no chunk";
  return nullptr;
}

TEST(WorkerPool, CallerEndedByForcedUnwindLeavesNoChunkRunning) {
  if (pool_size() < 2) GTEST_SKIP() << "needs at least two workers";
  Episode run;
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, nullptr, end_caller_inside_a_chunk, &run), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);  // swallowing the unwind would abort here
  EXPECT_TRUE(run.caller_ended);
  // The caller left only after every chunk had finished or been skipped: nothing runs on.
  const int finished = run.finished;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(run.finished.load(), finished);
  EXPECT_LT(finished, 64);

  // The pool still serves later calls.
  std::atomic<std::size_t> covered{0};
  parallel_for(1000, 1, [&](std::size_t b, std::size_t e) { covered += e - b; });
  EXPECT_EQ(covered.load(), 1000u);
}

}  // namespace
}  // namespace morvel
