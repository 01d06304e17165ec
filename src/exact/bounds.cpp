// Score bounds of the exact search: per-node leaf ranges and feature sets computed once,
// per-tree reachable ranges re-walked only for the trees an update can change.
#include "exact/bounds.hpp"

#include <algorithm>
#include <bit>

#include "errors.hpp"
#include "exact/post_order.hpp"

namespace morvel::exact {
namespace {

// "The smaller of" with ties (and +0.0 against -0.0) kept on the left operand, so that
// folding leaves in depth-first order gives the same value as the per-node tables.
double smaller(double left, double right) { return right < left ? right : left; }
double larger(double left, double right) { return right > left ? right : left; }

// Whether every value of `cell` takes the left branch of a numeric split, or every value the
// right one. Written so that a NaN threshold (which sends every value right) reads as "all
// right" and never as "all left".
bool all_left(const Cell& cell, double t, bool is_lt) {
  return is_lt ? (cell.hi < t || (cell.hi == t && cell.hi_open)) : cell.hi <= t;
}
bool all_right(const Cell& cell, double t, bool is_lt) {
  return is_lt ? !(cell.lo < t) : !(cell.lo < t || (cell.lo == t && !cell.lo_open));
}

}  // namespace

constexpr std::uint32_t kNoSlot = 0xFFFFFFFFu;

EnsembleBounds::EnsembleBounds(const Ensemble& ensemble, Watch* watch, std::size_t slot_limit)
    : ensemble_(&ensemble),
      node_min_(ensemble.n_nodes(), 0.0),
      node_max_(ensemble.n_nodes(), 0.0),
      tree_lower_(ensemble.n_trees(), 0.0),
      tree_upper_(ensemble.n_trees(), 0.0) {
  assign_slots(slot_limit);
  node_features_.assign(ensemble.n_nodes() * words_per_node_, 0);
  slot_mask_.assign(words_per_node_, 0);
  prepare_nodes(watch);
  build_feature_trees(watch);
  const auto roots = ensemble.tree_roots();
  for (std::size_t t = 0; t < roots.size(); ++t) {
    tree_lower_[t] = node_min_[roots[t]];
    tree_upper_[t] = node_max_[roots[t]];
  }
  recompute_totals();
}

// Slots in feature order, so a model that uses every feature keeps the plain layout. When
// exact sets would make the table larger than kMaxTableWords, used features share slots
// (slot = rank mod slot count): a shared slot can only make a walk descend further than
// needed, never stop early, so the bounds are the same, only slower to get on such models.
void EnsembleBounds::assign_slots(std::size_t slot_limit) {
  constexpr std::size_t kMaxTableWords = std::size_t{1} << 22;  // 32 MiB
  const Ensemble& e = *ensemble_;
  slot_of_.assign(e.n_features(), kNoSlot);
  for (const std::int32_t f : e.feature()) {
    if (f >= 0) slot_of_[static_cast<std::size_t>(f)] = 0;
  }
  std::size_t n_used = 0;
  for (std::uint32_t& slot : slot_of_) {
    if (slot != kNoSlot) slot = static_cast<std::uint32_t>(n_used++);
  }
  const std::size_t affordable_words =
      std::max<std::size_t>(1, kMaxTableWords / std::max<std::size_t>(1, e.n_nodes()));
  std::size_t n_slots = std::min(std::max<std::size_t>(1, n_used), affordable_words * 64);
  if (slot_limit != 0) n_slots = std::min(n_slots, slot_limit);
  words_per_node_ = (n_slots + 63) / 64;
  if (n_slots < n_used) {
    for (std::uint32_t& slot : slot_of_) {
      if (slot != kNoSlot) slot = static_cast<std::uint32_t>(slot % n_slots);
    }
  }
}

// Leaf ranges and feature sets bottom-up; nodes shared between trees are computed once.
void EnsembleBounds::prepare_nodes(Watch* watch) {
  const Ensemble& e = *ensemble_;
  const auto feature = e.feature();
  const auto left = e.left();
  const auto right = e.right();
  std::vector<std::size_t> height(e.n_nodes(), 0);
  std::size_t max_height = 0;
  const auto step = [&] {
    if (watch != nullptr) watch->check();
  };
  const auto leaf = [&](std::uint32_t n) { node_min_[n] = node_max_[n] = e.value()[n]; };
  const auto internal = [&](std::uint32_t n) {
    const std::uint32_t l = left[n], r = right[n];
    node_min_[n] = smaller(node_min_[l], node_min_[r]);
    node_max_[n] = larger(node_max_[l], node_max_[r]);
    std::uint64_t* words = &node_features_[n * words_per_node_];
    for (std::size_t w = 0; w < words_per_node_; ++w) {
      words[w] = node_features_[l * words_per_node_ + w] |
                 node_features_[r * words_per_node_ + w];
    }
    const std::uint32_t slot = slot_of_[static_cast<std::size_t>(feature[n])];
    words[slot / 64] |= std::uint64_t{1} << (slot % 64);
    height[n] = 1 + std::max(height[l], height[r]);
    max_height = std::max(max_height, height[n]);
  };
  post_order(e, step, leaf, internal, [](std::uint32_t) {});
  // A walk keeps at most one pending right child per level of the path it is on.
  stack_.reserve(max_height + 1);
}

// Trees in tree order under every feature that one of their splits uses (CSR layout), read
// from the nodes themselves since slots may be shared.
void EnsembleBounds::build_feature_trees(Watch* watch) {
  const Ensemble& e = *ensemble_;
  const std::size_t n_features = e.n_features();
  const auto feature = e.feature();
  const auto roots = e.tree_roots();
  std::vector<std::uint32_t> pairs;  // (feature, tree) flattened, collected tree by tree
  std::vector<std::uint32_t> pending, seen;
  for (std::size_t t = 0; t < roots.size(); ++t) {
    if (watch != nullptr) watch->check();
    seen.clear();
    pending.assign(1, roots[t]);
    while (!pending.empty()) {
      const std::uint32_t n = pending.back();
      pending.pop_back();
      if (feature[n] < 0) continue;
      seen.push_back(static_cast<std::uint32_t>(feature[n]));
      pending.push_back(e.right()[n]);
      pending.push_back(e.left()[n]);
    }
    std::sort(seen.begin(), seen.end());
    seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
    for (const std::uint32_t f : seen) {
      pairs.push_back(f);
      pairs.push_back(static_cast<std::uint32_t>(t));
    }
  }
  feature_tree_offsets_.assign(n_features + 1, 0);
  for (std::size_t k = 0; k < pairs.size(); k += 2) ++feature_tree_offsets_[pairs[k] + 1];
  for (std::size_t f = 0; f < n_features; ++f) {
    feature_tree_offsets_[f + 1] += feature_tree_offsets_[f];
  }
  feature_trees_.assign(feature_tree_offsets_[n_features], 0);
  std::vector<std::uint32_t> next(feature_tree_offsets_.begin(), feature_tree_offsets_.end() - 1);
  // Pairs come tree by tree, so every feature's list is in tree order.
  for (std::size_t k = 0; k < pairs.size(); k += 2) feature_trees_[next[pairs[k]]++] = pairs[k + 1];
}

std::span<const std::uint32_t> EnsembleBounds::trees_of(std::size_t feature) const {
  const std::size_t begin = checked_at(feature_tree_offsets_, feature);
  return {feature_trees_.data() + begin, feature_tree_offsets_[feature + 1] - begin};
}

// A full sum in tree order after every change: restores reproduce earlier totals bit for bit,
// which adding and subtracting differences would not.
void EnsembleBounds::recompute_totals() {
  double lower = ensemble_->base_score();
  double upper = ensemble_->base_score();
  for (std::size_t t = 0; t < tree_lower_.size(); ++t) {
    lower = lower + tree_lower_[t];
    upper = upper + tree_upper_[t];
  }
  lower_ = lower;
  upper_ = upper;
}

void EnsembleBounds::check_width(const PartialAssignment& pa) const {
  ensure(pa.mask.words.size() * 64 >= ensemble_->n_features() &&
             pa.assigned.size() >= ensemble_->n_features() &&
             pa.values.size() >= ensemble_->n_features() &&
             pa.narrowed.size() >= ensemble_->n_features() &&
             pa.intervals.size() >= ensemble_->n_features(),
         "partial assignment narrower than the ensemble (should be impossible)");
}

void EnsembleBounds::apply_with(std::size_t feature, const PartialAssignment& pa,
                                BoundsUndo& undo) {
  check_width(pa);
  sync_mask(pa.mask);
  undo.clear();
  const auto roots = ensemble_->tree_roots();
  for (const std::uint32_t t : trees_of(feature)) {
    undo.push_back({t, tree_lower_[t], tree_upper_[t]});
    const auto [lo, hi] = walk_unchecked(roots[t], pa);
    tree_lower_[t] = lo;
    tree_upper_[t] = hi;
  }
  recompute_totals();
}

void EnsembleBounds::restore(const BoundsUndo& undo) {
  for (auto it = undo.rbegin(); it != undo.rend(); ++it) {
    tree_lower_[it->tree] = it->lower;
    tree_upper_[it->tree] = it->upper;
  }
  recompute_totals();
}

// Only the caller's words that can hold a used feature are read; with every feature used
// the slots are the features themselves and this is a copy.
void EnsembleBounds::sync_mask(const FeatureMask& mask) const {
  std::fill(slot_mask_.begin(), slot_mask_.end(), 0);
  const std::size_t n_words = std::min(mask.words.size(), (slot_of_.size() + 63) / 64);
  for (std::size_t w = 0; w < n_words; ++w) {
    for (std::uint64_t bits = mask.words[w]; bits != 0; bits &= bits - 1) {
      const std::size_t f = w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
      if (f >= slot_of_.size()) break;
      const std::uint32_t slot = slot_of_[f];
      if (slot != kNoSlot) slot_mask_[slot / 64] |= std::uint64_t{1} << (slot % 64);
    }
  }
}

[[gnu::always_inline]] inline bool EnsembleBounds::touches(std::uint32_t node) const {
  const std::uint64_t* words = &node_features_[node * words_per_node_];
  for (std::size_t w = 0; w < words_per_node_; ++w) {
    if (words[w] & slot_mask_[w]) return true;
  }
  return false;
}

// An interval takes precedence over a value; a categorical split only routes a point
// interval, since the threshold test says nothing about category codes.
[[gnu::always_inline]] inline EnsembleBounds::Step EnsembleBounds::step(std::uint32_t node, const PartialAssignment& pa) const {
  const Ensemble& e = *ensemble_;
  const auto f = static_cast<std::size_t>(e.feature()[node]);
  const std::uint32_t left = e.left()[node], right = e.right()[node];
  if (pa.narrowed[f]) {
    const Cell& cell = pa.intervals[f];
    if (e.node_set()[node] >= 0) {
      if (cell.lo == cell.hi && !cell.lo_open && !cell.hi_open) {
        return {e.next_node(node, cell.lo), false, false};
      }
      return {left, true, true};
    }
    const double t = e.threshold()[node];
    const bool is_lt = e.is_lt()[node] != 0;
    if (all_left(cell, t, is_lt)) return {left, false, false};
    if (all_right(cell, t, is_lt)) return {right, false, false};
    return {left, true, true};
  }
  if (pa.assigned[f]) return {e.next_node(node, pa.values[f]), false, false};
  return {left, true, false};
}

std::pair<double, double> EnsembleBounds::walk(std::uint32_t node,
                                               const PartialAssignment& pa) const {
  check_width(pa);
  ensure(node < ensemble_->n_nodes(),
         "walk from a node outside the ensemble (should be impossible)");
  sync_mask(pa.mask);
  return walk_unchecked(node, pa);
}

// Depth first, left before right: single branches are followed in place, the right child
// of a two-way node waits on the stack. Leaves have empty feature sets, so the first test
// also ends the descent at every leaf. `on_step(node, step)` sees every split passed,
// `on_end(node)` every node where a descent stops.
template <class OnStep, class OnEnd>
void EnsembleBounds::descend(std::uint32_t node, const PartialAssignment& pa, OnStep on_step,
                             OnEnd on_end) const {
  const auto right = ensemble_->right();
  stack_.clear();
  stack_.push_back(node);
  while (!stack_.empty()) {
    std::uint32_t n = stack_.back();
    stack_.pop_back();
    while (touches(n)) {
      const Step s = step(n, pa);
      on_step(n, s);
      if (s.both) stack_.push_back(right[n]);
      n = s.child;
    }
    on_end(n);
  }
}

std::pair<double, double> EnsembleBounds::walk_unchecked(std::uint32_t node,
                                                         const PartialAssignment& pa) const {
  double lo = 0.0, hi = 0.0;
  bool first = true;
  descend(
      node, pa, [](std::uint32_t, const Step&) {},
      [&](std::uint32_t n) {
        lo = first ? node_min_[n] : smaller(lo, node_min_[n]);
        hi = first ? node_max_[n] : larger(hi, node_max_[n]);
        first = false;
      });
  return {lo, hi};
}

void EnsembleBounds::count_node(std::uint32_t node, const PartialAssignment& pa,
                                std::span<std::uint64_t> counters) const {
  check_width(pa);
  ensure(node < ensemble_->n_nodes() && counters.size() >= ensemble_->n_features(),
         "count_node arguments out of range (should be impossible)");
  sync_mask(pa.mask);
  const auto feature = ensemble_->feature();
  descend(
      node, pa,
      [&](std::uint32_t n, const Step& s) {
        if (s.straddle) ++counters[static_cast<std::size_t>(feature[n])];
      },
      [](std::uint32_t) {});
}

}  // namespace morvel::exact
