// The exact counterfactual search: the cheapest row in the target window (and every further
// window) that satisfies the constraints (and the plausibility threshold), found by depth-first branch-and-bound
// over per-feature candidate states, with a proof of optimality or a sound lower bound.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "change_rules.hpp"
#include "constraints.hpp"
#include "exact/domains.hpp"
#include "exact/trace.hpp"
#include "interrupt.hpp"
#include "ir.hpp"
#include "windows.hpp"

namespace morvel::exact {

enum class SearchMode { Classic, Refine };

struct ExactProblem {
  const Ensemble* ensemble = nullptr;
  const Ensemble* if_ensemble = nullptr;  // plausibility model; used with min_total_path
  double min_total_path = 0.0;
  const Constraints* constraints = nullptr;
  std::span<const double> x;  // factual row, n_features values
  double lo_t = 0.0;
  double hi_t = 0.0;
  // Further windows the row must score in as well, over ensembles of the model's feature
  // space (same width and category counts).
  std::span<const ScoreWindow> windows;
  std::span<const double> sigma;
  std::span<const double> weights;
  double lam = 0.0;
  std::span<const ValuePolicy> policies;  // one per feature
  std::uint64_t node_budget = 2000000;
  double gap = 0.0;
  double time_budget_s = 10.0;
  std::optional<double> incumbent_cost;
  std::optional<std::vector<double>> incumbent_row;  // n_features values
  SearchMode mode = SearchMode::Classic;
  // Rules on the set of changed features; null or empty for none. An incumbent row must
  // keep them.
  const ChangeRules* change_rules = nullptr;
};

enum class Proof { Optimal, OptimalWithinGap, Heuristic };
const char* proof_name(Proof p);

struct ExactResult {
  std::optional<std::vector<double>> row;
  double cost = 0.0;  // meaningful with a row
  Proof proof = Proof::Heuristic;
  std::uint64_t nodes_expanded = 0;
  std::uint64_t nodes_pruned_score = 0;
  std::uint64_t nodes_pruned_cost = 0;
  double lower_bound = 0.0;
  double gap = 0.0;
  bool completed = false;
  bool warm_start_used = false;
  std::uint64_t presolve_removed = 0;
  bool presolve_certified = false;
  SearchMode mode = SearchMode::Classic;
  std::uint64_t coarse_accepts = 0;
  std::uint64_t refinements = 0;
  std::vector<std::uint64_t> snapped;  // features whose winning state was snapped, search order
  Trace trace;
};

// Throws ValidationError for a multi-feature linear constraint that is not an order pair.
SearchOutcome<ExactResult> solve_exact(const ExactProblem& problem, const InterruptProbe& probe);

// Up to `count` searches of one problem, prepared once: each next search adds the change
// set of the previous answer to the problem's change rules (their diversity rule says how
// it must differ), so the answers come cheapest first. Ends early after a search without
// a row. The budgets (nodes, time) apply to each search; the warm start to the first.
SearchOutcome<std::vector<ExactResult>> solve_exact_alternatives(const ExactProblem& problem,
                                                                 std::size_t count,
                                                                 const InterruptProbe& probe);

}  // namespace morvel::exact
