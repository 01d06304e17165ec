// Tree interval brackets against brute force over every cell and code of random boxes,
// and the bracket cache against fresh caches under random updates and undos.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "error_text.hpp"
#include "errors.hpp"
#include "ir.hpp"
#include "random_trees.hpp"
#include "regions/brackets.hpp"
#include "regions/cell_ends.hpp"
#include "split_ensembles.hpp"

namespace morvel::regions {
namespace {

using testing::for_each_point;
using testing::kRandomFeatures;
using testing::leaf_of;
using testing::RandomTrees;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A box and the storage its view points into.
struct Box {
  std::vector<double> lo, hi;
  std::vector<std::uint8_t> missing;
  std::vector<std::vector<std::uint32_t>> cats;
  explicit Box(std::size_t n) : lo(n, 0.0), hi(n, 0.0), missing(n, 0), cats(n) {}
  BoxView view() const { return BoxView{lo, hi, missing, cats}; }
};

// Random box: features may be missing, numeric features span grid intervals (infinite
// ends included), feature 2 is an open category set or a single value (also non-codes).
Box random_box(std::mt19937_64& rng) {
  static constexpr double kEnds[] = {-kInf, -1.2, -1.0, -0.7, -0.5, 0.0, 0.3, 0.5, 1.0, 1.5, kInf};
  Box box(kRandomFeatures);
  for (std::size_t f = 0; f < kRandomFeatures; ++f) {
    if (rng() % 10 == 0) {
      box.missing[f] = 1;
      box.lo[f] = box.hi[f] = kNaN;
    } else if (f == 2 && rng() % 2 == 0) {
      static constexpr std::uint32_t kCodes[] = {0, 1, 2, 3, 4, 5, 64, 70};
      for (std::uint32_t c : kCodes) {
        if (rng() % 3 == 0) box.cats[f].push_back(c);
      }
      if (box.cats[f].empty()) box.cats[f].push_back(static_cast<std::uint32_t>(rng() % 6));
      box.lo[f] = box.hi[f] = box.cats[f][0];
    } else if (f == 2) {
      static constexpr double kValues[] = {0.0, 1.0, 3.0, 5.0, 2.5, -1.0, 64.0, kInf};
      box.lo[f] = box.hi[f] = kValues[rng() % 8];
    } else {
      double a = kEnds[rng() % 11], b = kEnds[rng() % 11];
      if (a > b) std::swap(a, b);
      if (rng() % 4 == 0) b = a;
      box.lo[f] = a;
      box.hi[f] = b;
    }
  }
  return box;
}

// Values that together cover every way a point of the box can route: per numeric
// feature the extreme values of every cell inside [lo, hi].
std::vector<std::vector<double>> box_choices(const Ensemble& e, const Box& box) {
  std::vector<std::vector<double>> choices(kRandomFeatures);
  for (std::size_t f = 0; f < kRandomFeatures; ++f) {
    if (!box.cats[f].empty()) {
      choices[f].assign(box.cats[f].begin(), box.cats[f].end());
      continue;
    }
    if (box.missing[f] || box.lo[f] == box.hi[f]) {
      choices[f] = {box.lo[f]};
      continue;
    }
    for (const Cell& cell : e.feature_cells()[f]) {
      const Cell c = clip_to(cell, box.lo[f], box.hi[f]);
      if (is_empty(c)) continue;
      choices[f].push_back(achievable_bottom(c));
      choices[f].push_back(achievable_top(c));
    }
  }
  return choices;
}

TEST(Brackets, EqualReachableLeafRangeOfRandomBoxes) {
  std::mt19937_64 rng(7);
  BracketWalker walker;
  for (int round = 0; round < 300; ++round) {
    const RandomTrees trees(rng, 6, 3, /*distinct=*/true);
    const Ensemble e = trees.build();
    std::vector<std::uint8_t> md(e.n_nodes());
    for (auto& m : md) m = rng() % 4 != 0;
    const Box box = random_box(rng);
    const auto choices = box_choices(e, box);
    for (std::uint32_t root : e.tree_roots()) {
      double low = kInf, high = -kInf;
      bool undefined = false;
      for_each_point(choices, [&](const std::vector<double>& row) {
        const double v = leaf_of(e, md, root, row.data());
        undefined |= std::isnan(v);
        low = std::min(low, v);
        high = std::max(high, v);
      });
      const MaybeBracket b = walker.walk(BracketModel(e, md), root, box.view());
      if (undefined) {
        EXPECT_FALSE(b.has_value()) << "round " << round;
      } else {
        ASSERT_TRUE(b.has_value()) << "round " << round;
        EXPECT_EQ(b->low, low) << "round " << round;
        EXPECT_EQ(b->high, high) << "round " << round;
      }
    }
  }
}

TEST(Brackets, DegenerateBoxGivesTheLeafTheRowReaches) {
  std::mt19937_64 rng(11);
  BracketWalker walker;
  for (int round = 0; round < 200; ++round) {
    const Ensemble e = RandomTrees(rng, 5, 4, /*distinct=*/false).build();
    const std::vector<std::uint8_t> md(e.n_nodes(), 1);
    Box box(kRandomFeatures);
    static constexpr double kValues[] = {-1.0, -0.5, 0.0, 0.25, 0.5, 1.0, 2.0, 2.5, kNaN};
    for (std::size_t f = 0; f < kRandomFeatures; ++f) {
      box.lo[f] = box.hi[f] = kValues[rng() % 9];
      box.missing[f] = std::isnan(box.lo[f]);
    }
    double sum = e.base_score();
    for (std::uint32_t root : e.tree_roots()) {
      const MaybeBracket b = walker.walk(BracketModel(e, md), root, box.view());
      ASSERT_TRUE(b.has_value());
      EXPECT_EQ(b->low, b->high);
      sum = sum + b->low;
    }
    EXPECT_EQ(sum, e.raw_score(box.lo.data()));
  }
}

TEST(Brackets, SplitEdgesAndMissingRoutes) {
  using testing::in_set;
  using testing::le;
  using testing::lt;
  // Stumps send left to -1 and right to +1; NaN goes left (missing_left = 1).
  const Ensemble e = testing::stumps({lt(0, 5.0), le(0, 5.0), in_set(1, {1, 3})}, 2, {0, 70});
  BracketWalker walker;
  Box box(2);
  box.lo = {0.0, 1.0};
  box.hi = {5.0, 1.0};
  std::vector<std::uint8_t> md(e.n_nodes(), 1);
  // x < 5 with hi = 5: x = 5 goes right, so both; x <= 5: left only.
  EXPECT_EQ(walker.walk(BracketModel(e, md), 0, box.view())->high, 1.0);
  EXPECT_EQ(walker.walk(BracketModel(e, md), 0, box.view())->low, -1.0);
  EXPECT_EQ(walker.walk(BracketModel(e, md), 3, box.view())->high, -1.0);
  // One member and one non-member reach both sides; code 64 lies past the set's only word.
  box.cats[1] = {3, 4};
  EXPECT_EQ(walker.walk(BracketModel(e, md), 6, box.view())->low, -1.0);
  EXPECT_EQ(walker.walk(BracketModel(e, md), 6, box.view())->high, 1.0);
  box.cats[1] = {64, 65};
  EXPECT_EQ(walker.walk(BracketModel(e, md), 6, box.view())->low, 1.0);
  // A missing feature follows a defined direction, even an explicit right turn.
  box.missing[0] = 1;
  EXPECT_EQ(walker.walk(BracketModel(e, md), 0, box.view())->low, -1.0);
  md[0] = 0;
  EXPECT_FALSE(walker.walk(BracketModel(e, md), 0, box.view()).has_value());
  const Ensemble right = Ensemble::create({0, -1, -1}, {5.0, 0, 0}, {1, 0, 0}, {0, 0, 0}, {1, 0, 0},
                                          {2, 0, 0}, {0, -1.0, 1.0}, 0.0, {0}, Link::Identity, 1);
  const std::vector<std::uint8_t> defined(3, 1);
  Box nan_box(1);
  nan_box.missing[0] = 1;
  EXPECT_EQ(walker.walk(BracketModel(right, defined), 0, nan_box.view())->low, 1.0);
}

TEST(Brackets, NonCodeValuesAtCategoricalSplitsRouteAsScored) {
  // Code 2 is a member; 2.5, -1 and +inf are not codes and go right when scored.
  const Ensemble e = testing::stumps({testing::in_set(0, {0, 2})}, 1, {4});
  const std::vector<std::uint8_t> md(e.n_nodes(), 1);
  BracketWalker walker;
  for (double v : {2.0, 2.5, -1.0, -0.5, kInf}) {
    Box box(1);
    box.lo = box.hi = {v};
    EXPECT_EQ(walker.walk(BracketModel(e, md), 0, box.view())->low, e.raw_score(&v)) << v;
  }
  // A proper interval holds non-codes as well as codes: both sides.
  Box box(1);
  box.lo = {0.0};
  box.hi = {3.0};
  EXPECT_EQ(walker.walk(BracketModel(e, md), 0, box.view())->low, -1.0);
  EXPECT_EQ(walker.walk(BracketModel(e, md), 0, box.view())->high, 1.0);
}

TEST(Brackets, ThresholdsAtTheEndsOfTheLine) {
  constexpr double kMax = std::numeric_limits<double>::max();
  const double ends[] = {-kInf, -kMax, -1.0, 0.0, 1.0, kMax, kInf};
  BracketWalker walker;
  for (double t : {-kInf, -kMax, 0.0, kMax, kInf}) {
    for (bool is_lt : {true, false}) {
      const Ensemble e = testing::stumps({{0, t, is_lt}}, 1);
      const std::vector<std::uint8_t> md(e.n_nodes(), 1);
      const BracketModel model(e, md);
      for (double lo : ends) {
        for (double hi : ends) {
          if (hi < lo) continue;
          // Every value of [lo, hi] routes like one of these.
          double low = kInf, high = -kInf;
          for (double v : {lo, hi, t, std::nextafter(t, kInf), std::nextafter(t, -kInf)}) {
            if (!(v >= lo && v <= hi)) continue;
            low = std::min(low, e.raw_score(&v));
            high = std::max(high, e.raw_score(&v));
          }
          Box box(1);
          box.lo = {lo};
          box.hi = {hi};
          const MaybeBracket b = walker.walk(model, 0, box.view());
          ASSERT_TRUE(b.has_value());
          EXPECT_EQ(b->low, low) << t << (is_lt ? " <" : " <=") << " [" << lo << ", " << hi;
          EXPECT_EQ(b->high, high) << t << (is_lt ? " <" : " <=") << " [" << lo << ", " << hi;
        }
      }
    }
  }
}

// Random moves of one feature's extent or category set, each followed by a full or a
// targeted update, against caches built afresh; half the moves are undone.
TEST(BracketCache, UpdatesAndUndosMatchFreshCaches) {
  std::mt19937_64 rng(3);
  for (int round = 0; round < 40; ++round) {
    const Ensemble e = RandomTrees(rng, 12, 4, /*distinct=*/false).build(0.5);
    std::vector<std::uint8_t> md(e.n_nodes());
    for (auto& m : md) m = rng() % 5 != 0;
    Box box = random_box(rng);
    const BracketModel model(e, md);
    BracketCache cache(model, box.view());
    for (int step = 0; step < 60; ++step) {
      const std::size_t f = rng() % kRandomFeatures;
      const Box before = box;
      const std::vector<MaybeBracket> old = cache.brackets();
      const Box changed = random_box(rng);
      const bool extent_only =
          !changed.missing[f] && !before.missing[f] && before.cats[f].empty() && rng() % 2 == 0;
      box.lo[f] = changed.lo[f];
      box.hi[f] = changed.hi[f];
      if (!extent_only) {
        box.missing[f] = changed.missing[f];
        box.cats[f] = changed.cats[f];
      }
      BracketUndo undo;
      if (extent_only && rng() % 4 != 0) {
        cache.update_extent(f, before.lo[f], before.hi[f], box.view(), undo);
      } else {
        cache.update(f, box.view(), undo);
      }
      const BracketCache fresh(model, box.view());
      ASSERT_EQ(cache.brackets().size(), fresh.brackets().size());
      for (std::size_t t = 0; t < fresh.brackets().size(); ++t) {
        ASSERT_EQ(cache.brackets()[t].has_value(), fresh.brackets()[t].has_value());
        if (fresh.brackets()[t]) {
          EXPECT_EQ(cache.brackets()[t]->low, fresh.brackets()[t]->low);
          EXPECT_EQ(cache.brackets()[t]->high, fresh.brackets()[t]->high);
        }
      }
      EXPECT_EQ(cache.score_range().has_value(), fresh.score_range().has_value());
      if (rng() % 2 == 0) {
        box = before;
        cache.restore(undo);
        for (std::size_t t = 0; t < old.size(); ++t) {
          ASSERT_EQ(cache.brackets()[t].has_value(), old[t].has_value());
          if (old[t]) {
            EXPECT_EQ(cache.brackets()[t]->low, old[t]->low);
            EXPECT_EQ(cache.brackets()[t]->high, old[t]->high);
          }
        }
      }
    }
  }
}

TEST(BracketCache, ScoreRangeSumsInTreeOrderFromTheBase) {
  const Ensemble e = testing::stumps({testing::lt(0, 0.0), testing::lt(1, 0.0)}, 3);
  const std::vector<std::uint8_t> md(e.n_nodes(), 1);
  Box box(3);
  box.lo = {-1.0, 1.0, 0.0};
  box.hi = {1.0, 1.0, 0.0};
  const BracketModel model(e, md);
  BracketCache cache(model, box.view());
  ASSERT_TRUE(cache.score_range().has_value());
  EXPECT_EQ(cache.score_range()->low, 0.0);  // -1 + 1
  EXPECT_EQ(cache.score_range()->high, 2.0);
  // Nothing splits on feature 2: no tree is walked again.
  BracketUndo undo;
  box.hi[2] = 9.0;
  cache.update(2, box.view(), undo);
  EXPECT_TRUE(undo.empty());
  box.missing[0] = 1;
  const std::vector<std::uint8_t> undefined(e.n_nodes(), 0);
  const BracketModel blind_model(e, undefined);
  BracketCache blind(blind_model, box.view());
  EXPECT_FALSE(blind.score_range().has_value());
  EXPECT_NE(testing::error_text<InternalError>([&] { cache.update(3, box.view(), undo); }),
            "<no error>");
}

TEST(BracketCache, IndexesTreesWhateverOrderTheNodesAreStoredIn) {
  // Tree 0 is rooted at node 3 and splits on feature 1; tree 1 is rooted at node 0 and
  // splits on feature 0; each root comes after or before its own leaves.
  const Ensemble e =
      Ensemble::create({0, -1, -1, 1, -1, -1}, {0.0, 0, 0, 0.0, 0, 0}, {1, 0, 0, 1, 0, 0},
                       {0, 0, 0, 0, 0, 0}, {1, 0, 0, 4, 0, 0}, {2, 0, 0, 5, 0, 0},
                       {0, -1.0, 1.0, 0, -2.0, 2.0}, 0.0, {3, 0}, Link::Identity, 2);
  const std::vector<std::uint8_t> md(e.n_nodes(), 1);
  Box box(2);
  box.lo = box.hi = {-1.0, -1.0};
  const BracketModel model(e, md);
  BracketCache cache(model, box.view());
  ASSERT_EQ(cache.trees_splitting_on(0).size(), 1u);
  EXPECT_EQ(cache.trees_splitting_on(0)[0], 1u);
  EXPECT_EQ(cache.trees_splitting_on(1)[0], 0u);
  box.hi[0] = 1.0;
  BracketUndo undo;
  cache.update(0, box.view(), undo);
  EXPECT_EQ(cache.score_range()->high, -1.0);  // -2 + 1
}

TEST(Brackets, DeepTreesStayOffTheCallStack) {
  // A chain of 200000 splits x < i, each with a leaf on its left: the walk over the whole
  // line visits every node.
  constexpr std::uint32_t kDepth = 200000;
  std::vector<std::int32_t> feature;
  std::vector<double> threshold, value;
  std::vector<std::uint8_t> is_lt, missing_left;
  std::vector<std::uint32_t> left, right;
  for (std::uint32_t i = 0; i < kDepth; ++i) {
    feature.insert(feature.end(), {0, -1});
    threshold.insert(threshold.end(), {static_cast<double>(i), 0.0});
    value.insert(value.end(), {0.0, static_cast<double>(i)});
    is_lt.insert(is_lt.end(), {1, 0});
    missing_left.insert(missing_left.end(), {0, 0});
    left.insert(left.end(), {2 * i + 1, 0});
    right.insert(right.end(), {2 * i + 2, 0});
  }
  feature.push_back(-1);
  threshold.push_back(0.0);
  value.push_back(-5.0);
  is_lt.push_back(0);
  missing_left.push_back(0);
  left.push_back(0);
  right.push_back(0);
  const Ensemble e = Ensemble::create(feature, threshold, is_lt, missing_left, left, right, value,
                                      0.0, {0}, Link::Identity, 1);
  const std::vector<std::uint8_t> md(e.n_nodes(), 1);
  Box box(1);
  box.lo = {-kInf};
  box.hi = {kInf};
  BracketWalker walker;
  std::vector<std::uint64_t> counter(1, 0);
  const MaybeBracket b = walker.walk(BracketModel(e, md), 0, box.view(), counter);
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ(b->low, -5.0);
  EXPECT_EQ(b->high, kDepth - 1.0);
  EXPECT_EQ(counter[0], kDepth);
}

}  // namespace
}  // namespace morvel::regions
