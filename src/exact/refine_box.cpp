// Holding, narrowing and assigning features of the refine search's box, with exact undo.
#include "exact/refine_box.hpp"

#include "errors.hpp"

namespace morvel::exact {

BoxState::BoxState(const Domains& domains, std::span<const RangeHierarchy> hierarchies,
                   EnsembleBounds& bounds, EnsembleBounds* if_bounds, Propagation& propagation)
    : domains_(domains),
      hierarchies_(hierarchies),
      bounds_(bounds),
      if_bounds_(if_bounds),
      propagation_(propagation),
      pa_(domains.size()),
      range_mask_(domains.size()),
      node_of_(domains.size(), kNoNode),
      state_of_(domains.size(), 0) {}

bool BoxState::held(std::size_t f) const {
  const bool has_node = node_of_[f] != kNoNode;
  ensure(range_mask_.test(f) == has_node, "a range is held while range_mask is set");
  return has_node;
}

std::uint32_t BoxState::held_node(std::size_t f) const {
  ensure(held(f), "a held range has a node");
  return node_of_[f];
}

std::uint32_t BoxState::cheapest_state(std::size_t f) const {
  if (pa_.assigned[f]) return static_cast<std::uint32_t>(state_of_[f]);
  if (held(f)) return hierarchies_[f].node(node_of_[f]).cheapest;
  return 0;
}

bool BoxState::apply(std::size_t f, const Alternative& alt, BoxChange& change) {
  const bool was_held = held(f);
  change.feature = f;
  change.prev_node = node_of_[f];
  change.assigned = !alt.is_range;
  change.prop.clear();
  bool conflict = false;
  if (alt.is_range) {
    ensure(!hierarchies_[f].empty(), "range alternatives come from a hierarchy");
    const Cell& hull = hierarchies_[f].node(alt.index).hull;
    pa_.narrowed[f] = 1;
    pa_.intervals[f] = hull;
    pa_.mask.set(f);
    range_mask_.set(f);
    node_of_[f] = alt.index;
    if (!was_held) ++n_held_;
    // A value forced on f earlier must still fit; every state of the range lies in the hull.
    const auto& forced = propagation_.forced(f);
    conflict = forced.has_value() && !hull.contains(*forced);
  } else {
    if (was_held) {
      pa_.narrowed[f] = 0;
      range_mask_.clear(f);
      node_of_[f] = kNoNode;
      --n_held_;
    }
    const State& s = domains_[f][alt.index];
    conflict = propagation_.apply_with(f, s.value, pa_, change.prop);
    pa_.assigned[f] = 1;
    pa_.values[f] = s.value;
    pa_.mask.set(f);
    state_of_[f] = alt.index;
    ++n_assigned_;
  }
  bounds_.apply_with(f, pa_, change.undo);
  if (if_bounds_ != nullptr) if_bounds_->apply_with(f, pa_, change.if_undo);
  return conflict;
}

bool BoxState::cheapest_row_propagates(std::span<const std::size_t> order) {
  if (replay_.size() < order.size()) replay_.resize(order.size());
  replayed_.clear();
  bool conflict = false;
  for (std::size_t f : order) {
    if (pa_.assigned[f]) continue;
    const State& s = domains_[f][cheapest_state(f)];
    pa_.narrowed[f] = 0;
    conflict = propagation_.apply_with(f, s.value, pa_, replay_[replayed_.size()]);
    replayed_.push_back(f);
    pa_.assigned[f] = 1;
    pa_.values[f] = s.value;
    if (conflict) break;
  }
  for (std::size_t k = replayed_.size(); k-- > 0;) {
    const std::size_t f = replayed_[k];
    propagation_.restore(replay_[k]);
    pa_.assigned[f] = 0;
    pa_.narrowed[f] = node_of_[f] != kNoNode ? 1 : 0;
  }
  return !conflict;
}

void BoxState::undo(const BoxChange& change) {
  const std::size_t f = change.feature;
  if (if_bounds_ != nullptr) if_bounds_->restore(change.if_undo);
  bounds_.restore(change.undo);
  if (change.assigned) {
    pa_.assigned[f] = 0;
    --n_assigned_;
    propagation_.restore(change.prop);
  } else {
    --n_held_;  // re-counted below when the feature goes back to a held node
  }
  if (change.prev_node == kNoNode) {
    pa_.mask.clear(f);
    pa_.narrowed[f] = 0;
    range_mask_.clear(f);
    node_of_[f] = kNoNode;
  } else {
    ensure(!hierarchies_[f].empty(), "a held range has a hierarchy");
    pa_.narrowed[f] = 1;
    pa_.intervals[f] = hierarchies_[f].node(change.prev_node).hull;
    range_mask_.set(f);
    node_of_[f] = change.prev_node;
    ++n_held_;
  }
}

}  // namespace morvel::exact
