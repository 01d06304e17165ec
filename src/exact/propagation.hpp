// Propagation of one-hot groups and implications during the exact search: forced values
// for unassigned features, conflicts, and exact undo frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "constraints.hpp"
#include "exact/assignment.hpp"

namespace morvel::exact {

struct PropFrame {
  std::vector<std::uint32_t> forced;  // features whose forced value this frame set (were unset)
  struct GroupCounts {
    std::size_t group;
    std::size_t ones;    // previous count of members assigned 1
    std::size_t others;  // previous count of members assigned anything else
  };
  std::vector<GroupCounts> groups;

  void clear() {
    forced.clear();
    groups.clear();
  }
};

class Propagation {
 public:
  explicit Propagation(const Constraints& constraints);

  // Draws the consequences of assigning `value` to `feature` (called before the feature is
  // marked assigned). `frame` is cleared and records every change. Returns true on conflict.
  bool apply_with(std::size_t feature, double value, const PartialAssignment& pa, PropFrame& frame);
  // Undoes one frame; frames are restored in reverse order of application.
  void restore(const PropFrame& frame);

  // Forces v on f; returns false when that contradicts f's interval, value or forced value.
  // Records the change in `frame` (not cleared here).
  bool force(std::size_t f, double v, const PartialAssignment& pa, PropFrame& frame);

  const std::optional<double>& forced(std::size_t f) const { return forced_[f]; }

 private:
  struct Group {
    std::vector<std::uint32_t> members;
    std::size_t ones = 0;
    std::size_t others = 0;
    // Every member is listed once and counted here; only then do the counts pin down the
    // last free member of a group one short of all-zeros.
    bool exact_counts = true;
  };
  bool holds_when_decided(const Group& group, std::size_t feature, double value,
                          const PartialAssignment& pa) const;
  std::vector<std::optional<double>> forced_;
  std::vector<std::optional<std::size_t>> group_of_;
  std::vector<Group> groups_;
  // The set's implications, stably grouped by condition feature (set order within a
  // feature); those of feature f are implications_[imp_offsets_[f] .. imp_offsets_[f + 1]].
  std::vector<Implication> implications_;
  std::vector<std::size_t> imp_offsets_;
};

}  // namespace morvel::exact
