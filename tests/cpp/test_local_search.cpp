// The refine search's local search around the incumbent, on models with many thresholds
// per feature (thousands of boxes, so many rounds run): every row it yields lies in the
// window at the cost the model gives it, a search stopped after more boxes never holds a
// dearer row, and no bound passes the optimum. On the same models, a search that fits its
// prices from the root box and refits them on the way proves the same optimum as one that
// never gets to fit them. Run under the sanitizers as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "constraints.hpp"
#include "exact/lagrange.hpp"
#include "exact/neighbourhood.hpp"
#include "exact/search.hpp"
#include "interrupt.hpp"
#include "ir.hpp"

namespace morvel::exact {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Full trees of depth 5 over numeric features, thresholds on a grid of 41 values.
struct DenseModel {
  std::vector<std::int32_t> feature;
  std::vector<double> threshold, value;
  std::vector<std::uint8_t> is_lt, missing_left;
  std::vector<std::uint32_t> left, right, roots;

  std::uint32_t node(std::mt19937_64& rng, std::size_t n, int depth) {
    const auto id = static_cast<std::uint32_t>(feature.size());
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    feature.push_back(depth == 5 ? -1 : static_cast<std::int32_t>(rng() % n));
    threshold.push_back(depth == 5 ? 0.0 : -1.0 + 0.05 * static_cast<double>(rng() % 41));
    value.push_back(depth == 5 ? unit(rng) * 2.0 - 1.0 : 0.0);
    is_lt.push_back(1);
    missing_left.push_back(1);
    left.push_back(0);
    right.push_back(0);
    if (depth == 5) return id;
    const std::uint32_t l = node(rng, n, depth + 1), r = node(rng, n, depth + 1);
    left[id] = l;
    right[id] = r;
    return id;
  }

  Ensemble build(std::mt19937_64& rng, std::size_t n, std::size_t trees) {
    for (std::size_t t = 0; t < trees; ++t) roots.push_back(node(rng, n, 0));
    return Ensemble::create(feature, threshold, is_lt, missing_left, left, right, value, 0.0,
                            roots, Link::Identity, n);
  }
};

// A row above the top percentile of the model's scores on random rows, to be reached from
// a random factual row at L1 cost.
struct DenseInstance {
  std::mt19937_64 rng;  // the model first, then the row and the probes
  DenseModel m;
  Ensemble e;
  Constraints c;
  std::vector<double> x, ones;
  std::vector<ValuePolicy> policies;
  ExactProblem p;

  DenseInstance(std::uint64_t seed, std::size_t n)
      : rng(seed + 500), e(m.build(rng, n, 50)), x(n), ones(n, 1.0), policies(n) {
    c.n_features = n;
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (double& v : x) v = std::round(unit(rng) * 500.0) / 1000.0;
    std::vector<double> scores, probe(n);
    for (int k = 0; k < 2000; ++k) {
      for (double& v : probe) v = unit(rng);
      scores.push_back(e.raw_score(probe.data()));
    }
    std::sort(scores.begin(), scores.end());
    p.ensemble = &e;
    p.constraints = &c;
    p.x = x;
    p.lo_t = scores[scores.size() * 99 / 100];
    p.hi_t = kInf;
    p.sigma = ones;
    p.weights = ones;
    p.policies = policies;
    p.time_budget_s = kInf;
    p.mode = SearchMode::Refine;
    p.node_budget = 1u << 24;
  }
};

TEST(LocalSearch, RowsOnlyImproveWithTheBudgetAndStayInTheWindow) {
  constexpr std::size_t n = 8;
  int searched = 0;
  for (const std::uint64_t seed : {2, 4, 6, 8, 28, 78}) {
    DenseInstance d(seed, n);
    const Ensemble& e = d.e;
    const std::vector<double>& x = d.x;
    ExactProblem& p = d.p;
    const ExactResult full = solve_exact(p, never_interrupt).result();
    ASSERT_EQ(full.proof, Proof::Optimal) << "seed " << seed;
    if (full.nodes_expanded < 4500 || !full.row) continue;  // too easy for many rounds
    ++searched;
    double last = kInf;
    for (std::uint64_t budget = 4100; budget < full.nodes_expanded; budget += budget / 4) {
      p.node_budget = budget;
      const ExactResult r = solve_exact(p, never_interrupt).result();
      EXPECT_LE(r.nodes_expanded, budget);
      EXPECT_LE(r.lower_bound, full.cost + 1e-12) << "seed " << seed << " budget " << budget;
      ASSERT_TRUE(r.row.has_value());
      EXPECT_GE(e.raw_score(r.row->data()), p.lo_t);
      double cost = 0.0;
      for (std::size_t f = 0; f < n; ++f) cost += std::fabs((*r.row)[f] - x[f]);
      EXPECT_NEAR(r.cost, cost, 1e-12);
      EXPECT_GE(r.cost, full.cost - 1e-12);
      EXPECT_LE(r.cost, last) << "seed " << seed << " budget " << budget;
      last = r.cost;
    }
  }
  EXPECT_GE(searched, 2);  // 4, 28 and 78 take the many boxes that start local search
}

TEST(PricedSearch, RefitsKeepTheOptimum) {
  int refitted = 0;
  for (const std::uint64_t seed : {2, 4, 8, 12, 22, 28}) {
    DenseInstance d(seed, 8);
    const ExactResult late = solve_exact(d.p, never_interrupt).result();
    const std::uint64_t previous = set_lagrange_start(0);
    const ExactResult early = solve_exact(d.p, never_interrupt).result();
    set_lagrange_start(previous);
    ASSERT_EQ(late.proof, Proof::Optimal) << "seed " << seed;
    ASSERT_EQ(early.proof, Proof::Optimal) << "seed " << seed;
    EXPECT_NEAR(early.cost, late.cost, 1e-12 * (1.0 + late.cost)) << "seed " << seed;
    if (early.nodes_expanded > 256) ++refitted;  // the first refit comes 256 boxes in
  }
  EXPECT_GE(refitted, 3);
}

// A neighbourhood frees as many features as its size says, moved ones first, and the
// choice is the same for two searches.
TEST(LocalSearch, NeighbourhoodsFreeTheirSizeMovedFeaturesFirst) {
  const std::vector<std::size_t> order{5, 0, 3, 7, 1, 6, 2, 4, 9, 8, 11, 10};
  std::vector<std::uint8_t> moved(order.size(), 0), a(order.size()), b(order.size());
  moved[3] = moved[9] = 1;
  Neighbourhoods one(order), two(order);
  for (int round = 0; round < 30; ++round) {
    one.pick(moved, a);
    two.pick(moved, b);
    EXPECT_EQ(a, b);
    EXPECT_EQ(static_cast<std::size_t>(std::count(a.begin(), a.end(), 1)), one.size());
    EXPECT_TRUE(a[3] == 1 && a[9] == 1);  // two moved features fit in any size
    const bool exhausted = round % 3 == 0;
    one.settle(false, exhausted);
    two.settle(false, exhausted);
  }
}

}  // namespace
}  // namespace morvel::exact
