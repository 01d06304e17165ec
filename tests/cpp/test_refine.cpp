// Pieces of the refine search against brute force over every row of small boxes: the state
// tables and boxes, the cost-frontier bound (never above the cheapest row in the window,
// exact for a single tree), the constraint rules' and the change-set rules' narrowing
// (never loses a row the rules accept), and the greedy start's move scores (the model's own
// score changes).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "cells.hpp"
#include "constraints.hpp"
#include "exact/box.hpp"
#include "exact/box_rules.hpp"
#include "exact/change_sets.hpp"
#include "exact/context.hpp"
#include "exact/frontier.hpp"
#include "exact/greedy.hpp"
#include "exact/lagrange.hpp"
#include "exact/presolve.hpp"
#include "ir.hpp"

namespace morvel::exact {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kPool[] = {-1.0, -0.5, 0.0, 0.5, 1.0};
constexpr std::uint32_t kCard = 4;  // the last feature is categorical

// Random trees over `n` features: the first n - 1 numeric (thresholds from kPool), the
// last categorical with set splits; missing values go either way.
struct RandomModel {
  std::mt19937_64& rng;
  std::size_t n;
  std::vector<std::int32_t> feature, node_set;
  std::vector<double> threshold, value;
  std::vector<std::uint8_t> is_lt, missing_left;
  std::vector<std::uint32_t> left, right, roots, set_offsets{0};
  std::vector<std::uint64_t> set_words;
  int max_depth = 3;

  std::uint32_t node(int depth) {
    const auto id = static_cast<std::uint32_t>(feature.size());
    feature.push_back(-1);
    node_set.push_back(-1);
    threshold.push_back(0.0);
    value.push_back(std::round(std::uniform_real_distribution<double>(-2, 2)(rng) * 8) / 8);
    is_lt.push_back(rng() & 1);
    missing_left.push_back(rng() & 1);
    left.push_back(0);
    right.push_back(0);
    if (depth >= max_depth || (depth > 0 && rng() % 4 == 0)) return id;
    const auto f = static_cast<std::int32_t>(rng() % n);
    feature[id] = f;
    value[id] = 0.0;
    if (static_cast<std::size_t>(f) + 1 == n) {
      node_set[id] = static_cast<std::int32_t>(set_offsets.size() - 1);
      set_words.push_back(1 + rng() % ((1u << kCard) - 2));
      set_offsets.push_back(static_cast<std::uint32_t>(set_words.size()));
    } else {
      threshold[id] = kPool[rng() % std::size(kPool)];
    }
    const std::uint32_t l = node(depth + 1), r = node(depth + 1);
    left[id] = l;
    right[id] = r;
    return id;
  }

  Ensemble build(std::size_t trees) {
    for (std::size_t t = 0; t < trees; ++t) roots.push_back(node(0));
    std::vector<std::uint32_t> card(n, 0);
    card[n - 1] = kCard;
    return Ensemble::with_categories(
        Ensemble::create(feature, threshold, is_lt, missing_left, left, right, value, 0.25, roots,
                         Link::Identity, n),
        node_set, set_offsets, set_words, card);
  }
};

// A prepared context over a random model: feature 0 may go missing, the factual row is
// random (sometimes missing on feature 0), and the window asks for a higher score.
struct Problem {
  std::vector<double> x, sigma, weights;
  std::vector<ValuePolicy> policies;
  Constraints constraints;
  Ensemble ensemble;
  ExactProblem p;
  Ctx ctx;

  static Ensemble model(std::mt19937_64& rng, std::size_t n, std::size_t trees, int depth) {
    RandomModel m{rng, n, {}, {}, {}, {}, {}, {}, {}, {}, {}, {0}, {}, depth};
    return m.build(trees);
  }

  Problem(std::mt19937_64& rng, std::size_t n, std::size_t trees, Constraints c, int depth = 3)
      : x(n), sigma(n), weights(n, 1.0), policies(n), constraints(std::move(c)),
        ensemble(model(rng, n, trees, depth)), ctx(setup(rng), validate_linear(constraints)) {
    ctx.build_domains_and_order();
    ctx.set_suffix_bounds();
    ctx.set_pair_spans();
  }

  const ExactProblem& setup(std::mt19937_64& rng) {
    const std::size_t n = x.size();
    for (std::size_t f = 0; f + 1 < n; ++f) {
      x[f] = std::round(std::uniform_real_distribution<double>(-1.5, 1.5)(rng) * 4) / 4;
      sigma[f] = std::uniform_real_distribution<double>(0.5, 2.0)(rng);
    }
    x[n - 1] = static_cast<double>(rng() % kCard);
    sigma[n - 1] = 1.0;
    if (rng() % 4 == 0) x[0] = kNaN;
    constraints.n_features = n;
    constraints.allow_missing.push_back({0, 0.75, 1.25});
    p.ensemble = &ensemble;
    p.constraints = &constraints;
    p.x = x;
    p.sigma = sigma;
    p.weights = weights;
    p.lam = (rng() & 1) ? 0.1 : 0.0;
    p.policies = policies;
    p.lo_t = ensemble.raw_score(x.data()) + 0.5;
    p.hi_t = (rng() & 1) ? kInf : p.lo_t + 1.5;
    return p;
  }

  std::vector<std::uint8_t> all() const { return std::vector<std::uint8_t>(x.size(), 1); }
};

// A random non-empty box: a sub-range (and maybe the missing state) per ranked feature, a
// random subset per masked one.
Box random_box(std::mt19937_64& rng, const FeatureStates& fs) {
  Box box = Box::whole(fs);
  for (std::size_t f = 0; f < fs.n_features(); ++f) {
    if (fs.kind(f) == FeatureKind::Ranked) {
      RankRange& r = box.ranges[f];
      if (r.has_ranks()) {
        std::uint32_t a = r.lo + static_cast<std::uint32_t>(rng() % (r.hi - r.lo + 1));
        std::uint32_t b = r.lo + static_cast<std::uint32_t>(rng() % (r.hi - r.lo + 1));
        if (a > b) std::swap(a, b);
        r = {a, b, r.nan && (rng() & 1)};
      }
    } else if (fs.kind(f) == FeatureKind::Masked) {
      std::uint64_t* m = box.mask(fs, f);
      const std::uint64_t all = m[0];
      std::uint64_t keep = 0;
      while (keep == 0) keep = all & rng();
      m[0] = keep;
    }
  }
  return box;
}

// Every state a feature's part holds, as domain positions.
std::vector<std::uint32_t> states_of(const FeatureStates& fs, const Box& box, std::size_t f) {
  std::vector<std::uint32_t> out;
  for (std::uint32_t i = 0; i < fs.domains()[f].size(); ++i) {
    if (box.holds(fs, f, i)) out.push_back(i);
  }
  return out;
}

// Calls visit(row, cost) for every row of the box (costs summed in feature order).
// Each feature's cheapest cost in the box into m; returns their sum.
double cheapest_costs(const Problem& pr, const FeatureStates& fs, const Box& box,
                      std::vector<double>& m) {
  double sum = 0.0;
  for (std::size_t f = 0; f < m.size(); ++f) {
    m[f] = pr.ctx.domains[f][box.cheapest(fs, f)].cost;
    sum += m[f];
  }
  return sum;
}

template <class Visit>
void for_each_row(const Problem& pr, const FeatureStates& fs, const Box& box, Visit visit) {
  const std::size_t n = pr.x.size();
  std::vector<std::vector<std::uint32_t>> choices(n);
  for (std::size_t f = 0; f < n; ++f) choices[f] = states_of(fs, box, f);
  std::vector<std::size_t> at(n, 0);
  std::vector<double> row(n);
  for (;;) {
    double cost = 0.0;
    for (std::size_t f = 0; f < n; ++f) {
      const State& s = pr.ctx.domains[f][choices[f][at[f]]];
      row[f] = s.value;
      cost = cost + s.cost;
    }
    visit(row, cost);
    std::size_t f = 0;
    while (f < n && ++at[f] == choices[f].size()) at[f++] = 0;
    if (f == n) return;
  }
}

TEST(RefineStates, RankedFeaturesNeedAValleyOfCosts) {
  Domains d(2);
  d[0] = {{0.0, 0.0, 1, false, false}, {-1.0, 1.0, 0, false, false},
          {2.0, 2.0, 2, false, false}, {kNaN, 0.5, 3, true, false}};
  // Costs 0 at 3.0 and 1 at both 1.0 and 5.0, but 4 at 2.0 in between: not a valley.
  d[1] = {{3.0, 0.0, 2, false, false}, {1.0, 1.0, 0, false, false},
          {5.0, 1.0, 3, false, false}, {2.0, 4.0, 1, false, false}};
  const std::vector<std::uint8_t> yes{1, 1};
  const std::vector<double> x{0.0, 3.0};
  const FeatureStates fs(d, yes, yes, x);
  ASSERT_EQ(fs.kind(0), FeatureKind::Ranked);
  EXPECT_EQ(fs.kind(1), FeatureKind::Masked);
  EXPECT_EQ(fs.n_ranks(0), 3U);
  EXPECT_EQ(fs.rank_value(0, 0), -1.0);
  EXPECT_EQ(fs.pivot(0), 1U);
  EXPECT_EQ(fs.nan_state(0), 3U);
  EXPECT_EQ(fs.range_cost(0, 0, 0, true), 0.5) << "the missing state is cheaper than -1";
  EXPECT_EQ(fs.split_rank(0, 0.0, true), 1U);
  EXPECT_EQ(fs.split_rank(0, 0.0, false), 2U);
  EXPECT_EQ(fs.split_rank(0, kNaN, true), 0U) << "a NaN threshold sends every value right";

  Box box = Box::whole(fs);
  EXPECT_EQ(box.count(fs, 0), 4U);
  EXPECT_EQ(box.cheapest(fs, 0), 0U);
  EXPECT_FALSE(box.remove(fs, 0, 0)) << "an inner rank cannot leave a range";
  EXPECT_TRUE(box.remove(fs, 0, 1));
  EXPECT_TRUE(box.remove(fs, 0, 0));
  EXPECT_EQ(box.cheapest(fs, 0), 3U) << "2.0 costs 2, the missing state 0.5";
  box.pin(fs, 0, 2);
  EXPECT_TRUE(box.single(fs, 0));
  EXPECT_EQ(box.cheapest(fs, 1), 0U);
  EXPECT_TRUE(box.remove(fs, 1, 0));
  EXPECT_EQ(box.cheapest(fs, 1), 1U);
  EXPECT_EQ(box.count(fs, 1), 3U);
}

class RefineFrontier : public ::testing::TestWithParam<int> {};

// No row of the box in the window costs less than its bound; with a budget, none within
// the budget does; a window missed whatever the cost, or met by every row, is so.
TEST_P(RefineFrontier, NeverAboveTheCheapestRowInTheWindow) {
  std::mt19937_64 rng(static_cast<std::uint64_t>(GetParam()));
  Problem pr(rng, 4, 2 + rng() % 6, Constraints{});
  const FeatureStates fs(pr.ctx.domains, pr.all(), threshold_only_features(pr.ctx), pr.x);
  FrontierBound bound(pr.ensemble, fs, pr.p.lo_t, pr.p.hi_t);
  for (int trial = 0; trial < 20; ++trial) {
    const Box box = random_box(rng, fs);
    std::vector<double> m(pr.x.size());
    const double m_sum = cheapest_costs(pr, fs, box, m);
    double best = kInf;
    bool all_in = true;
    for_each_row(pr, fs, box, [&](const std::vector<double>& row, double cost) {
      const double s = pr.ensemble.raw_score(row.data());
      const bool in = s >= pr.p.lo_t && s <= pr.p.hi_t;
      all_in = all_in && in;
      if (in) best = std::min(best, cost);
    });
    bound.evaluate(box, m, kInf);
    const double extra = bound.least_extra();
    EXPECT_LE(m_sum + extra, best + 1e-9) << "trial " << trial;
    if (bound.misses_window()) {
      EXPECT_EQ(best, kInf);
    }
    if (bound.all_inside()) {
      EXPECT_TRUE(all_in);
    }
    // A budget leaves out the dearer leaves, never a cheaper row.
    const double budget = std::uniform_real_distribution<double>(0.0, 2.0)(rng);
    bound.evaluate(box, m, budget);
    const double within = bound.least_extra();
    if (best - m_sum <= budget) {
      EXPECT_LE(m_sum + within, best + 1e-9);
    }
    // The leaves behind the bound need features moved within the box.
    std::vector<CriticalTree> critical;
    std::vector<PathFeature> path;
    bound.evaluate(box, m, kInf);
    if (bound.least_extra() < kInf) {
      bound.critical(bound.least_extra(), critical);
      for (const CriticalTree& c : critical) {
        EXPECT_GT(c.gain, 0.0);
        bound.path_features(c, path);
        EXPECT_FALSE(path.empty());
        for (const PathFeature& p : path) EXPECT_GT(p.extra, 0.0);
      }
    }
  }
}

// With one tree and a one-sided window, the cheapest row in the window is the cheapest way
// into one of the tree's leaves above the window's end: the bound is that cost exactly.
// (A two-sided window is bounded by each side alone, which a leaf beyond the other side
// may satisfy.)
TEST_P(RefineFrontier, ExactForOneTreeAndOneSidedWindow) {
  std::mt19937_64 rng(static_cast<std::uint64_t>(GetParam()) + 1000);
  Problem pr(rng, 4, 1, Constraints{});
  pr.p.hi_t = kInf;
  const FeatureStates fs(pr.ctx.domains, pr.all(), threshold_only_features(pr.ctx), pr.x);
  FrontierBound bound(pr.ensemble, fs, pr.p.lo_t, pr.p.hi_t);
  const Box box = Box::whole(fs);
  std::vector<double> m(pr.x.size());
  const double m_sum = cheapest_costs(pr, fs, box, m);
  double best = kInf;
  for_each_row(pr, fs, box, [&](const std::vector<double>& row, double cost) {
    const double s = pr.ensemble.raw_score(row.data());
    if (s >= pr.p.lo_t && s <= pr.p.hi_t) best = std::min(best, cost);
  });
  bound.evaluate(box, m, kInf);
  const double extra = bound.least_extra();
  if (best == kInf) {
    EXPECT_EQ(extra, kInf);
  } else {
    EXPECT_NEAR(m_sum + extra, best, 1e-9);
  }
}

// One bound carried through a search-like sequence of boxes (children narrowing one
// feature, budgets shrinking and growing, now and then an unrelated box) finds the same
// least extra cost as a bound built afresh for each box.
TEST_P(RefineFrontier, CarriedBoundAnswersAsAFreshOne) {
  std::mt19937_64 rng(static_cast<std::uint64_t>(GetParam()) + 3000);
  Problem pr(rng, 5, 3 + rng() % 8, Constraints{});
  const FeatureStates fs(pr.ctx.domains, pr.all(), threshold_only_features(pr.ctx), pr.x);
  FrontierBound carried(pr.ensemble, fs, pr.p.lo_t, pr.p.hi_t);
  Box box = Box::whole(fs);
  std::vector<double> m(pr.x.size());
  double budget = kInf;
  for (int step = 0; step < 60; ++step) {
    if (rng() % 10 == 0) {
      box = random_box(rng, fs);
    } else {  // a child: one feature loses a state at an end of its part
      const std::size_t f = rng() % fs.n_features();
      const std::uint32_t s = rng() % std::max<std::size_t>(1, fs.domains()[f].size());
      if (box.count(fs, f) > 1 && box.holds(fs, f, s)) box.remove(fs, f, s);
    }
    const double m_sum = cheapest_costs(pr, fs, box, m);
    const int roll = static_cast<int>(rng() % 4);
    if (roll == 0) budget = kInf;
    if (roll == 1) budget = std::uniform_real_distribution<double>(0.0, 3.0)(rng);
    if (roll == 2) budget = std::max(0.0, budget - 0.3);
    FrontierBound fresh(pr.ensemble, fs, pr.p.lo_t, pr.p.hi_t);
    carried.evaluate(box, m, budget);
    fresh.evaluate(box, m, budget);
    EXPECT_EQ(carried.least_extra(), fresh.least_extra()) << "step " << step;
    // The spans of leaf values may differ from a fresh walk's but must still hold.
    if (carried.misses_window() || carried.all_inside()) {
      bool any_in = false, all_in = true;
      for_each_row(pr, fs, box, [&](const std::vector<double>& row, double cost) {
        const double s = pr.ensemble.raw_score(row.data());
        const bool in = s >= pr.p.lo_t && s <= pr.p.hi_t;
        any_in = any_in || in;
        all_in = all_in && (in || cost - m_sum > budget);
      });
      if (carried.misses_window()) {
        EXPECT_FALSE(any_in) << "step " << step;
      }
      if (carried.all_inside()) {
        EXPECT_TRUE(all_in) << "step " << step;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RefineFrontier, ::testing::Range(0, 40));

// A rank's cell in a slot is the count of the slot's inner split points at or below it,
// whether the slot's cells are scanned or searched.
TEST(RefineLagrange, FindsTheCellsOfRanksAsACountOfSplitPoints) {
  std::mt19937_64 rng(91);
  for (int round = 0; round < 2000; ++round) {
    // Up to 60 cells: both the scanned slots and the searched ones.
    const std::uint32_t n = 1 + static_cast<std::uint32_t>(rng() % 60);
    std::vector<std::uint32_t> first{0};
    while (first.size() < n) {
      first.push_back(first.back() + 1 + static_cast<std::uint32_t>(rng() % 4));
    }
    const std::uint32_t past = first.back() + 3;
    const auto lo = static_cast<std::uint32_t>(rng() % past);
    const std::uint32_t hi = lo + static_cast<std::uint32_t>(rng() % (past - lo));
    const auto count = [&](std::uint32_t r) {
      return static_cast<std::int32_t>(std::count_if(first.begin() + 1, first.end(),
                                                     [&](std::uint32_t k) { return k <= r; }));
    };
    std::int32_t c_lo = -1, c_hi = -1;
    cells_of_ranks(first.data(), n, lo, hi, c_lo, c_hi);
    EXPECT_EQ(c_lo, count(lo)) << "round " << round;
    EXPECT_EQ(c_hi, count(hi)) << "round " << round;
  }
}

// Prices fitted on the root box bound every box of a search-like sequence (children that
// lose a state, now and then an unrelated box): never above the cheapest row of the box in
// the window, with both ends, only the lower or only the upper one; a bound carried from
// box to box answers exactly as one that walks every tree afresh, also after both are
// refitted midway on the box of the moment (which must not lower its bound). Half the
// models are many stumps (sums of per-feature steps, where a row must move several
// features and the frontier bound counts only the dearest move): there the prices must
// beat the frontier bound on some boxes. Now and then the bounds per state narrow the box
// of the moment below a threshold: every row in the window that costs less must stay, and
// some boxes must narrow; and the split the prices point at must cut the box in two (and
// leave the carried bound answering as a fresh one). A third of the seeds walk every tree
// instead of listing their leaves.
TEST(RefineLagrange, NeverAboveTheCheapestRowInTheWindow) {
  int beats_frontier = 0, trimmed_boxes = 0, priced_splits = 0;
  const std::uint32_t listed = set_most_listed_leaves(0);
  for (int seed = 0; seed < 60; ++seed) {
    set_most_listed_leaves(seed % 3 == 2 ? 0 : listed);
    std::mt19937_64 rng(static_cast<std::uint64_t>(seed) + 5000);
    const bool stumps = seed % 2 == 1;
    Problem pr(rng, 4, stumps ? 12 + rng() % 20 : 2 + rng() % 9, Constraints{}, stumps ? 1 : 3);
    const FeatureStates fs(pr.ctx.domains, pr.all(), threshold_only_features(pr.ctx), pr.x);
    // The window: above (or below) the score of a random row among the top (bottom) tenth,
    // so that rows must move several features; with both ends, half a unit wide.
    std::vector<double> scores;
    for_each_row(pr, fs, Box::whole(fs), [&](const std::vector<double>& row, double) {
      scores.push_back(pr.ensemble.raw_score(row.data()));
    });
    std::sort(scores.begin(), scores.end());
    const std::size_t tenth = scores.size() / 10 + 1;
    double lo = scores[scores.size() - 1 - rng() % tenth], hi = lo + 0.5;
    if (seed % 3 == 1) hi = kInf;
    if (seed % 3 == 2) hi = scores[rng() % tenth], lo = -kInf;
    const auto cheapest_in = [&](const Box& box) {
      double best = kInf;
      for_each_row(pr, fs, box, [&](const std::vector<double>& row, double cost) {
        const double s = pr.ensemble.raw_score(row.data());
        if (s >= lo && s <= hi) best = std::min(best, cost);
      });
      return best;
    };
    Box box = Box::whole(fs);
    const double optimum = cheapest_in(box);
    LagrangeBound carried(pr.ensemble, fs, lo, hi), fresh(pr.ensemble, fs, lo, hi);
    ASSERT_TRUE(carried.usable());
    const double target = seed % 4 < 2 ? optimum : kInf;
    const double ascent = seed % 5 == 0 ? 0.0 : 1e5;  // now and then subgradient steps alone
    carried.fit(box, target, 80, ascent);
    fresh.fit(box, target, 80, ascent);
    FrontierBound frontier(pr.ensemble, fs, lo, hi);
    std::vector<double> m(pr.x.size());
    for (int step = 0; step < 25; ++step) {
      if (step % 8 == 7) {
        box = random_box(rng, fs);
      } else if (step > 0) {
        const std::size_t f = rng() % fs.n_features();
        const std::uint32_t s = rng() % std::max<std::size_t>(1, fs.domains()[f].size());
        if (box.count(fs, f) > 1 && box.holds(fs, f, s)) box.remove(fs, f, s);
      }
      if (step == 12) {  // a refit on the box of the moment never lowers its bound
        const double before = carried.evaluate(box);
        carried.refit(box, 1e5);
        fresh.refit(box, 1e5);
        EXPECT_GE(carried.evaluate(box), before - 1e-6 * (1.0 + std::fabs(before)));
      }
      const double best = cheapest_in(box);
      const double bound = carried.evaluate(box);
      EXPECT_LE(bound, best) << "seed " << seed << " step " << step;
      fresh.forget();
      EXPECT_EQ(bound, fresh.evaluate(box)) << "seed " << seed << " step " << step;
      if (step % 5 == 4) {  // the split the prices point at cuts the box in two
        std::uint32_t f = 0, at = 0;
        bool missing = false;
        if (carried.disagreement_split(box, f, at, missing)) {
          const RankRange& r = box.ranges[f];
          EXPECT_TRUE(missing ? r.nan && r.has_ranks() : r.lo < at && at <= r.hi);
          ++priced_splits;
        }
      }
      const double m_sum = cheapest_costs(pr, fs, box, m);
      frontier.evaluate(box, m, kInf);
      if (bound > m_sum + frontier.least_extra() + 1e-6) ++beats_frontier;
      if (step % 6 == 0 && best < kInf) {
        carried.price_states(box);
        const auto rows_below = [&](const Box& b, double t) {
          int n = 0;
          for_each_row(pr, fs, b, [&](const std::vector<double>& row, double cost) {
            const double s = pr.ensemble.raw_score(row.data());
            if (s >= lo && s <= hi && cost < t) ++n;
          });
          return n;
        };
        for (const double t : {best + 1e-9, 1.1 * best + 0.05, 1.5 * best + 0.2}) {
          Box narrowed_box = box;
          bool narrowed = false;
          // Half the time the box bounds its own states at once, as a search's taken box.
          const bool own = (seed + step) % 2 == 0;
          ASSERT_TRUE(own ? carried.trim_by_own_states(narrowed_box, t, narrowed)
                          : carried.trim(narrowed_box, t, narrowed))
              << "seed " << seed;
          EXPECT_EQ(rows_below(narrowed_box, t), rows_below(box, t)) << "seed " << seed;
          if (narrowed) ++trimmed_boxes;
        }
      }
    }
  }
  set_most_listed_leaves(listed);
  EXPECT_GT(beats_frontier, 0);
  EXPECT_GT(trimmed_boxes, 0);
  EXPECT_GT(priced_splits, 0);
}

// On sums of stumps the copies can agree at no loss for a given window price, so the best
// prices bound the root box by max over lambda of min over rows of cost - lambda (score -
// lo) (a stump on the categorical feature, which is not priced, takes its lesser leaf):
// the fit and a refit, as a search that goes on makes, must come close to that maximum,
// found here by brute force over rows and lambda.
TEST(RefineLagrange, ReachesTheBestPricesOnStumps) {
  for (int seed = 0; seed < 30; ++seed) {
    std::mt19937_64 rng(static_cast<std::uint64_t>(seed) + 7000);
    Problem pr(rng, 4 + rng() % 2, 10 + rng() % 30, Constraints{}, 1);
    const FeatureStates fs(pr.ctx.domains, pr.all(), threshold_only_features(pr.ctx), pr.x);
    const Ensemble& e = pr.ensemble;
    std::vector<std::pair<double, double>> rows;  // cost, priced part of the score
    std::vector<double> scores;
    for_each_row(pr, fs, Box::whole(fs), [&](const std::vector<double>& row, double cost) {
      double score = e.base_score();
      for (const std::uint32_t root : e.tree_roots()) {
        const auto f = static_cast<std::size_t>(e.feature()[root]);
        if (fs.kind(f) != FeatureKind::Masked) score += e.value()[e.next_node(root, row[f])];
      }
      rows.emplace_back(cost, score);
      scores.push_back(e.raw_score(row.data()));
    });
    std::sort(scores.begin(), scores.end());
    const double lo = scores[scores.size() - 1 - rng() % (scores.size() / 10 + 1)];
    const auto dual = [&](double lam) {
      double least = kInf;
      for (const auto& [cost, score] : rows) least = std::min(least, cost - lam * (score - lo));
      for (const std::uint32_t root : e.tree_roots()) {
        if (fs.kind(static_cast<std::size_t>(e.feature()[root])) != FeatureKind::Masked) continue;
        least -= lam * std::max(e.value()[e.left()[root]], e.value()[e.right()[root]]);
      }
      return least;
    };
    double a = 0.0, b = 1.0;
    while (b < 1e6 && dual(2 * b) > dual(b)) b *= 2;
    b *= 2;
    for (int i = 0; i < 200; ++i) {  // ternary search of the concave dual
      const double m1 = a + (b - a) / 3, m2 = b - (b - a) / 3;
      (dual(m1) < dual(m2) ? a : b) = dual(m1) < dual(m2) ? m1 : m2;
    }
    const double best = dual(0.5 * (a + b));
    LagrangeBound bound(e, fs, lo, kInf);
    bound.fit(Box::whole(fs), kInf, 80, 1e6);
    bound.refit(Box::whole(fs), 1e6);
    const double fitted = bound.evaluate(Box::whole(fs));
    EXPECT_LE(fitted, best + 1e-9) << "seed " << seed;
    EXPECT_GE(fitted, best - 2e-3 * std::max(1.0, std::fabs(best))) << "seed " << seed;
  }
}

class RefineRules : public ::testing::TestWithParam<int> {};

// Narrowing keeps every row that satisfies the implications and the one-hot groups (as
// the row check reads them), and a box it empties holds no such row.
TEST_P(RefineRules, NarrowingKeepsEveryAcceptedRow) {
  std::mt19937_64 rng(static_cast<std::uint64_t>(GetParam()) + 2000);
  Constraints c;
  c.one_hot = {{1, 2}};
  const double cond = kPool[rng() % std::size(kPool)];
  c.implications = {{0, cond, 3, static_cast<double>(rng() % kCard)},
                    {3, static_cast<double>(rng() % kCard), 1, 1.0}};
  Problem pr(rng, 4, 3, std::move(c));
  const FeatureStates fs(pr.ctx.domains, pr.all(), threshold_only_features(pr.ctx), pr.x);
  const BoxRules rules(pr.ctx, fs);
  for (int trial = 0; trial < 30; ++trial) {
    Box box = random_box(rng, fs);
    std::vector<std::vector<double>> kept;
    for_each_row(pr, fs, box, [&](const std::vector<double>& row, double) {
      bool ok = (row[1] == 1.0) + (row[2] == 1.0) == 1;
      for (const Implication& imp : pr.constraints.implications) {
        if (row[imp.cond_feature] == imp.cond_value && !(row[imp.cons_feature] == imp.cons_value)) {
          ok = false;
        }
      }
      if (ok) kept.push_back(row);
    });
    const Box before = box;
    const bool feasible = rules.narrow(box);
    if (!feasible) {
      EXPECT_TRUE(kept.empty()) << "trial " << trial;
      continue;
    }
    for (const std::vector<double>& row : kept) {
      for (std::size_t f = 0; f < row.size(); ++f) {
        bool held = false;
        for (std::uint32_t i : states_of(fs, box, f)) {
          const double v = pr.ctx.domains[f][i].value;
          held = held || v == row[f] || (std::isnan(v) && std::isnan(row[f]));
        }
        EXPECT_TRUE(held) << "trial " << trial << ": feature " << f << " lost a kept row";
      }
    }
    for (std::size_t f = 0; f < pr.x.size(); ++f) EXPECT_LE(box.count(fs, f), before.count(fs, f));
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RefineRules, ::testing::Range(0, 25));

class RefineChangeSets : public ::testing::TestWithParam<int> {};

// Narrowing by random change-set rules keeps every row of the box that keeps them, a box it
// empties holds none, no such row costs less than the box's least costs plus the rules'
// extra, and a box whose cheapest row breaks a rule has an open feature to split.
TEST_P(RefineChangeSets, NarrowingKeepsEveryRowThatKeepsTheRules) {
  std::mt19937_64 rng(static_cast<std::uint64_t>(GetParam()) + 3000);
  Constraints c;
  for (std::uint32_t f = 0; f < 4; ++f) c.range.push_back({f, -kInf, kInf});  // all searched
  Problem pr(rng, 4, 3, std::move(c));
  ChangeRules rules;
  if (rng() & 1) rules.max_changes = rng() % 3;
  rules.diversity = (rng() & 1) ? Diversity::NewFeature : Diversity::NoSuperset;
  for (int k = static_cast<int>(rng() % 3); k-- > 0;) {
    std::vector<std::uint32_t> set;
    for (std::uint32_t f = 0; f < 4; ++f) {
      if (rng() % 3 == 0) set.push_back(f);
    }
    rules.earlier.push_back(set);
  }
  const FeatureStates fs(pr.ctx.domains, pr.all(), threshold_only_features(pr.ctx), pr.x);
  ChangeSets changes(pr.ctx, rules);
  changes.use_states(fs);
  std::vector<double> m(4), row(4);
  for (int trial = 0; trial < 30; ++trial) {
    Box box = random_box(rng, fs);
    std::vector<std::pair<std::vector<double>, double>> kept;
    for_each_row(pr, fs, box, [&](const std::vector<double>& r, double cost) {
      if (rules.allows(pr.x, r.data())) kept.emplace_back(r, cost);
    });
    bool narrowed = false;
    if (!changes.narrow(fs, box, narrowed)) {
      EXPECT_TRUE(kept.empty()) << "trial " << trial;
      continue;
    }
    const double least = cheapest_costs(pr, fs, box, m) + changes.box_extra(fs, box, m);
    for (const auto& [r, cost] : kept) {
      for (std::size_t f = 0; f < r.size(); ++f) {
        bool held = false;
        for (std::uint32_t i : states_of(fs, box, f)) {
          const double v = pr.ctx.domains[f][i].value;
          held = held || v == r[f] || (std::isnan(v) && std::isnan(r[f]));
        }
        EXPECT_TRUE(held) << "trial " << trial << ": feature " << f << " lost a kept row";
      }
      EXPECT_GE(cost, least - 1e-9) << "trial " << trial;
    }
    for (std::size_t f = 0; f < 4; ++f) row[f] = pr.ctx.domains[f][box.cheapest(fs, f)].value;
    if (!kept.empty() && !rules.allows(pr.x, row.data())) {
      EXPECT_LT(changes.split_feature(fs, box, row.data(), m), 4u) << "trial " << trial;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RefineChangeSets, ::testing::Range(0, 40));

// The move scores are the model's own score changes.
TEST(RefineGreedy, MoveScoresMatchTheModel) {
  for (int seed = 0; seed < 20; ++seed) {
    std::mt19937_64 rng(static_cast<std::uint64_t>(seed) + 3000);
    Problem pr(rng, 4, 6, Constraints{});
    const FeatureStates fs(pr.ctx.domains, pr.all(), threshold_only_features(pr.ctx), pr.x);
    MoveScores moves(pr.ensemble, fs);
    std::vector<double> row = pr.x, delta;
    moves.set_row(row);
    EXPECT_NEAR(moves.score(), pr.ensemble.raw_score(row.data()), 1e-12);
    for (std::size_t f = 0; f < row.size(); ++f) {
      moves.deltas(f, delta);
      const Domain& d = pr.ctx.domains[f];
      for (std::size_t i = 0; i < d.size(); ++i) {
        std::vector<double> moved = row;
        moved[f] = d[i].value;
        EXPECT_NEAR(moves.score() + delta[i], pr.ensemble.raw_score(moved.data()), 1e-9)
            << "seed " << seed << " feature " << f << " state " << i;
      }
      moves.move(f, d.back().value);
      row[f] = d.back().value;
      EXPECT_NEAR(moves.score(), pr.ensemble.raw_score(row.data()), 1e-9);
    }
  }
}

}  // namespace
}  // namespace morvel::exact
