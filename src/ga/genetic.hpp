// The genetic counterfactual search: for one factual row, evolve a population of rows and
// keep the cheapest one seen that scores inside the target window (and every further
// window) and satisfies every constraint (and the plausibility threshold, when one is
// given). Heuristic: it proves
// nothing and may find nothing. A seed and the inputs fix the result, whatever the number
// of threads. The batch form runs one independent search per (row, seed) task.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "change_rules.hpp"
#include "constraints.hpp"
#include "interrupt.hpp"
#include "ir.hpp"
#include "watch.hpp"
#include "windows.hpp"

namespace morvel::ga {

// Everything the searches of one call share (the factual row is per search).
struct GaProblem {
  const Ensemble* ensemble = nullptr;
  const Constraints* constraints = nullptr;
  std::span<const double> sigma;    // at least n_features entries, > 0
  std::span<const double> weights;  // at least n_features entries, >= 0
  double lam = 0.0;
  double lo_t = 0.0;  // target window on the raw score, ends included
  double hi_t = 0.0;
  std::span<const double> background;  // n_bg rows of n_features values, row-major
  std::size_t n_bg = 0;
  const Ensemble* if_ensemble = nullptr;  // plausibility model, or null for none
  double min_total_path = 0.0;            // its threshold (used only with if_ensemble)
  // Rules on the set of changed features (a valid row keeps them); null for none.
  const ChangeRules* change_rules = nullptr;
  // Further windows a valid row must score in as well (ensembles of n_features). A row
  // outside some window is ranked by the sum of its distances to all of them.
  std::span<const ScoreWindow> windows;
  // The cells and category blocks mutations draw their candidates from, joint over the
  // model and the windows' ensembles; null: the model's own without windows, else
  // computed by each search (the batch computes them once for all its tasks).
  const FeatureCells* cells = nullptr;
  const CategoryBlocks* blocks = nullptr;
};

// The joint cells and blocks of the model and every window's ensemble.
struct JointCells {
  FeatureCells cells;
  CategoryBlocks blocks;
};
JointCells joint_cells(const GaProblem& problem);

struct GaParams {
  std::size_t population = 80;
  std::size_t max_generations = 200;
  std::size_t stall_generations = 30;
  double time_budget_s = 10.0;  // from the start of solve_genetic; +inf for none
  bool parallel = true;         // fan each population's scoring, check and repair out
};

struct GaResult {
  std::optional<std::vector<double>> best;  // cheapest valid row seen
  std::size_t generations = 0;              // populations evaluated
};

// One search from factual row x (n_features values), seeded with `seed` or, without one,
// from the operating system. `watch`, when given, is polled between generations and
// between blocks of rows; a stop it reports ends the search as interrupted. The time
// budget bounds the whole call: once it ends the search returns the best row of the
// generations evaluated so far (none before the first). Without a stop and within the
// budget the result is the same with or without a watch.
SearchOutcome<GaResult> solve_genetic(const GaProblem& problem, std::span<const double> x,
                                      std::optional<std::uint64_t> seed, const GaParams& params,
                                      Watch* watch = nullptr);

struct GaTask {
  std::uint64_t row;   // index into the factual rows
  std::uint64_t seed;
};

struct GaBatchResult {
  std::vector<double> x_cf;                // n_tasks x n_features: best row, or the factual
  std::vector<std::uint8_t> feasible;      // a best row was found
  std::vector<std::uint64_t> generations;  // per task
};

// Tasks run in chunks of kTasksPerChunk on the worker pool; the watch's probe runs before
// every chunk, and every search polls it between generations. `params.parallel` is
// replaced: a search fans out only when there are fewer tasks than pool threads.
// Every task's row index must be below n_rows.
inline constexpr std::size_t kTasksPerChunk = 256;
SearchOutcome<GaBatchResult> solve_genetic_batch(const GaProblem& problem,
                                                 std::span<const double> x_rows,
                                                 std::size_t n_rows,
                                                 std::span<const GaTask> tasks, GaParams params,
                                                 Watch& watch);

}  // namespace morvel::ga
