#include "watch.hpp"

#include <algorithm>
#include <utility>

namespace morvel {

Watch::Watch(InterruptProbe probe, double time_budget_s, Clock::time_point start)
    : probe_(std::move(probe)),
      time_budget_s_(time_budget_s),
      start_(start),
      owner_(std::this_thread::get_id()),
      next_probe_(start + kProbeInterval) {}

double Watch::elapsed() const {
  const auto ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start_).count();
  return static_cast<double>(ns / 1000000000) + static_cast<double>(ns % 1000000000) / 1e9;
}

void Watch::stop(StopReason why) {
  // The first reason sticks: an interrupt noticed after the budget ran out is left pending
  // for the interpreter, and the reverse keeps the interrupt.
  StopReason expected = StopReason::None;
  reason_.compare_exchange_strong(expected, why, std::memory_order_relaxed);
}

bool Watch::probe_now() {
  if (stopped()) return true;
  if (std::this_thread::get_id() != owner_ || !probe_) return false;
  next_probe_ = Clock::now() + kProbeInterval;
  if (probe_()) stop(StopReason::Interrupt);
  return stopped();
}

bool Watch::paced_poll(TickPace& pace) {
  const Clock::time_point now = Clock::now();
  const auto gap = now - pace.last;
  if (gap < std::chrono::microseconds(20)) {
    pace.stride = std::min(kMaxStride, pace.stride * 2 + 1);
  } else if (gap > std::chrono::milliseconds(1)) {
    pace.stride = 0;
  }
  pace.countdown = pace.stride;
  pace.last = now;
  return poll();
}

bool Watch::poll() {
  if (stopped()) return true;
  if (elapsed() > time_budget_s_) {
    stop(StopReason::TimeBudget);
    return true;
  }
  if (std::this_thread::get_id() == owner_ && Clock::now() >= next_probe_) return probe_now();
  return false;
}

}  // namespace morvel
