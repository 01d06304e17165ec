// The partial assignment of the exact search, as the score bounds and the propagation see
// it: which features are in play (mask), which carry a value, and which are only narrowed
// to an interval of cells.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "cells.hpp"

namespace morvel::exact {

// Bit set over features, 64 per word, feature f at bit f % 64 of word f / 64.
struct FeatureMask {
  std::vector<std::uint64_t> words;

  explicit FeatureMask(std::size_t n_features = 0)
      : words(n_features == 0 ? 1 : (n_features + 63) / 64, 0) {}
  void set(std::size_t f) { words[f / 64] |= std::uint64_t{1} << (f % 64); }
  void clear(std::size_t f) { words[f / 64] &= ~(std::uint64_t{1} << (f % 64)); }
  bool test(std::size_t f) const { return (words[f / 64] >> (f % 64)) & 1u; }
};

struct PartialAssignment {
  FeatureMask mask;                    // assigned or narrowed features
  std::vector<std::uint8_t> assigned;  // per feature: has a value
  std::vector<double> values;          // per feature: the value (NaN = missing) if assigned
  std::vector<std::uint8_t> narrowed;  // per feature: held to intervals[f] without a value
  std::vector<Cell> intervals;         // per feature: meaningful only when narrowed

  explicit PartialAssignment(std::size_t n_features = 0)
      : mask(n_features),
        assigned(n_features, 0),
        values(n_features, 0.0),
        narrowed(n_features, 0),
        intervals(n_features, Cell{0.0, 0.0, false, false}) {}

  std::size_t n_features() const { return assigned.size(); }
};

}  // namespace morvel::exact
