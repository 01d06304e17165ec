// Watch: the time budget, the probe by elapsed time, and probing only on the owning thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <thread>

#include "watch.hpp"

namespace morvel {
namespace {

using namespace std::chrono_literals;

// Spins on tick() until it reports a stop or `limit` passes; returns the time it took.
template <class Fn>
std::chrono::duration<double> spin_until_stop(Fn&& tick, std::chrono::duration<double> limit) {
  const auto start = std::chrono::steady_clock::now();
  while (!tick() && std::chrono::steady_clock::now() - start < limit) {
  }
  return std::chrono::steady_clock::now() - start;
}

TEST(Watch, TimeBudgetStopsTicksAndIsSticky) {
  Watch watch(nullptr, 0.05);
  EXPECT_FALSE(watch.stopped());
  const auto took = spin_until_stop([&] { return watch.tick(); }, 5s);
  EXPECT_LT(took, 1s);
  EXPECT_EQ(watch.reason(), StopReason::TimeBudget);
  EXPECT_TRUE(watch.tick());
  EXPECT_THROW(watch.check(), StopRequested);
}

TEST(Watch, ZeroBudgetStopsAtTheFirstPollAndInfinityNever) {
  Watch none(nullptr, 0.0);
  EXPECT_TRUE(none.poll());
  Watch unlimited(nullptr, std::numeric_limits<double>::infinity());
  for (int i = 0; i < 100000; ++i) ASSERT_FALSE(unlimited.tick());
  EXPECT_FALSE(unlimited.poll());
}

TEST(Watch, ProbesByElapsedTimeEvenWhenTicksAreSlow) {
  std::atomic<int> calls{0};
  Watch watch([&] { return ++calls >= 3; });
  // Each iteration costs far more than the clock read, as a node of a large model does.
  const auto took = spin_until_stop(
      [&] {
        std::this_thread::sleep_for(2ms);
        return watch.tick();
      },
      10s);
  EXPECT_TRUE(watch.interrupted());
  EXPECT_EQ(calls.load(), 3);
  // Three probes about 100 ms apart.
  EXPECT_GT(took, 150ms);
  EXPECT_LT(took, 2s);
}

TEST(Watch, OtherThreadsNeverRunTheProbeButSeeTheStop) {
  std::atomic<int> calls{0};
  std::atomic<bool> fire{false};
  Watch watch([&] {
    ++calls;
    return fire.load();
  });
  std::thread worker([&] {
    for (int i = 0; i < 200; ++i) {
      watch.poll();
      std::this_thread::sleep_for(1ms);
    }
  });
  worker.join();
  EXPECT_EQ(calls.load(), 0);
  fire = true;
  EXPECT_TRUE(watch.probe_now());
  std::thread observer([&] { EXPECT_TRUE(watch.tick()); });
  observer.join();
  EXPECT_EQ(calls.load(), 1);
}

TEST(Watch, TheFirstReasonSticks) {
  Watch watch([] { return true; }, 0.0);
  EXPECT_TRUE(watch.poll());  // the budget is checked before the probe
  EXPECT_EQ(watch.reason(), StopReason::TimeBudget);
  EXPECT_TRUE(watch.probe_now());
  EXPECT_EQ(watch.reason(), StopReason::TimeBudget);
}

}  // namespace
}  // namespace morvel
