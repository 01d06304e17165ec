// Range hierarchies: built once per solve, read-only during the search.
#include "exact/hierarchy.hpp"

#include <algorithm>

#include "errors.hpp"

namespace morvel::exact {
namespace {

// Cheaper first; among equal costs the state earlier in the domain, as the classic search
// would meet it.
bool before(const Alternative& l, const Alternative& r) {
  if (l.min_cost < r.min_cost) return true;
  if (r.min_cost < l.min_cost) return false;
  return l.cheapest < r.cheapest;
}

Alternative state_alternative(const Domain& domain, std::uint32_t i) {
  return {false, i, domain[i].cost, i};
}

}  // namespace

RangeHierarchy::RangeHierarchy(const Domain& domain, bool categorical) {
  std::vector<std::uint32_t> present;
  for (std::size_t i = 0; i < domain.size(); ++i) {
    if (!domain[i].is_nan) present.push_back(static_cast<std::uint32_t>(i));
  }
  if (present.size() < 2) return;
  std::vector<std::vector<std::uint32_t>> groups;
  if (categorical) {
    groups.push_back(present);
  } else {
    std::stable_sort(present.begin(), present.end(), [&](std::uint32_t a, std::uint32_t b) {
      return domain[a].cell_idx < domain[b].cell_idx;
    });
    for (std::size_t i = 0; i < present.size(); ++i) {
      if (i == 0 || domain[present[i]].cell_idx != domain[present[i - 1]].cell_idx) {
        groups.emplace_back();
      }
      groups.back().push_back(present[i]);
    }
  }
  nodes_.reserve(2 * groups.size());
  const Alternative root = build(domain, groups);
  ensure(root.is_range && root.index == kRoot, "range alternatives come from a hierarchy");
  for (const Alternative& a : alts_) {
    ensure(a.index != kNoNode, "every reserved slot is filled");
  }
  for (const RangeNode& n : nodes_) {
    ensure(n.alt_begin != kNoNode, "every reserved slot is filled");
  }
}

// Depth first: a node's slot and its alternatives' slots are reserved before its children
// are built, so a node's index is smaller than its descendants' and the root is node 0.
Alternative RangeHierarchy::build(const Domain& domain,
                                  std::span<const std::vector<std::uint32_t>> groups) {
  std::size_t n_states = 0;
  for (const auto& g : groups) n_states += g.size();
  if (n_states == 1) return state_alternative(domain, groups.front().front());

  const auto id = static_cast<std::uint32_t>(nodes_.size());
  nodes_.push_back({Cell{0.0, 0.0, false, false}, 0.0, kNoNode, kNoNode, kNoNode, 0});
  const bool leaf = groups.size() == 1;
  const std::size_t begin = alts_.size();
  const std::size_t n_alts = leaf ? groups.front().size() : 2;
  alts_.resize(begin + n_alts, Alternative{false, kNoNode, 0.0, kNoNode});
  if (leaf) {
    for (std::size_t i = 0; i < n_alts; ++i) {
      alts_[begin + i] = state_alternative(domain, groups.front()[i]);
    }
  } else {
    const std::size_t mid = groups.size() / 2;
    const Alternative low = build(domain, groups.first(mid));
    const Alternative high = build(domain, groups.subspan(mid));
    alts_[begin] = low;
    alts_[begin + 1] = high;
  }
  const auto first = alts_.begin() + static_cast<std::ptrdiff_t>(begin);
  std::stable_sort(first, first + static_cast<std::ptrdiff_t>(n_alts), before);

  RangeNode node{Cell{0.0, 0.0, false, false}, alts_[begin].min_cost, alts_[begin].cheapest,
                 static_cast<std::uint32_t>(begin), static_cast<std::uint32_t>(begin + n_alts),
                 1};
  bool any = false;
  for (const auto& g : groups) {
    for (std::uint32_t s : g) {
      const double v = domain[s].value;
      node.hull.lo = any && node.hull.lo <= v ? node.hull.lo : v;
      node.hull.hi = any && node.hull.hi >= v ? node.hull.hi : v;
      any = true;
    }
  }
  for (std::size_t i = begin; i < begin + n_alts; ++i) {
    if (alts_[i].is_range) {
      node.max_splits = std::max(node.max_splits, 1 + nodes_[alts_[i].index].max_splits);
    }
  }
  nodes_[id] = node;
  return {true, id, node.min_cost, node.cheapest};
}

const RangeNode& RangeHierarchy::node(std::uint32_t i) const {
  ensure(i < nodes_.size(), "range alternatives come from a hierarchy");
  return nodes_[i];
}

std::span<const Alternative> RangeHierarchy::alternatives(std::uint32_t node_index) const {
  const RangeNode& n = node(node_index);
  return {alts_.data() + n.alt_begin, n.alt_end - n.alt_begin};
}

std::vector<Alternative> top_alternatives(const Domain& domain, const RangeHierarchy& h) {
  std::vector<Alternative> out;
  if (!h.empty()) {
    const RangeNode& root = h.node(RangeHierarchy::kRoot);
    out.push_back({true, RangeHierarchy::kRoot, root.min_cost, root.cheapest});
  }
  for (std::size_t i = 0; i < domain.size(); ++i) {
    // Without a hierarchy at most one non-missing state exists; it stands for itself.
    if (domain[i].is_nan || h.empty()) {
      out.push_back(state_alternative(domain, static_cast<std::uint32_t>(i)));
    }
  }
  std::stable_sort(out.begin(), out.end(), before);
  return out;
}

}  // namespace morvel::exact
