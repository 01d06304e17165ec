// Preparation of an exact solve and the order-pair rules shared by the search modes.
#include "exact/context.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include "cells.hpp"
#include "errors.hpp"
#include "ir.hpp"

namespace morvel::exact {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kPairTolerance = 1e-9;

std::size_t distinct_features(const LinearC& c) {
  std::set<std::uint32_t> seen(c.indices.begin(), c.indices.end());
  return seen.size();
}

}  // namespace

std::vector<OrderPair> validate_linear(const Constraints& constraints) {
  std::vector<OrderPair> pairs;
  for (const LinearC& c : constraints.linear) {
    if (distinct_features(c) <= 1) continue;
    const bool order_pair = c.indices.size() == 2 && c.op == 0 && c.rhs == 0.0 &&
                            std::min(c.coefs[0], c.coefs[1]) == -1.0 &&
                            std::max(c.coefs[0], c.coefs[1]) == 1.0;
    if (!order_pair) {
      throw ValidationError(
          "Linear constraint over multiple features is not supported by the exact backend "
          "yet; use backend=\"genetic\".");
    }
    const std::size_t pos = c.coefs[0] == 1.0 ? 0 : 1;
    pairs.push_back({constraints.feature_index(c.indices[pos]),
                     constraints.feature_index(c.indices[1 - pos])});
  }
  std::stable_sort(pairs.begin(), pairs.end());
  return pairs;
}

Ctx::Ctx(const ExactProblem& p, std::vector<OrderPair> order_pairs)
    : problem(p),
      ensemble(*p.ensemble),
      constraints(*p.constraints),
      n_features(p.ensemble->n_features()),
      bounds(p.constraints->instance_bounds(p.x)),
      pairs(std::move(order_pairs)) {
  all_windows.push_back({p.ensemble, p.lo_t, p.hi_t});
  if (p.if_ensemble != nullptr) all_windows.push_back({p.if_ensemble, p.min_total_path, kInf});
  all_windows.insert(all_windows.end(), p.windows.begin(), p.windows.end());
}

bool Ctx::accepts(const double* row) const {
  return constraints.check_row(row, problem.x, bounds) && inside_all(all_windows, row);
}

std::vector<const Ensemble*> Ctx::ensembles() const {
  std::vector<const Ensemble*> out;
  for (const ScoreWindow& w : all_windows) out.push_back(w.ensemble);
  return out;
}

void Ctx::build_domains_and_order() {
  const std::vector<const Ensemble*> ensembles = this->ensembles();
  cells = constraint_cells(constraints, ensembles);
  blocks = category_blocks_joint(ensembles);
  cost_ = make_cost_model(problem.x, problem.sigma, problem.weights, problem.lam, constraints,
                          blocks);
  domains = exact::build_domains(cells, problem.x, constraints, problem.lam, problem.sigma,
                                 problem.weights, problem.policies, blocks);

  constrained.assign(n_features, 0);
  auto mark = [&](std::uint32_t f) { constrained[constraints.feature_index(f)] = 1; };
  for (std::uint32_t f : constraints.freeze) mark(f);
  for (const RangeRule& r : constraints.range) mark(r.feature);
  for (const EqualsRule& e : constraints.equals) mark(e.feature);
  for (const MonoRule& m : constraints.mono) mark(m.feature);
  for (const LinearC& c : constraints.linear) {
    for (std::uint32_t f : c.indices) mark(f);
  }
  for (const Implication& i : constraints.implications) {
    mark(i.cond_feature);
    mark(i.cons_feature);
  }
  for (const auto& group : constraints.one_hot) {
    for (std::uint32_t f : group) mark(f);
  }
  for (const AllowMissing& a : constraints.allow_missing) mark(a.feature);
  for (const AllowedCategories& a : constraints.allowed_categories) mark(a.feature);

  span.assign(n_features, 0);
  order.clear();
  for (std::size_t f = 0; f < n_features; ++f) {
    span[f] = (blocks[f].empty() ? cells[f].size() : blocks[f].size()) - 1;
    if (span[f] != 0 || constrained[f]) order.push_back(f);
  }
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return span[a] != span[b] ? span[a] > span[b] : a < b;
  });
}

void Ctx::set_suffix_bounds() {
  suffix.assign(order.size() + 1, 0.0);
  for (std::size_t k = order.size(); k-- > 0;) {
    suffix[k] = suffix[k + 1] + domains[order[k]].front().cost;
  }
}

void Ctx::set_pair_spans() {
  // Pairs with exact floors: both features numeric, outside one-hot groups, continuous, and
  // sharing no feature with another (distinct) pair.
  std::vector<std::uint8_t> in_one_hot(n_features, 0);
  for (const auto& group : constraints.one_hot) {
    for (std::uint32_t f : group) in_one_hot[constraints.feature_index(f)] = 1;
  }
  auto simple = [&](std::size_t f) {
    return blocks[f].empty() && !in_one_hot[f] &&
           problem.policies[f].kind == PolicyKind::Continuous;
  };
  floor_pair.assign(pairs.size(), 0);
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const OrderPair& p = pairs[i];
    bool shares = false;
    for (const OrderPair& q : pairs) {
      if (q == p) continue;
      if (q.a == p.a || q.a == p.b || q.b == p.a || q.b == p.b) shares = true;
    }
    floor_pair[i] = simple(p.a) && simple(p.b) && !shares;
  }

  // Value spans over the presolved domains; a floor pair's feature counts by its cells' ends.
  // A missing state never breaks a pair, so a domain holding one constrains nothing.
  std::vector<std::uint8_t> by_cells(n_features, 0);
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    if (floor_pair[i]) by_cells[pairs[i].a] = by_cells[pairs[i].b] = 1;
  }
  span_lo.assign(n_features, kInf);
  span_hi.assign(n_features, -kInf);
  has_span_.assign(n_features, 0);
  for (const OrderPair& p : pairs) {
    for (std::size_t f : {p.a, p.b}) {
      if (has_span_[f]) continue;
      has_span_[f] = 1;
      for (const State& s : domains[f]) {
        if (s.is_nan) {
          span_lo[f] = -kInf;
          span_hi[f] = kInf;
          break;
        }
        const double lo = by_cells[f] ? cells[f][s.cell_idx].lo : s.value;
        const double hi = by_cells[f] ? cells[f][s.cell_idx].hi : s.value;
        span_lo[f] = std::min(span_lo[f], lo);
        span_hi[f] = std::max(span_hi[f], hi);
      }
    }
  }
}

void Ctx::broken(const double* row, std::vector<std::size_t>& out) const {
  out.clear();
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const double a = row[pairs[i].a];
    const double b = row[pairs[i].b];
    if (!std::isnan(a) && !std::isnan(b) && a - b > kPairTolerance) out.push_back(i);
  }
}

bool Ctx::unorderable(const PartialAssignment& pa, std::span<const std::size_t> state_of,
                      bool& loosened) const {
  // Lowest (or highest) value feature f may still take: by value, or by its cell's end.
  auto reach = [&](std::size_t f, bool low, bool by_cell, double& value) {
    if (!pa.assigned[f]) {
      ensure(has_span_[f] != 0, "a bounded pair's features have spans");
      value = low ? span_lo[f] : span_hi[f];
      return true;
    }
    const State& s = domains[f][state_of[f]];
    if (s.is_nan) return false;  // a missing value never breaks a pair
    if (by_cell && blocks[f].empty()) {
      value = low ? cells[f][s.cell_idx].lo : cells[f][s.cell_idx].hi;
    } else {
      value = s.value;
    }
    return true;
  };
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const OrderPair& p = pairs[i];
    double low_a = 0.0, high_b = 0.0;
    const bool by_cell = floor_pair[i] != 0;
    if (!reach(p.a, true, by_cell, low_a) || !reach(p.b, false, by_cell, high_b)) continue;
    if (!(low_a - high_b > kPairTolerance)) continue;
    if (!by_cell) {
      double cell_low_a = 0.0, cell_high_b = 0.0;
      reach(p.a, true, true, cell_low_a);
      reach(p.b, false, true, cell_high_b);
      if (!(cell_low_a - cell_high_b > kPairTolerance)) loosened = true;
    }
    return true;
  }
  return false;
}

Cell Ctx::intersected_cell(std::size_t f, std::size_t cell_idx) const {
  return clip_to(cells[f][cell_idx], bounds.lo[f], bounds.hi[f]);
}

void Ctx::candidates_for(const OrderPair& p, const double* row, std::size_t cell_a,
                         std::size_t cell_b, std::vector<double>& out) const {
  // The cheapest repair moves both features to a common meeting point m; the cost is
  // piecewise linear in m with breaks at the factual values and the cells' ends, so the
  // optimum is among these.
  const Cell ia = intersected_cell(p.a, cell_a);
  const Cell ib = intersected_cell(p.b, cell_b);
  out.clear();
  for (double m : {problem.x[p.a], problem.x[p.b], row[p.a], row[p.b], ia.lo, ia.hi, ib.lo,
                   ib.hi}) {
    if (std::isfinite(m)) out.push_back(m);
  }
}

bool Ctx::repair_pair(const OrderPair& p, std::vector<double>& row, std::size_t cell_a,
                      std::size_t cell_b, bool must_accept) {
  candidates_for(p, row.data(), cell_a, cell_b, candidate_scratch_);
  const Cell ia = intersected_cell(p.a, cell_a);
  const Cell ib = intersected_cell(p.b, cell_b);
  std::vector<RepairOption>& options = option_scratch_;
  options.clear();
  for (double m : candidate_scratch_) {
    const double a = ia.nearest_to(m);
    const double b = ib.nearest_to(m);
    if (!ia.contains(a) || !ib.contains(b) || a - b > kPairTolerance) continue;
    options.push_back({cost_.cost(p.a, a) + cost_.cost(p.b, b), a, b});
  }
  std::stable_sort(options.begin(), options.end(),
                   [](const RepairOption& l, const RepairOption& r) { return l.cost < r.cost; });
  const double old_a = row[p.a];
  const double old_b = row[p.b];
  for (const RepairOption& o : options) {
    row[p.a] = o.a;
    row[p.b] = o.b;
    if (!must_accept || accepts(row.data())) return true;
  }
  row[p.a] = old_a;
  row[p.b] = old_b;
  return false;
}

bool Ctx::finish(std::vector<double>& row, std::span<const std::size_t> state_of,
                 double acc_cost, double& lower_to) {
  lower_to = kInf;
  broken(row.data(), broken_scratch_);
  if (broken_scratch_.empty()) return accepts(row.data());
  for (std::size_t i : broken_scratch_) {
    if (!floor_pair[i]) {
      lower_to = -kInf;
      return false;
    }
  }
  // Floor pairs share no feature, so each can be repaired on its own; with one broken pair
  // the cheapest accepted repair is exact, with several the repairs are combined greedily.
  const bool single = broken_scratch_.size() == 1;
  repair_scratch_ = broken_scratch_;
  for (std::size_t i : repair_scratch_) {
    const OrderPair& p = pairs[i];
    const std::size_t cell_a = domains[p.a][state_of[p.a]].cell_idx;
    const std::size_t cell_b = domains[p.b][state_of[p.b]].cell_idx;
    if (!repair_pair(p, row, cell_a, cell_b, single)) {
      lower_to = acc_cost;
      return false;
    }
  }
  broken(row.data(), broken_scratch_);
  if (!broken_scratch_.empty() || !accepts(row.data())) {
    lower_to = acc_cost;
    return false;
  }
  return true;
}

}  // namespace morvel::exact
