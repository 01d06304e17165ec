// Score bounds under a partial assignment: per tree the smallest and largest leaf still
// reachable, summed with the base score. Updated one feature at a time and undone exactly.
// One instance serves one search thread: the walks share a scratch stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "exact/assignment.hpp"
#include "ir.hpp"
#include "watch.hpp"

namespace morvel::exact {

struct BoundsUndoEntry {
  std::size_t tree;
  double lower;  // previous lower bound of the tree
  double upper;  // previous upper bound of the tree
};
// Entries in the order the update touched the trees. Reused across nodes (cleared, not freed).
using BoundsUndo = std::vector<BoundsUndoEntry>;

class EnsembleBounds {
 public:
  // Per-node tables and every tree's bounds with an empty mask. The ensemble must outlive
  // this object. A watch, when given, is checked while the tables are built (large models
  // take long) and may end the construction with StopRequested. `slot_limit` (0: as many as
  // the table's memory cap allows) bounds the distinct feature slots of the per-node sets.
  explicit EnsembleBounds(const Ensemble& ensemble, Watch* watch = nullptr,
                          std::size_t slot_limit = 0);

  // Re-walks every tree that uses `feature` (the caller has already set its mask bit and
  // value or interval); `undo` is cleared and filled with the previous pairs.
  void apply_with(std::size_t feature, const PartialAssignment& pa, BoundsUndo& undo);
  // Writes the recorded pairs back (last touched first) and recomputes the totals.
  void restore(const BoundsUndo& undo);

  double lower() const { return lower_; }
  double upper() const { return upper_; }

  // (min, max) over the leaves below `node` that the assignment can reach.
  std::pair<double, double> walk(std::uint32_t node, const PartialAssignment& pa) const;
  // Adds one to counters[f] for every reachable split on f whose interval straddles it.
  void count_node(std::uint32_t node, const PartialAssignment& pa,
                  std::span<std::uint64_t> counters) const;

  const Ensemble& ensemble() const { return *ensemble_; }
  std::span<const std::uint32_t> trees_of(std::size_t feature) const;

 private:
  // Where an assignment lets a walk go from an internal node.
  struct Step {
    std::uint32_t child;  // the one child taken, unless both
    bool both;            // both children reachable
    bool straddle;        // both, because the feature's interval reaches both sides
  };

  void assign_slots(std::size_t slot_limit);
  void prepare_nodes(Watch* watch);
  void build_feature_trees(Watch* watch);
  void recompute_totals();
  void check_width(const PartialAssignment& pa) const;
  void sync_mask(const FeatureMask& mask) const;
  bool touches(std::uint32_t node) const;
  Step step(std::uint32_t node, const PartialAssignment& pa) const;
  std::pair<double, double> walk_unchecked(std::uint32_t node, const PartialAssignment& pa) const;
  template <class OnStep, class OnEnd>
  void descend(std::uint32_t node, const PartialAssignment& pa, OnStep on_step,
               OnEnd on_end) const;

  const Ensemble* ensemble_;
  // Feature sets are kept over the features this ensemble splits on ("slots"), so a model
  // over a huge, sparsely used feature space costs no more than one over its used features;
  // past a memory cap, features share slots (see assign_slots).
  std::vector<std::uint32_t> slot_of_;  // per feature: its slot, kNoSlot if unused
  std::size_t words_per_node_;
  std::vector<double> node_min_;
  std::vector<double> node_max_;
  std::vector<std::uint64_t> node_features_;  // words_per_node_ words per node, by slot
  std::vector<std::uint32_t> feature_tree_offsets_;  // CSR over features
  std::vector<std::uint32_t> feature_trees_;
  std::vector<double> tree_lower_;
  std::vector<double> tree_upper_;
  double lower_ = 0.0;
  double upper_ = 0.0;
  // Pending right children of a walk; reserved to the deepest tree's height so walks never
  // allocate.
  mutable std::vector<std::uint32_t> stack_;
  // The caller's mask translated to slots; refreshed at every public entry that walks.
  mutable std::vector<std::uint64_t> slot_mask_;
};

}  // namespace morvel::exact
