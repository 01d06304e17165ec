// The distance model, value-policy marshalling, and what the constraint set adds to the
// model's cells: splits at implication conditions, demanded values, missing-value deltas.
#include "exact/domains.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <sstream>
#include <string>

#include "errors.hpp"
#include "ir.hpp"

namespace morvel::exact {
namespace {

// IEEE-754 totalOrder: a strict weak order even when NaN is present.
bool total_order_less(double a, double b) {
  auto key = [](double v) {
    const auto bits = std::bit_cast<std::int64_t>(v);
    return bits < 0 ? bits ^ std::numeric_limits<std::int64_t>::max() : bits;
  };
  return key(a) < key(b);
}

// A grid of anchor + k * step needs a positive finite step and a finite anchor; anything
// else leaves a cell without representatives and would prove a false "no counterfactual".
ValuePolicy grid_policy(std::size_t i, double step, double anchor) {
  auto text = [](double v) {
    std::ostringstream out;
    out.precision(17);
    out << v;
    return out.str();
  };
  if (!(std::isfinite(step) && step > 0.0)) {
    throw CallerError("grid value policy " + std::to_string(i) +
                      ": step must be positive and finite, got " + text(step));
  }
  if (!std::isfinite(anchor)) {
    throw CallerError("grid value policy " + std::to_string(i) + ": anchor must be finite, got " +
                      text(anchor));
  }
  return {PolicyKind::Grid, step, anchor};
}

void offer_distinct(std::vector<double>& list, double v) {
  if (std::find(list.begin(), list.end(), v) == list.end()) list.push_back(v);
}

void sort_ascending(std::vector<std::vector<double>>& lists) {
  for (auto& list : lists) std::sort(list.begin(), list.end(), total_order_less);
}

// Replaces every cell that holds c (other than the point [c, c]) by the pieces below c,
// the point c and above c.
CellList split_at(const CellList& cells, double c) {
  CellList out;
  out.reserve(cells.size() + 2);
  for (const Cell& cell : cells) {
    const bool is_point = cell.lo == c && cell.hi == c && !cell.lo_open && !cell.hi_open;
    if (!cell.contains(c) || is_point) {
      out.push_back(cell);
      continue;
    }
    if (c > cell.lo) out.push_back({cell.lo, c, cell.lo_open, true});
    out.push_back({c, c, false, false});
    if (c < cell.hi) out.push_back({c, cell.hi, true, cell.hi_open});
  }
  return out;
}

CostModel cost_model_base(std::span<const double> x, std::span<const double> sigma,
                          std::span<const double> weights, double lam,
                          const Constraints& constraints) {
  ensure(x.size() == constraints.n_features,
         "factual row and constraint set differ in their number of features");
  ensure(sigma.size() >= x.size() && weights.size() >= x.size(),
         "sigma and weights must cover every feature");
  CostModel model;
  model.x = x;
  model.sigma = sigma.first(x.size());
  model.weights = weights.first(x.size());
  model.lam = lam;
  model.missing = allow_missing_deltas(constraints);
  model.categorical.assign(x.size(), 0);
  return model;
}

}  // namespace

double CostModel::row_cost(const double* row) const {
  double total = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) total = total + cost(i, row[i]);
  return total;
}

CostModel make_cost_model(std::span<const double> x, std::span<const double> sigma,
                          std::span<const double> weights, double lam,
                          const Constraints& constraints, const Ensemble& ensemble) {
  ensure(ensemble.n_features() == x.size(),
         "factual row and ensemble differ in their number of features");
  CostModel model = cost_model_base(x, sigma, weights, lam, constraints);
  for (std::size_t f = 0; f < x.size(); ++f) {
    model.categorical[f] = ensemble.is_categorical_feature(f) ? 1 : 0;
  }
  return model;
}

CostModel make_cost_model(std::span<const double> x, std::span<const double> sigma,
                          std::span<const double> weights, double lam,
                          const Constraints& constraints, const CategoryBlocks& blocks) {
  ensure(blocks.size() == x.size(), "category blocks must cover every feature");
  CostModel model = cost_model_base(x, sigma, weights, lam, constraints);
  for (std::size_t f = 0; f < x.size(); ++f) model.categorical[f] = blocks[f].empty() ? 0 : 1;
  return model;
}

std::vector<ValuePolicy> marshal_value_policies(std::span<const std::uint8_t> code,
                                                std::span<const double> step,
                                                std::span<const double> anchor) {
  if (code.size() != step.size() || code.size() != anchor.size()) {
    throw CallerError("value policy code/step/anchor arrays must have equal length");
  }
  std::vector<ValuePolicy> policies(code.size());
  for (std::size_t i = 0; i < code.size(); ++i) {
    switch (code[i]) {
      case 0: policies[i] = {PolicyKind::Continuous, 0.0, 0.0}; break;
      case 1: policies[i] = {PolicyKind::Integer, 0.0, 0.0}; break;
      case 2: policies[i] = grid_policy(i, step[i], anchor[i]); break;
      default: throw CallerError("unknown value policy code " + std::to_string(code[i]));
    }
  }
  return policies;
}

void require_policy_count(std::size_t n_features, std::size_t n_policies) {
  if (n_features != n_policies) {
    throw CallerError("expected " + std::to_string(n_features) + " value-policy entries, got " +
                      std::to_string(n_policies));
  }
}

FeatureCells constraint_cells(const Constraints& constraints,
                              std::span<const Ensemble* const> ensembles) {
  FeatureCells cells = feature_cells_joint(ensembles);
  if (constraints.implications.empty()) return cells;
  std::vector<std::vector<double>> conditions(cells.size());
  for (const Implication& imp : constraints.implications) {
    offer_distinct(checked_at(conditions, imp.cond_feature), imp.cond_value);
  }
  sort_ascending(conditions);
  for (std::size_t f = 0; f < cells.size(); ++f) {
    for (double c : conditions[f]) cells[f] = split_at(cells[f], c);
  }
  return cells;
}

std::vector<std::vector<double>> demanded_values(const Constraints& constraints) {
  std::vector<std::vector<double>> demanded(constraints.n_features);
  for (const Implication& imp : constraints.implications) {
    offer_distinct(demanded[constraints.feature_index(imp.cons_feature)], imp.cons_value);
  }
  for (const LinearC& lc : constraints.linear) {
    if (lc.indices.size() != 1 || lc.op != 2) continue;
    offer_distinct(demanded[constraints.feature_index(lc.indices[0])], lc.rhs / lc.coefs[0]);
  }
  sort_ascending(demanded);
  return demanded;
}

std::vector<std::pair<double, double>> allow_missing_deltas(const Constraints& constraints) {
  std::vector<std::pair<double, double>> deltas(constraints.n_features, {0.0, 0.0});
  for (const AllowMissing& am : constraints.allow_missing) {
    deltas[constraints.feature_index(am.feature)] = {am.to, am.from};
  }
  return deltas;
}

}  // namespace morvel::exact
