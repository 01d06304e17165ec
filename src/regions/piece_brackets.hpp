// The brackets and split counts of one ensemble's trees over the slab search's current
// piece. The search narrows one feature at a time; only the trees that the change can
// re-route are walked again, and each change is recorded so that the state returns
// exactly to an earlier one on backtrack.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "regions/brackets.hpp"

namespace morvel::regions {

// A sum kept up to date by adding changes, with a bound on how far rounding has taken it
// from the exact (real) sum of the terms it has seen.
struct RunningSum {
  static constexpr double kUnitRoundoff = 0x1p-53;
  double value = 0.0;
  double error = 0.0;  // |value - exact sum| <= error

  // value' = fl(value + x) lies within u|value'| of value + x, and x, when it is a rounded
  // difference of two terms, within u|x| of that difference (each bound taken twice to
  // cover the 1 / (1 - u) of going from the rounded to the exact magnitude). The new error
  // is then rounded up past its own rounding; the smallest normal double covers additions
  // whose bounds underflow.
  void add(double x) {
    const double next = value + x;
    const double step = 4 * kUnitRoundoff * (std::abs(x) + std::abs(next)) + 0x1p-1022;
    error = (error + step) * (1.0 + 8 * kUnitRoundoff);
    value = next;
  }
};

// Closed intervals certain to hold the two values of a tree-order sum.
struct SumBounds {
  double low_min, low_max;
  double high_min, high_max;
};

class PieceBrackets {
 public:
  // The model must outlive this object.
  explicit PieceBrackets(const BracketModel& m);

  // Walks every tree over `piece`, forgetting all records. Each tree's split counts (per
  // feature, the nodes at which the piece reaches both children) are added to `counts`,
  // which may gather the counts of several ensembles.
  void walk_all(const BoxView& piece, std::span<std::uint64_t> counts);
  // Numeric feature f's extent narrowed from [old_lo, old_hi] to the piece's (no end
  // NaN): re-walks the trees whose walk arrived at a split on f between an old and a new
  // end.
  void moved(std::size_t f, double old_lo, double old_hi, const BoxView& piece,
             std::span<std::uint64_t> counts);
  // Feature f's category set shrank: re-walks the trees whose walk arrived at a split on f.
  void recoded(std::size_t f, const BoxView& piece, std::span<std::uint64_t> counts);

  // A point to return to; `restore` undoes every change made since, newest first.
  std::size_t mark() const { return records_.size(); }
  void restore(std::size_t mark, std::span<std::uint64_t> counts);

  // base_score + the trees' lows and highs, summed in tree order; absent when some tree's
  // bracket is (some point of the piece meets a missing value without a direction).
  std::optional<Bracket> sum() const;
  // sum(), also restarting the running sums from it.
  std::optional<Bracket> sum_and_resync();
  // Without summing: intervals that hold sum()'s values, from the running sums and the
  // rounding error any tree-order sum of these terms can make. Absent when sum() is, or
  // when some value or bound is not finite (or too large to bound safely).
  std::optional<SumBounds> sum_bounds() const;
  MaybeBracket bracket(std::uint32_t t) const;

 private:
  void begin_change();
  void rewalk(std::uint32_t t, const BoxView& piece, std::span<std::uint64_t> counts);
  // Walks tree t onto the top of the trail stack under a new stamp.
  void walk_onto_top(std::uint32_t t, const BoxView& piece, std::span<std::uint64_t> counts);
  void store(std::uint32_t t, const MaybeBracket& b);
  void count_trail(std::uint32_t t, std::span<std::uint64_t> counts, bool add);
  bool arrived(std::uint32_t t, std::uint32_t node) const { return arrival_[node] >= stamp_[t]; }
  bool changes_at(std::uint32_t t, std::uint32_t node, const BoxView& piece) const;
  void restart_stamps();

  struct Record {  // a tree, and the running sums, before a re-walk
    std::uint32_t tree;
    std::uint32_t n_both;
    std::size_t trail_at;
    std::uint32_t stamp;
    bool present;
    double low, high;
    RunningSum low_sum, high_sum;
  };

  const BracketModel* model_;
  std::vector<double> lows_, highs_;   // per tree; unread while absent
  std::vector<std::uint8_t> present_;  // per tree
  std::size_t n_absent_ = 0;
  RunningSum low_sum_, high_sum_;  // base_score + the present trees' lows, highs
  double sum_error_;               // bound on |sum() - exact sum|; +inf: no bounds
  // The trails of the trees' walks: the features of the nodes that reached both children
  // (a feature once per such node), on a stack that grows with every re-walk and shrinks
  // with every restore, so that a restore finds the earlier trail where it left it.
  std::vector<std::uint32_t> trails_;
  std::size_t trails_top_ = 0;
  std::vector<std::size_t> trail_at_;  // per tree: its current trail on the stack
  std::vector<std::uint32_t> n_both_;  // per tree: its length
  // A walk stamps the internal nodes it arrives at; stamps only grow, so a node that the
  // tree's current walk arrived at holds at least that walk's stamp (a later walk, since
  // undone, can only have stamped nodes of a narrower piece, which the current walk
  // arrived at too). A walk that meets an undefined missing route stops early; such a tree
  // is always walked again, and no count is read while any bracket is absent.
  std::vector<std::uint32_t> arrival_;  // per node
  std::vector<std::uint32_t> stamp_;    // per tree: the stamp of its current walk
  std::uint32_t last_stamp_ = 0;
  std::vector<Record> records_;
  std::vector<std::uint32_t> walked_in_;  // per tree: the change that last re-walked it
  std::uint32_t change_ = 0;
  BracketWalker walker_;
};

}  // namespace morvel::regions
