// Candidate domains of the exact search: the distance model, value policies with snapping,
// cells refined at implication conditions, demanded values, and each feature's ordered
// list of candidate states.
#pragma once

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
  // weight * distance, / sigma, + lam.
  double cost(std::size_t i, double v) const;
  // Distance of a whole row (x.size() values).
  double row_cost(const double* row) const;
};

// Builds the cost model for factual row x; categorical[f] from the ensemble's cardinalities.
CostModel make_cost_model(std::span<const double> x, std::span<const double> sigma,
                          std::span<const double> weights, double lam,
                          const Constraints& constraints, const Ensemble& ensemble);

enum class PolicyKind : std::uint8_t { Continuous = 0, Integer = 1, Grid = 2 };

struct ValuePolicy {
  PolicyKind kind = PolicyKind::Continuous;
  double step = 0.0;    // Grid only
  double anchor = 0.0;  // Grid only
};

// Throws CallerError "value policy code/step/anchor arrays must have equal length" or
// "unknown value policy code {c}".
std::vector<ValuePolicy> marshal_value_policies(std::span<const std::uint8_t> code,
                                                std::span<const double> step,
                                                std::span<const double> anchor);

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
// nothing when no candidate lies in the cell and within [lo, hi].
std::optional<double> snap_candidates(double r, const ValuePolicy& policy, const Cell& cell,
                                      double lo, double hi);

// Stable sort by cost, then cell index, then value (missing read as 0.0).
void sort_states(Domain& domain);

Domains build_domains(const FeatureCells& cells, std::span<const double> x,
                      const Constraints& constraints, double lam, std::span<const double> sigma,
                      std::span<const double> weights, std::span<const ValuePolicy> policies,
                      const CategoryBlocks& blocks);

}  // namespace morvel::exact
