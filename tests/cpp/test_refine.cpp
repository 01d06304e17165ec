// Pieces of the refine search: range hierarchies over random domains, and the box's holds,
// splits and assignments checked against brute force over every row of the box and for
// exact undo.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "constraints.hpp"
#include "errors.hpp"
#include "exact/bounds.hpp"
#include "exact/hierarchy.hpp"
#include "exact/propagation.hpp"
#include "exact/refine_box.hpp"
#include "exact/search.hpp"
#include "ir.hpp"

namespace morvel::exact {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// A sorted domain over `cells` consecutive cells: each cell holds one to three states at
// increasing values, costs are distances from 2.0, and sometimes a missing state follows.
Domain random_domain(std::mt19937_64& rng, std::size_t cells, bool missing) {
  Domain d;
  for (std::size_t c = 0; c < cells; ++c) {
    const std::size_t n = 1 + rng() % 3;
    for (std::size_t k = 0; k < n; ++k) {
      const double v = static_cast<double>(c) + 0.25 * static_cast<double>(k);
      d.push_back({v, std::fabs(v - 2.0), c, false, false});
    }
  }
  if (missing) d.push_back({kNaN, 0.5, cells, true, false});
  sort_states(d);
  return d;
}

// Every state reachable from `alts`, each range expanded through its split alternatives.
void collect(const RangeHierarchy& h, std::span<const Alternative> alts,
             std::vector<std::uint32_t>& out) {
  for (const Alternative& a : alts) {
    if (a.is_range) {
      collect(h, h.alternatives(a.index), out);
    } else {
      out.push_back(a.index);
    }
  }
}

class HierarchyOverRandomDomains : public ::testing::TestWithParam<int> {};

TEST_P(HierarchyOverRandomDomains, PartitionsStatesIntoOrderedRanges) {
  std::mt19937_64 rng(static_cast<std::uint64_t>(GetParam()));
  const std::size_t cells = 1 + rng() % 12;
  const bool categorical = rng() % 4 == 0;
  const Domain d = random_domain(rng, cells, rng() % 2 == 0);
  const RangeHierarchy h(d, categorical);
  const auto top = top_alternatives(d, h);

  // Every state is reached exactly once, through the root or as a top alternative.
  std::vector<std::uint32_t> reached;
  collect(h, top, reached);
  std::sort(reached.begin(), reached.end());
  ASSERT_EQ(reached.size(), d.size());
  for (std::uint32_t i = 0; i < d.size(); ++i) EXPECT_EQ(reached[i], i);

  for (std::uint32_t n = 0; n < h.size(); ++n) {
    const RangeNode& node = h.node(n);
    const auto alts = h.alternatives(n);
    std::vector<std::uint32_t> below;
    collect(h, alts, below);
    ASSERT_GE(below.size(), 2u);
    double lo = d[below[0]].value, hi = lo, cheapest = d[below[0]].cost;
    std::set<std::size_t> cells_below;
    for (std::uint32_t s : below) {
      EXPECT_FALSE(d[s].is_nan);
      lo = std::min(lo, d[s].value);
      hi = std::max(hi, d[s].value);
      cheapest = std::min(cheapest, d[s].cost);
      cells_below.insert(d[s].cell_idx);
    }
    EXPECT_EQ(node.hull, (Cell{lo, hi, false, false}));
    EXPECT_EQ(node.min_cost, cheapest);
    EXPECT_EQ(d[node.cheapest].cost, cheapest);
    // Consecutive cells, and a state of another cell never falls into the hull.
    EXPECT_EQ(*cells_below.rbegin() - *cells_below.begin() + 1, cells_below.size());
    for (std::uint32_t s = 0; s < d.size(); ++s) {
      if (!d[s].is_nan && !cells_below.count(d[s].cell_idx) && !categorical) {
        EXPECT_FALSE(node.hull.contains(d[s].value)) << "state " << s << " node " << n;
      }
    }
    for (std::size_t k = 1; k < alts.size(); ++k) {
      EXPECT_TRUE(alts[k - 1].min_cost < alts[k].min_cost ||
                  (alts[k - 1].min_cost == alts[k].min_cost &&
                   alts[k - 1].cheapest < alts[k].cheapest));
    }
    // A leaf of a numeric hierarchy is one cell; a categorical hierarchy is a single leaf.
    const bool leaf = std::none_of(alts.begin(), alts.end(),
                                   [](const Alternative& a) { return a.is_range; });
    if (leaf && alts.size() > 2) {
      EXPECT_TRUE(categorical || cells_below.size() == 1);
    }
    if (categorical) {
      EXPECT_EQ(h.size(), 1u);
    }
    EXPECT_GE(node.max_splits, 1u);
  }
  if (h.empty()) {
    EXPECT_LE(std::count_if(d.begin(), d.end(), [](const State& s) { return !s.is_nan; }), 1);
  } else {
    EXPECT_LE(h.max_splits(), 2 + static_cast<std::uint32_t>(std::log2(cells) + 1) + 2);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, HierarchyOverRandomDomains, ::testing::Range(0, 60));

// Random trees of depth 3, so that one tree reads several features.
Ensemble random_trees(std::mt19937_64& rng, std::size_t n_features, int n_trees) {
  std::vector<std::int32_t> feature;
  std::vector<double> threshold, value;
  std::vector<std::uint8_t> is_lt, missing_left;
  std::vector<std::uint32_t> left, right, roots;
  auto grow = [&](auto&& self, int depth) -> std::uint32_t {
    const auto id = static_cast<std::uint32_t>(feature.size());
    const bool leaf = depth == 3;
    feature.push_back(leaf ? -1 : static_cast<std::int32_t>(rng() % n_features));
    threshold.push_back(static_cast<double>(rng() % 8) * 0.5);
    is_lt.push_back(static_cast<std::uint8_t>(rng() % 2));
    missing_left.push_back(0);
    value.push_back(static_cast<double>(rng() % 17) * 0.125 - 1.0);
    left.push_back(0);
    right.push_back(0);
    if (!leaf) {
      const std::uint32_t l = self(self, depth + 1);
      const std::uint32_t r = self(self, depth + 1);
      left[id] = l;
      right[id] = r;
    }
    return id;
  };
  for (int t = 0; t < n_trees; ++t) roots.push_back(grow(grow, 0));
  return Ensemble::create(feature, threshold, is_lt, missing_left, left, right, value, 0.0,
                          roots, Link::Identity, n_features);
}

// Three numeric features split on the half-grid 0..3.5, with nine states each, the
// cheapest at 1.0.
struct BoxFixture {
  explicit BoxFixture(std::mt19937_64& rng) : ensemble(random_trees(rng, 3, 8)) {
    for (std::size_t f = 0; f < 3; ++f) {
      Domain d;
      const double values[] = {-0.5, 0.0, 0.25, 1.0, 1.5, 2.0, 2.75, 3.0, 3.5};
      for (std::size_t k = 0; k < std::size(values); ++k) {
        d.push_back({values[k], std::fabs(values[k] - 1.0), k, false, false});
      }
      sort_states(d);
      domains.push_back(d);
      hierarchies.emplace_back(domains.back(), false);
    }
  }

  Ensemble ensemble;
  Domains domains;
  std::vector<RangeHierarchy> hierarchies;
};

// The states a feature may still take in the box.
std::vector<double> values_in_box(const BoxState& box, const BoxFixture& fx, std::size_t f) {
  std::vector<double> out;
  if (box.assignment().assigned[f]) {
    out.push_back(box.assignment().values[f]);
  } else if (box.held(f)) {
    std::vector<std::uint32_t> states;
    collect(fx.hierarchies[f], fx.hierarchies[f].alternatives(box.held_node(f)), states);
    for (std::uint32_t s : states) out.push_back(fx.domains[f][s].value);
  } else {
    for (const State& s : fx.domains[f]) out.push_back(s.value);
  }
  return out;
}

void expect_bounds_cover_box(const BoxState& box, const BoxFixture& fx,
                             const EnsembleBounds& bounds) {
  const auto v0 = values_in_box(box, fx, 0), v1 = values_in_box(box, fx, 1),
             v2 = values_in_box(box, fx, 2);
  double lo = std::numeric_limits<double>::infinity(), hi = -lo;
  for (double a : v0) {
    for (double b : v1) {
      for (double c : v2) {
        const double row[3] = {a, b, c};
        const double s = fx.ensemble.raw_score(row);
        lo = std::min(lo, s);
        hi = std::max(hi, s);
      }
    }
  }
  EXPECT_LE(bounds.lower(), lo);
  EXPECT_GE(bounds.upper(), hi);
  // A box of single values is bounded exactly.
  if (v0.size() == 1 && v1.size() == 1 && v2.size() == 1) {
    EXPECT_EQ(bounds.lower(), lo);
    EXPECT_EQ(bounds.upper(), hi);
  }
}

class BoxRandomWalk : public ::testing::TestWithParam<int> {};

// Depth-first random decisions, as the search makes them: hold a free feature at its
// root, split a held one, or backtrack; bounds must cover every row of the box and undo
// must restore them bit for bit.
TEST_P(BoxRandomWalk, BoundsCoverTheBoxAndUndoIsExact) {
  std::mt19937_64 rng(static_cast<std::uint64_t>(GetParam()));
  BoxFixture fx(rng);
  Constraints constraints;
  constraints.n_features = 3;
  EnsembleBounds bounds(fx.ensemble);
  Propagation propagation(constraints);
  BoxState box(fx.domains, fx.hierarchies, bounds, nullptr, propagation);
  const double lower0 = bounds.lower(), upper0 = bounds.upper();

  std::vector<BoxChange> changes(64);
  std::vector<std::pair<double, double>> before;
  std::size_t depth = 0;
  for (int step = 0; step < 300; ++step) {
    const std::size_t f = rng() % 3;
    std::span<const Alternative> alts;
    const auto top = top_alternatives(fx.domains[f], fx.hierarchies[f]);
    if (box.assignment().assigned[f]) {
      alts = {};
    } else if (box.held(f)) {
      alts = fx.hierarchies[f].alternatives(box.held_node(f));
    } else {
      alts = top;
    }
    if (alts.empty() || (depth > 0 && rng() % 4 == 0)) {
      if (depth == 0) continue;
      box.undo(changes[--depth]);
      EXPECT_TRUE(same_bits(bounds.lower(), before.back().first));
      EXPECT_TRUE(same_bits(bounds.upper(), before.back().second));
      before.pop_back();
      continue;
    }
    before.emplace_back(bounds.lower(), bounds.upper());
    const std::size_t held_before = box.n_held(), assigned_before = box.n_assigned();
    const Alternative& alt = alts[rng() % alts.size()];
    EXPECT_FALSE(box.apply(f, alt, changes[depth++]));
    EXPECT_EQ(box.held(f), alt.is_range);
    EXPECT_EQ(box.n_assigned(), assigned_before + (alt.is_range ? 0 : 1));
    EXPECT_EQ(box.n_held() + box.n_assigned(), held_before + assigned_before +
                                                    (alts.data() == top.data() ? 1 : 0));
    expect_bounds_cover_box(box, fx, bounds);
  }
  while (depth > 0) box.undo(changes[--depth]);
  EXPECT_TRUE(same_bits(bounds.lower(), lower0));
  EXPECT_TRUE(same_bits(bounds.upper(), upper0));
  EXPECT_EQ(box.n_held(), 0u);
  EXPECT_EQ(box.n_assigned(), 0u);
  for (std::size_t f = 0; f < 3; ++f) {
    EXPECT_FALSE(box.held(f));
    EXPECT_FALSE(box.assignment().mask.test(f));
    EXPECT_FALSE(box.assignment().narrowed[f]);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, BoxRandomWalk, ::testing::Range(0, 40));

TEST(BoxState, HeldRangeRejectsAForcedValueOutsideItAndUndoClearsIt) {
  std::mt19937_64 rng(1);
  BoxFixture fx(rng);
  Constraints constraints;
  constraints.n_features = 3;
  // x0 == 0.0 forces x1 to 3.0.
  constraints.implications.push_back({0, 0.0, 1, 3.0});
  EnsembleBounds bounds(fx.ensemble);
  Propagation propagation(constraints);
  BoxState box(fx.domains, fx.hierarchies, bounds, nullptr, propagation);
  const RangeHierarchy& h1 = fx.hierarchies[1];

  BoxChange hold, split, assign;
  EXPECT_FALSE(box.apply(1, top_alternatives(fx.domains[1], h1).front(), hold));
  const auto zero = std::find_if(fx.domains[0].begin(), fx.domains[0].end(),
                                 [](const State& s) { return s.value == 0.0; });
  ASSERT_NE(zero, fx.domains[0].end());
  const auto i0 = static_cast<std::uint32_t>(zero - fx.domains[0].begin());
  EXPECT_FALSE(box.apply(0, {false, i0, zero->cost, i0}, assign));  // 3.0 lies in the root
  ASSERT_TRUE(propagation.forced(1).has_value());
  // The child whose hull misses 3.0 conflicts; the other does not.
  for (const Alternative& child : h1.alternatives(box.held_node(1))) {
    const bool holds_three = child.is_range ? h1.node(child.index).hull.contains(3.0)
                                            : fx.domains[1][child.index].value == 3.0;
    EXPECT_EQ(box.apply(1, child, split), !holds_three);
    box.undo(split);
  }
  box.undo(assign);
  EXPECT_FALSE(propagation.forced(1).has_value());
  box.undo(hold);
}

TEST(BoxState, CheapestRowReplaysThePropagationWithoutChangingIt) {
  std::mt19937_64 rng(2);
  BoxFixture fx(rng);
  Constraints constraints;
  constraints.n_features = 3;
  constraints.one_hot = {{0, 1}};
  EnsembleBounds bounds(fx.ensemble);
  Propagation propagation(constraints);
  BoxState box(fx.domains, fx.hierarchies, bounds, nullptr, propagation);
  // Free features stand at their cheapest state, 1.0, so the group holds two ones.
  ASSERT_EQ(fx.domains[0][box.cheapest_state(0)].value, 1.0);
  const std::size_t order[] = {0, 1, 2};
  EXPECT_FALSE(box.cheapest_row_propagates(order));
  EXPECT_FALSE(box.assignment().assigned[0] || box.assignment().assigned[1]);
  // Assigning x0 = 0 leaves x1 = 1 as the one: now the row passes, and x1 is forced to 1.
  const auto zero = std::find_if(fx.domains[0].begin(), fx.domains[0].end(),
                                 [](const State& s) { return s.value == 0.0; });
  const auto i0 = static_cast<std::uint32_t>(zero - fx.domains[0].begin());
  BoxChange change;
  EXPECT_FALSE(box.apply(0, {false, i0, zero->cost, i0}, change));
  ASSERT_TRUE(propagation.forced(1).has_value());
  EXPECT_TRUE(box.cheapest_row_propagates(order));
  EXPECT_EQ(*propagation.forced(1), 1.0);
  EXPECT_FALSE(box.assignment().assigned[1]);
  box.undo(change);
  EXPECT_FALSE(propagation.forced(1).has_value());
}

// The whole refine search (under the sanitizer builds too) against the classic search on
// random problems, some with a one-hot group and an implication: equal optima whenever both
// prove them, and the refine counters only in refine results.
class RefineAgainstClassic : public ::testing::TestWithParam<int> {};

TEST_P(RefineAgainstClassic, SameOptimum) {
  std::mt19937_64 rng(static_cast<std::uint64_t>(GetParam()) + 100);
  const std::size_t n = 4;
  const Ensemble ensemble = random_trees(rng, n, 10);
  Constraints constraints;
  constraints.n_features = n;
  if (GetParam() % 3 == 0) {
    constraints.one_hot = {{0, 1}};
    constraints.implications.push_back({2, 1.5, 3, 0.5});
  }
  std::vector<double> x(n), sigma(n, 1.0), weights(n, 1.0);
  for (double& v : x) v = static_cast<double>(rng() % 15) * 0.25;
  std::vector<ValuePolicy> policies(n);
  ExactProblem p;
  p.ensemble = &ensemble;
  p.constraints = &constraints;
  p.x = x;
  p.sigma = sigma;
  p.weights = weights;
  p.lam = GetParam() % 2 == 0 ? 0.1 : 0.0;
  p.policies = policies;
  const double score = ensemble.raw_score(x.data());
  p.lo_t = score + 0.25 * static_cast<double>(1 + rng() % 8);
  p.hi_t = std::numeric_limits<double>::infinity();

  auto classic = solve_exact(p, never_interrupt);
  p.mode = SearchMode::Refine;
  auto refine = solve_exact(p, never_interrupt);
  ASSERT_FALSE(classic.is_interrupted() || refine.is_interrupted());
  const ExactResult& c = classic.result();
  const ExactResult& r = refine.result();
  EXPECT_EQ(r.mode, SearchMode::Refine);
  EXPECT_EQ(c.coarse_accepts + c.refinements, 0u);
  ASSERT_EQ(c.proof, Proof::Optimal);
  ASSERT_EQ(r.proof, Proof::Optimal);
  ASSERT_EQ(c.row.has_value(), r.row.has_value());
  if (r.row) {
    EXPECT_NEAR(r.cost, c.cost, 1e-12 * std::max(1.0, c.cost));
    EXPECT_GE(ensemble.raw_score(r.row->data()), p.lo_t);
    const InstanceBounds b = constraints.instance_bounds(x);
    EXPECT_TRUE(constraints.check_row(r.row->data(), x, b));
    EXPECT_EQ(r.lower_bound, r.cost);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RefineAgainstClassic, ::testing::Range(0, 30));

}  // namespace
}  // namespace morvel::exact
