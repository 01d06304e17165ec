// Conversion and checks of the change-set rule arguments.
#include "change_args.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "convert.hpp"
#include "errors.hpp"

namespace morvel::py {

ChangeRules read_change_rules(PyObject* max_changes, PyObject* exclude_offsets,
                              PyObject* exclude_features, PyObject* diversity,
                              std::size_t n_features) {
  ChangeRules rules;
  if (max_changes != nullptr) rules.max_changes = to_count(max_changes, "max_changes");
  if (diversity != nullptr) {
    const std::string text = to_str(diversity, "diversity");
    if (text == "new_feature") {
      rules.diversity = Diversity::NewFeature;
    } else if (text != "no_superset") {
      throw CallerError("unknown diversity rule " + quoted(text));
    }
  }
  if ((exclude_offsets == nullptr) != (exclude_features == nullptr)) {
    throw ValidationError("exclude_offsets and exclude_features must be given together");
  }
  if (exclude_offsets == nullptr) return rules;
  const auto offsets = to_vector<std::uint32_t>(exclude_offsets, "exclude_offsets");
  const auto features = to_vector<std::uint32_t>(exclude_features, "exclude_features");
  if (offsets.empty() || offsets.front() != 0 || offsets.back() != features.size() ||
      !std::is_sorted(offsets.begin(), offsets.end())) {
    throw ValidationError(
        "exclude_offsets must rise from 0 to the length of exclude_features");
  }
  for (std::uint32_t f : features) {
    if (f >= n_features) {
      throw ValidationError("exclude_features holds " + std::to_string(f) + ", but there are " +
                            std::to_string(n_features) + " features");
    }
  }
  for (std::size_t i = 0; i + 1 < offsets.size(); ++i) {
    std::vector<std::uint32_t> set(features.begin() + offsets[i],
                                   features.begin() + offsets[i + 1]);
    std::sort(set.begin(), set.end());
    set.erase(std::unique(set.begin(), set.end()), set.end());
    rules.earlier.push_back(std::move(set));
  }
  return rules;
}

}  // namespace morvel::py
