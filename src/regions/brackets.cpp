// Bracket walks and the per-tree bracket cache.
#include "regions/brackets.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "errors.hpp"
#include "ir.hpp"

namespace morvel::regions {
namespace {

enum class Reach : std::uint8_t { Left, Right, Both };

Reach from_sides(bool any_left, bool any_right) {
  if (any_left && any_right) return Reach::Both;
  return any_left ? Reach::Left : Reach::Right;
}

bool code_goes_left(const Ensemble& e, std::size_t node, std::uint32_t c) {
  const std::int32_t s = e.node_set()[node];
  if (s >= 0) return e.set_contains(static_cast<std::size_t>(s), c);
  const double v = static_cast<double>(c);
  return e.is_lt()[node] ? v < e.threshold()[node] : v <= e.threshold()[node];
}

// Which children of internal node `node` (on a feature present in the box) some point
// of the box reaches.
Reach reach(const Ensemble& e, std::size_t node, std::size_t f, const BoxView& box) {
  const std::vector<std::uint32_t>& codes = box.cats[f];
  if (!codes.empty()) {
    bool any_left = false, any_right = false;
    for (std::uint32_t c : codes) {
      (code_goes_left(e, node, c) ? any_left : any_right) = true;
      if (any_left && any_right) return Reach::Both;
    }
    return from_sides(any_left, any_right);
  }
  const double lo = box.lo[f], hi = box.hi[f], t = e.threshold()[node];
  if (e.node_set()[node] < 0) {
    if (e.is_lt()[node]) {
      if (t > hi) return Reach::Left;
      if (lo >= t) return Reach::Right;
    } else {
      if (t >= hi) return Reach::Left;
      if (lo > t) return Reach::Right;
    }
    return Reach::Both;
  }
  // A categorical split on a feature held at one value routes it exactly as scoring does
  // (fractional, negative and infinite values go right). Over a proper interval both
  // sides are reachable: it holds values that are not category codes.
  if (lo == hi) return e.next_node(node, lo) == e.left()[node] ? Reach::Left : Reach::Right;
  return Reach::Both;
}

}  // namespace

MaybeBracket BracketWalker::walk(const Ensemble& e, std::span<const std::uint8_t> missing_defined,
                                 std::uint32_t node, const BoxView& box,
                                 std::span<std::uint64_t> split_counter) {
  const auto feature = e.feature();
  const auto left = e.left();
  const auto right = e.right();
  const auto missing_left = e.missing_left();
  const auto value = e.value();
  double low = std::numeric_limits<double>::infinity();
  double high = -low;
  bool nan_leaf = false;
  // Depth first, left before right, like the recursive definition; the explicit stack
  // keeps arbitrarily deep trees off the call stack.
  pending_.clear();
  pending_.push_back(node);
  while (!pending_.empty()) {
    std::uint32_t n = pending_.back();
    pending_.pop_back();
    while (feature[n] >= 0) {
      const auto f = static_cast<std::size_t>(feature[n]);
      if (box.missing[f]) {
        if (!missing_defined[n]) return std::nullopt;
        n = missing_left[n] ? left[n] : right[n];
        continue;
      }
      switch (reach(e, n, f, box)) {
        case Reach::Left: n = left[n]; break;
        case Reach::Right: n = right[n]; break;
        case Reach::Both:
          if (!split_counter.empty()) ++split_counter[f];
          pending_.push_back(right[n]);
          n = left[n];
          break;
      }
    }
    const double v = value[n];
    nan_leaf |= std::isnan(v);
    low = std::min(low, v);
    high = std::max(high, v);
  }
  // A NaN leaf makes every sum that includes it NaN, so nothing can be certified with it.
  if (nan_leaf) return Bracket{std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::quiet_NaN()};
  return Bracket{low, high};
}

BracketCache::BracketCache(const Ensemble& e, std::span<const std::uint8_t> missing_defined,
                           const BoxView& box)
    : ensemble_(&e), missing_defined_(missing_defined) {
  ensure(missing_defined.size() == e.n_nodes(), "missing_defined has one flag per node");
  const auto roots = e.tree_roots();
  brackets_.reserve(roots.size());
  for (std::uint32_t root : roots) {
    brackets_.push_back(walker_.walk(e, missing_defined, root, box));
    if (!brackets_.back()) ++n_absent_;
  }
  // The features a tree splits on are collected over the nodes reachable from its root,
  // so the index is right whatever order the node array stores the trees in.
  trees_by_feature_.resize(e.n_features());
  const auto feature = e.feature();
  std::vector<std::uint32_t> seen_in(e.n_nodes(), std::numeric_limits<std::uint32_t>::max());
  std::vector<std::uint32_t> stack, features;
  for (std::uint32_t t = 0; t < roots.size(); ++t) {
    features.clear();
    stack.assign(1, roots[t]);
    while (!stack.empty()) {
      const std::uint32_t n = stack.back();
      stack.pop_back();
      if (seen_in[n] == t || feature[n] < 0) continue;
      seen_in[n] = t;
      features.push_back(static_cast<std::uint32_t>(feature[n]));
      stack.push_back(e.right()[n]);
      stack.push_back(e.left()[n]);
    }
    std::sort(features.begin(), features.end());
    features.erase(std::unique(features.begin(), features.end()), features.end());
    for (std::uint32_t f : features) trees_by_feature_[f].push_back(t);
  }
}

void BracketCache::set(std::uint32_t tree, MaybeBracket b) {
  if (!brackets_[tree]) --n_absent_;
  if (!b) ++n_absent_;
  brackets_[tree] = b;
}

void BracketCache::update(std::size_t f, const BoxView& box, BracketUndo& undo) {
  const auto roots = ensemble_->tree_roots();
  for (std::uint32_t t : checked_at(trees_by_feature_, f)) {
    undo.emplace_back(t, brackets_[t]);
    set(t, walker_.walk(*ensemble_, missing_defined_, roots[t], box));
  }
}

void BracketCache::restore(const BracketUndo& undo) {
  // Newest first, so an undo list that spans several updates restores the oldest state.
  for (auto it = undo.rbegin(); it != undo.rend(); ++it) set(it->first, it->second);
}

MaybeBracket BracketCache::score_range() const {
  if (n_absent_ != 0) return std::nullopt;
  double low = ensemble_->base_score();
  double high = low;
  for (const MaybeBracket& b : brackets_) {
    low = low + b->low;
    high = high + b->high;
  }
  return Bracket{low, high};
}

std::span<const std::uint32_t> BracketCache::trees_splitting_on(std::size_t f) const {
  return checked_at(trees_by_feature_, f);
}

}  // namespace morvel::regions
