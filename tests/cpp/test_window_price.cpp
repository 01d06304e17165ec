// The window's best price, against the priced function evaluated at every price where its
// maximum could lie (every two lines' meeting point, zero) and on a grid around them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "exact/window_price.hpp"

namespace morvel::exact {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(WindowPrice, MaximisesTheSumOfTheTreesEnvelopes) {
  std::mt19937_64 rng(41);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  int unbounded = 0;
  for (int trial = 0; trial < 400; ++trial) {
    std::vector<std::uint32_t> rows{0};
    std::vector<double> a, v;
    const int trees = 1 + static_cast<int>(rng() % 5);
    for (int t = 0; t < trees; ++t) {
      const int lines = 1 + static_cast<int>(rng() % 7);
      for (int k = 0; k < lines; ++k) {
        v.push_back(rng() % 4 == 0 ? std::round(2 * unit(rng)) : unit(rng));  // ties too
        a.push_back(rng() % 9 == 0 ? kInf : 3 * unit(rng));
      }
      if (std::all_of(a.end() - lines, a.end(), [](double x) { return std::isinf(x); })) {
        a.back() = unit(rng);  // a tree without a line is tried apart, below
      }
      rows.push_back(static_cast<std::uint32_t>(v.size()));
    }
    const double lo = rng() % 3 == 0 ? -kInf : unit(rng) * trees;
    const double hi = rng() % 3 == 1 || lo == -kInf ? (lo == -kInf ? unit(rng) : lo + 1) : kInf;
    const double least = hi < kInf ? -kInf : 0.0, most = lo > -kInf ? kInf : 0.0;
    auto f = [&](double x) {
      double sum = x > 0 ? x * lo : x < 0 ? x * hi : 0.0;
      for (int t = 0; t < trees; ++t) {
        double m = kInf;
        for (std::uint32_t k = rows[t]; k < rows[t + 1]; ++k) m = std::min(m, a[k] - x * v[k]);
        sum += m;
      }
      return sum;
    };
    std::vector<double> candidates{0.0};
    for (int t = 0; t < trees; ++t) {
      for (std::uint32_t i = rows[t]; i < rows[t + 1]; ++i) {
        for (std::uint32_t j = rows[t]; j < rows[t + 1]; ++j) {
          if (v[i] != v[j] && std::isfinite(a[i] + a[j])) {
            candidates.push_back((a[j] - a[i]) / (v[j] - v[i]));
          }
        }
      }
    }
    for (int g = -40; g <= 40; ++g) candidates.push_back(g * 0.25);
    WindowPrice price;
    price.order(rows, v);
    double x = 0.0;
    if (!price.best(a, 0.0, lo, hi, x)) {
      // Unbounded: the function does not fall towards an end of the price's range.
      ++unbounded;
      const double far = std::max(least == -kInf ? f(-1e6) : -kInf, most == kInf ? f(1e6) : -kInf);
      for (const double c : candidates) {
        if (c < least || c > most) continue;
        EXPECT_GE(far, f(c) - 1e-6) << "trial " << trial;
      }
      continue;
    }
    EXPECT_GE(x, least) << "trial " << trial;
    EXPECT_LE(x, most) << "trial " << trial;
    for (const double c : candidates) {
      if (c < least || c > most) continue;
      EXPECT_GE(f(x), f(c) - 1e-9 * (1 + std::fabs(f(c)))) << "trial " << trial << " at " << c;
    }
  }
  EXPECT_LT(unbounded, 200);  // most windows have a best price
  // A tree with no line left has no finite term at any price.
  WindowPrice price;
  const std::vector<std::uint32_t> rows{0, 1, 2};
  const std::vector<double> v{1.0, 2.0}, a{0.0, kInf};
  price.order(rows, v);
  double x = 0.0;
  EXPECT_FALSE(price.best(a, 0.0, 1.0, kInf, x));
}

}  // namespace
}  // namespace morvel::exact
