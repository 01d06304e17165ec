// Where the priced bound of a box says to split it: on the feature whose trees' copies
// most often leave the state the feature itself takes.
//
// In the decomposition every tree's copy of a feature goes to the cell its own term likes
// best, the feature to its state of least priced cost. Where they differ, the bound counts
// a row that no row is: the feature in one state, some trees in another. A split between
// the two sends the feature's state and those copies' cells to different children, so each
// child must give up one of them, and its bound can rise where the parent's could not.
// Only which box holds which rows changes: the children still partition their parent.
#include <algorithm>

#include "errors.hpp"
#include "exact/lagrange.hpp"

namespace morvel::exact {

bool LagrangeBound::disagreement_split(const Box& box, std::uint32_t& feature, std::uint32_t& at,
                                       bool& missing) {
  if (!fitted_) return false;
  evaluate(box);  // the box just evaluated: nothing to redo
  std::uint32_t best = kNone, best_count = 0;
  int up = 0;  // the best feature's copies going up less those going down
  for (std::size_t f = 0; f < fs_->n_features(); ++f) {
    if (fs_->kind(f) != FeatureKind::Ranked || box.count(*fs_, f) < 2) continue;
    std::uint32_t count = 0;
    int net = 0;
    for (std::uint32_t i = feature_slots_[f]; i < feature_slots_[f + 1]; ++i) {
      const int side = copy_side(feature_slot_list_[i]);
      count += side != 0 ? 1 : 0;
      net += side;
    }
    if (count > best_count) {
      best_count = count;
      best = static_cast<std::uint32_t>(f);
      up = net;
    }
  }
  if (best == kNone) return false;
  feature = best;
  const RankRange& r = box.ranges[best];
  missing = r.nan && r.has_ranks();
  if (missing) return true;
  // The edges nearest the feature's state, on the side most copies go to; the split takes
  // their median, as the frontier's rule does with its leaves' edges.
  const auto k = static_cast<std::uint32_t>(arg_state_[best]);
  edges_.clear();
  for (std::uint32_t i = feature_slots_[best]; i < feature_slots_[best + 1]; ++i) {
    const std::uint32_t s = feature_slot_list_[i];
    const int side = copy_side(s);
    if (side == 0 || (side > 0) != (up >= 0)) continue;
    const std::int32_t c = cell_at(s, k) + (side > 0 ? 1 : 0);
    edges_.push_back(cell_first_[slots_[s].mu + static_cast<std::uint32_t>(c)]);
  }
  std::sort(edges_.begin(), edges_.end());
  at = edges_[up >= 0 ? (edges_.size() - 1) / 2 : edges_.size() / 2];
  ensure(at > r.lo && at <= r.hi,
         "a split the prices point at falls inside its range (should be impossible)");
  return true;
}

// Which way slot s's copy leaves the feature's state in the last recorded evaluation: +1 to
// a higher cell, -1 to a lower one, 0 when it stays (or prefers its cell to no other), also
// 0 when either is the missing state (the split takes that off first anyway).
int LagrangeBound::copy_side(std::uint32_t s) const {
  const Slot& slot = slots_[s];
  const std::int32_t k = arg_state_[slot.feature];
  const Part& p = arg_part_[s];
  if (k < 0 || p.lo > p.hi) return 0;
  const std::int32_t c = cell_at(s, static_cast<std::uint32_t>(k));
  if (c < p.lo) return 1;
  if (c > p.hi) return -1;
  const std::int32_t least = least_cell(s, p);
  if (least < 0 || least >= static_cast<std::int32_t>(slot.n_cells)) return 0;
  const double* mu = mu_.data() + slot.mu;
  if (!(mu[least] < mu[c])) return 0;
  return least > c ? 1 : -1;
}

}  // namespace morvel::exact
