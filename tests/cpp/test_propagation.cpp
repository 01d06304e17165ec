// Constraint propagation of the exact search: one-hot groups and implications, checked on
// the edge cases and, exhaustively, against brute force over tiny domains.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "constraints.hpp"
#include "errors.hpp"
#include "exact/propagation.hpp"

namespace morvel::exact {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Constraints make(std::size_t n, std::vector<std::vector<std::uint32_t>> groups,
                 std::vector<Implication> implications = {}) {
  Constraints c;
  c.n_features = n;
  c.one_hot = std::move(groups);
  c.implications = std::move(implications);
  return c;
}

// Drives a Propagation the way the search does: apply, then mark assigned; undo in reverse.
struct Driver {
  explicit Driver(const Constraints& c) : prop(c), pa(c.n_features) {}

  // Returns true on conflict; the frame stays on the stack either way, for undo().
  bool assign(std::size_t f, double v) {
    frames.emplace_back();
    const bool conflict = prop.apply_with(f, v, pa, frames.back());
    features.push_back(f);
    pa.assigned[f] = 1;
    pa.values[f] = v;
    return conflict;
  }
  void undo() {
    prop.restore(frames.back());
    pa.assigned[features.back()] = 0;
    frames.pop_back();
    features.pop_back();
  }

  Propagation prop;
  PartialAssignment pa;
  std::vector<PropFrame> frames;
  std::vector<std::size_t> features;
};

TEST(Propagation, SecondOneInAGroupConflicts) {
  const Constraints c = make(3, {{0, 1, 2}});
  Driver d(c);
  EXPECT_FALSE(d.assign(0, 1.0));
  EXPECT_TRUE(d.assign(2, 1.0));
  d.undo();
  EXPECT_FALSE(d.assign(2, 0.0));  // the count of ones went back to 1, not 2
}

TEST(Propagation, LastFreeMemberOfAnAllZeroGroupIsForcedToOne) {
  const Constraints c = make(4, {{0, 1, 2, 3}});
  Driver d(c);
  EXPECT_FALSE(d.assign(3, 0.0));
  EXPECT_FALSE(d.assign(0, -0.0));  // any value but 1 counts as another
  EXPECT_FALSE(d.prop.forced(1).has_value());
  EXPECT_FALSE(d.assign(2, kNaN));
  ASSERT_TRUE(d.prop.forced(1).has_value());
  EXPECT_EQ(*d.prop.forced(1), 1.0);
  EXPECT_TRUE(d.assign(1, 0.0));
  d.undo();
  EXPECT_FALSE(d.assign(1, 1.0));
  d.undo();
  d.undo();  // undoing the third zero lifts the forced value
  EXPECT_FALSE(d.prop.forced(1).has_value());
}

TEST(Propagation, AllOthersInAGroupConflicts) {
  const Constraints c = make(2, {{1}});
  Driver d(c);
  for (const double other : {0.0, 2.0, kNaN}) {
    EXPECT_TRUE(d.assign(1, other));
    d.undo();
  }
  EXPECT_FALSE(d.assign(1, 1.0));
}

// Assigning a member without propagating it breaks the counts: the group then looks one
// short of all-zeros while nobody is free.
TEST(Propagation, BrokenCountsAreAnInternalError) {
  const Constraints c = make(2, {{0, 1}});
  Driver d(c);
  d.pa.assigned[1] = 1;
  d.pa.values[1] = 0.0;
  try {
    d.assign(0, 0.0);
    FAIL() << "expected an internal error";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "a group one short of all-zeros has a free member");
  }
}

TEST(Propagation, ImplicationsCompareValuesNumerically) {
  const Constraints c = make(3, {}, {{0, 0.0, 1, 5.0}, {2, kNaN, 1, 6.0}});
  Driver d(c);
  EXPECT_FALSE(d.assign(0, -0.0));  // 0.0 == -0.0
  ASSERT_TRUE(d.prop.forced(1).has_value());
  EXPECT_EQ(*d.prop.forced(1), 5.0);
  d.undo();
  EXPECT_FALSE(d.assign(0, kNaN));  // NaN never meets a condition
  EXPECT_FALSE(d.prop.forced(1).has_value());
  EXPECT_FALSE(d.assign(2, kNaN));  // not even a NaN condition
  EXPECT_FALSE(d.prop.forced(1).has_value());
}

TEST(Propagation, ConflictingImplicationsFailTheSecondAssignment) {
  const Constraints c = make(3, {}, {{0, 1.0, 2, 5.0}, {1, 1.0, 2, 7.0}, {1, 2.0, 2, 5.0}});
  Driver d(c);
  EXPECT_FALSE(d.assign(0, 1.0));
  EXPECT_TRUE(d.assign(1, 1.0));
  d.undo();
  EXPECT_FALSE(d.assign(1, 2.0));  // agrees with the forced value
  EXPECT_TRUE(d.assign(2, 7.0));   // an assignment against a forced value
  d.undo();
  EXPECT_FALSE(d.assign(2, 5.0));
}

TEST(Propagation, ForcedValuesAreCheckedExactly) {
  const Constraints c = make(2, {}, {{0, 1.0, 1, kNaN}});
  Driver d(c);
  EXPECT_FALSE(d.assign(0, 1.0));
  EXPECT_TRUE(d.assign(1, kNaN));  // a NaN differs from every forced value, NaN included
}

TEST(Propagation, ForceRespectsAssignedValuesAndIntervals) {
  const Constraints c = make(3, {}, {{0, 1.0, 1, 2.0}, {0, 1.0, 2, 2.0}});
  Driver d(c);
  d.pa.assigned[1] = 1;
  d.pa.values[1] = 2.0;
  d.pa.narrowed[2] = 1;
  d.pa.intervals[2] = Cell{0.0, 2.0, false, true};
  EXPECT_TRUE(d.assign(0, 1.0));  // 2.0 lies outside [0, 2)
  EXPECT_TRUE(d.frames.back().forced.empty());  // nothing forced on the assigned feature
  d.undo();
  d.pa.intervals[2] = Cell{0.0, 2.0, false, false};
  EXPECT_FALSE(d.assign(0, 1.0));
  ASSERT_TRUE(d.prop.forced(2).has_value());
  EXPECT_FALSE(d.prop.forced(1).has_value());
  d.undo();
  d.pa.values[1] = 3.0;
  EXPECT_TRUE(d.assign(0, 1.0));

  PropFrame frame;
  d.pa.intervals[2] = Cell{-1.0, 1.0, true, true};
  EXPECT_FALSE(d.prop.force(2, kNaN, d.pa, frame));
  EXPECT_TRUE(d.prop.force(2, 0.5, d.pa, frame));
  EXPECT_FALSE(d.prop.force(2, 0.25, d.pa, frame));  // inside, but not the forced value
  EXPECT_EQ(frame.forced, std::vector<std::uint32_t>{2});
}

// A feature in two groups is counted in the later one; the earlier group still finds it as
// its free member, and with every member decided checks its sum itself. So does a group
// that lists a feature twice.
TEST(Propagation, OverlappingAndRepeatedMembers) {
  const Constraints c = make(5, {{0, 1, 2}, {2, 3}, {4, 4}});
  Driver d(c);
  EXPECT_FALSE(d.assign(0, 0.0));
  EXPECT_FALSE(d.assign(1, 0.0));
  ASSERT_TRUE(d.prop.forced(2).has_value());  // by {0, 1, 2}
  EXPECT_FALSE(d.assign(2, 1.0));
  d.undo();
  d.undo();
  d.undo();

  EXPECT_FALSE(d.assign(2, 0.0));  // counted in {2, 3}: forces 3
  ASSERT_TRUE(d.prop.forced(3).has_value());
  EXPECT_FALSE(d.assign(0, 0.0));
  EXPECT_TRUE(d.assign(1, 0.0));  // {0, 1, 2} is decided and sums to 0
  d.undo();
  d.undo();
  d.undo();
  EXPECT_FALSE(d.assign(2, 1.0));
  EXPECT_FALSE(d.assign(0, 0.0));
  EXPECT_FALSE(d.assign(1, 0.0));  // decided, sums to 1

  EXPECT_TRUE(d.assign(4, 0.0));
  d.undo();
  EXPECT_FALSE(d.assign(4, 1.0));
}

// An implication from a feature to itself constrains the value being assigned.
TEST(Propagation, SelfImplicationChecksTheAssignedValue) {
  const Constraints c = make(1, {}, {{0, 1.0, 0, 2.0}, {0, 3.0, 0, 3.0}});
  Driver d(c);
  EXPECT_TRUE(d.assign(0, 1.0));
  d.undo();
  EXPECT_FALSE(d.assign(0, 3.0));
  EXPECT_FALSE(d.prop.forced(0).has_value());
}

// Features with tiny domains (group members 0 or 1; others also 2, -0.0 and NaN), disjoint
// groups and random implications. A depth-first enumeration in a random order that prunes
// at every conflict must reach exactly the rows satisfying every group and implication: a
// conflict on a satisfiable branch, or a leaf that breaks a rule, changes the set.
TEST(Propagation, PrunesExactlyTheUnsatisfiableBranches) {
  std::mt19937_64 rng(29);
  constexpr std::size_t kN = 6;
  for (int round = 0; round < 200; ++round) {
    std::vector<std::uint32_t> perm(kN);
    for (std::uint32_t f = 0; f < kN; ++f) perm[f] = f;
    std::shuffle(perm.begin(), perm.end(), rng);
    std::vector<std::vector<std::uint32_t>> groups;
    for (std::size_t at = 0, g = rng() % 3; g > 0 && at + 1 < kN; --g) {
      const std::size_t size = 1 + rng() % 3;
      groups.emplace_back(perm.begin() + at, perm.begin() + std::min(kN, at + size));
      at += size;
    }
    std::vector<std::vector<double>> domain(kN, {0.0, 1.0, 2.0, -0.0, kNaN});
    for (const auto& g : groups) {
      for (const std::uint32_t f : g) domain[f] = {0.0, 1.0};
    }
    std::vector<Implication> imps;
    for (std::size_t k = rng() % 6; k > 0; --k) {
      const auto a = static_cast<std::uint32_t>(rng() % kN);
      const auto b = static_cast<std::uint32_t>(rng() % kN);
      imps.push_back(
          {a, domain[a][rng() % domain[a].size()], b, domain[b][rng() % domain[b].size()]});
    }
    const Constraints c = make(kN, groups, imps);

    auto satisfies = [&](const std::vector<double>& row) {
      for (const Implication& imp : imps) {
        if (row[imp.cond_feature] == imp.cond_value && !(row[imp.cons_feature] == imp.cons_value)) {
          return false;
        }
      }
      for (const auto& g : groups) {
        double sum = -0.0;
        for (const std::uint32_t f : g) sum = sum + row[f];
        if (!(sum == 1.0)) return false;
      }
      return true;
    };
    std::size_t expected = 0;
    std::vector<double> row(kN);
    std::vector<std::size_t> at(kN, 0);
    for (bool more = true; more;) {
      for (std::size_t f = 0; f < kN; ++f) row[f] = domain[f][at[f]];
      expected += satisfies(row);
      std::size_t f = 0;
      while (f < kN && ++at[f] == domain[f].size()) at[f++] = 0;
      more = f < kN;
    }

    Driver d(c);
    std::shuffle(perm.begin(), perm.end(), rng);
    std::size_t reached = 0;
    auto dfs = [&](auto&& self, std::size_t level) -> void {
      if (level == kN) {
        ++reached;
        EXPECT_TRUE(satisfies(d.pa.values)) << "round " << round;
        return;
      }
      const std::uint32_t f = perm[level];
      for (const double v : domain[f]) {
        if (!d.assign(f, v)) self(self, level + 1);
        d.undo();
      }
    };
    dfs(dfs, 0);
    ASSERT_EQ(reached, expected) << "round " << round;
    for (std::size_t f = 0; f < kN; ++f) ASSERT_FALSE(d.prop.forced(f).has_value());
    // Restored counts too: from here on it behaves exactly like a fresh instance.
    Driver fresh(c);
    for (int seq = 0; seq < 5; ++seq) {
      std::shuffle(perm.begin(), perm.end(), rng);
      for (const std::uint32_t f : perm) {  // as the search: no descent past a conflict
        const double v = domain[f][rng() % domain[f].size()];
        const bool conflict = d.assign(f, v);
        ASSERT_EQ(conflict, fresh.assign(f, v)) << "round " << round;
        for (std::size_t g = 0; g < kN; ++g) {
          ASSERT_EQ(d.prop.forced(g).has_value(), fresh.prop.forced(g).has_value());
        }
        if (conflict) break;
      }
      while (!d.frames.empty()) {
        d.undo();
        fresh.undo();
      }
    }
  }
}

TEST(Propagation, RejectsFeatureIndicesOutsideTheSet) {
  EXPECT_THROW({ Propagation p(make(2, {{0, 2}})); }, InternalError);
  EXPECT_THROW({ Propagation p(make(2, {}, {{0, 1.0, 5, 1.0}})); }, InternalError);
}

}  // namespace
}  // namespace morvel::exact
