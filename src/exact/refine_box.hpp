// The box of the refine search: every search feature is free, held at a node of its range
// hierarchy (narrowed to the node's hull), or assigned one state. Decisions update the
// partial assignment, both score-bound structures and the propagation, and are undone
// from their records in reverse order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "exact/assignment.hpp"
#include "exact/bounds.hpp"
#include "exact/domains.hpp"
#include "exact/hierarchy.hpp"
#include "exact/propagation.hpp"

namespace morvel::exact {

// Undo record of one decision.
struct BoxChange {
  std::size_t feature = 0;
  std::uint32_t prev_node = kNoNode;  // node held before the decision; kNoNode when free
  bool assigned = false;              // the decision assigned a state
  PropFrame prop;
  BoundsUndo undo;
  BoundsUndo if_undo;
};

class BoxState {
 public:
  // All references must outlive the box; `hierarchies` and `domains` are indexed by feature.
  BoxState(const Domains& domains, std::span<const RangeHierarchy> hierarchies,
           EnsembleBounds& bounds, EnsembleBounds* if_bounds, Propagation& propagation);

  // Applies `alt` to feature f, which is free or held (a range alternative of a held
  // feature must come from its held node's split). Returns true when the choice conflicts
  // with a forced value or a propagated rule; the change is recorded either way and must
  // be undone.
  bool apply(std::size_t f, const Alternative& alt, BoxChange& change);
  void undo(const BoxChange& change);

  bool held(std::size_t f) const;
  std::uint32_t held_node(std::size_t f) const;  // the node a held feature is held at
  // The state a feature contributes to the box's cheapest row: its assigned state, the
  // cheapest state of its held range, or the first (cheapest) state of its domain.
  std::uint32_t cheapest_state(std::size_t f) const;

  // Whether the box's cheapest row passes the propagation as a leaf of the classic search
  // would: each undecided feature of `order` is assigned its cheapest state in turn, then
  // everything is undone. The score bounds are not touched.
  bool cheapest_row_propagates(std::span<const std::size_t> order);

  std::size_t n_assigned() const { return n_assigned_; }
  std::size_t n_held() const { return n_held_; }
  const PartialAssignment& assignment() const { return pa_; }
  std::span<const std::size_t> state_of() const { return state_of_; }

 private:
  const Domains& domains_;
  std::span<const RangeHierarchy> hierarchies_;
  EnsembleBounds& bounds_;
  EnsembleBounds* if_bounds_;
  Propagation& propagation_;
  PartialAssignment pa_;
  FeatureMask range_mask_;               // features held at a range
  std::vector<std::uint32_t> node_of_;   // per feature: held node, kNoNode otherwise
  std::vector<std::size_t> state_of_;    // per feature: state index while assigned
  std::size_t n_assigned_ = 0;
  std::size_t n_held_ = 0;
  std::vector<PropFrame> replay_;         // frames of cheapest_row_propagates, reused
  std::vector<std::size_t> replayed_;     // the features it assigned, in order
};

}  // namespace morvel::exact
