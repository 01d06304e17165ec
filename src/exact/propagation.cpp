// Propagation of one-hot groups and implications: forced values and group counts, changed
// only through frames that record the previous state.
#include "exact/propagation.hpp"

#include <utility>
#include <vector>

#include "errors.hpp"

namespace morvel::exact {

Propagation::Propagation(const Constraints& constraints)
    : forced_(constraints.n_features), group_of_(constraints.n_features) {
  const std::size_t n = constraints.n_features;
  groups_.reserve(constraints.one_hot.size());
  for (std::size_t g = 0; g < constraints.one_hot.size(); ++g) {
    Group group;
    group.members = constraints.one_hot[g];
    // A feature listed by several groups is counted in the last of them only; the other
    // groups still see it as a member when they look for their free member.
    for (const std::uint32_t f : group.members) group_of_[constraints.feature_index(f)] = g;
    groups_.push_back(std::move(group));
  }
  std::vector<std::size_t> seen_in(n, groups_.size());
  for (std::size_t g = 0; g < groups_.size(); ++g) {
    for (const std::uint32_t f : groups_[g].members) {
      if (seen_in[f] == g || group_of_[f] != g) groups_[g].exact_counts = false;
      seen_in[f] = g;
    }
  }
  // Counting sort by condition feature keeps the set's order among one feature's rules.
  imp_offsets_.assign(n + 1, 0);
  for (const Implication& imp : constraints.implications) {
    constraints.feature_index(imp.cons_feature);
    ++imp_offsets_[constraints.feature_index(imp.cond_feature) + 1];
  }
  for (std::size_t f = 0; f < n; ++f) imp_offsets_[f + 1] += imp_offsets_[f];
  implications_.resize(constraints.implications.size());
  std::vector<std::size_t> next(imp_offsets_.begin(), imp_offsets_.end() - 1);
  for (const Implication& imp : constraints.implications) {
    implications_[next[imp.cond_feature]++] = imp;
  }
}

bool Propagation::apply_with(std::size_t feature, double value, const PartialAssignment& pa,
                             PropFrame& frame) {
  ensure(feature < forced_.size() && pa.assigned.size() >= forced_.size() &&
             pa.values.size() >= forced_.size() && pa.narrowed.size() >= forced_.size() &&
             pa.intervals.size() >= forced_.size(),
         "propagation called outside its feature space (should be impossible)");
  frame.clear();
  // NaN differs from every forced value, itself included.
  if (forced_[feature] && !(value == *forced_[feature])) return true;

  if (const auto g = group_of_[feature]) {
    Group& group = groups_[*g];
    frame.groups.push_back({*g, group.ones, group.others});
    ++(value == 1.0 ? group.ones : group.others);
    const std::size_t size = group.members.size();
    if (group.ones > 1 || group.others == size) return true;
    if (group.ones == 0 && group.others + 1 == size) {
      // The group's last unassigned member is the only one left to hold the 1.
      std::size_t last = size;
      for (std::size_t k = 0; k < size && last == size; ++k) {
        const std::uint32_t m = group.members[k];
        if (m != feature && !pa.assigned[m]) last = k;
      }
      if (last < size) {
        if (!force(group.members[last], 1.0, pa, frame)) return true;
      } else {
        // Only a group whose counts miss members (listed twice, or counted in a later
        // group) can get here with every member decided; then the row itself decides.
        ensure(!group.exact_counts, "a group one short of all-zeros has a free member");
        if (!holds_when_decided(group, feature, value, pa)) return true;
      }
    }
  }

  for (std::size_t k = imp_offsets_[feature]; k < imp_offsets_[feature + 1]; ++k) {
    const Implication& imp = implications_[k];
    if (!(imp.cond_value == value)) continue;
    // An implication onto the feature itself binds the value being assigned; a forced value
    // would come too late, as nothing checks the feature again.
    const bool holds = imp.cons_feature == feature
                           ? imp.cons_value == value
                           : force(imp.cons_feature, imp.cons_value, pa, frame);
    if (!holds) return true;
  }
  return false;
}

// The group's own test on a row: the sum of its members' values, from -0.0, is exactly 1.
bool Propagation::holds_when_decided(const Group& group, std::size_t feature, double value,
                                     const PartialAssignment& pa) const {
  double sum = -0.0;
  for (const std::uint32_t m : group.members) sum = sum + (m == feature ? value : pa.values[m]);
  return sum == 1.0;
}

bool Propagation::force(std::size_t f, double v, const PartialAssignment& pa, PropFrame& frame) {
  if (pa.narrowed[f]) {
    if (!pa.intervals[f].contains(v)) return false;  // NaN lies in no interval
  } else if (pa.assigned[f]) {
    return v == pa.values[f];
  }
  if (forced_[f]) return v == *forced_[f];
  frame.forced.push_back(static_cast<std::uint32_t>(f));
  forced_[f] = v;
  return true;
}

void Propagation::restore(const PropFrame& frame) {
  for (auto it = frame.forced.rbegin(); it != frame.forced.rend(); ++it) forced_[*it].reset();
  for (auto it = frame.groups.rbegin(); it != frame.groups.rend(); ++it) {
    groups_[it->group].ones = it->ones;
    groups_[it->group].others = it->others;
  }
}

}  // namespace morvel::exact
