// Distance model, value policies and snapping, constraint cells, and candidate domains.
#include <gtest/gtest.h>

#include "error_text.hpp"

#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "errors.hpp"
#include "exact/domains.hpp"
#include "ir.hpp"
#include "split_ensembles.hpp"

namespace morvel::exact {
namespace {

using morvel::testing::in_set;
using morvel::testing::le;
using morvel::testing::lt;
using morvel::testing::stumps;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct HashCase {
  double value;
  long long hash;
};
const HashCase kPythonHashes[] = {
#include "python_float_hash_table.inc"
};

TEST(DomainsHash, MatchesPythonHash) {
  for (const HashCase& c : kPythonHashes) {
    EXPECT_EQ(python_float_hash(c.value), c.hash) << std::hexfloat << c.value;
  }
  EXPECT_EQ(python_float_hash(kNaN), 0) << "sys.hash_info.nan";
}

struct SnapCase {
  const char* name;
  double r;
  ValuePolicy policy;
  Cell cell;
  double lo, hi;
  std::optional<double> expected;
};

void PrintTo(const SnapCase& c, std::ostream* os) { *os << c.name; }

class DomainsSnap : public ::testing::TestWithParam<SnapCase> {};

TEST_P(DomainsSnap, PicksNearestQualifyingCandidate) {
  const SnapCase& c = GetParam();
  const std::optional<double> got = snap_candidates(c.r, c.policy, c.cell, c.lo, c.hi);
  ASSERT_EQ(got.has_value(), c.expected.has_value());
  if (got) {
    EXPECT_EQ(*got, *c.expected);
    EXPECT_EQ(std::signbit(*got), std::signbit(*c.expected)) << "zero comes out positive";
  }
}

constexpr ValuePolicy kInteger{PolicyKind::Integer, 0.0, 0.0};
constexpr ValuePolicy grid(double step, double anchor) { return {PolicyKind::Grid, step, anchor}; }
constexpr Cell kLine{-kInf, kInf, true, true};

// Ties are broken by the iteration order of a Python set of the candidates, e.g.
// list({7.0, 8.0}) == [8.0, 7.0] and list({1.0, 0.5, 1.5}) == [0.5, 1.0, 1.5].
INSTANTIATE_TEST_SUITE_P(
    Domains, DomainsSnap,
    ::testing::Values(
        SnapCase{"TieTwoThree", 2.5, kInteger, kLine, -kInf, kInf, 2.0},
        SnapCase{"TieMinusThreeMinusTwo", -2.5, kInteger, kLine, -kInf, kInf, -3.0},
        SnapCase{"TieWrapsSlots", 7.5, kInteger, kLine, -kInf, kInf, 8.0},
        SnapCase{"TieMinusOneHashesMinusTwo", -0.5, kInteger, kLine, -kInf, kInf, 0.0},
        SnapCase{"GridTieOnCollision", 0.75, grid(0.5, 0), kLine, -kInf, kInf, 0.5},
        SnapCase{"GridTieHalfEven", 1.25, grid(0.5, 0), kLine, -kInf, kInf, 1.0},
        SnapCase{"GridTieNegative", -1.25, grid(0.5, 0), kLine, -kInf, kInf, -1.0},
        SnapCase{"GridNegativeZero", -0.1, grid(1, -0.0), kLine, -kInf, kInf, 0.0},
        SnapCase{"GridAnchor", 3.3, grid(2, 0.5), kLine, -kInf, kInf, 2.5},
        SnapCase{"CellExcludesNearer", 2.5, kInteger, {2.5, 9, false, false}, -kInf, kInf, 3.0},
        SnapCase{"BoundExcludesNearer", 7.5, kInteger, kLine, -kInf, 7.9, 7.0},
        SnapCase{"OpenEndsExcludeBoth", 2.5, kInteger, {2, 3, true, true}, -kInf, kInf,
                 std::nullopt},
        SnapCase{"GridEmptiesCell", 2, grid(10, 0), {2, 5, false, true}, -kInf, kInf,
                 std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

using testing::error_text;

TEST(DomainsPolicies, MarshalAndRejectMalformedArrays) {
  const std::vector<std::uint8_t> codes{0, 1, 2};
  const std::vector<double> step{9, 9, 0.5}, anchor{7, 7, 0.25};
  const auto p = marshal_value_policies(codes, step, anchor);
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[0].kind, PolicyKind::Continuous);
  EXPECT_EQ(p[1].kind, PolicyKind::Integer);
  EXPECT_EQ(p[2].kind, PolicyKind::Grid);
  EXPECT_EQ(p[2].step, 0.5);
  EXPECT_EQ(p[2].anchor, 0.25);

  const std::vector<double> short_step{1, 1};
  EXPECT_EQ(error_text<CallerError>([&] { marshal_value_policies(codes, short_step, anchor); }),
            "value policy code/step/anchor arrays must have equal length");
  const std::vector<std::uint8_t> bad{0, 3, 1};
  EXPECT_EQ(error_text<CallerError>([&] { marshal_value_policies(bad, step, anchor); }),
            "unknown value policy code 3");
  EXPECT_EQ(error_text<CallerError>([] { require_policy_count(4, 3); }),
            "expected 4 value-policy entries, got 3");
}

Constraints empty_constraints(std::size_t n) {
  Constraints c;
  c.n_features = n;
  return c;
}

TEST(DomainsCost, RulesAndOperationOrder) {
  const std::vector<double> x{0.0, kNaN, 2.0, 1.0};
  const std::vector<double> sigma{0.3, 2.0, 4.0, 0.5}, weights{0.1, 3.0, 1.0, 1.0};
  Constraints c = empty_constraints(4);
  c.allow_missing = {{1, 9.0, 5.0}, {2, 8.0, 6.0}};
  const CategoryBlocks blocks{{}, {}, {}, {{0}, {1, 2}}};
  const CostModel m = make_cost_model(x, sigma, weights, 0.25, c, blocks);
  // (0.1 * 0.7) / 0.3 differs from 0.1 * (0.7 / 0.3) and (0.1 / 0.3) * 0.7 in the last bit.
  EXPECT_EQ(m.cost(0, 0.7), 0.4833333333333333);
  EXPECT_EQ(m.cost(0, 0.0), 0.0);
  EXPECT_EQ(m.cost(1, kNaN), 0.0);
  EXPECT_EQ(m.cost(1, 4.0), 3.0 * 5.0 / 2.0 + 0.25) << "from a missing value: the from delta";
  EXPECT_EQ(m.cost(2, kNaN), 8.0 / 4.0 + 0.25) << "to a missing value: the to delta";
  EXPECT_EQ(m.cost(3, 7.0), 1.0 / 0.5 + 0.25) << "a categorical move costs one unit";
  EXPECT_EQ(m.cost(3, 1.0), 0.0);
}

TEST(DomainsCost, RowCostSumsInFeatureOrder) {
  const std::vector<double> x{0, 0, 0}, sigma{1, 1, 1}, weights{1, 1e16, -1e16};
  const CostModel m =
      make_cost_model(x, sigma, weights, 0.0, empty_constraints(3), stumps({}, 3));
  const double row[] = {1, 1, 1};
  EXPECT_EQ(m.row_cost(row), 0.0) << "(0 + 1 + 1e16) - 1e16 loses the 1";
}

TEST(DomainsConstraintCells, ImplicationConditionsSplitCells) {
  const Ensemble e = stumps({lt(0, 5), le(0, 5), lt(1, 2)}, 3);
  Constraints c = empty_constraints(3);
  c.implications = {{0, 3.0, 2, 1.0}, {0, 3.0, 2, 1.0}, {0, 5.0, 2, 0.0}, {1, 2.0, 2, 0.0},
                    {0, 8.0, 2, 0.0}};
  const Ensemble* one[] = {&e};
  const FeatureCells cells = constraint_cells(c, one);
  EXPECT_EQ(cells[0], (CellList{{-kInf, 3, true, true},
                                {3, 3, false, false},
                                {3, 5, true, true},
                                {5, 5, false, false},  // already the point: kept
                                {5, 8, true, true},
                                {8, 8, false, false},
                                {8, kInf, true, true}}));
  // 2 is the closed lower end of [2, inf): no piece below it.
  EXPECT_EQ(cells[1], (CellList{{-kInf, 2, true, true}, {2, 2, false, false},
                                {2, kInf, true, true}}));
  EXPECT_EQ(cells[2], e.feature_cells()[2]);
}

TEST(DomainsConstraintCells, DemandedValuesAndMissingDeltas) {
  Constraints c = empty_constraints(3);
  c.implications = {{0, 1.0, 1, 4.0}, {0, 2.0, 1, -1.0}, {0, 3.0, 1, 4.0}};
  c.linear = {{{1}, {2.0}, 3.0, 2, 0},    // x1 == 1.5
              {{1}, {2.0}, 9.0, 7, 0},    // other equality codes demand nothing
              {{1}, {1.0}, 4.0, 2, 0},    // duplicate of a consequent
              {{2, 1}, {1, 1}, 3.0, 2, 0}};
  c.allow_missing = {{2, 1.0, 2.0}, {0, 3.0, 4.0}, {2, 5.0, 6.0}};
  const auto demanded = demanded_values(c);
  EXPECT_TRUE(demanded[0].empty());
  EXPECT_EQ(demanded[1], (std::vector<double>{-1.0, 1.5, 4.0}));
  EXPECT_TRUE(demanded[2].empty());
  const auto deltas = allow_missing_deltas(c);
  EXPECT_EQ(deltas[0], (std::pair<double, double>{3.0, 4.0}));
  EXPECT_EQ(deltas[1], (std::pair<double, double>{0.0, 0.0}));
  EXPECT_EQ(deltas[2], (std::pair<double, double>{5.0, 6.0})) << "the later entry wins";
}

TEST(DomainsSort, CostThenCellThenValueWithMissingAsZero) {
  Domain d{{3.0, 1.0, 2, false, false}, {kNaN, 1.0, 4, true, false},
           {-1.0, 1.0, 4, false, false}, {0.5, 1.0, 4, false, false},
           {2.0, 0.0, 1, false, false},  {7.0, 1.0, 2, false, true},
           {7.0, 1.0, 2, false, false}};
  sort_states(d);
  const std::vector<double> values{2.0, 3.0, 7.0, 7.0, -1.0, kNaN, 0.5};
  ASSERT_EQ(d.size(), values.size());
  for (std::size_t k = 0; k < d.size(); ++k) {
    if (std::isnan(values[k])) {
      EXPECT_TRUE(d[k].is_nan) << k;
    } else {
      EXPECT_EQ(d[k].value, values[k]) << k;
    }
  }
  EXPECT_TRUE(d[2].snapped) << "full ties keep insertion order";
}

// Domains of every feature of x over the model e.
struct Fixture {
  const Ensemble& e;
  Constraints c;
  std::vector<double> x;
  std::vector<ValuePolicy> policies = std::vector<ValuePolicy>(x.size());
  double lam = 0.0;

  Domains build() const {
    const Ensemble* one[] = {&e};
    const std::vector<double> ones(x.size(), 1.0);
    return build_domains(constraint_cells(c, one), x, c, lam, ones, ones, policies,
                         category_blocks_joint(one));
  }
};

// (value, cost, cell) of each state; NaN values compare as missing.
void expect_states(const Domain& d,
                   const std::vector<std::tuple<double, double, std::size_t>>& want) {
  ASSERT_EQ(d.size(), want.size());
  for (std::size_t k = 0; k < d.size(); ++k) {
    const auto& [v, cost, cell] = want[k];
    if (std::isnan(v)) {
      EXPECT_TRUE(d[k].is_nan) << "state " << k;
    } else {
      EXPECT_FALSE(d[k].is_nan) << "state " << k;
      EXPECT_EQ(d[k].value, v) << "state " << k;
    }
    EXPECT_EQ(d[k].cost, cost) << "state " << k;
    EXPECT_EQ(d[k].cell_idx, cell) << "state " << k;
  }
}

TEST(DomainsNumeric, ProperRange) {
  const Ensemble e = stumps({lt(0, 5), le(0, 1)}, 1);  // (-inf,1] (1,5) [5,inf)
  Fixture f{e, empty_constraints(1), {2.0}};
  f.lam = 0.5;
  expect_states(f.build()[0], {{2.0, 0.0, 1}, {1.0, 1.5, 0}, {5.0, 3.5, 2}});
}

TEST(DomainsNumeric, FrozenPinnedAndMissing) {
  const Ensemble e = stumps({lt(0, 5), lt(1, 5), lt(2, 5), lt(3, 5), lt(4, 5)}, 5);
  Fixture f{e, empty_constraints(5), {9.0, 2.0, kNaN, kNaN, kNaN}};
  f.c.freeze = {0};
  f.c.equals = {{0, 1.0}, {1, 4.0}, {4, 3.0}};
  f.c.allow_missing = {{1, 6.0, 0.0}, {4, 0.0, 2.0}};
  f.c.linear = {{{3}, {1.0}, 0.0, 0, 1}};  // a one-feature rule failing on a missing x3
  const Domains d = f.build();
  // Frozen: the factual value only, even outside the box.
  expect_states(d[0], {{9.0, 0.0, 1}});
  // Pinned, may turn missing.
  expect_states(d[1], {{4.0, 2.0, 0}, {kNaN, 6.0, 2}});
  // Missing stays missing, unless a rule forbids it.
  expect_states(d[2], {{kNaN, 0.0, 2}});
  EXPECT_TRUE(d[3].empty());
  // Pinned with a missing factual.
  expect_states(d[4], {{kNaN, 0.0, 2}, {3.0, 2.0, 0}});
}

TEST(DomainsNumeric, MissingFactualTargetsZero) {
  const Ensemble e = stumps({lt(0, -2), lt(0, 3)}, 1);  // (-inf,-2) [-2,3) [3,inf)
  Fixture f{e, empty_constraints(1), {kNaN}};
  f.c.allow_missing = {{0, 1.0, 0.5}};
  expect_states(f.build()[0], {{kNaN, 0.0, 3}, {-2.0000002384185791, 0.5, 0}, {0.0, 0.5, 1},
                               {3.0, 0.5, 2}});
}

TEST(DomainsNumeric, ImplicationConditionBecomesCandidate) {
  const Ensemble e = stumps({lt(0, 5)}, 2);
  Fixture f{e, empty_constraints(2), {0.0, 0.0}};
  f.c.implications = {{0, 3.0, 1, 1.0}};
  expect_states(f.build()[0],
                {{0.0, 0.0, 0}, {3.0, 3.0, 1}, {3.0000002384185791, 3.0000002384185791, 2},
                 {5.0, 5.0, 3}});
}

TEST(DomainsNumeric, DemandedValueNotRepeatedByRepresentative) {
  const Ensemble e = stumps({}, 2);
  Fixture f{e, empty_constraints(2), {0.0, 0.0}};
  f.c.range = {{1, 4.5, 10.0}};
  f.c.implications = {{0, 7.0, 1, 4.5}, {0, 7.0, 1, 6.0}};
  // x1 = 0 lies below the range: its representative 4.5 is also demanded.
  expect_states(f.build()[1], {{4.5, 4.5, 0}, {6.0, 6.0, 0}});
}

TEST(DomainsNumeric, OneHotMembersOfferZeroAndOne) {
  const Ensemble e = stumps({lt(0, 0.5)}, 2);
  Fixture f{e, empty_constraints(2), {0.0, 0.25}};
  f.c.one_hot = {{0, 1}};
  const Domains d = f.build();
  expect_states(d[0], {{0.0, 0.0, 0}, {1.0, 1.0, 1}});
  expect_states(d[1], {{0.25, 0.0, 0}, {0.0, 0.25, 0}, {1.0, 0.75, 0}});
}

TEST(DomainsNumeric, PoliciesSnapOrDropCells) {
  const Ensemble e = stumps({lt(0, 2), lt(0, 5), lt(1, 2.5)}, 2);
  Fixture f{e, empty_constraints(2), {0.0, 7.25}};
  f.policies = {grid(10, 0), kInteger};
  const Domains d = f.build();
  // [2, 5) holds no multiple of 10: the cell gets no state.
  expect_states(d[0], {{0.0, 0.0, 0}, {10.0, 10.0, 2}});
  EXPECT_TRUE(d[0][1].snapped);
  // The factual cell adds nothing more; (-inf, 2.5) snaps 2.4999998 down to 2.
  expect_states(d[1], {{7.25, 0.0, 1}, {2.0, 5.25, 0}});
  EXPECT_FALSE(d[1][0].snapped);
}

TEST(DomainsNumeric, CellWithoutAnyDoubleIsSkipped) {
  // (1, next double after 1) holds no double; its would-be representative lies in [next, inf).
  const double next = std::nextafter(1.0, kInf);
  const Ensemble e = stumps({le(0, 1.0), lt(0, next)}, 1);
  Fixture f{e, empty_constraints(1), {0.0}};
  const Domain d = f.build()[0];
  expect_states(d, {{0.0, 0.0, 0}, {next, next, 2}});
}

TEST(DomainsCategorical, FirstCodePerBlock) {
  // Blocks {0, 2}, {1}, {3}.
  const Ensemble e = stumps({in_set(0, {1}), in_set(0, {1, 3})}, 1, {4});
  Fixture f{e, empty_constraints(1), {1.0}};
  f.lam = 0.5;
  expect_states(f.build()[0], {{1.0, 0.0, 1}, {0.0, 1.5, 0}, {3.0, 1.5, 2}});
  f.x = {2.0};
  expect_states(f.build()[0], {{2.0, 0.0, 0}, {1.0, 1.5, 1}, {3.0, 1.5, 2}});
  f.x = {2.7};  // fractional: the block of code 2
  expect_states(f.build()[0], {{2.7, 0.0, 0}, {1.0, 1.5, 1}, {3.0, 1.5, 2}});
}

TEST(DomainsCategorical, AllowedCategoriesAndMissing) {
  const Ensemble e = stumps({in_set(0, {1}), in_set(0, {1, 3}), in_set(1, {0})}, 2, {4, 2});
  Fixture f{e, empty_constraints(2), {1.0, kNaN}};
  f.c.allowed_categories = {{0, {0b1100}}};  // codes 2 and 3
  f.c.allow_missing = {{1, 0.0, 3.0}};
  const Domains d = f.build();
  // The factual code 1 is not allowed: no cost-0 state; block {0, 2} offers 2.
  expect_states(d[0], {{2.0, 1.0, 0}, {3.0, 1.0, 2}});
  expect_states(d[1], {{kNaN, 0.0, 2}, {0.0, 3.0, 0}, {1.0, 3.0, 1}});
  f.c.freeze = {0, 1};
  const Domains frozen = f.build();
  expect_states(frozen[0], {{1.0, 0.0, 1}});
  expect_states(frozen[1], {{kNaN, 0.0, 2}});
}

}  // namespace
}  // namespace morvel::exact
