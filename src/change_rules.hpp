// Rules on the set of features a counterfactual changes: a cap on how many, and the change
// sets of earlier answers that a further answer must differ from (alternatives). A feature
// changes when its value differs from the factual one; a missing value that stays missing
// is no change, and a move to or from missing, like a category change, is one change.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace morvel {

// How a further answer must differ from the earlier ones.
enum class Diversity : std::uint8_t {
  NoSuperset,  // its change set contains no earlier answer's change set
  NewFeature,  // it changes some feature that no earlier answer changed
};

inline bool changes(double factual, double value) {
  return !(value == factual || (std::isnan(value) && std::isnan(factual)));
}

struct ChangeRules {
  std::optional<std::size_t> max_changes;
  std::vector<std::vector<std::uint32_t>> earlier;  // feature indices, ascending, distinct
  Diversity diversity = Diversity::NoSuperset;

  bool any() const { return max_changes.has_value() || !earlier.empty(); }
  // Whether `row` (as wide as x) keeps every rule.
  bool allows(std::span<const double> x, const double* row) const;
  // Adds the change set of `row` to the earlier sets.
  void add_earlier(std::span<const double> x, const double* row);
};

// Features whose value in `row` differs from x, ascending.
std::vector<std::uint32_t> change_set(std::span<const double> x, const double* row);

}  // namespace morvel
