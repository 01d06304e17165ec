// Region growth and the slab search: next_edge and linear_holds by table, hand-made
// growths, and random growths checked by brute force over every cell and code of the
// grown box (certification), of the box one edge further (maximality) and of fresh
// bracket caches (the normal mode's fixed point).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <deque>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include "error_text.hpp"
#include "errors.hpp"
#include "ir.hpp"
#include "random_trees.hpp"
#include "regions/brackets.hpp"
#include "regions/cell_ends.hpp"
#include "regions/growth.hpp"
#include "regions/region_slab.hpp"
#include "split_ensembles.hpp"
#include "watch.hpp"

namespace morvel::regions {
namespace {

using testing::error_text;
using testing::for_each_point;
using testing::kRandomFeatures;
using testing::RandomTrees;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string internal_text(const std::function<void()>& f) { return error_text<InternalError>(f); }

// ----------------------------------------------------------------------------- next_edge

struct EdgeCase {
  const char* name;
  Side side;
  double x, lo_b, hi_b;
  std::optional<Edge> expected;
};

void PrintTo(const EdgeCase& c, std::ostream* os) { *os << c.name; }

class NextEdge : public ::testing::TestWithParam<EdgeCase> {};

// Cells (-inf, 1), [1, 3], (3, +inf) from the splits x < 1 and x <= 3.
TEST_P(NextEdge, StepsToTheFarEndOfTheCellOrItsNeighbour) {
  const Ensemble e = testing::stumps({testing::lt(0, 1.0), testing::le(0, 3.0)}, 1);
  const EdgeCase& c = GetParam();
  const auto got = next_edge(e.feature_cells()[0], c.side, c.x, c.lo_b, c.hi_b);
  ASSERT_EQ(got.has_value(), c.expected.has_value());
  if (got) {
    EXPECT_EQ(got->value, c.expected->value);
    EXPECT_EQ(got->cell, c.expected->cell);
  }
}

const double kBelowOne = static_cast<double>(std::nextafter(1.0f, 0.0f));
const double kAboveThree = static_cast<double>(std::nextafter(3.0f, 4.0f));

INSTANTIATE_TEST_SUITE_P(
    Table, NextEdge,
    ::testing::Values(
        EdgeCase{"up_inside_open_end", Side::Upper, 0.5, -kInf, kInf, Edge{kBelowOne, 0}},
        EdgeCase{"up_across_to_closed", Side::Upper, kBelowOne, -kInf, kInf, Edge{3.0, 1}},
        EdgeCase{"up_to_infinity", Side::Upper, 3.0, -kInf, kInf, Edge{kInf, 2}},
        EdgeCase{"up_from_infinity", Side::Upper, kInf, -kInf, kInf, std::nullopt},
        EdgeCase{"up_at_bound", Side::Upper, 2.0, -kInf, 2.0, std::nullopt},
        EdgeCase{"up_to_bound", Side::Upper, 2.0, -kInf, 2.5, Edge{2.5, 1}},
        EdgeCase{"up_bound_at_open_start", Side::Upper, 0.0, -kInf, 1.0, Edge{kBelowOne, 0}},
        EdgeCase{"down_to_closed", Side::Lower, 2.0, -kInf, kInf, Edge{1.0, 1}},
        EdgeCase{"down_to_infinity", Side::Lower, 1.0, -kInf, kInf, Edge{-kInf, 0}},
        EdgeCase{"down_inside_open_end", Side::Lower, 3.5, -kInf, kInf, Edge{kAboveThree, 2}},
        EdgeCase{"down_to_bound", Side::Lower, 5.0, 4.0, kInf, Edge{4.0, 2}},
        EdgeCase{"down_at_bound", Side::Lower, 4.0, 4.0, kInf, std::nullopt},
        EdgeCase{"nan_bounds_cut_nothing", Side::Upper, 2.0, kNaN, kNaN, Edge{3.0, 1}}),
    [](const ::testing::TestParamInfo<EdgeCase>& info) { return info.param.name; });

TEST(NextEdgeFailures, ValuesOutsideCellsOrBounds) {
  const Ensemble e = testing::stumps({testing::le(0, 3.0)}, 1);
  const CellList& cells = e.feature_cells()[0];
  EXPECT_EQ(internal_text([&] { next_edge(cells, Side::Upper, kNaN, -kInf, kInf); }),
            "value not covered by cells (should be impossible)");
  EXPECT_EQ(internal_text([&] { next_edge(cells, Side::Upper, 5.0, -kInf, 2.0); }),
            "value is within the instance bounds by construction");
}

// --------------------------------------------------------------------------- linear_holds

TEST(LinearHolds, OperatorsPoliciesAndInfiniteEnds) {
  const LinearC le{{0, 1}, {1.0, -2.0}, 1.0, 0, 0};
  const std::vector<double> x{0.5, 0.0, 0.0};
  std::vector<double> lo{0.0, 0.0, -kInf}, hi{1.0, 0.5, kInf};
  EXPECT_TRUE(linear_holds(le, x, lo, hi));  // max = 1 + 0
  lo[1] = -0.5;
  EXPECT_FALSE(linear_holds(le, x, lo, hi));  // max = 1 + 1
  const LinearC ge{{0, 1}, {1.0, -2.0}, -1.0, 1, 0};
  EXPECT_TRUE(linear_holds(ge, x, lo, hi));  // min = 0 - 1
  const LinearC eq{{0}, {1.0}, 0.5, 7, 0};
  EXPECT_FALSE(linear_holds(eq, x, lo, hi));
  EXPECT_TRUE(linear_holds(eq, x, x, x));
  // Within 1e-9 of the right-hand side still holds.
  const LinearC tight{{0}, {1.0}, 0.5 - 5e-10, 0, 0};
  EXPECT_TRUE(linear_holds(tight, x, x, x));
  // A zero coefficient on an unbounded feature adds nothing.
  const LinearC zero{{0, 2}, {1.0, 0.0}, 1.0, 0, 0};
  EXPECT_TRUE(linear_holds(zero, x, lo, hi));
  // A missing term decides by the policy, whatever the box.
  const std::vector<double> nan_x{kNaN, 0.0, 0.0};
  EXPECT_TRUE(linear_holds(LinearC{{0}, {1.0}, -9.0, 0, 0}, nan_x, lo, hi));
  EXPECT_FALSE(linear_holds(LinearC{{0}, {1.0}, 9.0, 0, 1}, nan_x, lo, hi));
}

// ------------------------------------------------------------------------ hand-made growths

struct Grower {
  const Ensemble* ensemble;
  std::vector<std::uint8_t> md;
  Constraints constraints;
  std::vector<double> x, lo_b, hi_b;
  std::vector<std::uint32_t> open_set;
  std::vector<OpenCategorical> cat_open;
  double lo_t = 0.0, hi_t = kInf;
  const Ensemble* if_ensemble = nullptr;
  std::vector<std::uint8_t> if_md;
  double min_total_path = 0.0;
  std::vector<RegionWindow> windows;  // further windows (flags owned by the caller)

  Grower(const Ensemble& e, std::vector<double> x_cf) : ensemble(&e), md(e.n_nodes(), 1), x(x_cf) {
    constraints.n_features = x.size();
    lo_b.assign(x.size(), -kInf);
    hi_b.assign(x.size(), kInf);
  }

  RegionInputs inputs(bool maximal, std::uint64_t budget) const {
    RegionInputs in;
    in.ensemble = ensemble;
    in.missing_defined = md;
    in.if_ensemble = if_ensemble;
    in.if_missing_defined = if_md;
    in.min_total_path = min_total_path;
    in.constraints = &constraints;
    in.x_cf = x;
    in.lo_t = lo_t;
    in.hi_t = hi_t;
    in.windows = windows;
    in.lo_b = lo_b;
    in.hi_b = hi_b;
    in.open_set = open_set;
    in.cat_open = cat_open;
    in.maximal = maximal;
    in.budget = budget;
    return in;
  }

  RegionResult grow(bool maximal = false, std::uint64_t budget = 100000) const {
    Watch watch(never_interrupt);
    auto outcome = recourse_region(inputs(maximal, budget), watch);
    EXPECT_FALSE(outcome.is_interrupted());
    return std::move(outcome.result());
  }
};

TEST(Growth, EmptyOpenSetKeepsTheDegenerateBox) {
  const Ensemble e = testing::stumps({testing::lt(0, 5.0)}, 2);
  Grower run(e, {7.0, kNaN});
  const RegionResult r = run.grow(true);
  EXPECT_EQ(r.lo[0], 7.0);
  EXPECT_EQ(r.hi[0], 7.0);
  EXPECT_TRUE(std::isnan(r.lo[1]) && std::isnan(r.hi[1]));
  EXPECT_TRUE(r.witnesses.empty());
}

TEST(Growth, SidesStopAtTheWindowAndTheBounds) {
  // x0 < 5 scores -1, else +1; the window asks for a positive score.
  const Ensemble e = testing::stumps({testing::lt(0, 5.0)}, 1);
  Grower run(e, {7.0});
  run.open_set = {0};
  RegionResult r = run.grow();
  EXPECT_EQ(r.lo[0], 5.0);
  EXPECT_EQ(r.hi[0], kInf);
  run.hi_b = {10.0};
  r = run.grow(true);
  EXPECT_EQ(r.hi[0], 10.0);
  EXPECT_EQ(r.maximal_hi[0], 1);  // at the bound: no cell beyond
  EXPECT_EQ(r.maximal_lo[0], 1);  // a witness below 5
  ASSERT_EQ(r.witnesses.size(), 1u);
  EXPECT_EQ(r.witnesses[0].side, Side::Lower);
  EXPECT_LT(r.witnesses[0].point[0], 5.0);
}

TEST(Growth, ScoresEqualToTheWindowEndsAreAccepted) {
  const Ensemble e = testing::stumps({testing::lt(0, 5.0), testing::lt(1, 5.0)}, 2);
  Grower run(e, {7.0, 2.0});  // score exactly 0
  run.lo_t = run.hi_t = 0.0;
  run.open_set = {1, 0};
  const RegionResult r = run.grow();
  EXPECT_EQ(r.lo[0], 5.0);
  EXPECT_EQ(r.hi[0], kInf);
  EXPECT_EQ(r.lo[1], -kInf);
  EXPECT_EQ(r.hi[1], static_cast<double>(std::nextafter(5.0f, 0.0f)));
}

TEST(Growth, NormalModeReportsNothingMaximal) {
  const Ensemble e = testing::stumps({testing::lt(0, 5.0)}, 1);
  Grower run(e, {7.0});
  run.open_set = {0};
  const RegionResult r = run.grow(false, 12345);
  EXPECT_EQ(r.maximal_lo[0] + r.maximal_hi[0] + r.used_lo[0] + r.used_hi[0], 0u);
  EXPECT_TRUE(r.witnesses.empty());
}

TEST(Growth, LinearConstraintsBoundTheBoxAndGiveWitnesses) {
  const Ensemble e = testing::stumps({testing::lt(0, 100.0)}, 2);
  Grower run(e, {1.0, 1.0});
  run.lo_t = -kInf;
  run.constraints.linear.push_back(LinearC{{0, 1}, {1.0, 1.0}, 2.5, 0, 0});
  run.lo_b = {0.0, 0.0};
  run.hi_b = {2.0, 2.0};
  run.open_set = {0, 1};
  const RegionResult r = run.grow(true);
  // Either upper end at 2 would allow x0 + x1 = 3; the lower ends reach the bounds.
  EXPECT_EQ(r.lo, (std::vector<double>{0.0, 0.0}));
  EXPECT_EQ(r.hi, (std::vector<double>{1.0, 1.0}));
  EXPECT_EQ(r.maximal_hi, (std::vector<std::uint8_t>{1, 1}));
  EXPECT_EQ(r.maximal_lo, (std::vector<std::uint8_t>{1, 1}));  // at the bounds
  ASSERT_EQ(r.witnesses.size(), 2u);
  for (std::uint32_t f = 0; f < 2; ++f) {
    const Witness& w = r.witnesses[f];
    EXPECT_EQ(w.feature, f);
    EXPECT_EQ(w.side, Side::Upper);
    EXPECT_EQ(w.point[0] + w.point[1], 3.0);
  }
}

TEST(Growth, LinearWitnessThatMeetsItsConstraintLeavesTheSideUndecided) {
  // x0 - x0 <= -1 names x0 twice: no corner breaks it, although the box test fails.
  const Ensemble e = testing::stumps({testing::lt(0, 100.0)}, 1);
  Grower run(e, {1.0});
  run.lo_t = -kInf;
  run.constraints.linear.push_back(LinearC{{0, 0}, {1.0, -1.0}, 0.5, 0, 0});
  run.hi_b = {2.0};
  run.lo_b = {0.0};
  run.open_set = {0};
  const RegionResult r = run.grow(true);
  EXPECT_EQ(r.hi[0], 1.0);
  EXPECT_EQ(r.maximal_hi[0], 0);
  EXPECT_TRUE(r.witnesses.empty());
}

TEST(Growth, CategoryBlocksGrowAndSettle) {
  // Codes 0, 1, 2 score -1, codes 3, 4, 5 score +1.
  const Ensemble e = testing::stumps({testing::in_set(0, {0, 1, 2})}, 1, {6});
  Grower run(e, {4.0});
  run.cat_open = {OpenCategorical{0, {{0, 1, 2}, {3, 4, 5}}}};
  RegionResult r = run.grow();
  EXPECT_EQ(r.grown[0], (std::vector<std::uint32_t>{3, 4, 5}));
  EXPECT_EQ(r.maximal_cat[0], 0);
  r = run.grow(true);
  EXPECT_EQ(r.grown[0], (std::vector<std::uint32_t>{3, 4, 5}));
  EXPECT_EQ(r.maximal_cat[0], 1);
  ASSERT_EQ(r.witnesses.size(), 1u);
  EXPECT_EQ(r.witnesses[0].side, Side::Block);
  EXPECT_EQ(r.witnesses[0].point[0], 0.0);  // the smallest new member
  EXPECT_EQ(r.used_cat[0], 1u);
}

TEST(Growth, LinearConstraintsSeeEveryAdmittedCode) {
  // Codes are whole numbers a linear constraint may weigh: x0 <= 2.5 admits codes up to 2.
  const Ensemble e = testing::stumps({testing::in_set(0, {5})}, 1, {6});
  Grower run(e, {1.0});
  run.lo_t = -kInf;
  run.constraints.linear.push_back(LinearC{{0}, {1.0}, 2.5, 0, 0});
  run.cat_open = {OpenCategorical{0, {{0, 1}, {2, 3}, {4, 5}}}};
  RegionResult r = run.grow();
  EXPECT_EQ(r.grown[0], (std::vector<std::uint32_t>{0, 1}));
  r = run.grow(true);
  EXPECT_EQ(r.grown[0], (std::vector<std::uint32_t>{0, 1}));
  EXPECT_EQ(r.maximal_cat[0], 1);
  ASSERT_EQ(r.witnesses.size(), 2u);
  EXPECT_EQ(r.witnesses[0].point[0], 3.0);
  EXPECT_EQ(r.witnesses[1].point[0], 5.0);
  EXPECT_EQ(r.used_cat[0], 0u);  // settled without a search
}

TEST(Growth, ABlockIsNeverSplitByItsOwnSlab) {
  // Block {1, 2} mixes a good code with a bad one: the slab cannot decide it.
  const Ensemble e = testing::stumps({testing::in_set(0, {2})}, 1, {3});
  Grower run(e, {0.0});
  run.lo_t = -kInf;
  run.hi_t = -0.5;  // members of {2} score +1, others -1
  run.cat_open = {OpenCategorical{0, {{0}, {1, 2}}}};
  const RegionResult r = run.grow(true);
  EXPECT_EQ(r.grown[0], (std::vector<std::uint32_t>{0}));
  EXPECT_EQ(r.maximal_cat[0], 0);
  EXPECT_TRUE(r.witnesses.empty());
}

TEST(Growth, ZeroBudgetDecidesNothingBySearch) {
  const Ensemble e = testing::stumps({testing::lt(0, 5.0)}, 1);
  Grower run(e, {7.0});
  run.open_set = {0};
  const RegionResult r = run.grow(true, 0);
  EXPECT_EQ(r.lo[0], 5.0);
  EXPECT_EQ(r.maximal_lo[0], 0);
  EXPECT_EQ(r.maximal_hi[0], 1);  // +inf: nothing beyond
  EXPECT_EQ(r.used_lo[0], 0u);
}

TEST(Growth, InterruptProbeRunsEvery64Attempts) {
  // 40 unsplit features, each visited once: 80 attempts, a probe at 64.
  const Ensemble e = testing::stumps({testing::lt(0, 5.0)}, 40);
  Grower run(e, std::vector<double>(40, 7.0));
  run.hi_b.assign(40, 8.0);
  for (std::uint32_t f = 0; f < 40; ++f) run.open_set.push_back(f);
  int calls = 0;
  Watch quiet([&] { return ++calls, false; });
  EXPECT_FALSE(recourse_region(run.inputs(false, 0), quiet).is_interrupted());
  EXPECT_GE(calls, 1);
  Watch stop([] { return true; });
  EXPECT_TRUE(recourse_region(run.inputs(false, 0), stop).is_interrupted());
}

TEST(Growth, MalformedBlockOffsetsAreValidationErrors) {
  using U = std::vector<std::uint32_t>;
  const U open{2}, members{0, 1, 2};
  auto blocks = gather_category_blocks(open, U{0, 2}, U{0, 1, 3}, members);
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].blocks, (BlockList{{0}, {1, 2}}));
  auto text = [&](const U& feat, const U& block) {
    return error_text<ValidationError>([&] { gather_category_blocks(open, feat, block, members); });
  };
  EXPECT_EQ(text(U{}, U{}), "cat_feat_offsets has 0 entries, expected one more than the 1 of cat_open");
  EXPECT_EQ(text(U{0, 1}, U{0, 4}), "cat_block_offsets[1] = 4 runs past cat_members (length 3)");
  EXPECT_EQ(text(U{0, 2}, U{0, 1}), "cat_feat_offsets[1] = 2 runs past cat_block_offsets (length 2)");
  EXPECT_EQ(text(U{1, 0}, U{0, 1}), "cat_feat_offsets decreases at entry 1");
  EXPECT_EQ(text(U{0, 1}, U{2, 1}), "cat_block_offsets decreases at entry 1");
}

// ---------------------------------------------------------------------------- slab search

// Indicator trees: for each of the first `n_features` features g, tree (g, k) scores 1
// exactly on [k, k + 1) of feature g. Every point of [0, n)^n_features scores n_features,
// while over a piece spanning several cells the trees' brackets add up to more.
Ensemble indicator_trees(std::uint32_t n, std::int32_t n_features = 1) {
  std::vector<std::int32_t> feature;
  std::vector<double> threshold, value;
  std::vector<std::uint8_t> is_lt, missing_left;
  std::vector<std::uint32_t> left, right, roots;
  for (std::int32_t g = 0; g < n_features; ++g) {
    for (std::uint32_t k = 0; k < n; ++k) {
      const std::uint32_t r = static_cast<std::uint32_t>(feature.size());
      roots.push_back(r);
      feature.insert(feature.end(), {g, -1, g, -1, -1});
      threshold.insert(threshold.end(), {double(k), 0.0, double(k) + 1.0, 0.0, 0.0});
      value.insert(value.end(), {0.0, 0.0, 0.0, 1.0, 0.0});
      is_lt.insert(is_lt.end(), {1, 0, 1, 0, 0});
      missing_left.insert(missing_left.end(), {0, 0, 0, 0, 0});
      left.insert(left.end(), {r + 1, 0, r + 3, 0, 0});
      right.insert(right.end(), {r + 2, 0, r + 4, 0, 0});
    }
  }
  return Ensemble::create(feature, threshold, is_lt, missing_left, left, right, value, 0.0, roots,
                          Link::Identity, 2);
}

struct SlabFixture {
  const Ensemble& e;
  std::vector<std::uint8_t> md;
  std::optional<BracketModel> model;
  std::vector<double> x;
  std::vector<std::uint8_t> missing;
  FeatureCells cells;
  CategoryBlocks blocks;
  Growth g;

  SlabFixture(const Ensemble& ensemble, std::vector<double> x_cf, double lo_t, double hi_t)
      : e(ensemble),
        md(ensemble.n_nodes(), 1),
        x(std::move(x_cf)),
        missing(x.size(), 0),
        cells(ensemble.feature_cells()),
        blocks(x.size()) {
    for (std::size_t f = 0; f < x.size(); ++f) missing[f] = std::isnan(x[f]);
    g.lo_t = lo_t;
    g.hi_t = hi_t;
    g.x_cf = x;
    g.missing = missing;
    g.cells = &cells;
    g.blocks = &blocks;
  }

  SlabResult search(std::vector<double> lo, std::vector<double> hi, std::uint64_t budget,
                    const InterruptProbe& probe = never_interrupt) {
    Watch watch(probe);
    model.emplace(e, md);
    g.model = &*model;
    const std::vector<std::vector<std::uint32_t>> cats(x.size());
    return search_slab(g.slab_problem(lo, hi, cats, SlabKind::Numeric, 0, {}), budget, watch);
  }
};

TEST(SlabSearch, SplitsUntilEveryPieceIsCertified) {
  const Ensemble e = indicator_trees(8);
  SlabFixture s(e, {-1.0, 0.0}, 1.0, 1.0);
  const SlabResult r = s.search({0.0, 0.0}, {7.5, 0.0}, 1000);
  EXPECT_EQ(r.outcome.kind, SlabOutcome::Kind::Certified);
  EXPECT_EQ(r.nodes, 2 * 8 - 1u);  // a full binary split of 8 cells ([0,1) ... [7, 8))
  // Certified at the root when the piece lies in one cell.
  EXPECT_EQ(s.search({2.0, 0.0}, {2.5, 0.0}, 1000).nodes, 1u);
  // A budget of one decides only at the root.
  const SlabResult one = s.search({0.0, 0.0}, {7.5, 0.0}, 1);
  EXPECT_EQ(one.outcome.kind, SlabOutcome::Kind::Undecided);
  EXPECT_EQ(one.nodes, 1u);
  EXPECT_EQ(s.search({0.0, 0.0}, {7.5, 0.0}, 0).nodes, 0u);
}

TEST(SlabSearch, WitnessIsTheFailingPieceNearestToTheCounterfactual) {
  const Ensemble e = indicator_trees(8);
  SlabFixture s(e, {3.2, 0.0}, 1.0, 1.0);
  // [6, 10] holds [8, 10], where every tree scores 0.
  const SlabResult r = s.search({6.0, 0.0}, {10.0, 0.0}, 1000);
  ASSERT_EQ(r.outcome.kind, SlabOutcome::Kind::Witness);
  EXPECT_GE(r.outcome.point[0], 8.0);
  EXPECT_EQ(e.raw_score(r.outcome.point.data()), 0.0);
}

TEST(SlabSearch, UndefinedOrUnsplittablePiecesAreUndecided) {
  const Ensemble e = indicator_trees(4);
  SlabFixture s(e, {1.5, kNaN}, 1.0, 1.0);
  s.md.assign(e.n_nodes(), 0);
  // Feature 1 is missing but no tree splits on it: still decidable.
  EXPECT_EQ(s.search({0.0, kNaN}, {3.5, kNaN}, 100).outcome.kind, SlabOutcome::Kind::Certified);
  // A categorical split over a proper interval reaches both sides, and feature 0 has a single
  // cell: nothing to split.
  const Ensemble cat = testing::stumps({testing::in_set(0, {1})}, 1, {3});
  SlabFixture c(cat, {0.0}, -1.0, -1.0);
  const SlabResult r = c.search({0.0}, {2.0}, 100);
  EXPECT_EQ(r.outcome.kind, SlabOutcome::Kind::Undecided);
  EXPECT_EQ(r.nodes, 1u);
  // A missing value meeting an undefined direction.
  const Ensemble stump = testing::stumps({testing::lt(0, 1.0), testing::lt(1, 1.0)}, 2);
  SlabFixture m(stump, {0.0, kNaN}, -kInf, kInf);
  m.md.assign(stump.n_nodes(), 0);
  const SlabResult u = m.search({0.0, kNaN}, {2.0, kNaN}, 100);
  EXPECT_EQ(u.outcome.kind, SlabOutcome::Kind::Undecided);
  EXPECT_EQ(u.nodes, 1u);
}

TEST(SlabSearch, ProbesEvery4096Nodes) {
  // 64 x 64 single-cell pieces: 8191 nodes in all.
  const Ensemble e = indicator_trees(64, 2);
  SlabFixture s(e, {0.0, 0.0}, 2.0, 2.0);
  int calls = 0;
  const SlabResult done = s.search({0.0, 0.0}, {63.5, 63.5}, 100000, [&] {
    ++calls;
    return false;
  });
  EXPECT_EQ(done.outcome.kind, SlabOutcome::Kind::Certified);
  EXPECT_EQ(done.nodes, 2 * 64 * 64 - 1u);
  EXPECT_GE(calls, 1);
  const SlabResult stopped = s.search({0.0, 0.0}, {63.5, 63.5}, 100000, [] { return true; });
  EXPECT_EQ(stopped.outcome.kind, SlabOutcome::Kind::Interrupted);
  EXPECT_LE(stopped.nodes, 4096u);
}

// -------------------------------------------------------------------- random growths

// Owns the ensembles the run points to, so it stays where it was built.
struct RandomProblem {
  explicit RandomProblem(Ensemble model)
      : e(std::move(model)), run(e, std::vector<double>(kRandomFeatures)) {}
  Ensemble e;
  std::optional<Ensemble> iso;
  std::deque<Ensemble> further;  // the further windows' ensembles
  std::deque<std::vector<std::uint8_t>> further_md;
  Grower run;

  // Cells of every ensemble the growth reads (there are no implications).
  FeatureCells joint_cells() const {
    std::vector<const Ensemble*> all{&e};
    if (iso) all.push_back(&*iso);
    for (const Ensemble& w : further) all.push_back(&w);
    return feature_cells_joint(all);
  }
};

bool scores_inside(const Grower& run, const std::vector<double>& row) {
  const double s = run.ensemble->raw_score(row.data());
  if (!(s >= run.lo_t && s <= run.hi_t)) return false;
  for (const RegionWindow& w : run.windows) {
    if (!w.window.holds(row.data())) return false;
  }
  return run.if_ensemble == nullptr || run.if_ensemble->raw_score(row.data()) >= run.min_total_path;
}

bool meets_linear(const Grower& run, const std::vector<double>& row) {
  for (const LinearC& c : run.constraints.linear) {
    if (!linear_holds(c, row, row, row)) return false;
  }
  return true;
}

// Values that cover every route through the box [lo, hi] with category sets `sets`
// (by feature; empty: numeric).
std::vector<std::vector<double>> choices_of(const FeatureCells& cells,
                                            const std::vector<double>& lo,
                                            const std::vector<double>& hi,
                                            const std::vector<std::vector<std::uint32_t>>& sets) {
  std::vector<std::vector<double>> choices(lo.size());
  for (std::size_t f = 0; f < lo.size(); ++f) {
    if (!sets[f].empty()) {
      choices[f].assign(sets[f].begin(), sets[f].end());
    } else if (!(lo[f] < hi[f])) {
      choices[f] = {lo[f]};
    } else {
      for (const Cell& cell : cells[f]) {
        const Cell c = clip_to(cell, lo[f], hi[f]);
        if (is_empty(c)) continue;
        choices[f].push_back(achievable_bottom(c));
        choices[f].push_back(achievable_top(c));
      }
    }
  }
  return choices;
}

bool any_point_fails(const Grower& run, const FeatureCells& cells, const std::vector<double>& lo,
                     const std::vector<double>& hi,
                     const std::vector<std::vector<std::uint32_t>>& sets) {
  bool fails = false;
  for_each_point(choices_of(cells, lo, hi, sets), [&](const std::vector<double>& row) {
    fails |= !scores_inside(run, row) || !meets_linear(run, row);
  });
  return fails;
}

std::vector<std::vector<std::uint32_t>> sets_of(const Grower& run, const RegionResult& r) {
  std::vector<std::vector<std::uint32_t>> sets(run.x.size());
  for (std::size_t i = 0; i < run.cat_open.size(); ++i) sets[run.cat_open[i].feature] = r.grown[i];
  return sets;
}

std::unique_ptr<RandomProblem> random_problem(std::mt19937_64& rng) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  auto problem = std::make_unique<RandomProblem>(RandomTrees(rng, 6, 3, false).build(0.25));
  RandomProblem& p = *problem;
  Grower& run = p.run;
  const bool cat_open = rng() % 2 == 0;
  for (std::size_t f = 0; f < kRandomFeatures; ++f) {
    run.x[f] = f == 2 ? double(rng() % 6) : std::round(unit(rng) * 60.0 - 30.0) / 20.0;
    const bool open = f == 2 ? false : rng() % 4 != 0;
    if (!open && !(f == 2 && cat_open) && rng() % 6 == 0) run.x[f] = kNaN;
    if (open) run.open_set.push_back(static_cast<std::uint32_t>(f));
    run.lo_b[f] = rng() % 3 == 0 ? -kInf : run.x[f] - std::round(unit(rng) * 8.0) / 4.0;
    run.hi_b[f] = rng() % 3 == 0 ? kInf : run.x[f] + std::round(unit(rng) * 8.0) / 4.0;
  }
  std::shuffle(run.open_set.begin(), run.open_set.end(), rng);
  if (cat_open) run.cat_open = {OpenCategorical{2, p.e.category_blocks()[2]}};
  for (auto& m : run.md) m = rng() % 5 != 0;
  static constexpr double kWidths[] = {0.0, 0.25, 0.5, 1.0, 2.0, kInf};
  const double s = p.e.raw_score(run.x.data());
  run.lo_t = s - kWidths[rng() % 6];
  run.hi_t = s + kWidths[rng() % 6];
  if (rng() % 2 == 0 && !std::isnan(run.x[0]) && !std::isnan(run.x[1])) {
    const double a = unit(rng) - 0.5, b = unit(rng) - 0.5;
    run.constraints.linear.push_back(
        LinearC{{0, 1}, {a, b}, a * run.x[0] + b * run.x[1] + unit(rng), 0, 0});
  }
  if (rng() % 3 == 0) {
    p.iso.emplace(RandomTrees(rng, 4, 3, false).build(5.0));
    run.if_ensemble = &*p.iso;
    run.if_md.assign(p.iso->n_nodes(), 1);
    run.min_total_path = p.iso->raw_score(run.x.data()) - std::round(unit(rng) * 8.0) / 4.0;
  }
  // Further windows around the counterfactual's own scores, in half of the problems.
  const std::size_t n_windows = std::array<std::size_t, 4>{0, 0, 1, 2}[rng() % 4];
  for (std::size_t k = 0; k < n_windows; ++k) {
    const Ensemble& w = p.further.emplace_back(RandomTrees(rng, 4, 3, false).build(-0.5));
    std::vector<std::uint8_t>& md = p.further_md.emplace_back(w.n_nodes());
    for (auto& m : md) m = rng() % 5 != 0;
    const double ws = w.raw_score(run.x.data());
    run.windows.push_back({ScoreWindow{&w, ws - kWidths[rng() % 6], ws + kWidths[rng() % 6]}, md});
  }
  return problem;
}

TEST(RandomGrowth, BoxesAreCertifiedAndNormalModeIsAFixedPoint) {
  std::mt19937_64 rng(21);
  for (int round = 0; round < 150; ++round) {
    const auto problem = random_problem(rng);
    const RandomProblem& p = *problem;
    const Grower& run = p.run;
    const RegionResult r = run.grow(false);
    const FeatureCells joint = p.joint_cells();
    const auto sets = sets_of(run, r);
    ASSERT_FALSE(any_point_fails(run, joint, r.lo, r.hi, sets)) << "round " << round;
    for (std::size_t f = 0; f < kRandomFeatures; ++f) {
      EXPECT_TRUE(r.lo[f] >= run.lo_b[f] || std::isnan(run.x[f])) << "round " << round;
      EXPECT_TRUE(r.hi[f] <= run.hi_b[f] || std::isnan(run.x[f])) << "round " << round;
    }
    // No side of an open feature can take one more step past a fresh bracket test.
    std::vector<std::uint8_t> missing(kRandomFeatures);
    for (std::size_t f = 0; f < kRandomFeatures; ++f) missing[f] = std::isnan(run.x[f]);
    for (std::uint32_t f : run.open_set) {
      for (Side side : {Side::Lower, Side::Upper}) {
        std::vector<double> lo = r.lo, hi = r.hi;
        double& end = side == Side::Upper ? hi[f] : lo[f];
        const auto edge = next_edge(joint[f], side, end, run.lo_b[f], run.hi_b[f]);
        if (!edge) continue;
        end = edge->value;
        const BoxView box{lo, hi, missing, sets};
        const BracketModel model_layout(p.e, run.md);
        const BracketCache model(model_layout, box);
        bool pass = model.score_range() && model.score_range()->low >= run.lo_t &&
                    model.score_range()->high <= run.hi_t;
        if (p.iso) {
          const BracketModel iso_layout(*p.iso, run.if_md);
          const BracketCache iso(iso_layout, box);
          pass = pass && iso.score_range() && iso.score_range()->low >= run.min_total_path;
        }
        for (const RegionWindow& w : run.windows) {
          const BracketModel layout(*w.window.ensemble, w.missing_defined);
          const BracketCache cache(layout, box);
          pass = pass && cache.score_range() && cache.score_range()->low >= w.window.lo &&
                 cache.score_range()->high <= w.window.hi;
        }
        for (const LinearC& c : run.constraints.linear)
          pass = pass && linear_holds(c, run.x, lo, hi);
        EXPECT_FALSE(pass) << "round " << round << " feature " << f;
      }
    }
  }
}

TEST(RandomGrowth, MaximalSidesAndWitnessesAreReal) {
  std::mt19937_64 rng(5);
  int maximal_sides = 0, witnesses = 0;
  for (int round = 0; round < 150; ++round) {
    const auto problem = random_problem(rng);
    const RandomProblem& p = *problem;
    const Grower& run = p.run;
    const std::uint64_t budget = std::array<std::uint64_t, 3>{0, 3, 1000}[rng() % 3];
    const RegionResult r = run.grow(true, budget);
    const FeatureCells joint = p.joint_cells();
    const auto sets = sets_of(run, r);
    ASSERT_FALSE(any_point_fails(run, joint, r.lo, r.hi, sets)) << "round " << round;
    for (std::uint32_t f : run.open_set) {
      for (Side side : {Side::Lower, Side::Upper}) {
        const bool maximal = (side == Side::Upper ? r.maximal_hi : r.maximal_lo)[f];
        const std::uint64_t used = (side == Side::Upper ? r.used_hi : r.used_lo)[f];
        EXPECT_LE(used, budget);
        if (!maximal) continue;
        ++maximal_sides;
        std::vector<double> lo = r.lo, hi = r.hi;
        double& end = side == Side::Upper ? hi[f] : lo[f];
        const auto edge = next_edge(joint[f], side, end, run.lo_b[f], run.hi_b[f]);
        if (!edge) continue;
        end = edge->value;
        EXPECT_TRUE(any_point_fails(run, joint, lo, hi, sets))
            << "round " << round << " feature " << f;
      }
    }
    for (std::size_t i = 0; i < run.cat_open.size(); ++i) {
      if (!r.maximal_cat[i]) continue;
      for (const Block& block : run.cat_open[i].blocks) {
        auto extended = sets;
        std::vector<std::uint32_t>& set = extended[run.cat_open[i].feature];
        if (std::includes(set.begin(), set.end(), block.begin(), block.end())) continue;
        set.assign(block.begin(), block.end());
        EXPECT_TRUE(any_point_fails(run, joint, r.lo, r.hi, extended)) << "round " << round;
      }
    }
    for (const Witness& w : r.witnesses) {
      ++witnesses;
      EXPECT_TRUE(!scores_inside(run, w.point) || !meets_linear(run, w.point)) << "round " << round;
      EXPECT_EQ(w.point.size(), kRandomFeatures);
    }
    if (budget == 0) {
      for (std::size_t f = 0; f < kRandomFeatures; ++f) EXPECT_EQ(r.used_lo[f] + r.used_hi[f], 0u);
    }
  }
  // The random problems exercise both outcomes.
  EXPECT_GT(maximal_sides, 50);
  EXPECT_GT(witnesses, 20);
}

}  // namespace
}  // namespace morvel::regions
