// solve_exact: validation, the immediate answer, preparation and presolve, then the
// selected search mode; and several searches of one prepared problem for alternatives.
#include "exact/search.hpp"

#include <limits>

#include "errors.hpp"
#include "exact/bounds.hpp"
#include "exact/change_sets.hpp"
#include "exact/classic.hpp"
#include "exact/context.hpp"
#include "exact/presolve.hpp"
#include "exact/propagation.hpp"
#include "exact/refine.hpp"
#include "watch.hpp"

namespace morvel::exact {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// One problem's preparation (cells, domains, bounds, presolve), made on the first search
// that needs it and shared by the later ones: a search leaves every structure as it found
// it.
class Solver {
 public:
  Solver(const ExactProblem& problem, std::vector<OrderPair> pairs)
      : problem_(problem), ctx_(problem, std::move(pairs)) {}

  // One search under `rules` (null for none), its time budget counted from now.
  SearchOutcome<ExactResult> search(const ChangeRules* rules, bool warm,
                                    const InterruptProbe& probe);
  // Keeps the accepted rows each search meets, and starts every later search from the
  // cheapest one its rules allow.
  void collect_rows() { collect_ = true; }

 private:
  ExactResult fresh(bool warm) const {
    ExactResult r;
    r.gap = problem_.gap;
    r.mode = problem_.mode;
    r.warm_start_used = warm && problem_.incumbent_row.has_value();
    return r;
  }
  void prepare(Watch& watch);
  SearchOutcome<ExactResult> run(const ChangeRules* rules, bool warm, Watch& watch,
                                 ExactResult result);
  ExactResult stopped_in_preparation(bool warm) const;

  const ExactProblem& problem_;
  Ctx ctx_;
  bool prepared_ = false;
  bool presolve_empty_ = false;
  std::uint64_t presolve_removed_ = 0;
  std::vector<EnsembleBounds> bounds_;  // one per window of the context, in its order
  std::optional<Propagation> propagation_;
  bool collect_ = false;
  FoundRows found_;
};

SearchOutcome<ExactResult> Solver::search(const ChangeRules* rules, bool warm,
                                          const InterruptProbe& probe) {
  Watch watch(probe, problem_.time_budget_s);
  if (rules != nullptr && !rules->any()) rules = nullptr;
  ExactResult result = fresh(warm);
  const double* x = problem_.x.data();
  if (ctx_.accepts(x) && (rules == nullptr || rules->allows(problem_.x, x))) {
    result.row = std::vector<double>(problem_.x.begin(), problem_.x.end());
    result.cost = 0.0;
    result.proof = Proof::Optimal;
    result.completed = true;
    result.lower_bound = 0.0;
    result.trace.record(0, 0.0, false, 0.0);
    return SearchOutcome<ExactResult>::completed(std::move(result));
  }
  try {
    return run(rules, warm, watch, std::move(result));
  } catch (const StopRequested& stop) {
    if (stop.reason == StopReason::Interrupt) return SearchOutcome<ExactResult>::interrupted();
    return SearchOutcome<ExactResult>::completed(stopped_in_preparation(warm));
  }
}

// Every preparation step checks the watch, so a time budget or Ctrl-C ends it on a large
// model too (StopRequested).
void Solver::prepare(Watch& watch) {
  watch.check_now();
  ctx_.build_domains_and_order();
  watch.check_now();
  bounds_.reserve(ctx_.all_windows.size());
  for (const ScoreWindow& w : ctx_.all_windows) bounds_.emplace_back(*w.ensemble, &watch);
  presolve_empty_ = !presolve(ctx_, bounds_, presolve_removed_, watch);
  if (!presolve_empty_) {
    ctx_.set_suffix_bounds();
    ctx_.set_pair_spans();
  }
  propagation_.emplace(*problem_.constraints);
  prepared_ = true;
}

SearchOutcome<ExactResult> Solver::run(const ChangeRules* rules, bool warm, Watch& watch,
                                       ExactResult result) {
  if (!prepared_) prepare(watch);
  result.presolve_removed = presolve_removed_;
  if (presolve_empty_) {
    result.proof = Proof::Optimal;
    result.completed = true;
    result.presolve_certified = true;
    result.lower_bound = kInf;
    result.trace.record(0, std::numeric_limits<double>::quiet_NaN(), false, kInf);
    return SearchOutcome<ExactResult>::completed(std::move(result));
  }
  watch.check_now();

  std::optional<ChangeSets> changes;
  if (rules != nullptr) changes.emplace(ctx_, *rules);
  Prepared prep{ctx_, bounds_, *propagation_, std::nullopt, kInf, watch,
                changes ? &*changes : nullptr, collect_ ? &found_ : nullptr};
  if (warm && problem_.incumbent_row) {
    prep.incumbent_row = problem_.incumbent_row;
    prep.incumbent_cost = problem_.incumbent_cost ? *problem_.incumbent_cost
                                                  : ctx_.cost_of(problem_.incumbent_row->data());
  } else if (collect_ && rules != nullptr) {
    if (const FoundRows::Entry* e = found_.cheapest(*rules, problem_.x)) {
      prep.incumbent_row = e->row;
      prep.incumbent_cost = e->cost;
      result.snapped = e->snapped;
    }
  }
  const bool finished = problem_.mode == SearchMode::Refine ? run_refine(prep, result)
                                                            : run_classic(prep, result);
  if (!finished) return SearchOutcome<ExactResult>::interrupted();
  return SearchOutcome<ExactResult>::completed(std::move(result));
}

// A solve stopped before its search began: nothing is proven beyond costs being
// non-negative, and a warm-start row (if any) is the best row known.
ExactResult Solver::stopped_in_preparation(bool warm) const {
  ExactResult result = fresh(warm);
  result.proof = Proof::Heuristic;
  result.completed = false;
  result.lower_bound = 0.0;
  double incumbent = std::numeric_limits<double>::quiet_NaN();
  if (warm && problem_.incumbent_row) {
    result.row = problem_.incumbent_row;
    result.cost = problem_.incumbent_cost
                      ? *problem_.incumbent_cost
                      : make_cost_model(problem_.x, problem_.sigma, problem_.weights,
                                        problem_.lam, *problem_.constraints, *problem_.ensemble)
                            .row_cost(problem_.incumbent_row->data());
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
  Solver solver(problem, validate_linear(*problem.constraints));
  return solver.search(problem.change_rules, true, probe);
}

SearchOutcome<std::vector<ExactResult>> solve_exact_alternatives(const ExactProblem& problem,
                                                                 std::size_t count,
                                                                 const InterruptProbe& probe) {
  Solver solver(problem, validate_linear(*problem.constraints));
  solver.collect_rows();
  ChangeRules rules = problem.change_rules != nullptr ? *problem.change_rules : ChangeRules{};
  std::vector<ExactResult> out;
  for (std::size_t i = 0; i < count; ++i) {
    auto outcome = solver.search(&rules, i == 0, probe);
    if (outcome.is_interrupted()) return SearchOutcome<std::vector<ExactResult>>::interrupted();
    out.push_back(std::move(outcome.result()));
    if (!out.back().row) break;
    rules.add_earlier(problem.x, out.back().row->data());
  }
  return SearchOutcome<std::vector<ExactResult>>::completed(std::move(out));
}

}  // namespace morvel::exact
