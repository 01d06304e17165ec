// The prepared context of one exact solve: domains, search order, order pairs and the
// objective, shared by the search modes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "constraints.hpp"
#include "exact/assignment.hpp"
#include "exact/domains.hpp"
#include "exact/search.hpp"

namespace morvel::exact {

// x[a] must not exceed x[b].
struct OrderPair {
  std::size_t a;
  std::size_t b;
  friend bool operator<(const OrderPair& l, const OrderPair& r) {
    return l.a != r.a ? l.a < r.a : l.b < r.b;
  }
  friend bool operator==(const OrderPair&, const OrderPair&) = default;
};

// Order pairs of the two-feature linear constraints; throws ValidationError for any other
// multi-feature linear constraint.
std::vector<OrderPair> validate_linear(const Constraints& constraints);

class Ctx {
 public:
  Ctx(const ExactProblem& problem, std::vector<OrderPair> pairs);

  // --- the objective (once build_domains_and_order has run) and the acceptance test
  double cost_of(const double* row) const { return cost_.row_cost(row); }
  bool accepts(const double* row) const;
  // The ensembles of all_windows, in order (the model first).
  std::vector<const Ensemble*> ensembles() const;

  // --- preparation steps, in the order the solve runs them
  void build_domains_and_order();
  void set_suffix_bounds();
  void set_pair_spans();

  // --- order pairs
  // Pairs the row breaks (neither value NaN, x[a] - x[b] > 1e-9), in pair order.
  void broken(const double* row, std::vector<std::size_t>& out) const;
  // Whether the partial assignment can no longer satisfy some pair. Sets `loosened` when a
  // prune relied on exact values where the cells' ends would still allow the pair.
  bool unorderable(const PartialAssignment& pa, std::span<const std::size_t> state_of,
                   bool& loosened) const;

  // Turns a complete assignment's row into an accepted row, repairing broken pairs with
  // exact floors inside their cells. Returns false when no accepted row results; then
  // `lower_to` is the most the proven lower bound may keep (-inf when nothing is proven).
  bool finish(std::vector<double>& row, std::span<const std::size_t> state_of, double acc_cost,
              double& lower_to);

  const ExactProblem& problem;
  const Ensemble& ensemble;
  const Constraints& constraints;
  // Every window a row must score in: the model's [lo_t, hi_t] first, then the plausibility
  // threshold as [min_total_path, +inf) when a plausibility model is tested, then the
  // problem's further windows. Bounds and rules treat them alike.
  std::vector<ScoreWindow> all_windows;
  std::size_t n_features;
  InstanceBounds bounds;
  CostModel cost_;
  FeatureCells cells;
  CategoryBlocks blocks;
  Domains domains;
  std::vector<std::size_t> span;            // per feature: cells (or blocks) minus one
  std::vector<std::size_t> order;           // search features, in search order
  std::vector<std::uint8_t> constrained;    // per feature: named by some constraint
  std::vector<OrderPair> pairs;             // sorted
  std::vector<std::uint8_t> floor_pair;     // per pair: repairable within cells
  std::vector<double> span_lo, span_hi;     // per feature: values an unassigned one may take
  std::vector<double> suffix;               // per level + 1

 private:
  Cell intersected_cell(std::size_t f, std::size_t cell_idx) const;
  void candidates_for(const OrderPair& p, const double* row, std::size_t cell_a,
                      std::size_t cell_b, std::vector<double>& out) const;
  bool repair_pair(const OrderPair& p, std::vector<double>& row, std::size_t cell_a,
                   std::size_t cell_b, bool must_accept);

  std::vector<std::uint8_t> has_span_;     // per feature: span_lo/span_hi computed
  struct RepairOption {
    double cost;  // of the two pair features together
    double a;
    double b;
  };
  std::vector<std::size_t> broken_scratch_;
  std::vector<std::size_t> repair_scratch_;
  std::vector<RepairOption> option_scratch_;
  std::vector<double> candidate_scratch_;
  std::vector<double> row_scratch_;
};

}  // namespace morvel::exact
