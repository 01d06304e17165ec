// Test helper: small random ensembles over four features (0, 1, 3 numeric; 2 categorical
// with six codes), with numeric and categorical splits and both missing sides, and the
// brute-force enumeration of a box's points by cell and code.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "ir.hpp"

namespace morvel::testing {

constexpr std::size_t kRandomFeatures = 4;
constexpr std::uint32_t kRandomCard = 6;  // codes of feature 2

struct RandomTrees {
  std::vector<std::int32_t> feature, node_set;
  std::vector<double> threshold, value;
  std::vector<std::uint8_t> is_lt, missing_left;
  std::vector<std::uint32_t> left, right, roots, set_offsets{0};
  std::vector<std::uint64_t> words;

  // `distinct`: no feature twice on a root-to-leaf path (then every leaf the bracket walk
  // reaches is reached by a point of the box).
  RandomTrees(std::mt19937_64& rng, std::size_t n_trees, int max_depth, bool distinct) {
    for (std::size_t t = 0; t < n_trees; ++t) roots.push_back(grow(rng, 0, max_depth, 0, distinct));
  }

  Ensemble build(double base_score = 0.0) const {
    Ensemble e = Ensemble::create(feature, threshold, is_lt, missing_left, left, right, value,
                                  base_score, roots, Link::Identity, kRandomFeatures);
    return Ensemble::with_categories(std::move(e), node_set, set_offsets, words,
                                     {0, 0, kRandomCard, 0});
  }

 private:
  std::uint32_t grow(std::mt19937_64& rng, int depth, int max_depth, unsigned used, bool distinct) {
    const auto id = static_cast<std::uint32_t>(feature.size());
    feature.push_back(-1);
    node_set.push_back(-1);
    threshold.push_back(0.0);
    is_lt.push_back(0);
    missing_left.push_back(0);
    left.push_back(0);
    right.push_back(0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    value.push_back(std::round(unit(rng) * 40.0 - 20.0) / 8.0);
    std::vector<std::int32_t> allowed;
    for (std::int32_t f = 0; f < static_cast<std::int32_t>(kRandomFeatures); ++f) {
      if (!distinct || !(used & (1u << f))) allowed.push_back(f);
    }
    if (allowed.empty() || depth >= max_depth || (depth > 0 && unit(rng) < 0.25)) return id;
    const std::int32_t f = allowed[rng() % allowed.size()];
    feature[id] = f;
    value[id] = 0.0;
    missing_left[id] = rng() % 2;
    static constexpr double kGrid[] = {-1.0, -0.5, 0.0, 0.5, 1.0};
    if (f == 2 && unit(rng) < 0.8) {
      std::uint64_t bits = 0;
      while (bits == 0 || bits == (1u << kRandomCard) - 1) bits = rng() & ((1u << kRandomCard) - 1);
      node_set[id] = static_cast<std::int32_t>(set_offsets.size() - 1);
      words.push_back(bits);
      set_offsets.push_back(static_cast<std::uint32_t>(words.size()));
    } else {
      threshold[id] = f == 2 ? 2.5 : kGrid[rng() % 5];
      is_lt[id] = rng() % 2;
    }
    const std::uint32_t l = grow(rng, depth + 1, max_depth, used | (1u << f), distinct);
    const std::uint32_t r = grow(rng, depth + 1, max_depth, used | (1u << f), distinct);
    left[id] = l;
    right[id] = r;
    return id;
  }
};

// Leaf value that `row` reaches in the tree at `root`, or NaN when it meets a node whose
// missing direction is undefined.
inline double leaf_of(const Ensemble& e, std::span<const std::uint8_t> missing_defined,
                      std::uint32_t root, const double* row) {
  std::uint32_t n = root;
  while (e.feature()[n] >= 0) {
    const double v = row[e.feature()[n]];
    if (std::isnan(v) && !missing_defined[n]) return std::nan("");
    n = e.next_node(n, v);
  }
  return e.value()[n];
}

// Calls `visit` with every row whose feature f takes each value of `choices[f]`.
inline void for_each_point(const std::vector<std::vector<double>>& choices,
                           const std::function<void(const std::vector<double>&)>& visit) {
  std::vector<double> row(choices.size());
  std::function<void(std::size_t)> rec = [&](std::size_t f) {
    if (f == choices.size()) {
      visit(row);
      return;
    }
    for (double v : choices[f]) {
      row[f] = v;
      rec(f + 1);
    }
  };
  rec(0);
}

}  // namespace morvel::testing
