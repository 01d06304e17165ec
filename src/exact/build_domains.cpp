// Each feature's ordered candidate states: the factual value, a representative per cell
// (or the first code per category block), demanded values, and the missing state.
#include <algorithm>
#include <cmath>
#include <limits>

#include "errors.hpp"
#include "exact/domains.hpp"

namespace morvel::exact {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// `<` on doubles with every NaN after every number: a strict weak order, so the sort stays
// well defined when a degenerate sigma makes a cost NaN.
bool nan_last_less(double a, double b) { return a < b || (!std::isnan(a) && std::isnan(b)); }

// Per-feature facts the constraint set contributes, gathered once per build.
struct FeatureRules {
  std::vector<std::vector<double>> demanded;
  std::vector<std::uint8_t> allows_missing;
  std::vector<std::uint8_t> forbids_missing;  // a one-feature linear constraint fails on NaN
  std::vector<std::uint8_t> one_hot;
  std::vector<std::uint8_t> has_categories;  // the feature has an allowed-category entry

  explicit FeatureRules(const Constraints& c)
      : demanded(demanded_values(c)),
        allows_missing(c.n_features, 0),
        forbids_missing(c.n_features, 0),
        one_hot(c.n_features, 0),
        has_categories(c.n_features, 0) {
    for (const AllowMissing& am : c.allow_missing) allows_missing[c.feature_index(am.feature)] = 1;
    for (const LinearC& lc : c.linear) {
      if (lc.indices.size() == 1 && lc.policy != 0) {
        forbids_missing[c.feature_index(lc.indices[0])] = 1;
      }
    }
    for (const auto& group : c.one_hot) {
      for (std::uint32_t f : group) one_hot[c.feature_index(f)] = 1;
    }
    for (const AllowedCategories& ac : c.allowed_categories) {
      has_categories[c.feature_index(ac.feature)] = 1;
    }
  }
  bool missing_state(std::size_t i) const { return allows_missing[i] && !forbids_missing[i]; }
  // A code passes when every allowed-category entry of feature i lets it through.
  bool code_allowed(const Constraints& c, std::size_t i, double code) const {
    for (const AllowedCategories& ac : c.allowed_categories) {
      if (ac.feature != i) continue;
      if (!(code >= 0.0 && code == std::trunc(code) && code / 64.0 < ac.words.size())) {
        return false;
      }
      const auto k = static_cast<std::uint64_t>(code);
      if (((ac.words[k / 64] >> (k % 64)) & 1u) == 0) return false;
    }
    return true;
  }
};

// Everything build_domains shares across features.
struct Inputs {
  std::span<const double> x;
  const Constraints& constraints;
  const CostModel& model;
  const InstanceBounds& bounds;
  const FeatureRules& rules;
};

State missing(std::size_t n_cells, double cost) { return {kNaN, cost, n_cells, true, false}; }

// The intersection of a cell with the closed range [lo, hi], or nothing when it is empty.
std::optional<Cell> intersect(const Cell& cell, double lo, double hi) {
  Cell out = cell;
  if (cell.lo < lo) out = {lo, out.hi, false, out.hi_open};
  if (hi < cell.hi) out = {out.lo, hi, out.lo_open, false};
  if (out.hi < out.lo) return std::nullopt;
  if (out.hi == out.lo && (out.lo_open || out.hi_open)) return std::nullopt;
  return out;
}

// States of one proper-range cell k (demanded values, one-hot values, representative).
void add_cell_states(const Inputs& in, std::size_t i, std::size_t k, const Cell& inter,
                     double lo, double hi, bool inside, const ValuePolicy& policy, Domain& out) {
  const double m = in.x[i];
  if (in.rules.one_hot[i]) {
    for (double v : {0.0, 1.0}) {
      if (inter.contains(v) && !(inside && m == v)) {
        out.push_back({v, in.model.cost(i, v), k, false, false});
      }
    }
    return;
  }
  const std::size_t first_demanded = out.size();
  for (double d : in.rules.demanded[i]) {
    if (inter.contains(d) && !(inside && d == m)) {
      out.push_back({d, in.model.cost(i, d), k, false, false});
    }
  }
  double rep = inter.nearest_to(std::isnan(m) ? 0.0 : m);
  if (inside && rep == m) return;
  if (policy.kind != PolicyKind::Continuous) {
    const std::optional<double> snapped = snap_candidates(rep, policy, inter, lo, hi);
    if (!snapped) return;
    rep = *snapped;
  } else if (!inter.contains(rep)) {
    return;  // an open interval between adjacent doubles holds no value at all
  }
  for (std::size_t s = first_demanded; s < out.size(); ++s) {
    if (out[s].value == rep) return;
  }
  out.push_back({rep, in.model.cost(i, rep), k, false, policy.kind != PolicyKind::Continuous});
}

Domain numeric_domain(const Inputs& in, std::size_t i, const CellList& cells,
                      const ValuePolicy& policy) {
  const double m = in.x[i];
  const double lo = std::isnan(in.bounds.lo[i]) ? -kInf : in.bounds.lo[i];
  const double hi = std::isnan(in.bounds.hi[i]) ? kInf : in.bounds.hi[i];
  const std::size_t n_cells = cells.size();
  const bool m_nan = std::isnan(m);
  const bool allows = in.rules.allows_missing[i] != 0;
  const bool forbids = in.rules.forbids_missing[i] != 0;
  Domain out;

  if (in.bounds.fixed[i]) {
    out.push_back({m, 0.0, m_nan ? n_cells : cell_index(cells, m), m_nan, false});
    return out;
  }
  const bool pinned = lo == hi;
  if (pinned && !m_nan) {
    out.push_back({lo, in.model.cost(i, lo), cell_index(cells, lo), false, false});
    if (in.rules.missing_state(i)) out.push_back(missing(n_cells, in.model.cost(i, kNaN)));
  } else if (m_nan && !allows) {
    if (!forbids) out.push_back(missing(n_cells, 0.0));
    return out;
  } else if (pinned) {
    if (!forbids) out.push_back(missing(n_cells, 0.0));
    out.push_back({lo, in.model.cost(i, lo), cell_index(cells, lo), false, false});
  } else {
    const bool inside = lo <= m && m <= hi;
    if (inside) out.push_back({m, 0.0, cell_index(cells, m), false, false});
    for (std::size_t k = 0; k < n_cells; ++k) {
      if (const auto inter = intersect(cells[k], lo, hi)) {
        add_cell_states(in, i, k, *inter, lo, hi, inside, policy, out);
      }
    }
    if (in.rules.missing_state(i)) {
      out.push_back(missing(n_cells, m_nan ? 0.0 : in.model.cost(i, kNaN)));
    }
  }
  sort_states(out);
  return out;
}

// A category value as an unsigned 32-bit code: truncated, negatives and NaN to 0,
// saturated at the top.
std::uint32_t to_code(double v) {
  if (!(v > 0.0)) return 0;
  if (v >= 4294967295.0) return std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(v);
}

Domain categorical_domain(const Inputs& in, std::size_t i, const BlockList& blocks) {
  const double m = in.x[i];
  const bool m_nan = std::isnan(m);
  const std::size_t n_blocks = blocks.size();
  const bool has_entry = in.rules.has_categories[i] != 0;
  Domain out;

  if (in.bounds.fixed[i]) {
    out.push_back({m, 0.0, m_nan ? n_blocks : block_index(blocks, to_code(m)), m_nan, false});
    return out;
  }
  if (m_nan && !in.rules.allows_missing[i]) {
    if (!in.rules.forbids_missing[i]) out.push_back(missing(n_blocks, 0.0));
    return out;
  }
  std::optional<std::size_t> factual;
  if (!m_nan && (!has_entry || (std::isfinite(m) && in.rules.code_allowed(in.constraints, i, m)))) {
    factual = block_index(blocks, to_code(m));
    out.push_back({m, 0.0, *factual, false, false});
  }
  for (std::size_t j = 0; j < n_blocks; ++j) {
    if (factual == j) continue;
    for (std::uint32_t code : blocks[j]) {
      const double v = code;
      if (has_entry && !in.rules.code_allowed(in.constraints, i, v)) continue;
      out.push_back({v, in.model.cost(i, v), j, false, false});
      break;
    }
  }
  if (in.rules.missing_state(i)) {
    out.push_back(missing(n_blocks, m_nan ? 0.0 : in.model.cost(i, kNaN)));
  }
  sort_states(out);
  return out;
}

}  // namespace

void sort_states(Domain& domain) {
  std::stable_sort(domain.begin(), domain.end(), [](const State& a, const State& b) {
    if (nan_last_less(a.cost, b.cost)) return true;
    if (nan_last_less(b.cost, a.cost)) return false;
    if (a.cell_idx != b.cell_idx) return a.cell_idx < b.cell_idx;
    return nan_last_less(a.is_nan ? 0.0 : a.value, b.is_nan ? 0.0 : b.value);
  });
}

namespace {

// A one-term linear constraint `coef * v op rhs` on a numeric feature narrows its range, so
// that a cell cut by it still offers the values that satisfy it (the representative of
// the whole cell might not). The end is nudged inwards until the constraint holds at it
// within the check's tolerance.
void narrow_by_single_feature_linear(const Constraints& c, const CategoryBlocks& blocks,
                                     InstanceBounds& b) {
  constexpr double kTolerance = 1e-9;
  for (const LinearC& lc : c.linear) {
    if (lc.indices.size() != 1) continue;
    const std::size_t f = c.feature_index(lc.indices[0]);
    const double coef = lc.coefs[0];
    if (!blocks[f].empty() || coef == 0.0 || std::isnan(coef) || std::isnan(lc.rhs)) continue;
    const double at = lc.rhs / coef;
    auto holds = [&](double v) {
      const double s = coef * v;
      if (lc.op == 0) return s <= lc.rhs + kTolerance;
      if (lc.op == 1) return s >= lc.rhs - kTolerance;
      return std::fabs(s - lc.rhs) <= kTolerance;
    };
    auto settle = [&](double v, double inward) {
      for (int k = 0; k < 8 && std::isfinite(v) && !holds(v); ++k) v = std::nextafter(v, inward);
      return v;
    };
    // Which side of `at` the constraint keeps: for `<=` the side where coef * v shrinks.
    const bool keeps_below = (lc.op == 0) == (coef > 0.0);
    const bool equality = lc.op != 0 && lc.op != 1;
    if (equality || keeps_below) {
      const double hi = settle(at, -kInf);
      if (hi < b.hi[f] || std::isnan(b.hi[f])) b.hi[f] = hi;
    }
    if (equality || !keeps_below) {
      const double lo = settle(at, kInf);
      if (lo > b.lo[f] || std::isnan(b.lo[f])) b.lo[f] = lo;
    }
  }
}

}  // namespace

Domains build_domains(const FeatureCells& cells, std::span<const double> x,
                      const Constraints& constraints, double lam, std::span<const double> sigma,
                      std::span<const double> weights, std::span<const ValuePolicy> policies,
                      const CategoryBlocks& blocks) {
  const std::size_t n = x.size();
  ensure(cells.size() == n && blocks.size() == n && policies.size() == n,
         "cells, blocks and policies must cover every feature");
  const CostModel model = make_cost_model(x, sigma, weights, lam, constraints, blocks);
  InstanceBounds bounds = constraints.instance_bounds(x);
  narrow_by_single_feature_linear(constraints, blocks, bounds);
  const FeatureRules rules(constraints);
  const Inputs in{x, constraints, model, bounds, rules};
  Domains domains(n);
  for (std::size_t i = 0; i < n; ++i) {
    domains[i] = blocks[i].empty() ? numeric_domain(in, i, cells[i], policies[i])
                                   : categorical_domain(in, i, blocks[i]);
  }
  return domains;
}

}  // namespace morvel::exact
