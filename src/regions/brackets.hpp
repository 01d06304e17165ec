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
  std::span<const double> lo;       // closed extent [lo, hi]
  std::span<const double> hi;
  std::span<const std::uint8_t> missing;               // the feature is NaN in the whole box
  std::span<const std::vector<std::uint32_t>> cats;    // admitted codes; empty unless open
};

// Scratch for walks: the pending right children of the depth-first walk. Reused across
// walks so that a walk allocates nothing once the stack has reached the trees' depth.
class BracketWalker {
 public:
  // Bracket of the subtree at `node`. `missing_defined` has one flag per node. When
  // `split_counter` is non-empty (one entry per feature), every node at which the box
  // reaches both children adds one to its feature's counter.
  MaybeBracket walk(const Ensemble& e, std::span<const std::uint8_t> missing_defined,
                    std::uint32_t node, const BoxView& box,
                    std::span<std::uint64_t> split_counter = {});

 private:
  std::vector<std::uint32_t> pending_;
};

// (tree, bracket before an update), one entry per re-walked tree.
using BracketUndo = std::vector<std::pair<std::uint32_t, MaybeBracket>>;

class BracketCache {
 public:
  // Walks every tree over `box` and indexes the trees by the features they split on.
  BracketCache(const Ensemble& e, std::span<const std::uint8_t> missing_defined,
               const BoxView& box);

  // Re-walks every tree that splits on feature f under the current box, appending
  // (tree, previous bracket) to `undo` in the order the trees were walked.
  void update(std::size_t f, const BoxView& box, BracketUndo& undo);
  // Writes the brackets recorded by `update` back (newest first).
  void restore(const BracketUndo& undo);

  // base_score + sum of lows and of highs in tree order; absent if any bracket is.
  MaybeBracket score_range() const;

  const std::vector<MaybeBracket>& brackets() const { return brackets_; }
  std::span<const std::uint32_t> trees_splitting_on(std::size_t f) const;
  const Ensemble& ensemble() const { return *ensemble_; }

 private:
  void set(std::uint32_t tree, MaybeBracket b);

  const Ensemble* ensemble_;
  std::span<const std::uint8_t> missing_defined_;
  std::vector<MaybeBracket> brackets_;
  std::vector<std::vector<std::uint32_t>> trees_by_feature_;
  std::size_t n_absent_ = 0;
  BracketWalker walker_;
};

}  // namespace morvel::regions
