// flatten_constraints: building from the flat arrays of a set gives back the same set,
// bit for bit, for random sets of every rule kind (empty groups, NaN and infinite values).
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "constraints.hpp"

namespace morvel {
namespace {

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

class RandomSet {
 public:
  explicit RandomSet(unsigned seed) : rng_(seed) {}

  Constraints make() {
    Constraints c;
    c.n_features = 1 + pick(12);
    const auto n = c.n_features;
    for (std::size_t k = pick(4); k > 0; --k) c.freeze.push_back(feature(n));
    for (std::size_t k = pick(4); k > 0; --k) c.range.push_back({feature(n), value(), value()});
    for (std::size_t k = pick(3); k > 0; --k) c.equals.push_back({feature(n), value()});
    for (std::size_t k = pick(3); k > 0; --k) {
      c.mono.push_back({feature(n), static_cast<std::int8_t>(pick(256) - 128)});
    }
    for (std::size_t k = pick(4); k > 0; --k) {
      LinearC l;
      for (std::size_t t = pick(4); t > 0; --t) {
        l.indices.push_back(feature(n));
        l.coefs.push_back(value());
      }
      l.rhs = value();
      l.op = static_cast<std::uint8_t>(pick(256));
      l.policy = static_cast<std::uint8_t>(pick(3));
      c.linear.push_back(std::move(l));
    }
    for (std::size_t k = pick(3); k > 0; --k) {
      c.implications.push_back({feature(n), value(), feature(n), value()});
    }
    for (std::size_t k = pick(3); k > 0; --k) {
      std::vector<std::uint32_t> group;
      for (std::size_t t = pick(4); t > 0; --t) group.push_back(feature(n));
      c.one_hot.push_back(std::move(group));  // possibly empty
    }
    for (std::size_t k = pick(3); k > 0; --k) {
      c.allow_missing.push_back({feature(n), value(), value()});
    }
    for (std::size_t k = pick(3); k > 0; --k) {
      AllowedCategories a{feature(n), {}};
      for (std::size_t w = pick(3); w > 0; --w) a.words.push_back(rng_());
      c.allowed_categories.push_back(std::move(a));
    }
    return c;
  }

 private:
  std::size_t pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }
  std::uint32_t feature(std::size_t n) { return static_cast<std::uint32_t>(pick(n)); }
  double value() {
    switch (pick(8)) {
      case 0: return std::numeric_limits<double>::quiet_NaN();
      case 1: return -std::numeric_limits<double>::infinity();
      case 2: return -0.0;
      default: return std::normal_distribution<double>(0.0, 100.0)(rng_);
    }
  }
  std::mt19937_64 rng_;
};

void expect_same(const Constraints& a, const Constraints& b) {
  EXPECT_EQ(a.n_features, b.n_features);
  EXPECT_EQ(a.freeze, b.freeze);
  ASSERT_EQ(a.range.size(), b.range.size());
  for (std::size_t k = 0; k < a.range.size(); ++k) {
    EXPECT_EQ(a.range[k].feature, b.range[k].feature);
    EXPECT_EQ(bits(a.range[k].lo), bits(b.range[k].lo));
    EXPECT_EQ(bits(a.range[k].hi), bits(b.range[k].hi));
  }
  ASSERT_EQ(a.equals.size(), b.equals.size());
  for (std::size_t k = 0; k < a.equals.size(); ++k) {
    EXPECT_EQ(a.equals[k].feature, b.equals[k].feature);
    EXPECT_EQ(bits(a.equals[k].value), bits(b.equals[k].value));
  }
  ASSERT_EQ(a.mono.size(), b.mono.size());
  for (std::size_t k = 0; k < a.mono.size(); ++k) {
    EXPECT_EQ(a.mono[k].feature, b.mono[k].feature);
    EXPECT_EQ(a.mono[k].direction, b.mono[k].direction);
  }
  ASSERT_EQ(a.linear.size(), b.linear.size());
  for (std::size_t k = 0; k < a.linear.size(); ++k) {
    EXPECT_EQ(a.linear[k].indices, b.linear[k].indices);
    ASSERT_EQ(a.linear[k].coefs.size(), b.linear[k].coefs.size());
    for (std::size_t t = 0; t < a.linear[k].coefs.size(); ++t) {
      EXPECT_EQ(bits(a.linear[k].coefs[t]), bits(b.linear[k].coefs[t]));
    }
    EXPECT_EQ(bits(a.linear[k].rhs), bits(b.linear[k].rhs));
    EXPECT_EQ(a.linear[k].op, b.linear[k].op);
    EXPECT_EQ(a.linear[k].policy, b.linear[k].policy);
  }
  ASSERT_EQ(a.implications.size(), b.implications.size());
  for (std::size_t k = 0; k < a.implications.size(); ++k) {
    const Implication &x = a.implications[k], &y = b.implications[k];
    EXPECT_EQ(x.cond_feature, y.cond_feature);
    EXPECT_EQ(x.cons_feature, y.cons_feature);
    EXPECT_EQ(bits(x.cond_value), bits(y.cond_value));
    EXPECT_EQ(bits(x.cons_value), bits(y.cons_value));
  }
  EXPECT_EQ(a.one_hot, b.one_hot);
  ASSERT_EQ(a.allow_missing.size(), b.allow_missing.size());
  for (std::size_t k = 0; k < a.allow_missing.size(); ++k) {
    EXPECT_EQ(a.allow_missing[k].feature, b.allow_missing[k].feature);
    EXPECT_EQ(bits(a.allow_missing[k].to), bits(b.allow_missing[k].to));
    EXPECT_EQ(bits(a.allow_missing[k].from), bits(b.allow_missing[k].from));
  }
  ASSERT_EQ(a.allowed_categories.size(), b.allowed_categories.size());
  for (std::size_t k = 0; k < a.allowed_categories.size(); ++k) {
    EXPECT_EQ(a.allowed_categories[k].feature, b.allowed_categories[k].feature);
    EXPECT_EQ(a.allowed_categories[k].words, b.allowed_categories[k].words);
  }
}

class FlattenRoundTrip : public ::testing::TestWithParam<unsigned> {};

TEST_P(FlattenRoundTrip, RebuildsTheSameSet) {
  RandomSet random(GetParam());
  for (int round = 0; round < 50; ++round) {
    const Constraints original = random.make();
    const FlatConstraints flat = flatten_constraints(original);
    const Constraints rebuilt = build_constraints(flat.view());
    expect_same(original, rebuilt);
    if (::testing::Test::HasFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, FlattenRoundTrip, ::testing::Values(1u, 2u, 3u, 4u));

TEST(Flatten, EmptySetHasOffsetsOnlyAndNoCategoryArrays) {
  Constraints c;
  c.n_features = 4;
  const FlatConstraints f = flatten_constraints(c);
  EXPECT_EQ(f.lin_offsets, (std::vector<std::uint32_t>{0}));
  EXPECT_EQ(f.oh_offsets, (std::vector<std::uint32_t>{0}));
  const ConstraintArrays a = f.view();
  EXPECT_FALSE(a.ac_idx.has_value());
  EXPECT_TRUE(build_constraints(a).one_hot.empty());
}

}  // namespace
}  // namespace morvel
