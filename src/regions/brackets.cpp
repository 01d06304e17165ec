// Bracket walks and the per-tree bracket cache.
#include "regions/brackets.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "errors.hpp"
#include "ir.hpp"

namespace morvel::regions {
namespace {

using Reach = BracketModel::Reach;

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
// of the box reaches, for any kind of node.
Reach slow_reach(const Ensemble& e, std::size_t node, std::size_t f, const BoxView& box) {
  const std::vector<std::uint32_t>& codes = box.cats[f];
  if (!codes.empty() && e.node_set()[node] < 0) {
    // A numeric split sends the smaller codes left: the smallest and the largest decide.
    return from_sides(code_goes_left(e, node, codes.front()),
                      !code_goes_left(e, node, codes.back()));
  }
  if (!codes.empty() && f < box.cat_bits.size() && !box.cat_bits[f].empty()) {
    // Codes in the node's set go left; codes past its words go right.
    const std::vector<std::uint64_t>& bits = box.cat_bits[f];
    const auto s = static_cast<std::size_t>(e.node_set()[node]);
    const std::span<const std::uint64_t> words =
        e.set_words().subspan(e.set_offsets()[s], e.set_offsets()[s + 1] - e.set_offsets()[s]);
    std::uint64_t left = 0, right = 0;
    for (std::size_t k = 0; k < bits.size(); ++k) {
      const std::uint64_t in = k < words.size() ? words[k] : 0;
      left |= bits[k] & in;
      right |= bits[k] & ~in;
    }
    return from_sides(left != 0, right != 0);
  }
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

BracketModel::BracketModel(const Ensemble& e, std::span<const std::uint8_t> missing_defined)
    : ensemble_(&e) {
  ensure(missing_defined.size() == e.n_nodes(), "missing_defined has one flag per node");
  constexpr double kInf = std::numeric_limits<double>::infinity();
  nodes_.resize(e.n_nodes());
  for (std::size_t i = 0; i < nodes_.size(); ++i) {
    Node& n = nodes_[i];
    n.feature = e.feature()[i];
    n.left = e.left()[i];
    n.right = e.right()[i];
    n.flags = 0;
    if (n.feature < 0) {
      n.threshold = e.value()[i];
      continue;
    }
    if (e.missing_left()[i]) n.flags |= kMissingLeft;
    if (missing_defined[i]) n.flags |= kMissingDefined;
    const double t = e.threshold()[i];
    n.threshold = t;
    if (e.node_set()[i] >= 0 || std::isnan(t)) {
      n.flags |= kSlow;
    } else if (!e.is_lt()[i]) {
      // For every non-NaN v: v <= t exactly when v < nextafter(t, +inf), except at t = +inf.
      if (t == kInf) {
        n.flags |= kSlow;
      } else {
        n.threshold = std::nextafter(t, kInf);
      }
    }
  }
  index_trees();
}

// The features a tree splits on are collected over the nodes reachable from its root, so
// the index is right whatever order the node array stores the trees in.
void BracketModel::index_trees() {
  const Ensemble& e = *ensemble_;
  const auto roots = e.tree_roots();
  const auto feature = e.feature();
  trees_by_feature_.resize(e.n_features());
  numeric_splits_.resize(e.n_features());
  categorical_trees_.resize(e.n_features());
  splits_on_.resize(e.n_features());
  categorical_splits_on_.resize(e.n_features());
  internal_nodes_.reserve(roots.size());
  std::vector<std::uint32_t> seen_in(e.n_nodes(), std::numeric_limits<std::uint32_t>::max());
  std::vector<std::uint32_t> stack, features;
  bool finite = std::isfinite(e.base_score());
  abs_sum_bound_ = std::abs(e.base_score());
  for (std::uint32_t t = 0; t < roots.size(); ++t) {
    features.clear();
    double largest_leaf = 0.0;
    stack.assign(1, roots[t]);
    while (!stack.empty()) {
      const std::uint32_t n = stack.back();
      stack.pop_back();
      if (feature[n] < 0) {
        finite = finite && std::isfinite(e.value()[n]);
        largest_leaf = std::max(largest_leaf, std::abs(e.value()[n]));
        continue;
      }
      if (seen_in[n] == t) continue;
      seen_in[n] = t;
      const auto f = static_cast<std::uint32_t>(feature[n]);
      features.push_back(f);
      splits_on_[f].push_back(TreeNode{t, n});
      if (e.node_set()[n] >= 0) {
        categorical_trees_[f].push_back(t);
        categorical_splits_on_[f].push_back(TreeNode{t, n});
      } else if (!std::isnan(e.threshold()[n])) {  // a NaN threshold always reaches both sides
        numeric_splits_[f].push_back(Split{e.threshold()[n], t, n});
      }
      stack.push_back(e.right()[n]);
      stack.push_back(e.left()[n]);
    }
    abs_sum_bound_ = abs_sum_bound_ + largest_leaf;
    internal_nodes_.push_back(static_cast<std::uint32_t>(features.size()));
    std::sort(features.begin(), features.end());
    features.erase(std::unique(features.begin(), features.end()), features.end());
    for (std::uint32_t f : features) trees_by_feature_[f].push_back(t);
  }
  if (!finite) abs_sum_bound_ = std::numeric_limits<double>::infinity();
  for (auto& splits : numeric_splits_) {
    std::sort(splits.begin(), splits.end(),
              [](const Split& a, const Split& b) { return a.threshold < b.threshold; });
  }
  for (auto& trees : categorical_trees_) {
    trees.erase(std::unique(trees.begin(), trees.end()), trees.end());
  }
}

std::span<const std::uint32_t> BracketModel::trees_splitting_on(std::size_t f) const {
  return checked_at(trees_by_feature_, f);
}

BracketModel::Reach BracketModel::slow_reach_at(std::uint32_t n, std::size_t f,
                                                const BoxView& box) const {
  return slow_reach(*ensemble_, n, f, box);
}

MaybeBracket BracketWalker::walk(const BracketModel& m, std::uint32_t node, const BoxView& box,
                                 std::span<std::uint64_t> split_counter) {
  const auto ignore = [](std::uint32_t) {};
  if (split_counter.empty()) return walk_with(m, node, box, ignore, [](std::size_t) {});
  return walk_with(m, node, box, ignore, [&](std::size_t f) { ++split_counter[f]; });
}

MaybeBracket BracketWalker::walk(const BracketModel& m, std::uint32_t node, const BoxView& box,
                                 Trail& trail) {
  trail.n_both = 0;
  return walk_with(
      m, node, box, [&](std::uint32_t n) { trail.arrival[n] = trail.stamp; },
      [&](std::size_t f) { trail.both[trail.n_both++] = static_cast<std::uint32_t>(f); });
}

template <class OnArrive, class OnBoth>
MaybeBracket BracketWalker::walk_with(const BracketModel& m, std::uint32_t node, const BoxView& box,
                                      OnArrive&& on_arrive, OnBoth&& on_both) {
  const BracketModel::Node* nodes = m.nodes_.data();
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
    for (;;) {
      const BracketModel::Node& w = nodes[n];
      if (w.feature < 0) break;
      on_arrive(n);
      const auto f = static_cast<std::size_t>(w.feature);
      if (box.missing[f]) {
        if (!(w.flags & BracketModel::kMissingDefined)) return std::nullopt;
        n = (w.flags & BracketModel::kMissingLeft) ? w.left : w.right;
        continue;
      }
      const Reach r = m.reach_at(n, box);
      if (r == Reach::Both) {
        on_both(f);
        pending_.push_back(w.right);
        n = w.left;
      } else {
        n = r == Reach::Left ? w.left : w.right;
      }
    }
    const double v = nodes[n].threshold;
    nan_leaf |= std::isnan(v);
    low = std::min(low, v);
    high = std::max(high, v);
  }
  // A NaN leaf makes every sum that includes it NaN, so nothing can be certified with it.
  if (nan_leaf) {
    return Bracket{std::numeric_limits<double>::quiet_NaN(),
                   std::numeric_limits<double>::quiet_NaN()};
  }
  return Bracket{low, high};
}

BracketCache::BracketCache(const BracketModel& m, const BoxView& box) : model_(&m) {
  const Ensemble& e = m.ensemble();
  const auto roots = e.tree_roots();
  brackets_.reserve(roots.size());
  for (std::uint32_t root : roots) {
    brackets_.push_back(walker_.walk(m, root, box));
    if (!brackets_.back()) ++n_absent_;
  }
}

void BracketCache::set(std::uint32_t tree, MaybeBracket b) {
  if (!brackets_[tree]) --n_absent_;
  if (!b) ++n_absent_;
  brackets_[tree] = b;
}

void BracketCache::rewalk(std::span<const std::uint32_t> trees, const BoxView& box,
                          BracketUndo& undo) {
  const auto roots = model_->ensemble().tree_roots();
  for (std::uint32_t t : trees) {
    undo.emplace_back(t, brackets_[t]);
    set(t, walker_.walk(*model_, roots[t], box));
  }
}

void BracketCache::update(std::size_t f, const BoxView& box, BracketUndo& undo) {
  rewalk(model_->trees_splitting_on(f), box, undo);
}

void BracketCache::update_extent(std::size_t f, double old_lo, double old_hi, const BoxView& box,
                                 BracketUndo& undo) {
  model_->trees_splitting_on(f);  // checks f
  const double lo = box.lo[f], hi = box.hi[f];
  if (box.missing[f] || !box.cats[f].empty() || std::isnan(old_lo) || std::isnan(old_hi) ||
      std::isnan(lo) || std::isnan(hi)) {
    update(f, box, undo);
    return;
  }
  selected_.clear();
  const auto select = [&](std::uint32_t t, std::uint32_t) { selected_.push_back(t); };
  model_->for_each_tree_split_between(f, old_lo, lo, select);
  model_->for_each_tree_split_between(f, old_hi, hi, select);
  const auto categorical = model_->trees_with_categorical_split_on(f);
  selected_.insert(selected_.end(), categorical.begin(), categorical.end());
  std::sort(selected_.begin(), selected_.end());
  selected_.erase(std::unique(selected_.begin(), selected_.end()), selected_.end());
  rewalk(selected_, box, undo);
}

void BracketCache::restore(const BracketUndo& undo) {
  // Newest first, so an undo list that spans several updates restores the oldest state.
  for (auto it = undo.rbegin(); it != undo.rend(); ++it) set(it->first, it->second);
}

MaybeBracket BracketCache::score_range() const {
  if (n_absent_ != 0) return std::nullopt;
  double low = model_->ensemble().base_score();
  double high = low;
  for (const MaybeBracket& b : brackets_) {
    low = low + b->low;
    high = high + b->high;
  }
  return Bracket{low, high};
}

}  // namespace morvel::regions
