// Candidate domains of the exact search: the distance model, value policies with snapping,
// cells refined at implication conditions, demanded values, and each feature's ordered
// list of candidate states.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "cells.hpp"
#include "constraints.hpp"

namespace morvel {
class Ensemble;
}

namespace morvel::exact {

// Per-feature cost of moving from the factual value; shared by every solver. A row's
// distance is the sum of its features' costs in index order, starting from 0.0.
struct CostModel {
  std::span<const double> x;
  std::span<const double> sigma;
  std::span<const double> weights;
  double lam = 0.0;
  std::vector<std::pair<double, double>> missing;  // (to, from) per feature
  std::vector<std::uint8_t> categorical;           // per feature

  // Cost of giving feature i the value v; operations in the fixed order
  // weight * distance, / sigma, + lam. Inline: the genetic search calls it per gene.
  double cost(std::size_t i, double v) const {
    const double m = x[i];
    if (std::isnan(m)) return std::isnan(v) ? 0.0 : weights[i] * missing[i].second / sigma[i] + lam;
    if (std::isnan(v)) return weights[i] * missing[i].first / sigma[i] + lam;
    if (v == m) return 0.0;
    const double d = categorical[i] != 0 ? 1.0 : std::fabs(v - m);
    return weights[i] * d / sigma[i] + lam;
  }
  // Distance of a whole row (x.size() values).
  double row_cost(const double* row) const;
};

// Builds the cost model for factual row x; categorical[f] from the ensemble's cardinalities.
// x must have constraints.n_features entries and sigma, weights at least as many
// (InternalError otherwise); the spans must outlive the model.
CostModel make_cost_model(std::span<const double> x, std::span<const double> sigma,
                          std::span<const double> weights, double lam,
                          const Constraints& constraints, const Ensemble& ensemble);
// Same, with categorical[f] = feature f has category blocks (joint over the ensembles).
CostModel make_cost_model(std::span<const double> x, std::span<const double> sigma,
                          std::span<const double> weights, double lam,
                          const Constraints& constraints, const CategoryBlocks& blocks);

enum class PolicyKind : std::uint8_t { Continuous = 0, Integer = 1, Grid = 2 };

struct ValuePolicy {
  PolicyKind kind = PolicyKind::Continuous;
  double step = 0.0;    // Grid only
  double anchor = 0.0;  // Grid only
};

// Throws CallerError "value policy code/step/anchor arrays must have equal length",
// "unknown value policy code {c}", or, for a grid policy, on a step that is not positive
// and finite or an anchor that is not finite. Step and anchor of other codes are ignored.
std::vector<ValuePolicy> marshal_value_policies(std::span<const std::uint8_t> code,
                                                std::span<const double> step,
                                                std::span<const double> anchor);

// Throws CallerError "expected {n} value-policy entries, got {m}" unless the counts agree.
void require_policy_count(std::size_t n_features, std::size_t n_policies);

struct State {
  double value;         // NaN for the missing state
  double cost;          // distance-model cost of value
  std::size_t cell_idx; // cell (numeric) or block (categorical); count of them when missing
  bool is_nan;
  bool snapped;         // produced by an Integer or Grid policy
};

using Domain = std::vector<State>;
using Domains = std::vector<Domain>;  // index = feature

// Python's hash() of a float, as a signed 64-bit value.
std::int64_t python_float_hash(double v);

// The model cells of every feature split further at implication condition values.
FeatureCells constraint_cells(const Constraints& constraints,
                              std::span<const Ensemble* const> ensembles);

// Per feature: ascending distinct values some constraint requires it to take exactly.
std::vector<std::vector<double>> demanded_values(const Constraints& constraints);

// Per feature: (to, from) of its allowed-missing entry, (0, 0) without one.
std::vector<std::pair<double, double>> allow_missing_deltas(const Constraints& constraints);

// Snapped representative of r for an intersection cell under a non-continuous policy, or
// nothing when no candidate lies in the cell and within [lo, hi]. Candidates at equal
// distance from r are taken in the order a Python set of them iterates.
std::optional<double> snap_candidates(double r, const ValuePolicy& policy, const Cell& cell,
                                      double lo, double hi);

// Stable sort by cost, then cell index, then value (missing read as 0.0).
void sort_states(Domain& domain);

// One ordered domain per feature of x. cells from constraint_cells, blocks from
// category_blocks_joint over the same ensembles; every per-feature input must cover x.
Domains build_domains(const FeatureCells& cells, std::span<const double> x,
                      const Constraints& constraints, double lam, std::span<const double> sigma,
                      std::span<const double> weights, std::span<const ValuePolicy> policies,
                      const CategoryBlocks& blocks);

}  // namespace morvel::exact
