// Feature cells, nearest values inside a cell, category blocks, and the per-ensemble caches.
#include <gtest/gtest.h>

#include "error_text.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "cells.hpp"
#include "errors.hpp"
#include "ir.hpp"
#include "split_ensembles.hpp"

namespace morvel {
namespace {

using testing::in_set;
using testing::le;
using testing::lt;
using testing::SplitSpec;
using testing::stumps;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string internal_text(const std::function<void()>& f) {
  return testing::error_text<InternalError>(f);
}

struct CellCase {
  const char* name;
  std::vector<SplitSpec> splits;
  CellList expected;
};

void PrintTo(const CellCase& c, std::ostream* os) { *os << c.name; }

class CellsFromSplits : public ::testing::TestWithParam<CellCase> {};

TEST_P(CellsFromSplits, PartitionFeatureZero) {
  const Ensemble e = stumps(GetParam().splits, 2);
  EXPECT_EQ(e.feature_cells()[0], GetParam().expected);
  // Feature 1 has no split: one cell over the whole line.
  EXPECT_EQ(e.feature_cells()[1], (CellList{{-kInf, kInf, true, true}}));
}

INSTANTIATE_TEST_SUITE_P(
    Cells, CellsFromSplits,
    ::testing::Values(
        CellCase{"LtAndLe", {lt(0, 5), le(0, 5)},
                 {{-kInf, 5, true, true}, {5, 5, false, false}, {5, kInf, true, true}}},
        CellCase{"LeOnly", {le(0, 5)}, {{-kInf, 5, true, false}, {5, kInf, true, true}}},
        CellCase{"LtOnly", {lt(0, 5)}, {{-kInf, 5, true, true}, {5, kInf, false, true}}},
        // Unsorted thresholds, repeated ones, and a categorical split that adds no cell.
        CellCase{"Mixed",
                 {lt(0, 7), le(0, 2), in_set(0, {1}), lt(0, 2), le(0, 7), lt(0, -1), lt(0, 7)},
                 {{-kInf, -1, true, true},
                  {-1, 2, false, true},
                  {2, 2, false, false},
                  {2, 7, true, true},
                  {7, 7, false, false},
                  {7, kInf, true, true}}},
        CellCase{"NegativeZeroMerges", {lt(0, -0.0), le(0, 0.0)},
                 {{-kInf, 0, true, true}, {0, 0, false, false}, {0, kInf, true, true}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CellsJoint, NegativeZeroThresholdIsStoredPositive) {
  const Ensemble e = stumps({le(0, -0.0)}, 1);
  EXPECT_FALSE(std::signbit(e.feature_cells()[0][0].hi));
  EXPECT_FALSE(std::signbit(e.feature_cells()[0][1].lo));
}

TEST(CellsJoint, UnreachableNodesStillSplit) {
  // Node 3 hangs below no root but its threshold still cuts the axis.
  const Ensemble e = Ensemble::create({0, -1, -1, 0}, {1, 0, 0, 4}, {1, 0, 0, 1}, {0, 0, 0, 0},
                                      {1, 0, 0, 1}, {2, 0, 0, 2}, {0, 1, 2, 0}, 0, {0},
                                      Link::Identity, 1);
  EXPECT_EQ(e.feature_cells()[0].size(), 3u);
}

TEST(CellsJoint, MergesOperatorsAcrossEnsembles) {
  const Ensemble a = stumps({lt(0, 5), le(1, 1)}, 2);
  const Ensemble b = stumps({le(0, 5), lt(0, 3)}, 2);
  const Ensemble* both[] = {&a, &b};
  const FeatureCells cells = feature_cells_joint(both);
  EXPECT_EQ(cells[0], (CellList{{-kInf, 3, true, true},
                                {3, 5, false, true},
                                {5, 5, false, false},
                                {5, kInf, true, true}}));
  EXPECT_EQ(cells[1], (CellList{{-kInf, 1, true, false}, {1, kInf, true, true}}));
}

TEST(CellsJoint, DifferentFeatureSpacesFail) {
  const Ensemble a = stumps({lt(0, 5)}, 2);
  const Ensemble b = stumps({lt(0, 5)}, 3);
  const Ensemble* both[] = {&a, &b};
  EXPECT_EQ(internal_text([&] { feature_cells_joint(both); }),
            "all ensembles must share the same feature space");
}

TEST(CellsIndex, FirstContainingCellAndNaN) {
  const CellList cells = stumps({lt(0, 5), le(0, 5)}, 1).feature_cells()[0];
  EXPECT_EQ(cell_index(cells, 4.0), 0u);
  EXPECT_EQ(cell_index(cells, 5.0), 1u);
  EXPECT_EQ(cell_index(cells, std::nextafter(5.0, kInf)), 2u);
  // The outer ends are open: the infinities, like NaN, lie in no cell.
  for (double v : {kNaN, -kInf, kInf}) {
    EXPECT_EQ(internal_text([&] { cell_index(cells, v); }),
              "value not covered by cells (should be impossible)");
  }
}

struct NearestCase {
  const char* name;
  Cell cell;
  double target;
  double expected;
};

void PrintTo(const NearestCase& c, std::ostream* os) { *os << c.name; }

class CellsNearest : public ::testing::TestWithParam<NearestCase> {};

TEST_P(CellsNearest, ValueInsideCell) {
  const NearestCase& c = GetParam();
  const double got = c.cell.nearest_to(c.target);
  EXPECT_EQ(got, c.expected);
  EXPECT_EQ(std::signbit(got), std::signbit(c.expected));
  EXPECT_TRUE(c.cell.contains(got));
}

const double kFloatSubnormal = static_cast<double>(std::numeric_limits<float>::denorm_min());

INSTANTIATE_TEST_SUITE_P(
    Cells, CellsNearest,
    ::testing::Values(
        NearestCase{"OpenHiFloatBelow", {2, 5, false, true}, 10, 4.999999523162842},
        NearestCase{"OpenLoFromZero", {0, 1, true, false}, -3, kFloatSubnormal},
        NearestCase{"OpenHiFromZero", {-1, 0, false, true}, 3, -kFloatSubnormal},
        NearestCase{"ClosedLo", {2, 5, false, true}, 1, 2},
        NearestCase{"ClosedHi", {2, 5, false, false}, 9, 5},
        NearestCase{"Inside", {2, 5, true, true}, 3.25, 3.25},
        NearestCase{"OpenLoAtLo", {2, 5, true, true}, 2, 2.0000002384185791},
        // NaN is treated as lying above the cell.
        NearestCase{"NaNTakesUpperEnd", {2, 5, false, false}, kNaN, 5},
        // The float step overshoots a narrow cell: fall back to the next double.
        NearestCase{"NarrowFallsBackToDouble", {1, 1 + 0x1p-40, true, true}, 0, 1 + 0x1p-52},
        NearestCase{"NarrowUpperFallsBack", {1 - 0x1p-40, 1, true, true}, 7, 1 - 0x1p-53},
        // lo rounded to float lands below (0.7) or above (0.1) it; one float step up either way.
        NearestCase{"RoundedBelowThenStepped", {0.7, 1, true, true}, 0, 0.7000000476837158},
        NearestCase{"RoundedAboveThenStepped", {0.1, 1, true, true}, 0, 0.10000000894069672},
        // lo beyond float range rounds to +inf: only the double neighbour remains.
        NearestCase{"HugeLo", {1e300, kInf, true, true}, 0, std::nextafter(1e300, kInf)},
        NearestCase{"MinusInfFromBelow", {-kInf, 0, true, true}, -kInf,
                    -static_cast<double>(std::numeric_limits<float>::max())}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CellsBlocks, GroupsBySignatureInFirstCodeOrder) {
  // Splits route codes 0 and 2 alike; 1 and 3 differ from them and from each other.
  const Ensemble e = stumps({in_set(0, {1}), in_set(0, {3, 1}), in_set(1, {0})}, 2, {4, 0});
  const CategoryBlocks& blocks = e.category_blocks();
  EXPECT_EQ(blocks[0], (BlockList{{0, 2}, {1}, {3}}));
  EXPECT_TRUE(blocks[1].empty()) << "numeric features have no blocks";
  EXPECT_EQ(block_index(blocks[0], 2), 0u);
  EXPECT_EQ(block_index(blocks[0], 3), 2u);
  EXPECT_EQ(internal_text([&] { block_index(blocks[0], 4); }),
            "code not covered by blocks (should be impossible)");
}

TEST(CellsBlocks, NumericSplitOnCategoricalFeature) {
  // code < 2 goes left, code <= 2 goes left: codes {0,1}, {2}, {3,4}.
  const Ensemble e = stumps({lt(0, 2), le(0, 2)}, 1, {5});
  EXPECT_EQ(e.category_blocks()[0], (BlockList{{0, 1}, {2}, {3, 4}}));
}

TEST(CellsBlocks, JointOverTwoEnsembles) {
  const Ensemble a = stumps({in_set(0, {0, 1})}, 1, {4});
  const Ensemble b = stumps({in_set(0, {1, 2})}, 1, {0});  // b does not declare the feature
  const Ensemble* both[] = {&a, &b};
  EXPECT_EQ(category_blocks_joint(both)[0], (BlockList{{0}, {1}, {2}, {3}}));
  const Ensemble* only_a[] = {&a};
  EXPECT_EQ(category_blocks_joint(only_a)[0], (BlockList{{0, 1}, {2, 3}}));
}

TEST(CellsBlocks, CardinalityDisagreementFails) {
  const Ensemble a = stumps({}, 2, {0, 4});
  const Ensemble b = stumps({}, 2, {0, 5});
  const Ensemble* both[] = {&a, &b};
  const std::string text = internal_text([&] { category_blocks_joint(both); });
  EXPECT_EQ(text.rfind("ensembles disagree on the cardinality of feature 1", 0), 0u) << text;
}

TEST(CellsCache, FilledOnceUnderConcurrentFirstUse) {
  std::vector<SplitSpec> splits;
  for (int k = 0; k < 200; ++k) splits.push_back(k % 2 ? lt(k % 5, k) : le(k % 5, k * 0.5));
  splits.push_back(in_set(5, {1, 4}));
  const Ensemble e = stumps(splits, 6, {0, 0, 0, 0, 0, 8});
  constexpr int kThreads = 4;
  std::vector<const FeatureCells*> cells(kThreads);
  std::vector<const CategoryBlocks*> blocks(kThreads);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        cells[t] = &e.feature_cells();
        blocks[t] = &e.category_blocks();
      });
    }
  }
  const Ensemble* self[] = {&e};
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(cells[t], cells[0]) << "every caller sees the one cached list";
    EXPECT_EQ(blocks[t], blocks[0]);
  }
  EXPECT_EQ(*cells[0], feature_cells_joint(self));
  EXPECT_EQ(*blocks[0], category_blocks_joint(self));
}

}  // namespace
}  // namespace morvel
