// Ensemble validation, routing and scoring, and the worker pool.
#include <gtest/gtest.h>

#include "error_text.hpp"

#include <atomic>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>

#include "errors.hpp"
#include "ir.hpp"
#include "pool.hpp"

namespace morvel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// One split on feature 0 at t: leaf values -1 (left) and +1 (right).
Ensemble stump(double t, bool is_lt, bool missing_left, std::size_t n_features = 1) {
  return Ensemble::create({0, -1, -1}, {t, 0, 0}, {is_lt, 0, 0}, {missing_left, 0, 0},
                          {1, 0, 0}, {2, 0, 0}, {0, -1.0, 1.0}, 0.5, {0}, Link::Identity,
                          n_features);
}

std::string validation_text(const std::function<void()>& f) {
  return testing::error_text<ValidationError>(f);
}

TEST(EnsembleValidation, ReportsFirstFailureInOrder) {
  EXPECT_EQ(validation_text([] {
              Ensemble::create({0, -1}, {0}, {0, 0}, {0, 0}, {1, 0}, {1, 0}, {0, 0}, 0, {0},
                               Link::Identity, 1);
            }),
            "array threshold has length 1, expected 2");
  EXPECT_EQ(validation_text([] {
              Ensemble::create({0, -1}, {0, 0}, {0, 0}, {0, 0}, {1, 0}, {1, 0}, {0}, 0, {0},
                               Link::Identity, 1);
            }),
            "array value has length 1, expected 2");
  // Feature index is checked before child indices on the same node.
  EXPECT_EQ(validation_text([] {
              Ensemble::create({3, -1}, {0, 0}, {0, 0}, {0, 0}, {7, 0}, {1, 0}, {0, 0}, 0, {0},
                               Link::Identity, 1);
            }),
            "node 0: feature index out of range");
  EXPECT_EQ(validation_text([] {
              Ensemble::create({0, -1}, {0, 0}, {0, 0}, {0, 0}, {1, 0}, {2, 0}, {0, 0}, 0, {0},
                               Link::Identity, 1);
            }),
            "node 0: child index out of range");
  EXPECT_EQ(validation_text([] {
              Ensemble::create({}, {}, {}, {}, {}, {}, {}, 0, {0}, Link::Identity, 1);
            }),
            "tree root out of range");
  EXPECT_EQ(validation_text([] { parse_link("Sigmoid"); }), "unknown link \"Sigmoid\"");
}

TEST(EnsembleValidation, LeavesAreNotChecked) {
  EXPECT_NO_THROW(Ensemble::create({0, -1, -1}, {0, kNaN, 0}, {0, 0, 0}, {0, 0, 0},
                                   {1, 4294967295u, 0}, {2, 0, 0}, {0, 1, 2}, 0, {0},
                                   Link::Identity, 1));
}

TEST(EnsembleValidation, RejectsCyclesThatWouldNeverReachALeaf) {
  EXPECT_EQ(validation_text([] {
              Ensemble::create({0, 0, -1}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {1, 0, 0},
                               {2, 2, 0}, {0, 0, 1}, 0, {0}, Link::Identity, 1);
            }),
            "node 1: child index forms a cycle");
}

// A node with two parents would be copied once per path into the scoring layout.
TEST(EnsembleValidation, RefusesNodesWithMoreThanOneParent) {
  auto shape = [](std::vector<std::uint32_t> left, std::vector<std::uint32_t> right,
                  std::vector<std::uint32_t> roots) {
    return validation_text([&] {
      Ensemble::create({0, 0, -1, -1}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, left, right,
                       {0, 0, 1, 2}, 0, roots, Link::Identity, 1);
    });
  };
  EXPECT_EQ(shape({1, 2, 0, 0}, {3, 2, 0, 0}, {0}), "node 2: reached from more than one parent");
  EXPECT_EQ(shape({1, 2, 0, 0}, {2, 3, 0, 0}, {0}), "node 2: reached from more than one parent");
  // A root listed twice, or a root that is another tree's node, has two parents as well.
  EXPECT_EQ(shape({1, 2, 0, 0}, {2, 3, 0, 0}, {1, 1}), "node 1: reached from more than one parent");
  EXPECT_EQ(shape({1, 2, 0, 0}, {3, 2, 0, 0}, {2, 0}), "node 2: reached from more than one parent");
  // Nodes no root reaches are not walked.
  EXPECT_EQ(shape({1, 2, 0, 0}, {2, 3, 0, 0}, {2, 3}), "<no error>");

  // Doubling chains: 2^40 root-to-leaf paths over 41 nodes.
  constexpr std::uint32_t kDepth = 40;
  std::vector<std::int32_t> feature(kDepth + 1, 0);
  feature[kDepth] = -1;
  std::vector<std::uint32_t> next(kDepth + 1, 0);
  for (std::uint32_t d = 0; d < kDepth; ++d) next[d] = d + 1;
  const std::vector<double> zeros(kDepth + 1, 0.0);
  const std::vector<std::uint8_t> flags(kDepth + 1, 0);
  EXPECT_EQ(validation_text([&] {
              Ensemble::create(feature, zeros, flags, flags, next, next, zeros, 0, {0},
                               Link::Identity, 1);
            }),
            "node 40: reached from more than one parent");
}

TEST(EnsembleValidation, RefusesNaNThresholdsOnSplits) {
  EXPECT_EQ(validation_text([] {
              Ensemble::create({0, 0, -1, -1, -1}, {1.0, kNaN, 0, 0, 0}, {1, 1, 0, 0, 0},
                               {1, 1, 0, 0, 0}, {1, 3, 0, 0, 0}, {2, 4, 0, 0, 0}, {0, 0, 1, 2, 3},
                               0, {0}, Link::Identity, 1);
            }),
            "node 1: threshold is NaN");
  // Infinite thresholds are ordinary splits.
  EXPECT_NO_THROW(stump(kInf, true, true));
  EXPECT_NO_THROW(stump(-kInf, false, true));
}

TEST(EnsembleValidation, RefusesWidthsAndCategoryCountsBeyondTheLayout) {
  // Checked before anything n_features wide is allocated.
  const std::size_t too_wide = Ensemble::kMaxFeatures + 1;
  EXPECT_EQ(validation_text([&] { stump(0.5, true, false, too_wide); }),
            "n_features 1073741825 exceeds the supported maximum of 1073741824");
  EXPECT_EQ(validation_text([] { stump(0.5, true, false, std::size_t{1} << 63); }),
            "n_features 9223372036854775808 exceeds the supported maximum of 1073741824");
  auto with_card = [](std::uint32_t card) {
    return validation_text([&] {
      Ensemble::with_categories(stump(0.0, true, false, 2), {0, -1, -1}, {0, 1}, {1}, {3, card});
    });
  };
  EXPECT_EQ(with_card(Ensemble::kMaxCategories), "<no error>");
  EXPECT_EQ(with_card(Ensemble::kMaxCategories + 1),
            "feature 1: 16777217 categories exceed the supported maximum of 16777216");
}

TEST(EnsembleValidation, CategoricalChecksInOrder) {
  auto attach = [](std::vector<std::int32_t> node_set, std::vector<std::uint32_t> offsets,
                   std::vector<std::uint64_t> words, std::size_t card_len = 1) {
    return validation_text([&] {
      Ensemble::with_categories(stump(0.5, true, false), node_set, offsets, words,
                                std::vector<std::uint32_t>(card_len, 3));
    });
  };
  EXPECT_EQ(attach({0, -1}, {0, 1}, {1}), "node_set length differs from the node count");
  EXPECT_EQ(attach({0, -1, -1}, {0, 1}, {1}, 2), "cardinality length differs from n_features");
  EXPECT_EQ(attach({0, -1, -1}, {}, {}), "set_offsets must start at 0");
  EXPECT_EQ(attach({0, -1, -1}, {0, 2, 1}, {1, 1}), "set_offsets must be non-decreasing");
  EXPECT_EQ(attach({0, -1, -1}, {0, 1}, {1, 2}), "set_offsets must end at set_words length");
  EXPECT_EQ(attach({-1, 0, -1}, {0, 1}, {1}), "node 1: a leaf cannot carry a split set");
  EXPECT_EQ(attach({1, -1, -1}, {0, 1}, {1}), "node 0: set index out of range");
}

TEST(EnsembleScoring, NumericOperatorsAndMissingSide) {
  const Ensemble lt = stump(5.0, true, false);
  const Ensemble le = stump(5.0, false, true);
  const double at = 5.0, below = std::nextafter(5.0, 0.0), above = std::nextafter(5.0, 10.0);
  EXPECT_EQ(lt.raw_score(&at), 1.5);
  EXPECT_EQ(lt.raw_score(&below), -0.5);
  EXPECT_EQ(le.raw_score(&at), -0.5);
  EXPECT_EQ(le.raw_score(&above), 1.5);
  EXPECT_EQ(lt.raw_score(&kNaN), 1.5);  // missing goes right
  EXPECT_EQ(le.raw_score(&kNaN), -0.5);  // missing goes left
  // <= at +inf sends every present value left, including +inf itself.
  const Ensemble le_inf = stump(kInf, false, false);
  EXPECT_EQ(le_inf.raw_score(&kInf), -0.5);
  const double neg_zero = -0.0;
  EXPECT_EQ(stump(0.0, true, false).raw_score(&neg_zero), 1.5);
}

TEST(EnsembleScoring, CategoricalRouting) {
  // Set {2, 64}: codes 2 and 64 go left; the set has two words.
  Ensemble e = Ensemble::with_categories(stump(0.0, true, true), {0, -1, -1}, {0, 2},
                                         {std::uint64_t{1} << 2, 1}, {70});
  auto score = [&](double v) { return e.raw_score(&v); };
  EXPECT_EQ(score(2.0), -0.5);
  EXPECT_EQ(score(64.0), -0.5);
  for (double v : {0.0, 1.0, 2.5, -1.0, -2.0, kInf, -kInf, 128.0, 1e300}) {
    EXPECT_EQ(score(v), 1.5) << v;
  }
  EXPECT_EQ(score(kNaN), -0.5);  // missing side, not the code test
}

TEST(EnsembleScoring, NoTreesScoresBaseScore) {
  Ensemble e = Ensemble::create({}, {}, {}, {}, {}, {}, {}, 2.25, {}, Link::Sigmoid, 3);
  const double row[3] = {1, 2, 3};
  EXPECT_EQ(e.raw_score(row), 2.25);
}

// A random forest of complete trees over n_features features.
Ensemble random_forest(std::mt19937_64& rng, std::size_t n_trees, int depth, std::size_t nf) {
  std::vector<std::int32_t> feature;
  std::vector<double> threshold, value;
  std::vector<std::uint8_t> is_lt, missing_left;
  std::vector<std::uint32_t> left, right, roots;
  std::uniform_real_distribution<double> u(-1, 1);
  for (std::size_t t = 0; t < n_trees; ++t) {
    roots.push_back(static_cast<std::uint32_t>(feature.size()));
    const std::size_t base = feature.size();
    const std::size_t n_nodes = (std::size_t{1} << (depth + 1)) - 1;
    for (std::size_t i = 0; i < n_nodes; ++i) {
      const bool leaf = i >= (std::size_t{1} << depth) - 1;
      feature.push_back(leaf ? -1 : static_cast<std::int32_t>(rng() % nf));
      threshold.push_back(u(rng));
      is_lt.push_back(rng() & 1);
      missing_left.push_back(rng() & 1);
      left.push_back(static_cast<std::uint32_t>(leaf ? 0 : base + 2 * i + 1));
      right.push_back(static_cast<std::uint32_t>(leaf ? 0 : base + 2 * i + 2));
      value.push_back(u(rng));
    }
  }
  return Ensemble::create(feature, threshold, is_lt, missing_left, left, right, value, 0.1, roots,
                          Link::Identity, nf);
}

TEST(EnsembleScoring, BatchMatchesRowByRowOnThePool) {
  std::mt19937_64 rng(7);
  const Ensemble e = random_forest(rng, 40, 5, 6);
  std::uniform_real_distribution<double> u(-1.2, 1.2);
  const std::size_t n_rows = 5000;
  std::vector<double> x(n_rows * 6);
  for (double& v : x) v = (rng() % 10 == 0) ? kNaN : u(rng);
  const auto parallel = e.raw_score_batch(x.data(), n_rows, true);
  const auto sequential = e.raw_score_batch(x.data(), n_rows, false);
  for (std::size_t r = 0; r < n_rows; ++r) {
    // Reference walk through the unpacked node arrays, summed in tree order.
    double expected = e.base_score();
    for (std::uint32_t root : e.tree_roots()) {
      std::size_t node = root;
      while (!e.is_leaf(node)) node = e.next_node(node, x[r * 6 + e.feature()[node]]);
      expected = expected + e.value()[node];
    }
    ASSERT_EQ(parallel[r], expected) << r;
    ASSERT_EQ(sequential[r], expected) << r;
  }
}

TEST(WorkerPool, CoversEveryIndexOnceAndRethrowsOnCaller) {
  std::vector<std::atomic<int>> hits(100000);
  parallel_for(hits.size(), 16, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) hits[i]++;
  });
  for (auto& h : hits) ASSERT_EQ(h.load(), 1);

  EXPECT_THROW(parallel_for(100000, 16,
                            [&](std::size_t b, std::size_t) {
                              if (b > 50000) internal_fail("boom");
                            }),
               InternalError);
  // Nested use from inside a worker does not deadlock.
  std::atomic<std::size_t> total{0};
  parallel_for(64, 1, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) {
      parallel_for(100, 10, [&](std::size_t b2, std::size_t e2) { total += e2 - b2; });
    }
  });
  EXPECT_EQ(total.load(), 6400u);
}

}  // namespace
}  // namespace morvel
