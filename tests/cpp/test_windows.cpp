// Further score windows in the exact and genetic searches: on random models with one to
// three further windows (some problems have no row inside all of them), both exact modes
// find the cheapest row over every combination of domain states, and the genetic search
// returns only rows inside every window, the same from the batch as from single runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <random>
#include <vector>

#include "constraints.hpp"
#include "exact/context.hpp"
#include "exact/search.hpp"
#include "ga/genetic.hpp"
#include "random_trees.hpp"
#include "watch.hpp"
#include "windows.hpp"

namespace morvel {
namespace {

using testing::kRandomFeatures;
using testing::RandomTrees;

constexpr double kInf = std::numeric_limits<double>::infinity();

struct WindowProblem {
  std::deque<Ensemble> ensembles;  // the model first
  std::vector<ScoreWindow> further;
  double lo_t = 0.0, hi_t = kInf;
  std::vector<double> x, sigma, weights;
  std::vector<exact::ValuePolicy> policies;
  Constraints constraints;

  explicit WindowProblem(std::mt19937_64& rng)
      : x(kRandomFeatures), sigma(kRandomFeatures), weights(kRandomFeatures, 1.0),
        policies(kRandomFeatures) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    constraints.n_features = kRandomFeatures;
    for (std::size_t f = 0; f < kRandomFeatures; ++f) {
      x[f] = f == 2 ? double(rng() % 6) : std::round(unit(rng) * 40.0 - 20.0) / 16.0;
      sigma[f] = 0.5 + unit(rng);
    }
    const std::size_t n_windows = 1 + rng() % 3;
    for (std::size_t k = 0; k <= n_windows; ++k) {
      ensembles.push_back(RandomTrees(rng, 2 + rng() % 3, 3, false).build(0.0));
    }
    const double s = ensembles[0].raw_score(x.data());
    lo_t = s + 0.25;
    std::vector<double> row(kRandomFeatures), scores;
    for (std::size_t k = 1; k <= n_windows; ++k) {
      scores.clear();
      for (int r = 0; r < 64; ++r) {
        for (std::size_t f = 0; f < kRandomFeatures; ++f) {
          row[f] = f == 2 ? double(rng() % 6) : unit(rng) * 3.0 - 1.5;
        }
        scores.push_back(ensembles[k].raw_score(row.data()));
      }
      std::sort(scores.begin(), scores.end());
      const double a = scores[rng() % 32], b = scores[32 + rng() % 32];
      const int side = static_cast<int>(rng() % 3);
      further.push_back({&ensembles[k], side == 1 ? -kInf : a, side == 0 ? kInf : b});
    }
  }

  exact::ExactProblem exact(exact::SearchMode mode) const {
    exact::ExactProblem p;
    p.ensemble = &ensembles[0];
    p.constraints = &constraints;
    p.x = x;
    p.lo_t = lo_t;
    p.hi_t = hi_t;
    p.windows = further;
    p.sigma = sigma;
    p.weights = weights;
    p.lam = 0.05;
    p.policies = policies;
    p.time_budget_s = kInf;
    p.mode = mode;
    return p;
  }

  bool inside(const std::vector<double>& row) const {
    const double s = ensembles[0].raw_score(row.data());
    return s >= lo_t && s <= hi_t && inside_all(further, row.data());
  }
};

// The cheapest accepted row over every combination of the features' domain states.
double brute_force(const WindowProblem& wp) {
  const exact::ExactProblem p = wp.exact(exact::SearchMode::Classic);
  exact::Ctx ctx(p, {});
  ctx.build_domains_and_order();
  const std::size_t n = ctx.n_features;
  std::vector<std::size_t> at(n, 0);
  std::vector<double> row(n);
  double best = kInf;
  for (;;) {
    for (std::size_t f = 0; f < n; ++f) row[f] = ctx.domains[f][at[f]].value;
    if (ctx.accepts(row.data())) best = std::min(best, ctx.cost_of(row.data()));
    std::size_t f = 0;
    while (f < n && ++at[f] == ctx.domains[f].size()) at[f++] = 0;
    if (f == n) return best;
  }
}

TEST(Windows, ExactModesFindTheCheapestRowInsideEveryWindow) {
  std::mt19937_64 rng(17);
  int found = 0, none = 0;
  for (int round = 0; round < 120; ++round) {
    const WindowProblem wp(rng);
    const double best = brute_force(wp);
    for (exact::SearchMode mode : {exact::SearchMode::Classic, exact::SearchMode::Refine}) {
      const exact::ExactProblem p = wp.exact(mode);
      auto outcome = exact::solve_exact(p, never_interrupt);
      ASSERT_FALSE(outcome.is_interrupted());
      const exact::ExactResult& r = outcome.result();
      EXPECT_EQ(r.proof, exact::Proof::Optimal) << "round " << round;
      ASSERT_EQ(r.row.has_value(), best < kInf) << "round " << round;
      if (!r.row) continue;
      EXPECT_NEAR(r.cost, best, 1e-12) << "round " << round;
      EXPECT_TRUE(wp.inside(*r.row)) << "round " << round;
    }
    ++(best < kInf ? found : none);
  }
  EXPECT_GT(found, 30);  // both kinds of problem occur
  EXPECT_GT(none, 5);
}

TEST(Windows, GeneticRowsLieInsideEveryWindowAlsoInTheBatch) {
  std::mt19937_64 rng(29);
  int found = 0;
  for (int round = 0; round < 40; ++round) {
    const WindowProblem wp(rng);
    ga::GaProblem p;
    p.ensemble = &wp.ensembles[0];
    p.constraints = &wp.constraints;
    p.sigma = wp.sigma;
    p.weights = wp.weights;
    p.lo_t = wp.lo_t;
    p.hi_t = wp.hi_t;
    p.windows = wp.further;
    ga::GaParams params;
    params.max_generations = 25;
    params.time_budget_s = kInf;
    const std::vector<ga::GaTask> tasks{{0, 3}, {0, 4}};
    Watch watch(never_interrupt);
    auto batch = ga::solve_genetic_batch(p, wp.x, 1, tasks, params, watch);
    ASSERT_FALSE(batch.is_interrupted());
    for (std::size_t k = 0; k < tasks.size(); ++k) {
      auto single = ga::solve_genetic(p, wp.x, tasks[k].seed, params);
      const auto& best = single.result().best;
      ASSERT_EQ(best.has_value(), batch.result().feasible[k] != 0) << "round " << round;
      if (!best) continue;
      ++found;
      EXPECT_TRUE(wp.inside(*best)) << "round " << round;
      EXPECT_TRUE(std::equal(best->begin(), best->end(),
                             batch.result().x_cf.begin() + k * kRandomFeatures));
    }
  }
  EXPECT_GT(found, 10);
}

}  // namespace
}  // namespace morvel
