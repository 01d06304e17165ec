// The change-set rules on whole rows.
#include "change_rules.hpp"

#include <algorithm>

namespace morvel {

std::vector<std::uint32_t> change_set(std::span<const double> x, const double* row) {
  std::vector<std::uint32_t> out;
  for (std::size_t f = 0; f < x.size(); ++f) {
    if (changes(x[f], row[f])) out.push_back(static_cast<std::uint32_t>(f));
  }
  return out;
}

bool ChangeRules::allows(std::span<const double> x, const double* row) const {
  auto changed = [&](std::uint32_t f) { return f < x.size() && changes(x[f], row[f]); };
  if (max_changes) {
    std::size_t n = 0;
    for (std::size_t f = 0; f < x.size(); ++f) n += changes(x[f], row[f]) ? 1 : 0;
    if (n > *max_changes) return false;
  }
  if (earlier.empty()) return true;
  if (diversity == Diversity::NoSuperset) {
    return std::none_of(earlier.begin(), earlier.end(), [&](const auto& set) {
      return std::all_of(set.begin(), set.end(), changed);
    });
  }
  for (std::size_t f = 0; f < x.size(); ++f) {
    if (!changes(x[f], row[f])) continue;
    const bool seen = std::any_of(earlier.begin(), earlier.end(), [&](const auto& set) {
      return std::binary_search(set.begin(), set.end(), static_cast<std::uint32_t>(f));
    });
    if (!seen) return true;
  }
  return false;
}

void ChangeRules::add_earlier(std::span<const double> x, const double* row) {
  earlier.push_back(change_set(x, row));
}

}  // namespace morvel
