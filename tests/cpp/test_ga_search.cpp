// The genetic search: per-feature candidates and mutation, the search's stop rules and
// edge cases, independence from the thread count, the watch, and the batch form.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "constraints.hpp"
#include "exact/domains.hpp"
#include "ga/genes.hpp"
#include "ga/genetic.hpp"
#include "split_ensembles.hpp"

namespace morvel::ga {
namespace {

using morvel::testing::in_set;
using morvel::testing::le;
using morvel::testing::lt;
using morvel::testing::stumps;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// ---- candidates and mutation -------------------------------------------------------------

TEST(GaGenes, CandidatesPerCellAndAllowedBlock) {
  // Feature 0: cells (-inf, 2], (2, 5), [5, inf). Feature 1: blocks {0, 3} and {1, 2}.
  const Ensemble e = stumps({le(0, 2.0), lt(0, 5.0), in_set(1, {1, 2})}, 3, {0, 4, 0});
  Constraints c;
  c.n_features = 3;
  const std::vector<double> x{3.0, 0.0, 1.0};
  const std::vector<double> sigma(3, 1.0);
  Genes g = make_genes(e, c, x, sigma);
  EXPECT_EQ(g.candidates[0], (std::vector<double>{2.0, 3.0, 5.0}));
  EXPECT_EQ(g.candidates[1], (std::vector<double>{0.0, 1.0}));  // factual 0 already listed
  EXPECT_EQ(g.candidates[2], (std::vector<double>{1.0}));       // no split: one cell
  EXPECT_EQ(g.free, (std::vector<std::size_t>{0, 1, 2}));

  // Only codes 2 and 3 allowed: the first allowed code of each block; factual 1 is not.
  c.allowed_categories.push_back({1, {0b1100}});
  std::vector<double> x2{3.0, 1.0, 1.0};
  g = make_genes(e, c, x2, sigma);
  EXPECT_EQ(g.candidates[1], (std::vector<double>{3.0, 2.0}));
  // An open cell end is approached by the nearest single-precision value inside.
  x2[0] = 9.0;
  g = make_genes(e, c, x2, sigma);
  EXPECT_EQ(g.candidates[0], (std::vector<double>{2.0, 4.999999523162842, 9.0}));
}

TEST(GaGenes, LockedFeaturesHaveNoCandidates) {
  const Ensemble e = stumps({lt(0, 1.0), lt(1, 1.0), lt(2, 1.0), lt(3, 1.0)}, 4);
  Constraints c;
  c.n_features = 4;
  c.freeze = {0};
  c.allow_missing = {{2, 1.0, 1.0}, {3, 1.0, 1.0}};
  const std::vector<double> x{0.0, kNaN, kNaN, 0.5};
  const std::vector<double> sigma(4, 1.0);
  const Genes g = make_genes(e, c, x, sigma);
  // Frozen, and missing without an allowed-missing entry: locked.
  EXPECT_EQ(g.free, (std::vector<std::size_t>{2, 3}));
  EXPECT_TRUE(g.candidates[0].empty() && g.candidates[1].empty());
  EXPECT_TRUE(g.may_go_missing[2] && g.may_go_missing[3] && !g.may_go_missing[0]);
  // A missing factual value is approached from 0.
  EXPECT_EQ(g.candidates[2], (std::vector<double>{0.0, 1.0}));
}

TEST(GaGenes, MutationMixesMissingCandidatesAndSteps) {
  const Ensemble e = stumps({lt(0, 1.0), lt(1, 1.0), in_set(2, {0})}, 3, {0, 0, 2});
  Constraints c;
  c.n_features = 3;
  c.allow_missing = {{0, 1.0, 1.0}};
  c.allowed_categories = {{2, {0}}};  // no code allowed: no candidates
  const std::vector<double> x{0.0, 0.0, 1.0};
  const std::vector<double> sigma{1.0, 1e-12, 1.0};
  const Genes g = make_genes(e, c, x, sigma);
  ASSERT_TRUE(g.candidates[2].empty());
  Rng rng = Rng::from_seed(5);
  const int n = 100000;
  int missing = 0, candidate0 = 0, candidate1 = 0, tiny_steps = 0;
  for (int i = 0; i < n; ++i) {
    const double v = g.mutate_value(0, 0.25, rng);
    if (std::isnan(v)) {
      ++missing;
    } else if (v == 0.0 || v == 1.0) {
      ++candidate0;
    }
    const double w = g.mutate_value(1, 0.25, rng);
    if (w == 0.0 || w == 1.0) {
      ++candidate1;
    } else if (std::fabs(w - 0.25) < 1e-6) {
      ++tiny_steps;  // sigma below 1e-9 steps with scale 1e-9
    }
    ASSERT_EQ(g.mutate_value(2, 7.0, rng), 7.0);
  }
  EXPECT_NEAR(missing / double(n), 0.15, 0.01);
  EXPECT_NEAR(candidate0 / double(n), 0.45, 0.01);
  EXPECT_NEAR(candidate1 / double(n), 0.60, 0.01);
  EXPECT_NEAR(tiny_steps / double(n), 0.40, 0.01);
}

// ---- the search --------------------------------------------------------------------------

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
    missing_left.push_back(static_cast<std::uint8_t>(rng() % 2));
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

// Five features: a two-feature linear constraint, a range, a frozen feature, and a feature
// that may go missing; the factual row scores below the window [score + 1, inf).
struct Problem {
  Ensemble ensemble;
  Constraints constraints;
  std::vector<double> x;
  std::vector<double> sigma{1.0, 0.5, 2.0, 1.0, 1.0};
  std::vector<double> weights{1.0, 2.0, 1.0, 1.0, 0.5};
  std::vector<double> background;
  GaProblem ga;

  explicit Problem(std::uint64_t seed) : ensemble(make(seed)) {
    std::mt19937_64 rng(seed + 1000);
    constraints.n_features = 5;
    constraints.linear.push_back({{0, 1}, {1.0, 1.0}, 5.0, 0, 0});
    constraints.range.push_back({2, 0.0, 3.0});
    constraints.freeze = {3};
    constraints.allow_missing.push_back({4, 1.0, 2.0});
    for (int j = 0; j < 5; ++j) x.push_back(static_cast<double>(rng() % 8) * 0.5);
    if (seed % 3 == 0) x[4] = kNaN;
    for (int r = 0; r < 30; ++r) {
      for (int j = 0; j < 5; ++j) background.push_back(static_cast<double>(rng() % 9) * 0.5);
    }
    ga.ensemble = &ensemble;
    ga.constraints = &constraints;
    ga.sigma = sigma;
    ga.weights = weights;
    ga.lam = 0.1;
    ga.lo_t = ensemble.raw_score(x.data()) + 1.0;
    ga.hi_t = kInf;
    ga.background = background;
    ga.n_bg = seed % 2 == 0 ? 30 : 0;
  }
  static Ensemble make(std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    return random_trees(rng, 5, 12);
  }
};

GaParams deterministic(std::size_t population = 40) {
  GaParams params;
  params.population = population;
  params.max_generations = 60;
  params.stall_generations = 15;
  params.time_budget_s = kInf;  // results must not depend on the clock
  return params;
}

GaResult solve(const Problem& p, std::uint64_t seed, const GaParams& params,
               Watch* watch = nullptr) {
  auto outcome = solve_genetic(p.ga, p.x, seed, params, watch);
  EXPECT_FALSE(outcome.is_interrupted());
  return outcome.result();
}

class GaSearchSeeds : public ::testing::TestWithParam<int> {};

TEST_P(GaSearchSeeds, ValidRowsAndSameResultOnOneThreadOrThePool) {
  const Problem p(GetParam());
  // Large enough that every generation's scoring, check and repair fan out.
  GaParams params = deterministic(300);
  params.parallel = false;
  const GaResult alone = solve(p, 7, params);
  params.parallel = true;
  const GaResult pooled = solve(p, 7, params);
  ASSERT_EQ(alone.best.has_value(), pooled.best.has_value());
  EXPECT_EQ(alone.generations, pooled.generations);
  if (!alone.best) return;
  EXPECT_TRUE(same_bits(*alone.best, *pooled.best));
  const std::vector<double>& row = *alone.best;
  EXPECT_GE(p.ensemble.raw_score(row.data()), p.ga.lo_t);
  EXPECT_EQ(p.constraints.check(row.data(), 1, p.x, false)[0], 1);
  EXPECT_EQ(row[3], p.x[3]);  // frozen
}

INSTANTIATE_TEST_SUITE_P(Seeds, GaSearchSeeds, ::testing::Range(0, 12));

TEST(GaSearch, SameSeedSameResultAndSeedsMatter) {
  Problem p(4);
  p.ga.lo_t += 1.5;  // far enough that several features must move together
  const GaParams params = deterministic();
  bool any_difference = false;
  for (std::uint64_t s = 0; s < 8; ++s) {
    const GaResult a = solve(p, s, params);
    const GaResult b = solve(p, s, params);
    ASSERT_EQ(a.generations, b.generations);
    ASSERT_EQ(a.best.has_value(), b.best.has_value());
    if (a.best) {
      ASSERT_TRUE(same_bits(*a.best, *b.best));
    }
    const GaResult other = solve(p, s + 100, params);
    any_difference |= other.generations != a.generations ||
                      other.best.has_value() != a.best.has_value() ||
                      (a.best && !same_bits(*a.best, *other.best));
  }
  EXPECT_TRUE(any_difference);
}

TEST(GaSearch, StopRules) {
  const Problem p(1);
  GaParams params = deterministic();
  params.max_generations = 0;
  GaResult r = solve(p, 1, params);
  EXPECT_FALSE(r.best.has_value());
  EXPECT_EQ(r.generations, 0u);

  params = deterministic();
  params.stall_generations = 0;
  EXPECT_EQ(solve(p, 1, params).generations, 1u);

  params = deterministic();
  params.stall_generations = 1000;
  params.max_generations = 7;
  EXPECT_EQ(solve(p, 1, params).generations, 7u);

  // A zero budget ends the search after its first generation.
  params = deterministic();
  params.time_budget_s = 0.0;
  EXPECT_EQ(solve(p, 1, params).generations, 1u);
}

TEST(GaSearch, ValidFactualRowIsTheAnswer) {
  Problem p(2);
  p.ga.lo_t = -kInf;
  for (std::size_t stall : {0u, 3u, 30u}) {
    GaParams params = deterministic();
    params.stall_generations = stall;
    params.max_generations = 10;
    const GaResult r = solve(p, 3, params);
    ASSERT_TRUE(r.best.has_value());
    EXPECT_TRUE(same_bits(*r.best, p.x));
    EXPECT_EQ(r.generations, std::min<std::size_t>(1 + stall, 10));
  }
}

TEST(GaSearch, EveryFeatureLocked) {
  Problem p(3);
  p.constraints.freeze = {0, 1, 2, 3, 4};
  const GaResult none = solve(p, 1, deterministic());
  EXPECT_FALSE(none.best.has_value());  // x misses the window and cannot move
  p.ga.lo_t = -kInf;
  const GaResult self = solve(p, 1, deterministic());
  ASSERT_TRUE(self.best.has_value());
  EXPECT_TRUE(same_bits(*self.best, p.x));
}

TEST(GaSearch, EmptyPopulationKeepsElitesOnly) {
  const Problem p(5);
  GaParams params = deterministic(0);
  const GaResult r = solve(p, 2, params);
  EXPECT_GE(r.generations, 1u);
  if (r.best) {
    EXPECT_GE(p.ensemble.raw_score(r.best->data()), p.ga.lo_t);
  }
}

TEST(GaSearch, PlausibilityFilter) {
  Problem p(6);
  std::mt19937_64 rng(77);
  const Ensemble forest = random_trees(rng, 5, 6);
  p.ga.if_ensemble = &forest;
  p.ga.min_total_path = 0.0;
  int found = 0;
  for (std::uint64_t s = 0; s < 6; ++s) {
    const GaResult r = solve(p, s, deterministic());
    if (!r.best) continue;
    ++found;
    EXPECT_GE(forest.raw_score(r.best->data()), 0.0);
  }
  EXPECT_GT(found, 0);
}

// ---- the watch ---------------------------------------------------------------------------

TEST(GaSearch, AWatchThatNeverFiresChangesNothing) {
  const Problem p(8);
  const GaParams params = deterministic();
  Watch watch(never_interrupt);
  const GaResult with = solve(p, 9, params, &watch);
  const GaResult without = solve(p, 9, params);
  EXPECT_EQ(with.generations, without.generations);
  ASSERT_EQ(with.best.has_value(), without.best.has_value());
  if (with.best) {
    EXPECT_TRUE(same_bits(*with.best, *without.best));
  }
}

TEST(GaSearch, AnEndlessSearchEndsByTheWatch) {
  Problem p(9);
  p.ga.lo_t = kInf;  // nothing qualifies, so the search never stalls on an improvement
  GaParams params = deterministic();
  params.max_generations = std::numeric_limits<std::size_t>::max();
  params.stall_generations = std::numeric_limits<std::size_t>::max();
  std::atomic<int> probes{0};
  Watch watch([&] { return ++probes >= 3; });
  const auto outcome = solve_genetic(p.ga, p.x, 1, params, &watch);
  EXPECT_TRUE(outcome.is_interrupted());
  EXPECT_EQ(probes.load(), 3);
}

// ---- the batch ---------------------------------------------------------------------------

struct Batch {
  std::vector<double> rows;
  std::vector<GaTask> tasks;
};

Batch batch_of(const Problem& p, std::size_t n_tasks) {
  Batch b;
  b.rows = p.x;
  std::vector<double> shifted = p.x;
  for (double& v : shifted) v = std::isnan(v) ? v : v + 0.5;
  b.rows.insert(b.rows.end(), shifted.begin(), shifted.end());
  for (std::size_t k = 0; k < n_tasks; ++k) b.tasks.push_back({k % 2, k / 3});
  return b;
}

TEST(GaBatch, EqualsSingleRunsTaskByTask) {
  const Problem p(10);
  const Batch b = batch_of(p, 9);
  Watch watch(never_interrupt);
  auto outcome = solve_genetic_batch(p.ga, b.rows, 2, b.tasks, deterministic(), watch);
  ASSERT_FALSE(outcome.is_interrupted());
  const GaBatchResult& out = outcome.result();
  for (std::size_t k = 0; k < b.tasks.size(); ++k) {
    const std::span<const double> x(b.rows.data() + b.tasks[k].row * 5, 5);
    const GaResult single = solve_genetic(p.ga, x, b.tasks[k].seed, deterministic()).result();
    EXPECT_EQ(out.generations[k], single.generations) << k;
    const std::vector<double> row(out.x_cf.begin() + k * 5, out.x_cf.begin() + (k + 1) * 5);
    EXPECT_EQ(out.feasible[k] != 0, single.best.has_value()) << k;
    const std::vector<double> want =
        single.best ? *single.best : std::vector<double>(x.begin(), x.end());
    EXPECT_TRUE(same_bits(row, want)) << k;
  }
}

TEST(GaBatch, NoTasksNoProbe) {
  const Problem p(11);
  int probes = 0;
  Watch watch([&] { return ++probes > 0; });
  auto outcome = solve_genetic_batch(p.ga, p.x, 1, {}, deterministic(), watch);
  ASSERT_FALSE(outcome.is_interrupted());
  EXPECT_TRUE(outcome.result().x_cf.empty());
  EXPECT_EQ(probes, 0);
}

TEST(GaBatch, ProbeBeforeEachChunk) {
  const Problem p(12);
  const Batch b = batch_of(p, kTasksPerChunk + 1);
  GaParams params = deterministic(8);
  params.max_generations = 1;
  int probes = 0;
  Watch never([&] { return ++probes < 0; });
  ASSERT_FALSE(solve_genetic_batch(p.ga, b.rows, 2, b.tasks, params, never).is_interrupted());
  EXPECT_GE(probes, 2);  // one per chunk, and perhaps more by time

  Watch at_once([] { return true; });
  EXPECT_TRUE(solve_genetic_batch(p.ga, b.rows, 2, b.tasks, params, at_once).is_interrupted());
}

TEST(GaBatch, AnInterruptEndsEndlessTasksInsideAChunk) {
  Problem p(13);
  p.ga.lo_t = kInf;
  const Batch b = batch_of(p, 6);
  GaParams params = deterministic();
  params.max_generations = std::numeric_limits<std::size_t>::max();
  params.stall_generations = std::numeric_limits<std::size_t>::max();
  std::atomic<int> probes{0};
  Watch watch([&] { return ++probes >= 3; });  // the first probe is the chunk's
  EXPECT_TRUE(solve_genetic_batch(p.ga, b.rows, 2, b.tasks, params, watch).is_interrupted());
  EXPECT_EQ(probes.load(), 3);
}

}  // namespace
}  // namespace morvel::ga
