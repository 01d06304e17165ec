// solve_exact: validation, the immediate answer, preparation and presolve, then the
// selected search mode.
#include "exact/search.hpp"

#include <limits>

#include "errors.hpp"
#include "exact/bounds.hpp"
#include "exact/classic.hpp"
#include "exact/context.hpp"
#include "exact/presolve.hpp"
#include "exact/propagation.hpp"
#include "exact/refine.hpp"
#include "watch.hpp"

namespace morvel::exact {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Preparation (cells, domains, bounds, presolve) and the selected search mode. Every
// preparation step checks the watch, so a time budget or Ctrl-C ends it on a large model
// too (StopRequested).
SearchOutcome<ExactResult> prepare_and_search(Ctx& ctx, Watch& watch, ExactResult result) {
  const ExactProblem& problem = ctx.problem;
  watch.check_now();
  ctx.build_domains_and_order();
  watch.check_now();
  std::vector<EnsembleBounds> bounds;  // one per window of the context, in its order
  bounds.reserve(ctx.all_windows.size());
  for (const ScoreWindow& w : ctx.all_windows) bounds.emplace_back(*w.ensemble, &watch);

  if (!presolve(ctx, bounds, result.presolve_removed, watch)) {
    result.proof = Proof::Optimal;
    result.completed = true;
    result.presolve_certified = true;
    result.lower_bound = kInf;
    result.trace.record(0, std::numeric_limits<double>::quiet_NaN(), false, kInf);
    return SearchOutcome<ExactResult>::completed(std::move(result));
  }
  ctx.set_suffix_bounds();
  ctx.set_pair_spans();
  watch.check_now();

  Propagation propagation(*problem.constraints);
  Prepared prep{ctx, bounds, propagation, std::nullopt, kInf, watch};
  if (problem.incumbent_row) {
    prep.incumbent_row = problem.incumbent_row;
    prep.incumbent_cost = problem.incumbent_cost ? *problem.incumbent_cost
                                                 : ctx.cost_of(problem.incumbent_row->data());
  }
  const bool finished = problem.mode == SearchMode::Refine ? run_refine(prep, result)
                                                           : run_classic(prep, result);
  if (!finished) return SearchOutcome<ExactResult>::interrupted();
  return SearchOutcome<ExactResult>::completed(std::move(result));
}

// A solve stopped before its search began: nothing is proven beyond costs being
// non-negative, and a warm-start row (if any) is the best row known.
ExactResult stopped_in_preparation(const ExactProblem& problem, ExactResult result) {
  result.proof = Proof::Heuristic;
  result.completed = false;
  result.lower_bound = 0.0;
  double incumbent = std::numeric_limits<double>::quiet_NaN();
  if (problem.incumbent_row) {
    result.row = problem.incumbent_row;
    result.cost = problem.incumbent_cost
                      ? *problem.incumbent_cost
                      : make_cost_model(problem.x, problem.sigma, problem.weights, problem.lam,
                                        *problem.constraints, *problem.ensemble)
                            .row_cost(problem.incumbent_row->data());
    incumbent = result.cost;
  }
  result.trace.record(0, incumbent, false, 0.0);
  return result;
}

}  // namespace

const char* proof_name(Proof p) {
  switch (p) {
    case Proof::Optimal: return "optimal";
    case Proof::OptimalWithinGap: return "optimal_within_gap";
    case Proof::Heuristic: return "heuristic";
  }
  return "heuristic";
}

SearchOutcome<ExactResult> solve_exact(const ExactProblem& problem, const InterruptProbe& probe) {
  Watch watch(probe, problem.time_budget_s);
  std::vector<OrderPair> pairs = validate_linear(*problem.constraints);
  ExactResult result;
  result.gap = problem.gap;
  result.mode = problem.mode;
  result.warm_start_used = problem.incumbent_row.has_value();

  Ctx ctx(problem, std::move(pairs));
  if (ctx.accepts(problem.x.data())) {
    result.row = std::vector<double>(problem.x.begin(), problem.x.end());
    result.cost = 0.0;
    result.proof = Proof::Optimal;
    result.completed = true;
    result.lower_bound = 0.0;
    result.trace.record(0, 0.0, false, 0.0);
    return SearchOutcome<ExactResult>::completed(std::move(result));
  }
  try {
    return prepare_and_search(ctx, watch, std::move(result));
  } catch (const StopRequested& stop) {
    if (stop.reason == StopReason::Interrupt) return SearchOutcome<ExactResult>::interrupted();
    ExactResult stopped;
    stopped.gap = problem.gap;
    stopped.mode = problem.mode;
    stopped.warm_start_used = problem.incumbent_row.has_value();
    return SearchOutcome<ExactResult>::completed(stopped_in_preparation(problem, stopped));
  }
}

}  // namespace morvel::exact
