// Many independent genetic searches in one call, spread over the worker pool.
//
// Tasks run in chunks; the interrupt probe runs before each chunk, and every search also
// polls the watch between its generations, so a Ctrl-C ends even a long chunk promptly.
// Inside a chunk the pool's threads pull tasks one at a time from a shared counter (tasks
// differ a lot in length). The probe can only run on the thread that owns the watch: that
// thread works on tasks like the others and, once none are left to take, keeps polling
// until the other threads have finished theirs. (It joins the pool's work right after
// handing it out, so it misses its lane only if the other threads took every task of
// the chunk first; it then waits unpolled for their last tasks.)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "errors.hpp"
#include "ga/genetic.hpp"
#include "pool.hpp"

namespace morvel::ga {
namespace {

constexpr std::chrono::milliseconds kOwnerPollStep{10};

struct ChunkState {
  std::atomic<std::size_t> next{0};      // next task to take, relative to the chunk
  std::atomic<std::size_t> finished{0};  // tasks taken and ended (also by an exception)
  std::atomic<bool> failed{false};
};

// Counts a taken task as ended however it ends, so the owner's wait always returns.
struct FinishedOnExit {
  std::atomic<std::size_t>& finished;
  ~FinishedOnExit() { finished.fetch_add(1); }
};

class BatchRun {
 public:
  BatchRun(const GaProblem& problem, std::span<const double> x_rows,
           std::span<const GaTask> tasks, const GaParams& params, Watch& watch,
           GaBatchResult& out)
      : problem_(problem),
        x_rows_(x_rows),
        tasks_(tasks),
        params_(params),
        watch_(watch),
        out_(out),
        p_(problem.ensemble->n_features()),
        owner_(std::this_thread::get_id()) {}

  // Runs tasks [begin, begin + count); returns false when the watch stopped them.
  bool run_chunk(std::size_t begin, std::size_t count) {
    ChunkState state;
    const std::size_t lanes = std::max<std::size_t>(pool_size(), 1);
    parallel_for(lanes, 1, [&](std::size_t lane_begin, std::size_t lane_end) {
      for (std::size_t lane = lane_begin; lane < lane_end; ++lane) take_tasks(state, begin, count);
      if (std::this_thread::get_id() == owner_) wait_for_others(state, count);
    });
    return !watch_.stopped();
  }

 private:
  void take_tasks(ChunkState& state, std::size_t begin, std::size_t count) {
    while (!state.failed.load() && !watch_.stopped()) {
      const std::size_t k = state.next.fetch_add(1);
      if (k >= count) return;
      const FinishedOnExit guard{state.finished};
      try {
        run_task(begin + k);
      } catch (...) {
        state.failed.store(true);
        throw;
      }
    }
  }

  void wait_for_others(const ChunkState& state, std::size_t count) {
    while (!state.failed.load() && state.finished.load() < std::min(state.next.load(), count)) {
      if (watch_.poll()) return;
      std::this_thread::sleep_for(kOwnerPollStep);
    }
  }

  void run_task(std::size_t k) {
    const GaTask& task = tasks_[k];
    const std::span<const double> x = x_rows_.subspan(task.row * p_, p_);
    auto outcome = solve_genetic(problem_, x, task.seed, params_, &watch_);
    if (outcome.is_interrupted()) return;
    const GaResult& r = outcome.result();
    double* slot = out_.x_cf.data() + k * p_;
    if (r.best) {
      std::copy(r.best->begin(), r.best->end(), slot);
      out_.feasible[k] = 1;
    } else {
      std::copy(x.begin(), x.end(), slot);
    }
    out_.generations[k] = r.generations;
  }

  const GaProblem& problem_;
  std::span<const double> x_rows_;
  std::span<const GaTask> tasks_;
  const GaParams& params_;
  Watch& watch_;
  GaBatchResult& out_;
  std::size_t p_;
  std::thread::id owner_;
};

}  // namespace

SearchOutcome<GaBatchResult> solve_genetic_batch(const GaProblem& problem,
                                                 std::span<const double> x_rows,
                                                 std::size_t n_rows,
                                                 std::span<const GaTask> tasks, GaParams params,
                                                 Watch& watch) {
  const std::size_t p = problem.ensemble->n_features();
  ensure(p == 0 || x_rows.size() / p >= n_rows, "factual rows hold fewer than n_rows rows");
  for (const GaTask& task : tasks) ensure(task.row < n_rows, "task_row index out of range");
  const std::size_t n = tasks.size();
  GaBatchResult out;
  out.x_cf.assign(n * p, 0.0);
  out.feasible.assign(n, 0);
  out.generations.assign(n, 0);
  if (n == 0) return SearchOutcome<GaBatchResult>::completed(std::move(out));

  // With fewer tasks than threads a search may also spread its population over the pool.
  params.parallel = n < pool_size();
  // Computed once up front, so no task waits on another's first use of the caches (or
  // computes the joint cells of the windows again).
  problem.ensemble->feature_cells();
  problem.ensemble->category_blocks();
  GaProblem shared = problem;
  JointCells joint;
  if (!problem.windows.empty() && problem.cells == nullptr) {
    joint = joint_cells(problem);
    shared.cells = &joint.cells;
    shared.blocks = &joint.blocks;
  }

  BatchRun run(shared, x_rows, tasks, params, watch, out);
  for (std::size_t begin = 0; begin < n; begin += kTasksPerChunk) {
    if (watch.probe_now()) return SearchOutcome<GaBatchResult>::interrupted();
    if (!run.run_chunk(begin, std::min(kTasksPerChunk, n - begin))) {
      return SearchOutcome<GaBatchResult>::interrupted();
    }
  }
  return SearchOutcome<GaBatchResult>::completed(std::move(out));
}

}  // namespace morvel::ga
