// Cost frontiers of a box over one ensemble: a bound that sees cost and score together.
//
// For a box B with cheapest per-feature costs m_f, a leaf l of tree t costs
//     extra(l) = sum over the features f on l's path of (least cost of f over B_f cut to
//                l's side of every split on f) - m_f
// on top of the box's cheapest row: no row of B that reaches l costs less than
// sum(m) + extra(l). A row of B costing sum(m) + r therefore reaches, in every tree, a
// leaf of extra at most r, and its score is at most base + sum over t of
// H_t(r) = max{value(l) : l reachable in B, extra(l) <= r} (and at least the same sum
// with minima). The least r at which those sums can meet the window is a lower bound on
// the extra cost of every row of B in the window. Each tree keeps only the Pareto points
// (extra, value) that matter, found by a walk that visits the cheaper side of each split
// first and skips subtrees that can no longer add a point.
//
// Reuse. Each walk notes the features of the split nodes it visits. If none of them has
// changed its part of the box (or its least cost) since, a walk under the new box visits
// the same nodes with the same path costs: a leaf's extra and every skip decision depend
// only on the features on the path up to it (and on the points found before it, which
// again come from such paths), and a feature that is never reached cannot enter them. So
// when the budget is not above that walk's, the tree's Pareto points are the walk's with
// extra within the new budget (the points are sorted by extra, and a front cut at any
// extra is the front of the leaves within it; a smaller budget only skips more), and they
// are cut instead of walked again. Its leaf-value spans are kept from the walk: they may be
// wider than a fresh walk's, which only makes `all_inside` answer no more often.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "exact/box.hpp"
#include "ir.hpp"

namespace morvel::exact {

struct FrontPoint {
  double extra;
  double value;
  std::uint32_t leaf;
};

// A tree whose best leaf within some extra cost beats its best leaf at no extra cost.
struct CriticalTree {
  std::uint32_t tree;
  std::uint32_t leaf;
  double gain;  // how much closer to the window that leaf brings the score
};

// What a feature looks like on the path to one leaf.
struct PathFeature {
  std::uint32_t feature;
  RankRange range;               // ranked features
  const std::uint64_t* mask;     // masked features (valid until the next walk)
  double extra;                  // its cost over the box's least
};

class FrontierBound {
 public:
  // The ensemble and the state tables must outlive the bound; the window [lo_t, hi_t] is
  // on the raw score (either end may be infinite).
  FrontierBound(const Ensemble& ensemble, const FeatureStates& fs, double lo_t, double hi_t);

  // Walks every tree under `box`, whose per-feature least costs are `m`, leaving out the
  // leaves whose extra cost exceeds `budget`. The box and `m` must stay as they are while
  // the results are read (path_features reads both).
  void evaluate(const Box& box, std::span<const double> m, double budget);

  // Least extra cost at which the fronts can meet the window; +inf when they cannot.
  double least_extra();
  // Whether the window is missed whatever the cost (by the reachable leaves alone).
  bool misses_window() const;
  // Whether every leaf within the budget keeps the score inside the window.
  bool all_inside() const;
  // The trees whose best leaf within `extra` improves on their best at no extra cost, on
  // the side of the window that is further away at no extra cost.
  void critical(double extra, std::vector<CriticalTree>& out) const;
  // Re-walks tree t under the last evaluated box to `leaf` and reports the features whose
  // restriction on that path costs more than the box's least.
  void path_features(const CriticalTree& c, std::vector<PathFeature>& out);

 private:
  struct WalkNode {
    double lo;  // least leaf value below
    double hi;  // greatest leaf value below
    std::uint32_t left;
    std::uint32_t right;
    std::int32_t feature;  // negative at a leaf
    std::uint32_t key;     // ranked: first rank going right; masked: left set's word offset
    std::uint8_t missing_left;
  };
  struct Cur {  // a feature's part of the box as narrowed along the current path
    RankRange range;
    const std::uint64_t* mask;
    double extra;
  };
  struct Frame {
    std::uint32_t node;
    std::uint32_t log_mark;
    std::uint32_t arena_mark;
    std::int32_t feature;  // the feature this step narrows, or -1
    double acc;            // extra cost of the path so far
    Cur state;             // the feature's part below this step
  };
  struct LogEntry {
    std::uint32_t feature;
    Cur previous;
  };
  struct TreeSummary {
    std::uint32_t up_begin, up_end;      // points in up_ (extra ascending)
    std::uint32_t down_begin, down_end;  // points in down_
    double aff_lo, aff_hi;    // leaf values within the budget (and skipped subtrees)
    double reach_lo, reach_hi;  // reachable leaf values at any cost
    std::uint32_t up_all, down_all;  // ends of the points of the last walk
    double walk_budget;              // its budget
  };

  void build_nodes();
  void mark_changed(const Box& box, std::span<const double> m);
  bool reads_changed(std::size_t t) const;
  void cut_to_budget(TreeSummary& s, double budget) const;
  void walk_tree(std::size_t t, double budget);
  template <class OnLeaf>
  void walk(std::uint32_t root, double budget, bool prune, OnLeaf on_leaf);
  void rollback(std::uint32_t log_mark);
  bool split_ranked(const WalkNode& w, const Cur& cur, Cur& left, Cur& right) const;
  bool split_masked(const WalkNode& w, std::size_t f, const Cur& cur, Cur& left, Cur& right);
  bool dominated(double acc, const WalkNode& w) const;
  void record(double extra, double value, std::uint32_t leaf);
  double side_extra(bool up);

  const Ensemble* ensemble_;
  const FeatureStates* fs_;
  double lo_t_, hi_t_;
  bool has_up_, has_down_;  // the window has a finite lower (upper) end
  double slack_;      // allowance for rounding in sums of leaf values
  std::vector<WalkNode> nodes_;
  std::vector<std::uint64_t> left_sets_;  // masked features' left sets, per split node
  std::size_t max_words_ = 1;

  // Walk state.
  std::span<const double> m_;
  std::vector<Cur> cur_;
  std::vector<Frame> frames_;
  std::vector<LogEntry> log_;
  std::vector<std::uint64_t> arena_;
  std::uint32_t arena_top_ = 0;
  std::vector<FrontPoint> tree_up_, tree_down_;  // the current tree's points
  double aff_lo_ = 0.0, aff_hi_ = 0.0, reach_lo_ = 0.0, reach_hi_ = 0.0;

  // Results of the last evaluation.
  std::vector<TreeSummary> trees_;
  std::vector<FrontPoint> up_, down_;
  std::vector<std::pair<double, double>> steps_;  // (extra, value change), sorted
  bool up_binding_ = true;

  // Parent links (kNoParent where unreached) and whether they are unique.
  static constexpr std::uint32_t kNoParent = 0xffffffffu;
  std::vector<std::uint32_t> parent_;
  bool forest_ = false;

  // Reuse between evaluations.
  std::size_t words_ = 1;             // per feature bit set
  std::vector<std::uint64_t> touched_;  // per tree: features its last walk visited
  std::uint64_t* touch_ = nullptr;      // the walking tree's words in touched_
  std::vector<std::uint64_t> path_touch_;  // where path_features' walks note theirs
  std::vector<std::uint64_t> changed_;  // features changed since the last evaluation
  std::vector<std::uint32_t> slot_;  // per tree: first index of its points in up_, down_
  Box last_box_;
  std::vector<double> last_m_;
  bool have_last_ = false;

  // path_features scratch.
  std::vector<std::uint32_t> seen_;
  std::uint32_t epoch_ = 0;
  std::vector<std::uint32_t> path_;
};

}  // namespace morvel::exact
