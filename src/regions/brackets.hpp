// Per-tree interval brackets: the smallest and largest leaf value a tree can produce for
// any point of an axis-aligned box, and the cache that keeps one bracket per tree while
// a region grows, re-walking only the trees that split on the feature that changed.
#pragma once

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
  std::span<const std::vector<std::uint32_t>> cats;  // admitted codes; empty unless open
};

// An ensemble with its per-node missing-route flags (`missing_defined`, nonzero where a
// missing value has a defined direction), laid out for bracket walks: one compact record
// per node, indexed like the ensemble's nodes. The ensemble must outlive it.
class BracketModel {
 public:
  BracketModel(const Ensemble& e, std::span<const std::uint8_t> missing_defined);
  const Ensemble& ensemble() const { return *ensemble_; }

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
  const Ensemble* ensemble_;
  std::vector<Node> nodes_;
};

// Scratch for walks: the pending right children of the depth-first walk. Reused across
// walks so that a walk allocates nothing once the stack has reached the trees' depth.
class BracketWalker {
 public:
  // Bracket of the subtree at `node`. When `split_counter` is non-empty (one entry per
  // feature), every node at which the box reaches both children adds one to its feature's
  // counter.
  MaybeBracket walk(const BracketModel& m, std::uint32_t node, const BoxView& box,
                    std::span<std::uint64_t> split_counter = {});

 private:
  std::vector<std::uint32_t> pending_;
};

// (tree, bracket before an update), one entry per re-walked tree.
using BracketUndo = std::vector<std::pair<std::uint32_t, MaybeBracket>>;

class BracketCache {
 public:
  // Walks every tree over `box` and indexes the trees by the features they split on. The
  // model must outlive the cache.
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
  std::span<const std::uint32_t> trees_splitting_on(std::size_t f) const;

 private:
  void set(std::uint32_t tree, MaybeBracket b);

  struct Split {
    double threshold;
    std::uint32_t tree;
  };
  void add_threshold_trees(std::size_t f, double a, double b);
  void rewalk(std::span<const std::uint32_t> trees, const BoxView& box, BracketUndo& undo);

  const BracketModel* model_;
  std::vector<MaybeBracket> brackets_;
  std::vector<std::vector<std::uint32_t>> trees_by_feature_;
  std::vector<std::vector<Split>> numeric_splits_;             // per feature, by threshold
  std::vector<std::vector<std::uint32_t>> categorical_trees_;  // per feature
  std::vector<std::uint32_t> selected_;                        // scratch of update_extent
  std::size_t n_absent_ = 0;
  BracketWalker walker_;
};

}  // namespace morvel::regions
