// Constraint sets: compilation from flat arrays, row checking and row repair.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "constraints.hpp"
#include "errors.hpp"

namespace morvel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Constraints with_features(std::size_t n) {
  Constraints c;
  c.n_features = n;
  return c;
}

LinearC linear(std::vector<std::uint32_t> idx, std::vector<double> coefs, std::uint8_t op,
               double rhs, std::uint8_t policy = 0) {
  return LinearC{std::move(idx), std::move(coefs), rhs, op, policy};
}

bool check_one(const Constraints& c, const std::vector<double>& row, const std::vector<double>& x) {
  return c.check(row.data(), 1, x, false)[0] != 0;
}

std::vector<double> repair_one(const Constraints& c, std::vector<double> row,
                               const std::vector<double>& x) {
  c.repair(row.data(), 1, x, false);
  return row;
}

// Element-wise equality where NaN equals NaN.
void expect_rows_eq(const std::vector<double>& got, const std::vector<double>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (std::isnan(want[i])) {
      EXPECT_TRUE(std::isnan(got[i])) << "feature " << i << " = " << got[i];
    } else {
      EXPECT_EQ(got[i], want[i]) << "feature " << i;
    }
  }
}

// ---- compilation ----------------------------------------------------------------------

struct Flat {
  std::vector<std::uint32_t> lin_offsets{0, 2, 3}, lin_indices{0, 1, 2};
  std::vector<double> lin_coefs{1.0, -1.0, 2.0}, lin_rhs{0.0, 1.0};
  std::vector<std::uint8_t> lin_op{0, 7}, lin_policy{0, 1};
  std::vector<std::uint32_t> oh_offsets{0, 2}, oh_indices{0, 1};
  std::vector<std::uint32_t> ac_idx{2}, ac_offsets{0, 1};
  std::vector<std::uint64_t> ac_words{0b1010};

  ConstraintArrays arrays() const {
    ConstraintArrays a;
    a.n_features = 3;
    a.lin_offsets = lin_offsets;
    a.lin_indices = lin_indices;
    a.lin_coefs = lin_coefs;
    a.lin_op = lin_op;
    a.lin_rhs = lin_rhs;
    a.lin_policy = lin_policy;
    a.oh_offsets = oh_offsets;
    a.oh_indices = oh_indices;
    a.ac_idx = std::span<const std::uint32_t>(ac_idx);
    a.ac_offsets = std::span<const std::uint32_t>(ac_offsets);
    a.ac_words = std::span<const std::uint64_t>(ac_words);
    return a;
  }
};

TEST(ConstraintsBuild, WellFormedArraysCompile) {
  const Flat f;
  const Constraints c = build_constraints(f.arrays());
  ASSERT_EQ(c.linear.size(), 2U);
  EXPECT_EQ(c.linear[0].indices, (std::vector<std::uint32_t>{0, 1}));
  EXPECT_EQ(c.linear[1].coefs, (std::vector<double>{2.0}));
  EXPECT_EQ(c.linear[1].op, 7);
  EXPECT_EQ(c.linear[1].policy, 1);
  ASSERT_EQ(c.one_hot.size(), 1U);
  ASSERT_EQ(c.allowed_categories.size(), 1U);
  EXPECT_EQ(c.allowed_categories[0].words, (std::vector<std::uint64_t>{0b1010}));
}

TEST(ConstraintsBuild, ParallelArraysPairUpToTheShortest) {
  const std::vector<std::uint32_t> idx{0, 1, 2};
  const std::vector<double> lo{0.0, 1.0}, hi{5.0, 6.0, 7.0};
  ConstraintArrays a;
  a.n_features = 3;
  a.range_idx = idx;
  a.range_lo = lo;
  a.range_hi = hi;
  EXPECT_EQ(build_constraints(a).range.size(), 2U);
}

TEST(ConstraintsBuild, OneHotGroupsFromOffsets) {
  const std::vector<std::uint32_t> none{}, zero{0}, empty_group{0, 0}, members{1};
  ConstraintArrays a;
  a.n_features = 2;
  a.oh_indices = members;
  a.oh_offsets = none;
  EXPECT_TRUE(build_constraints(a).one_hot.empty());
  a.oh_offsets = zero;
  EXPECT_TRUE(build_constraints(a).one_hot.empty());
  a.oh_offsets = empty_group;
  const Constraints c = build_constraints(a);
  ASSERT_EQ(c.one_hot.size(), 1U);
  EXPECT_TRUE(c.one_hot[0].empty());
}

TEST(ConstraintsBuild, AllowedCategoriesNeedAllThreeArrays) {
  const Flat f;
  ConstraintArrays a = f.arrays();
  a.ac_words.reset();
  EXPECT_TRUE(build_constraints(a).allowed_categories.empty());
}

struct Malformed {
  const char* name;
  std::function<void(Flat&)> spoil;
};

class ConstraintsBuildMalformed : public ::testing::TestWithParam<Malformed> {};

TEST_P(ConstraintsBuildMalformed, RaisesValidationError) {
  Flat f;
  GetParam().spoil(f);
  EXPECT_THROW(build_constraints(f.arrays()), ValidationError);
}

INSTANTIATE_TEST_SUITE_P(
    ConstraintsShapes, ConstraintsBuildMalformed,
    ::testing::Values(
        Malformed{"LinOffsetsShort", [](Flat& f) { f.lin_offsets = {0, 2}; }},
        Malformed{"LinOffsetsEmpty", [](Flat& f) { f.lin_offsets = {}; }},
        Malformed{"LinOffsetsDecreasing", [](Flat& f) { f.lin_offsets = {0, 3, 2}; }},
        Malformed{"LinOffsetsPastIndices", [](Flat& f) { f.lin_indices = {0, 1}; }},
        Malformed{"LinOffsetsPastCoefs", [](Flat& f) { f.lin_coefs = {1.0, -1.0}; }},
        Malformed{"LinRhsShort", [](Flat& f) { f.lin_rhs = {0.0}; }},
        Malformed{"LinPolicyShort", [](Flat& f) { f.lin_policy = {0}; }},
        Malformed{"OhOffsetsDecreasing", [](Flat& f) { f.oh_offsets = {0, 2, 1}; }},
        Malformed{"OhOffsetsPastIndices", [](Flat& f) { f.oh_offsets = {0, 3}; }},
        Malformed{"AcOffsetsShort", [](Flat& f) { f.ac_offsets = {0}; }},
        Malformed{"AcOffsetsDecreasing",
                  [](Flat& f) {
                    f.ac_idx = {1, 2};
                    f.ac_offsets = {1, 0, 1};
                  }},
        Malformed{"AcOffsetsPastWords", [](Flat& f) { f.ac_offsets = {0, 2}; }}),
    [](const ::testing::TestParamInfo<Malformed>& info) { return std::string(info.param.name); });

// ---- box and missingness ----------------------------------------------------------------

TEST(ConstraintsBox, FreezeKeepsTheFactualValue) {
  Constraints c = with_features(2);
  c.freeze = {0};
  const std::vector<double> x{3.0, 1.0};
  EXPECT_TRUE(check_one(c, x, x));
  EXPECT_FALSE(check_one(c, {3.5, 1.0}, x));
  expect_rows_eq(repair_one(c, {9.0, 4.0}, x), {3.0, 4.0});
}

TEST(ConstraintsBox, ContradictoryRulesFailEveryValueAndRepairToHi) {
  Constraints c = with_features(1);
  c.range = {{0, 0.0, 10.0}};
  c.equals = {{0, 20.0}};
  const std::vector<double> x{5.0};
  for (double v : {-5.0, 0.0, 5.0, 10.0, 15.0, 20.0, 25.0}) {
    EXPECT_FALSE(check_one(c, {v}, x)) << v;
    expect_rows_eq(repair_one(c, {v}, x), {10.0});
  }
}

TEST(ConstraintsBox, MonoBoundsFollowTheFactualValue) {
  Constraints c = with_features(2);
  c.mono = {{0, 1}, {1, -1}};
  const std::vector<double> x{2.0, 2.0};
  EXPECT_TRUE(check_one(c, {3.0, 1.0}, x));
  EXPECT_FALSE(check_one(c, {1.0, 1.0}, x));
  EXPECT_FALSE(check_one(c, {3.0, 3.0}, x));
  expect_rows_eq(repair_one(c, {1.0, 3.0}, x), {2.0, 2.0});
}

TEST(ConstraintsMissing, MissingnessFollowsTheFactualRow) {
  Constraints c = with_features(3);
  c.range = {{1, 0.0, 1.0}};
  const std::vector<double> x{kNaN, 5.0, 0.5};
  EXPECT_TRUE(check_one(c, {kNaN, 0.5, 0.0}, x));
  EXPECT_FALSE(check_one(c, {1.0, 0.5, 0.0}, x));
  EXPECT_FALSE(check_one(c, {kNaN, kNaN, 0.0}, x));
  // A present value is forced missing; a missing one takes the factual value, then the box.
  expect_rows_eq(repair_one(c, {1.0, kNaN, kNaN}, x), {kNaN, 1.0, 0.5});
}

TEST(ConstraintsMissing, AllowedMissingFeatureMayChangeEitherWay) {
  Constraints c = with_features(2);
  c.allow_missing = {{0, 1.0, 1.0}, {1, 1.0, 1.0}};
  c.range = {{1, 0.0, 1.0}};
  const std::vector<double> x{kNaN, 0.5};
  EXPECT_TRUE(check_one(c, {2.0, kNaN}, x));
  expect_rows_eq(repair_one(c, {2.0, kNaN}, x), {2.0, kNaN});
  expect_rows_eq(repair_one(c, {2.0, 3.0}, x), {2.0, 1.0});
}

// ---- linear constraints -------------------------------------------------------------------

struct Tolerance {
  std::uint8_t op;
  double sum;  // row value of the single term, rhs is 1.0
  bool passes_check;
  bool repaired;
};

class ConstraintsLinearTolerance : public ::testing::TestWithParam<Tolerance> {};

TEST_P(ConstraintsLinearTolerance, CheckToleratesRepairDoesNot) {
  const Tolerance& p = GetParam();
  Constraints c = with_features(1);
  c.linear = {linear({0}, {1.0}, p.op, 1.0)};
  const std::vector<double> x{0.0};
  EXPECT_EQ(check_one(c, {p.sum}, x), p.passes_check);
  const double after = repair_one(c, {p.sum}, x)[0];
  if (p.repaired) {
    EXPECT_EQ(after, 1.0);
  } else {
    EXPECT_EQ(after, p.sum);
  }
}

INSTANTIATE_TEST_SUITE_P(
    ConstraintsOps, ConstraintsLinearTolerance,
    ::testing::Values(Tolerance{0, 1.0 + 1e-10, true, true}, Tolerance{0, 1.0 + 1e-8, false, true},
                      Tolerance{0, 0.5, true, false}, Tolerance{1, 1.0 - 1e-10, true, true},
                      Tolerance{1, 1.0 - 1e-8, false, true}, Tolerance{1, 2.0, true, false},
                      Tolerance{7, 1.0 + 1e-10, true, true}, Tolerance{2, 1.0 - 1e-8, false, true},
                      Tolerance{7, 1.0, true, false}));

TEST(ConstraintsLinear, MissingTermFollowsPolicy) {
  Constraints c = with_features(2);
  const std::vector<double> x{kNaN, 0.0};
  c.allow_missing = {{0, 1.0, 1.0}};
  c.linear = {linear({0, 1}, {1.0, 1.0}, 0, -100.0, 0)};
  EXPECT_TRUE(check_one(c, {kNaN, 0.0}, x));
  c.linear[0].policy = 1;
  EXPECT_FALSE(check_one(c, {kNaN, 0.0}, x));
  // A term whose product is NaN (0 * inf) counts as missing too.
  c.linear = {linear({0, 1}, {1.0, 0.0}, 0, -100.0, 0)};
  EXPECT_TRUE(check_one(c, {0.0, kInf}, x));
  // Present terms still count: 5 <= 1 fails under either policy.
  c.linear = {linear({1}, {1.0}, 0, 1.0, 0)};
  EXPECT_FALSE(check_one(c, {kNaN, 5.0}, x));
  // Repair skips a constraint with a missing term.
  c.linear = {linear({0, 1}, {1.0, 1.0}, 0, -100.0, 0)};
  expect_rows_eq(repair_one(c, {kNaN, 5.0}, x), {kNaN, 5.0});
}

TEST(ConstraintsLinear, ProjectionMovesOnlyFreeFeaturesWithinBounds) {
  Constraints c = with_features(3);
  c.linear = {linear({0, 1}, {1.0, 1.0}, 0, 1.0)};
  const std::vector<double> x{0.0, 0.0, 0.0};
  // s = 3, t = 2: both move by 1.5.
  expect_rows_eq(repair_one(c, {2.0, 2.0, 0.0}, x), {0.5, 0.5, 0.0});
  // Frozen feature 1 does not move: the whole step falls on feature 0.
  c.freeze = {1};
  expect_rows_eq(repair_one(c, {2.0, 0.0, 0.0}, x), {1.0, 0.0, 0.0});
  // Feature 0's box is a point (hi == lo) and feature 1 is frozen: nothing can move.
  c.equals = {{0, 2.0}};
  expect_rows_eq(repair_one(c, {2.0, 0.0, 0.0}, x), {2.0, 0.0, 0.0});
}

TEST(ConstraintsLinear, ProjectionClampsEachMovedValue) {
  Constraints c = with_features(2);
  c.range = {{0, 0.0, 10.0}};
  c.linear = {linear({0, 1}, {1.0, -1.0}, 1, 8.0)};  // x0 - x1 >= 8, not an order pair
  // s = 4 - 0 - 8 = -4, t = 2: x0 -> 6, x1 -> -2, in one pass; later passes hold.
  expect_rows_eq(repair_one(c, {4.0, 0.0}, {5.0, 0.0}), {6.0, -2.0});
  // From (9.5, 3): s = -1.5 moves x0 to 10.25, clamped to 10, and x1 to 2.25; the clamp
  // leaves s = -0.25, so the next passes move x1 alone by 0.125 and 0.0625.
  expect_rows_eq(repair_one(c, {9.5, 3.0}, {5.0, 0.0}), {10.0, 2.0625});
}

TEST(ConstraintsLinear, InfiniteResidualNeverLeavesNaN) {
  Constraints c = with_features(2);
  c.linear = {linear({0, 1}, {1.0, 1.0}, 7, 0.0)};
  const std::vector<double> row = repair_one(c, {kInf, 1.0}, {0.0, 0.0});
  EXPECT_FALSE(std::isnan(row[0]));
  EXPECT_FALSE(std::isnan(row[1]));
}

TEST(ConstraintsLinear, OrderPairTakesTheSmallerValueUnclamped) {
  Constraints c = with_features(2);
  c.range = {{0, 4.0, 10.0}};
  const std::vector<double> x{5.0, 3.0};
  c.linear = {linear({0, 1}, {1.0, -1.0}, 0, 0.0)};
  expect_rows_eq(repair_one(c, {5.0, 3.0}, x), {3.0, 3.0});  // below lo = 4: not clamped
  // The same pair written the other way round.
  c.linear = {linear({1, 0}, {-1.0, 1.0}, 0, -0.0)};
  expect_rows_eq(repair_one(c, {5.0, 3.0}, x), {3.0, 3.0});
  expect_rows_eq(repair_one(c, {5.0, 7.0}, x), {5.0, 7.0});
  // Not an order pair (rhs != 0): projected instead, both terms move.
  c.linear = {linear({0, 1}, {1.0, -1.0}, 0, 1.0)};
  expect_rows_eq(repair_one(c, {6.0, 3.0}, x), {5.0, 4.0});
}

TEST(ConstraintsLinear, RepairRunsExactlyThreePasses) {
  Constraints c = with_features(5);
  for (std::uint32_t f = 0; f < 4; ++f) c.linear.push_back(linear({f, f + 1}, {1.0, -1.0}, 0, 0.0));
  // Each pass pushes the chain x0 <= x1 <= ... <= x4 one step further.
  expect_rows_eq(repair_one(c, {5.0, 4.0, 3.0, 2.0, 1.0}, {0.0, 0.0, 0.0, 0.0, 0.0}),
                 {2.0, 1.0, 1.0, 1.0, 1.0});
}

// ---- implications, one-hot groups, allowed categories --------------------------------------

TEST(ConstraintsImplication, ConditionOnMissingNeverFires) {
  Constraints c = with_features(2);
  c.allow_missing = {{0, 1.0, 1.0}};
  c.implications = {{0, 1.0, 1, 2.0}};
  const std::vector<double> x{0.0, 0.0};
  EXPECT_FALSE(check_one(c, {1.0, 0.0}, x));
  EXPECT_TRUE(check_one(c, {1.0, 2.0}, x));
  EXPECT_TRUE(check_one(c, {kNaN, 0.0}, x));
  expect_rows_eq(repair_one(c, {1.0, 0.0}, x), {1.0, 2.0});
  expect_rows_eq(repair_one(c, {kNaN, 0.0}, x), {kNaN, 0.0});
}

TEST(ConstraintsOneHot, CheckNeedsAnExactSumOfOne) {
  Constraints c = with_features(3);
  c.allow_missing = {{1, 0.0, 0.0}};
  c.one_hot = {{0, 1, 2}};
  const std::vector<double> x{1.0, 0.0, 0.0};
  EXPECT_TRUE(check_one(c, {0.0, 1.0, 0.0}, x));
  EXPECT_TRUE(check_one(c, {0.5, 0.25, 0.25}, x));  // only the sum is tested
  EXPECT_FALSE(check_one(c, {0.0, kNaN, 0.0}, x));
  EXPECT_FALSE(check_one(c, {1.0, 1e-12, 0.0}, x));  // no tolerance here
  c.one_hot = {{}};
  EXPECT_FALSE(check_one(c, {0.0, 1.0, 0.0}, x));
}

TEST(ConstraintsOneHot, RepairKeepsTheFirstLargestMember) {
  Constraints c = with_features(3);
  c.allow_missing = {{1, 0.0, 0.0}};
  c.one_hot = {{0, 1, 2}};
  const std::vector<double> x{1.0, 0.0, 0.0};
  expect_rows_eq(repair_one(c, {0.0, kNaN, 0.0}, x), {1.0, 0.0, 0.0});
  expect_rows_eq(repair_one(c, {-2.0, kNaN, -3.0}, x), {0.0, 1.0, 0.0});  // NaN counts as -1
  expect_rows_eq(repair_one(c, {0.3, 0.7, 0.7}, x), {0.0, 1.0, 0.0});
  expect_rows_eq(repair_one(c, {-kInf, -kInf, -kInf}, x), {1.0, 0.0, 0.0});
  c.one_hot = {{}};
  expect_rows_eq(repair_one(c, {0.3, 0.7, 0.7}, x), {0.3, 0.7, 0.7});
}

TEST(ConstraintsCategories, CheckAcceptsOnlyAllowedIntegerCodes) {
  Constraints c = with_features(1);
  c.allowed_categories = {{0, {0b1010, 0b1}}};  // codes 1, 3, 64
  const std::vector<double> x{1.0};
  for (double v : {1.0, 3.0, 64.0}) EXPECT_TRUE(check_one(c, {v}, x)) << v;
  for (double v : {0.0, -0.0, 2.0, 1.5, -1.0, 65.0, 128.0, 1e300, kInf, -kInf}) {
    EXPECT_FALSE(check_one(c, {v}, x)) << v;
  }
  c.allowed_categories = {{0, {}}};
  EXPECT_FALSE(check_one(c, {0.0}, x));
}

TEST(ConstraintsCategories, RepairMovesToTheSmallestAllowedCode) {
  Constraints c = with_features(1);
  const std::vector<double> x{1.0};
  c.allowed_categories = {{0, {0b1010}}};
  expect_rows_eq(repair_one(c, {0.0}, x), {1.0});
  expect_rows_eq(repair_one(c, {3.0}, x), {3.0});
  expect_rows_eq(repair_one(c, {2.5}, x), {1.0});
  c.allowed_categories = {{0, {0, 0, 1ULL << 5}}};
  expect_rows_eq(repair_one(c, {1e300}, x), {133.0});
  // No allowed code, or no words at all: the value is kept.
  c.allowed_categories = {{0, {0, 0}}};
  expect_rows_eq(repair_one(c, {7.0}, x), {7.0});
  c.allowed_categories = {{0, {}}};
  expect_rows_eq(repair_one(c, {7.0}, x), {7.0});
}

// ---- invariants: out-of-range features, parallel rows ---------------------------------------

class ConstraintsFeatureRange : public ::testing::TestWithParam<std::function<void(Constraints&)>> {
};

TEST_P(ConstraintsFeatureRange, OutOfRangeFeatureIsAnInternalError) {
  Constraints c = with_features(2);
  c.range = {{0, 0.0, 1.0}};
  GetParam()(c);
  // The row fails the box first; the bad index is reported all the same.
  std::vector<double> row{5.0, 0.0, 5.0, 0.0};
  const std::vector<double> x{0.5, 0.0};
  EXPECT_THROW(c.check(row.data(), 2, x, false), InternalError);
  EXPECT_THROW(c.repair(row.data(), 2, x, true), InternalError);
}

INSTANTIATE_TEST_SUITE_P(
    ConstraintsRules, ConstraintsFeatureRange,
    ::testing::Values([](Constraints& c) { c.freeze = {2}; },
                      [](Constraints& c) { c.mono = {{7, 1}}; },
                      [](Constraints& c) { c.linear = {linear({0, 2}, {1.0, 1.0}, 0, 0.0)}; },
                      [](Constraints& c) { c.implications = {{0, 0.0, 2, 1.0}}; },
                      [](Constraints& c) { c.implications = {{9, 0.0, 1, 1.0}}; },
                      [](Constraints& c) { c.one_hot = {{0, 1, 2}}; },
                      [](Constraints& c) { c.allow_missing = {{2, 0.0, 0.0}}; },
                      [](Constraints& c) { c.allowed_categories = {{5, {1}}}; }));

TEST(ConstraintsParallel, ParallelRowsMatchSequentialRows) {
  Constraints c = with_features(6);
  c.freeze = {5};
  c.range = {{0, -1.0, 1.0}, {1, 0.0, 5.0}};
  c.mono = {{2, 1}};
  c.allow_missing = {{3, 0.0, 0.0}};
  c.linear = {linear({0, 1, 2}, {1.0, 2.0, -1.0}, 0, 2.0), linear({1, 4}, {1.0, -1.0}, 0, 0.0)};
  c.implications = {{3, 1.0, 4, 2.0}};
  c.one_hot = {{0, 1}};
  c.allowed_categories = {{4, {0b10110}}};
  const std::vector<double> x{0.0, 1.0, 0.5, kNaN, 2.0, 3.0};

  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> value(-3.0, 6.0);
  const std::size_t n_rows = 5000;
  std::vector<double> rows(n_rows * 6);
  for (double& v : rows) v = (rng() % 10 == 0) ? kNaN : std::round(value(rng) * 2.0) / 2.0;

  const auto seq_ok = c.check(rows.data(), n_rows, x, false);
  const auto par_ok = c.check(rows.data(), n_rows, x, true);
  EXPECT_EQ(seq_ok, par_ok);
  std::vector<double> seq = rows, par = rows;
  c.repair(seq.data(), n_rows, x, false);
  c.repair(par.data(), n_rows, x, true);
  ASSERT_EQ(std::memcmp(seq.data(), par.data(), seq.size() * sizeof(double)), 0);
  // Repair changed something: the comparison above is not between two untouched copies.
  EXPECT_NE(std::memcmp(seq.data(), rows.data(), seq.size() * sizeof(double)), 0);
}

}  // namespace
}  // namespace morvel
