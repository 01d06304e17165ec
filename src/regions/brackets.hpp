// Per-tree interval brackets: the smallest and largest leaf value a tree can produce for
// any point of an axis-aligned box, and the cache that keeps one bracket per tree while
// a region grows, re-walking only the trees that split on the feature that changed.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace morvel {
class Ensemble;
}

namespace morvel::regions {

// Reachable leaf values of one tree over a box: low <= high.
struct Bracket {
  double low;
  double high;
};

// Absent when some point of the box reaches a node whose missing direction is undefined.
using MaybeBracket = std::optional<Bracket>;

// The box a walk reads, indexed by feature; every view is owned by the caller.
struct BoxView {
  std::span<const double> lo;  // closed extent [lo, hi]
  std::span<const double> hi;
  std::span<const std::uint8_t> missing;             // the feature is NaN in the whole box
  std::span<const std::vector<std::uint32_t>> cats;  // admitted codes, ascending; empty unless open
  // Optional, per feature: the codes of `cats` as a bit set (code c at bit c % 64 of word
  // c / 64), or empty where not given. Speeds up categorical splits; decides nothing else.
  std::span<const std::vector<std::uint64_t>> cat_bits = {};
};

// An ensemble with its per-node missing-route flags (`missing_defined`, nonzero where a
// missing value has a defined direction), laid out for bracket walks: one compact record
// per node, indexed like the ensemble's nodes, and the trees indexed by the features they
// split on. The ensemble must outlive it.
class BracketModel {
 public:
  enum class Reach : std::uint8_t { Left, Right, Both };

  BracketModel(const Ensemble& e, std::span<const std::uint8_t> missing_defined);
  const Ensemble& ensemble() const { return *ensemble_; }
  std::size_t n_trees() const { return internal_nodes_.size(); }

  // Trees with an internal node on feature f, ascending; InternalError for f out of range.
  std::span<const std::uint32_t> trees_splitting_on(std::size_t f) const;
  // The number of internal nodes of tree t.
  std::uint32_t internal_nodes_of(std::uint32_t t) const { return internal_nodes_[t]; }
  // |base_score| + the sum over trees of the tree's largest |leaf value|: a bound on the
  // absolute values summed into any score range. +inf when some leaf or the base is NaN or
  // infinite.
  double abs_sum_bound() const { return abs_sum_bound_; }
  // Which children of internal node n some point of the box reaches; n's feature must not
  // be missing in the box.
  Reach reach_at(std::uint32_t n, const BoxView& box) const {
    const Node& w = nodes_[n];
    const auto f = static_cast<std::size_t>(w.feature);
    if (!(w.flags & kSlow) && box.cats[f].empty()) {
      // lo <= hi: when lo < t fails, hi >= t holds.
      return box.lo[f] < w.threshold ? (box.hi[f] >= w.threshold ? Reach::Both : Reach::Left)
                                     : Reach::Right;
    }
    return slow_reach_at(n, f, box);
  }
  // Calls visit(tree, node) for every numeric split on f at a threshold in
  // [min(a, b), max(a, b)] (nothing when a == b; a, b not NaN): the only splits at which
  // an end of f's extent moving from a to b can change the children a box reaches.
  template <class Visit>
  void for_each_tree_split_between(std::size_t f, double a, double b, Visit&& visit) const;
  // Trees with a categorical split on f, ascending.
  std::span<const std::uint32_t> trees_with_categorical_split_on(std::size_t f) const {
    return categorical_trees_[f];
  }
  struct TreeNode {
    std::uint32_t tree;
    std::uint32_t node;
  };
  // Every internal node on feature f, and the categorical splits among them, by tree.
  std::span<const TreeNode> splits_on(std::size_t f) const { return splits_on_[f]; }
  std::span<const TreeNode> categorical_splits_on(std::size_t f) const {
    return categorical_splits_on_[f];
  }

 private:
  friend class BracketWalker;
  static constexpr std::uint8_t kSlow = 1;  // categorical, or a test `v < threshold` cannot state
  static constexpr std::uint8_t kMissingLeft = 2;
  static constexpr std::uint8_t kMissingDefined = 4;
  struct Node {
    double threshold;  // a leaf's value; else a value v goes left when v < threshold
    std::uint32_t left;
    std::uint32_t right;
    std::int32_t feature;  // negative for a leaf
    std::uint8_t flags;
  };
  struct Split {
    double threshold;
    std::uint32_t tree;
    std::uint32_t node;
  };
  void index_trees();
  Reach slow_reach_at(std::uint32_t n, std::size_t f, const BoxView& box) const;

  const Ensemble* ensemble_;
  std::vector<Node> nodes_;
  std::vector<std::vector<std::uint32_t>> trees_by_feature_;
  std::vector<std::vector<Split>> numeric_splits_;             // per feature, by threshold
  std::vector<std::vector<std::uint32_t>> categorical_trees_;  // per feature
  std::vector<std::vector<TreeNode>> splits_on_;               // per feature
  std::vector<std::vector<TreeNode>> categorical_splits_on_;   // per feature
  std::vector<std::uint32_t> internal_nodes_;                  // per tree
  double abs_sum_bound_ = 0.0;
};

template <class Visit>
void BracketModel::for_each_tree_split_between(std::size_t f, double a, double b,
                                               Visit&& visit) const {
  if (a == b) return;
  const double low = a < b ? a : b, high = a < b ? b : a;
  const std::vector<Split>& splits = numeric_splits_[f];
  auto it = std::lower_bound(splits.begin(), splits.end(), low,
                             [](const Split& s, double v) { return s.threshold < v; });
  for (; it != splits.end() && it->threshold <= high; ++it) visit(it->tree, it->node);
}

// Scratch for walks: the pending right children of the depth-first walk. Reused across
// walks so that a walk allocates nothing once the stack has reached the trees' depth.
class BracketWalker {
 public:
  // Bracket of the subtree at `node`. When `split_counter` is non-empty (one entry per
  // feature), every node at which the box reaches both children adds one to its feature's
  // counter.
  MaybeBracket walk(const BracketModel& m, std::uint32_t node, const BoxView& box,
                    std::span<std::uint64_t> split_counter = {});
  // What a walk passed through.
  struct Trail {
    std::uint32_t* both;     // out: the feature of every node that reached both children
                             // (room for one entry per internal node of the subtree)
    std::uint32_t n_both;    // out: entries written
    std::uint32_t* arrival;  // per node of the ensemble: set to `stamp` at every internal
    std::uint32_t stamp;     // node the walk arrives at
  };
  // The same walk, filling `trail`. A walk that meets an undefined missing route stops
  // there, with the trail so far.
  MaybeBracket walk(const BracketModel& m, std::uint32_t node, const BoxView& box, Trail& trail);

 private:
  template <class OnArrive, class OnBoth>
  MaybeBracket walk_with(const BracketModel& m, std::uint32_t node, const BoxView& box,
                         OnArrive&& on_arrive, OnBoth&& on_both);

  std::vector<std::uint32_t> pending_;
};

// (tree, bracket before an update), one entry per re-walked tree.
using BracketUndo = std::vector<std::pair<std::uint32_t, MaybeBracket>>;

class BracketCache {
 public:
  // Walks every tree over `box`. The model must outlive the cache.
  BracketCache(const BracketModel& m, const BoxView& box);

  // Re-walks every tree that splits on feature f under the current box, appending
  // (tree, previous bracket) to `undo` in the order the trees were walked.
  void update(std::size_t f, const BoxView& box, BracketUndo& undo);
  // The same result as `update` after feature f's extent moved from [old_lo, old_hi] to
  // the box's (its missing flag and category set unchanged), re-walking only the trees a
  // move can change: those with a split on f at a threshold between an old and a new end,
  // or with a categorical split on f.
  void update_extent(std::size_t f, double old_lo, double old_hi, const BoxView& box,
                     BracketUndo& undo);
  // Writes the brackets recorded by `update` back (newest first).
  void restore(const BracketUndo& undo);

  // base_score + sum of lows and of highs in tree order; absent if any bracket is.
  MaybeBracket score_range() const;

  const std::vector<MaybeBracket>& brackets() const { return brackets_; }
  std::span<const std::uint32_t> trees_splitting_on(std::size_t f) const {
    return model_->trees_splitting_on(f);
  }

 private:
  void set(std::uint32_t tree, MaybeBracket b);
  void rewalk(std::span<const std::uint32_t> trees, const BoxView& box, BracketUndo& undo);

  const BracketModel* model_;
  std::vector<MaybeBracket> brackets_;
  std::vector<std::uint32_t> selected_;  // scratch of update_extent
  std::size_t n_absent_ = 0;
  BracketWalker walker_;
};

}  // namespace morvel::regions
