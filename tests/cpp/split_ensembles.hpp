// Test helper: ensembles made of one stump per listed split, so a test can state exactly
// which thresholds, operators and category sets the model holds.
#pragma once

#include <cstdint>
#include <vector>

#include "ir.hpp"

namespace morvel::testing {

struct SplitSpec {
  std::int32_t feature;
  double threshold = 0.0;               // numeric splits
  bool is_lt = true;                    // numeric splits: `<` rather than `<=`
  std::vector<std::uint32_t> set = {};  // categorical splits: member codes
  bool categorical = false;
};

inline SplitSpec lt(std::int32_t f, double t) { return {f, t, true}; }
inline SplitSpec le(std::int32_t f, double t) { return {f, t, false}; }
inline SplitSpec in_set(std::int32_t f, std::vector<std::uint32_t> codes) {
  return {f, 0.0, false, std::move(codes), true};
}

// One tree per split (internal node, then its two leaves). `cardinality` declares the
// categorical features (0 = numeric); when empty every feature is numeric.
inline Ensemble stumps(const std::vector<SplitSpec>& splits, std::size_t n_features,
                       std::vector<std::uint32_t> cardinality = {}) {
  std::vector<std::int32_t> feature;
  std::vector<double> threshold, value;
  std::vector<std::uint8_t> is_lt, missing_left;
  std::vector<std::uint32_t> left, right, roots, set_offsets{0};
  std::vector<std::int32_t> node_set;
  std::vector<std::uint64_t> words;
  for (const SplitSpec& s : splits) {
    const auto root = static_cast<std::uint32_t>(feature.size());
    roots.push_back(root);
    feature.insert(feature.end(), {s.feature, -1, -1});
    threshold.insert(threshold.end(), {s.threshold, 0.0, 0.0});
    is_lt.insert(is_lt.end(), {static_cast<std::uint8_t>(s.is_lt), 0, 0});
    missing_left.insert(missing_left.end(), {1, 0, 0});
    left.insert(left.end(), {root + 1, 0, 0});
    right.insert(right.end(), {root + 2, 0, 0});
    value.insert(value.end(), {0.0, -1.0, 1.0});
    if (s.categorical) {
      node_set.insert(node_set.end(), {static_cast<std::int32_t>(set_offsets.size() - 1), -1, -1});
      std::vector<std::uint64_t> w;
      for (std::uint32_t c : s.set) {
        if (w.size() <= c / 64) w.resize(c / 64 + 1, 0);
        w[c / 64] |= std::uint64_t{1} << (c % 64);
      }
      words.insert(words.end(), w.begin(), w.end());
      set_offsets.push_back(static_cast<std::uint32_t>(words.size()));
    } else {
      node_set.insert(node_set.end(), {-1, -1, -1});
    }
  }
  Ensemble e = Ensemble::create(feature, threshold, is_lt, missing_left, left, right, value, 0.0,
                                roots, Link::Identity, n_features);
  if (cardinality.empty()) cardinality.assign(n_features, 0);
  return Ensemble::with_categories(std::move(e), node_set, set_offsets, words, cardinality);
}

}  // namespace morvel::testing
