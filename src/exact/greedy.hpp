// A quick row before the proof: greedy moves from the factual row (or from another start),
// one feature at a time, each the best gain towards the window per unit of cost, then a
// descent that gives back every move the window does not need. Deterministic and bounded
// by move counts; the watch may only cut it short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "exact/box.hpp"
#include "exact/context.hpp"
#include "ir.hpp"
#include "watch.hpp"

namespace morvel::exact {

// Score changes of single-feature moves from one full row, for one ensemble.
class MoveScores {
 public:
  // The ensemble and the tables must outlive this object.
  MoveScores(const Ensemble& ensemble, const FeatureStates& fs);

  // Takes `row` (n_features values) as the current row.
  void set_row(std::span<const double> row);
  double score() const { return score_; }
  // delta[i]: the score change if feature f alone took domain position i.
  void deltas(std::size_t f, std::vector<double>& delta);
  // Moves feature f to `value` in the current row.
  void move(std::size_t f, double value);

 private:
  struct Pending {
    std::uint32_t node;
    std::uint32_t lo, hi;  // ranks lo..hi-1 reach the node
    bool nan;
  };
  std::uint32_t leaf_of(std::uint32_t root) const;
  void recompute_score();

  const Ensemble& e_;
  const FeatureStates& fs_;
  std::vector<std::uint32_t> tree_offsets_;  // CSR: trees that split on each feature
  std::vector<std::uint32_t> trees_;
  std::vector<std::uint32_t> split_rank_;    // per node on a ranked feature
  std::vector<double> row_;
  std::vector<double> leaf_;  // per tree: the current row's leaf value
  double score_ = 0.0;
  std::vector<Pending> stack_;
  std::vector<double> diff_;
};

class GreedyRow {
 public:
  // All references must outlive this object.
  GreedyRow(const Ctx& ctx, const FeatureStates& fs);

  // A row of domain states that scores in every window (the model's, the plausibility
  // threshold, further windows), found greedily from the states in `state_of` (the cheapest,
  // 0, for a start from the factual row), in `row` with its states in `state_of`; false
  // when the moves run out first or the watch stops them. The caller checks the constraints.
  bool run(Watch& watch, std::vector<double>& row, std::vector<std::size_t>& state_of);

  // Gives back moves (cheaper states for the features already moved) while the row stays
  // in every window; returns whether anything changed.
  bool descend(Watch& watch, std::vector<double>& row, std::vector<std::size_t>& state_of);

 private:
  // How far the current row is from every window, summed over the windows.
  double shortfall() const;
  // The same if feature f alone took domain position i (after fill_deltas(f)).
  double shortfall_after(std::size_t i) const;
  void fill_deltas(std::size_t f);
  void start(std::span<const double> row);
  void move(std::size_t f, double value);

  const Ctx& ctx_;
  const FeatureStates& fs_;
  std::vector<MoveScores> scores_;          // per window of ctx_.all_windows
  std::vector<std::vector<double>> delta_;  // per window: score changes of one feature's moves
  std::vector<double> best_row_;
  std::vector<std::size_t> best_state_;
};

}  // namespace morvel::exact
