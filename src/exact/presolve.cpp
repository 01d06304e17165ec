// Presolve. For a feature whose splits all compare values with thresholds, one walk per
// tree that uses it finds the tree's leaf range for every state at once: splits on the
// feature cut its states (in value order) into segments, and each segment's range is the
// fold of the leaves it reaches, in the order a score-bound walk folds them. Other
// features fall back to one bound update per state.
#include "exact/presolve.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <optional>
#include <utility>

namespace morvel::exact {
namespace {

// Folds that keep the left operand on ties (and +0.0 against -0.0), as the score bounds do.
double smaller(double left, double right) { return right < left ? right : left; }
double larger(double left, double right) { return right > left ? right : left; }

// Per state, the sums base + (the tree's least, greatest reachable leaf) over all trees in
// tree order, with the feature alone assigned.
class StateSums {
 public:
  StateSums(const Ensemble& e, const EnsembleBounds& b) : e_(e), b_(b) {
    PartialAssignment none(e.n_features());
    for (const std::uint32_t root : e.tree_roots()) root_range_.push_back(b.walk(root, none));
  }

  // `rank_of[i]`: rank of state i in value order (kMissing for the missing state);
  // `split_rank(node)` gives the first rank a split on f sends right.
  template <class SplitRank>
  void compute(std::size_t f, const std::vector<std::uint32_t>& rank_of, std::uint32_t n_ranks,
               SplitRank split_rank, Watch& watch) {
    const std::size_t n = rank_of.size();
    lo_.assign(n, e_.base_score());
    hi_.assign(n, e_.base_score());
    const auto trees = b_.trees_of(f);
    std::size_t next = 0;
    for (std::size_t t = 0; t < root_range_.size(); ++t) {
      if ((t & 1023) == 1023) watch.check_now();
      if (next < trees.size() && trees[next] == t) {
        ++next;
        tree_segments(e_.tree_roots()[t], f, n_ranks, split_rank);
        for (std::size_t i = 0; i < n; ++i) {
          const std::size_t s = rank_of[i] == kMissing ? nan_slot_ : segment_of(rank_of[i]);
          lo_[i] = lo_[i] + seg_lo_[s];
          hi_[i] = hi_[i] + seg_hi_[s];
        }
      } else {
        for (std::size_t i = 0; i < n; ++i) {
          lo_[i] = lo_[i] + root_range_[t].first;
          hi_[i] = hi_[i] + root_range_[t].second;
        }
      }
    }
  }

  double lower(std::size_t i) const { return lo_[i]; }
  double upper(std::size_t i) const { return hi_[i]; }

  static constexpr std::uint32_t kMissing = 0xffffffffu;

 private:
  struct Pending {
    std::uint32_t node;
    std::uint32_t lo, hi;  // ranks lo..hi-1 reach the node
    bool nan;              // and the missing state
  };

  // Depth first, left before right: the segments' ranges fold the leaves in the order a
  // bound walk meets them. Segment s covers ranks cuts_[s-1] .. cuts_[s]-1; the last slot
  // is the missing state's.
  template <class SplitRank>
  void tree_segments(std::uint32_t root, std::size_t f, std::uint32_t n_ranks,
                     SplitRank split_rank) {
    cuts_.clear();
    collect_cuts(root, f, split_rank);
    std::sort(cuts_.begin(), cuts_.end());
    cuts_.erase(std::unique(cuts_.begin(), cuts_.end()), cuts_.end());
    nan_slot_ = cuts_.size() + 1;
    seg_lo_.assign(nan_slot_ + 1, 0.0);
    seg_hi_.assign(nan_slot_ + 1, 0.0);
    seg_seen_.assign(nan_slot_ + 1, 0);
    stack_.clear();
    stack_.push_back({root, 0, n_ranks, true});
    while (!stack_.empty()) {
      const Pending p = stack_.back();
      stack_.pop_back();
      const std::uint32_t node = p.node;
      if (e_.feature()[node] < 0) {
        const double v = e_.value()[node];
        const std::size_t first = p.lo < p.hi ? segment_of(p.lo) : 1;
        const std::size_t last = p.lo < p.hi ? segment_of(p.hi - 1) : 0;
        for (std::size_t s = first; s <= last && p.lo < p.hi; ++s) fold(s, v);
        if (p.nan) fold(nan_slot_, v);
        continue;
      }
      const std::uint32_t l = e_.left()[node], r = e_.right()[node];
      if (static_cast<std::size_t>(e_.feature()[node]) != f) {
        stack_.push_back({r, p.lo, p.hi, p.nan});
        stack_.push_back({l, p.lo, p.hi, p.nan});
        continue;
      }
      const std::uint32_t k = split_rank(node);
      const bool nan_left = e_.missing_left()[node] != 0;
      const Pending right{r, std::max(p.lo, k), p.hi, p.nan && !nan_left};
      const Pending left{l, p.lo, std::min(p.hi, k), p.nan && nan_left};
      if (right.lo < right.hi || right.nan) stack_.push_back(right);
      if (left.lo < left.hi || left.nan) stack_.push_back(left);
    }
  }

  template <class SplitRank>
  void collect_cuts(std::uint32_t root, std::size_t f, SplitRank split_rank) {
    stack_.clear();
    stack_.push_back({root, 0, 0, false});
    while (!stack_.empty()) {
      const std::uint32_t node = stack_.back().node;
      stack_.pop_back();
      if (e_.feature()[node] < 0) continue;
      if (static_cast<std::size_t>(e_.feature()[node]) == f) cuts_.push_back(split_rank(node));
      stack_.push_back({e_.right()[node], 0, 0, false});
      stack_.push_back({e_.left()[node], 0, 0, false});
    }
  }

  std::size_t segment_of(std::uint32_t rank) const {
    return static_cast<std::size_t>(std::upper_bound(cuts_.begin(), cuts_.end(), rank) -
                                    cuts_.begin());
  }

  void fold(std::size_t s, double v) {
    seg_lo_[s] = seg_seen_[s] ? smaller(seg_lo_[s], v) : v;
    seg_hi_[s] = seg_seen_[s] ? larger(seg_hi_[s], v) : v;
    seg_seen_[s] = 1;
  }

  const Ensemble& e_;
  const EnsembleBounds& b_;
  std::vector<std::pair<double, double>> root_range_;
  std::vector<double> lo_, hi_;
  std::vector<std::uint32_t> cuts_;
  std::vector<double> seg_lo_, seg_hi_;
  std::vector<std::uint8_t> seg_seen_;
  std::size_t nan_slot_ = 0;
  std::vector<Pending> stack_;
};

// One bound update per state: the general rule, for features split by sets.
void per_state(const Ctx& ctx, std::size_t f, EnsembleBounds& bounds,
               EnsembleBounds* if_bounds, std::vector<std::uint8_t>& keep, Watch& watch) {
  const ExactProblem& p = ctx.problem;
  PartialAssignment pa(ctx.n_features);
  BoundsUndo undo, if_undo;
  const Domain& d = ctx.domains[f];
  for (std::size_t i = 0; i < d.size(); ++i) {
    watch.check_now();  // one state re-walks every tree on its feature
    pa.mask.set(f);
    pa.assigned[f] = 1;
    pa.values[f] = d[i].value;
    bounds.apply_with(f, pa, undo);
    if (if_bounds != nullptr) if_bounds->apply_with(f, pa, if_undo);
    keep[i] = !(bounds.upper() < p.lo_t) && !(bounds.lower() > p.hi_t);
    if (if_bounds != nullptr && if_bounds->upper() < p.min_total_path) keep[i] = 0;
    if (if_bounds != nullptr) if_bounds->restore(if_undo);
    bounds.restore(undo);
    pa.mask.clear(f);
    pa.assigned[f] = 0;
  }
}

}  // namespace

std::vector<std::uint8_t> threshold_only_features(const Ctx& ctx) {
  std::vector<std::uint8_t> out(ctx.n_features, 1);
  for (std::size_t f = 0; f < ctx.n_features; ++f) out[f] = ctx.blocks[f].empty() ? 1 : 0;
  for (const Ensemble* e : {&ctx.ensemble, ctx.problem.if_ensemble}) {
    if (e == nullptr) continue;
    for (std::size_t n = 0; n < e->n_nodes(); ++n) {
      if (e->feature()[n] >= 0 && e->node_set()[n] >= 0) {
        out[static_cast<std::size_t>(e->feature()[n])] = 0;
      }
    }
  }
  return out;
}

bool presolve(Ctx& ctx, EnsembleBounds& bounds, EnsembleBounds* if_bounds,
              std::uint64_t& removed, Watch& watch) {
  const ExactProblem& p = ctx.problem;
  const std::vector<std::uint8_t> ordered = threshold_only_features(ctx);
  StateSums model(ctx.ensemble, bounds);
  std::optional<StateSums> plausibility;
  if (if_bounds != nullptr) plausibility.emplace(*p.if_ensemble, *if_bounds);
  std::vector<std::uint8_t> keep;
  std::vector<std::uint32_t> order, rank_of;
  std::vector<double> sorted;
  bool all_nonempty = true;
  for (std::size_t f : ctx.order) {
    watch.check_now();
    Domain& d = ctx.domains[f];
    keep.assign(d.size(), 1);
    if (!ordered[f]) {
      per_state(ctx, f, bounds, if_bounds, keep, watch);
    } else {
      order.clear();
      for (std::uint32_t i = 0; i < d.size(); ++i) {
        if (!d[i].is_nan) order.push_back(i);
      }
      std::stable_sort(order.begin(), order.end(),
                       [&](std::uint32_t a, std::uint32_t b) { return d[a].value < d[b].value; });
      rank_of.assign(d.size(), StateSums::kMissing);
      sorted.clear();
      for (std::uint32_t r = 0; r < order.size(); ++r) {
        rank_of[order[r]] = r;
        sorted.push_back(d[order[r]].value);
      }
      const auto n_ranks = static_cast<std::uint32_t>(order.size());
      auto split_rank_in = [&](const Ensemble& e) {
        return [&e, &sorted](std::uint32_t node) {
          const double t = e.threshold()[node];
          // A NaN threshold sends every value right.
          if (std::isnan(t)) return std::uint32_t{0};
          const auto it = e.is_lt()[node] ? std::lower_bound(sorted.begin(), sorted.end(), t)
                                          : std::upper_bound(sorted.begin(), sorted.end(), t);
          return static_cast<std::uint32_t>(it - sorted.begin());
        };
      };
      model.compute(f, rank_of, n_ranks, split_rank_in(ctx.ensemble), watch);
      if (plausibility) {
        plausibility->compute(f, rank_of, n_ranks, split_rank_in(*p.if_ensemble), watch);
      }
      for (std::size_t i = 0; i < d.size(); ++i) {
        keep[i] = !(model.upper(i) < p.lo_t) && !(model.lower(i) > p.hi_t) &&
                  !(plausibility && plausibility->upper(i) < p.min_total_path);
      }
    }
    Domain kept;
    for (std::size_t i = 0; i < d.size(); ++i) {
      if (keep[i]) {
        kept.push_back(d[i]);
      } else {
        ++removed;
      }
    }
    d = std::move(kept);
    if (d.empty()) all_nonempty = false;
  }
  return all_nonempty;
}

}  // namespace morvel::exact
