// Range hierarchies of the refine search: per search feature, a binary tree over its
// non-missing states grouped by cell, so that one decision can hold the feature at a run
// of consecutive cells and a later one can split that run in two.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "cells.hpp"
#include "exact/domains.hpp"

namespace morvel::exact {

inline constexpr std::uint32_t kNoNode = std::numeric_limits<std::uint32_t>::max();

// One choice when a feature is first decided or when its held range is split.
struct Alternative {
  bool is_range;        // hold the feature at hierarchy node `index`; else assign state `index`
  std::uint32_t index;  // node index, or index into the feature's domain
  double min_cost;      // cost of the cheapest state the choice covers
  std::uint32_t cheapest;  // domain index of that state (orders ties as the domain does)
};

struct RangeNode {
  Cell hull;               // closed [smallest value, largest value] of the node's states
  double min_cost;         // cost of the cheapest state below the node
  std::uint32_t cheapest;  // its domain index (first in domain order among equal costs)
  std::uint32_t alt_begin;  // split alternatives: alternatives()[alt_begin, alt_end),
  std::uint32_t alt_end;    // cheapest first
  std::uint32_t max_splits;  // most splits from this node down to a single state
};

class RangeHierarchy {
 public:
  static constexpr std::uint32_t kRoot = 0;

  RangeHierarchy() = default;
  // Over the non-missing states of `domain`. A numeric feature's leaves are its cells (the
  // states sharing one cell_idx), joined pairwise in cell order; a categorical feature has
  // a single leaf, because a split on a set of codes routes only one code at a time.
  // Empty when fewer than two non-missing states exist.
  RangeHierarchy(const Domain& domain, bool categorical);

  bool empty() const { return nodes_.empty(); }
  std::size_t size() const { return nodes_.size(); }
  const RangeNode& node(std::uint32_t i) const;
  std::span<const Alternative> alternatives(std::uint32_t node) const;
  std::uint32_t max_splits() const { return empty() ? 0 : nodes_[kRoot].max_splits; }

 private:
  Alternative build(const Domain& domain, std::span<const std::vector<std::uint32_t>> groups);

  std::vector<RangeNode> nodes_;
  std::vector<Alternative> alts_;
};

// The first decision on a feature, cheapest first: its root range (or its only non-missing
// state) and its missing state, whichever exist.
std::vector<Alternative> top_alternatives(const Domain& domain, const RangeHierarchy& h);

}  // namespace morvel::exact
