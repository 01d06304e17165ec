// Watches a long computation for the two reasons it must end early: an interrupt reported
// by the probe (Ctrl-C), and the end of its time budget. Searches and their preparation
// loops call `tick()` often; it reads the clock only every few calls and runs the probe at
// most every `kProbeInterval`, and only on the thread that created the watch (the probe
// takes the interpreter lock on behalf of that thread). Other threads, such as pool
// workers, see a stop as soon as the owning thread has noticed it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <thread>

#include "interrupt.hpp"

namespace morvel {

enum class StopReason : std::uint8_t { None = 0, Interrupt = 1, TimeBudget = 2 };

// Thrown by `Watch::check()` to leave preparation loops that have no result of their own;
// the solver's entry catches it and reports the stop as its outcome.
struct StopRequested {
  StopReason reason;
};

class Watch {
 public:
  using Clock = std::chrono::steady_clock;
  // The probe is run at least this often (on the owning thread) while ticks arrive.
  static constexpr std::chrono::milliseconds kProbeInterval{100};

  // `time_budget_s`: seconds from `start`; +inf (or NaN) for none. A null probe never fires.
  explicit Watch(InterruptProbe probe,
                 double time_budget_s = std::numeric_limits<double>::infinity(),
                 Clock::time_point start = Clock::now());
  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;

  // True when the computation must stop. Cheap enough for inner loops: the clock is read
  // only every `stride` calls per thread (at most 64), and the stride adapts so that reads
  // are not much closer than 20 microseconds; after a read more than a millisecond from the
  // previous one every call reads the clock again. Loops whose iterations may take long
  // (milliseconds) should call poll() or check_now() instead, which always read the clock.
  bool tick() {
    if (stopped()) return true;
    thread_local TickPace pace;
    if (pace.countdown != 0) {
      --pace.countdown;
      return false;
    }
    return paced_poll(pace);
  }

  // As tick(), but throws StopRequested instead of returning true.
  void check() {
    if (tick()) throw StopRequested{reason()};
  }
  // As poll(), but throws StopRequested instead of returning true.
  void check_now() {
    if (poll()) throw StopRequested{reason()};
  }

  // Reads the clock now: checks the budget and, on the owning thread when the probe is
  // due, runs it. Returns whether the computation must stop.
  bool poll();
  // Runs the probe now (owning thread only; elsewhere only the flag is read). The exact
  // search calls it at its fixed node cadence as well.
  bool probe_now();

  bool stopped() const { return reason_.load(std::memory_order_relaxed) != StopReason::None; }
  StopReason reason() const { return reason_.load(std::memory_order_relaxed); }
  bool interrupted() const { return reason() == StopReason::Interrupt; }

  // Seconds since `start`, whole seconds plus nanoseconds / 1e9.
  double elapsed() const;
  double time_budget_s() const { return time_budget_s_; }
  Clock::time_point start() const { return start_; }

 private:
  // Per-thread rate of clock reads in tick(); shared by every watch on the thread, which
  // only affects how often the clock is read.
  struct TickPace {
    std::uint32_t countdown = 0;
    std::uint32_t stride = 0;
    Clock::time_point last{};
  };
  static constexpr std::uint32_t kMaxStride = 63;

  bool paced_poll(TickPace& pace);
  void stop(StopReason why);

  InterruptProbe probe_;
  double time_budget_s_;
  Clock::time_point start_;
  std::thread::id owner_;
  Clock::time_point next_probe_;  // owning thread only
  std::atomic<StopReason> reason_{StopReason::None};
};

}  // namespace morvel
