// Cost frontiers: per-tree walks under a box and the least extra cost that can meet the
// window. Every buffer is sized at construction; an evaluation allocates nothing.
#include "exact/frontier.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "errors.hpp"
#include "exact/post_order.hpp"

namespace morvel::exact {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

FrontierBound::FrontierBound(const Ensemble& ensemble, const FeatureStates& fs, double lo_t,
                             double hi_t)
    : ensemble_(&ensemble),
      fs_(&fs),
      lo_t_(lo_t),
      hi_t_(hi_t),
      has_up_(lo_t > -kInf),
      has_down_(hi_t < kInf),
      nodes_(ensemble.n_nodes()),
      cur_(fs.n_features(), Cur{RankRange{1, 0, false}, nullptr, 0.0}),
      trees_(ensemble.n_trees()),
      seen_(fs.n_features(), 0) {
  ensure(ensemble.n_features() == fs.n_features(),
         "state tables cover the ensemble's features (should be impossible)");
  build_nodes();
}

// Leaf extremes bottom-up (iteratively), split keys against the state tables, and every
// buffer sized for the tallest tree.
void FrontierBound::build_nodes() {
  const Ensemble& e = *ensemble_;
  const auto feature = e.feature();
  const auto left = e.left();
  const auto right = e.right();
  std::vector<std::uint32_t> height(e.n_nodes(), 0);
  std::uint32_t max_height = 0;
  std::size_t max_leaves = 1;
  std::vector<std::uint32_t> leaves(e.n_nodes(), 0);
  for (std::size_t f = 0; f < fs_->n_features(); ++f) {
    max_words_ = std::max(max_words_, fs_->mask_words(f));
  }
  double scale = std::fabs(e.base_score());
  const auto leaf = [&](std::uint32_t n) {
    nodes_[n] = {e.value()[n], e.value()[n], 0, 0, -1, 0, 0};
    leaves[n] = 1;
  };
  const auto internal = [&](std::uint32_t n) {
    WalkNode& w = nodes_[n];
    const std::uint32_t l = left[n], r = right[n];
    const auto f = static_cast<std::size_t>(feature[n]);
    w = {std::min(nodes_[l].lo, nodes_[r].lo), std::max(nodes_[l].hi, nodes_[r].hi), l, r,
         feature[n], 0, e.missing_left()[n]};
    if (fs_->kind(f) == FeatureKind::Ranked) {
      w.key = fs_->split_rank(f, e.threshold()[n], e.is_lt()[n] != 0);
    } else if (fs_->kind(f) == FeatureKind::Masked) {
      w.key = fs_->append_left_set(e, n, f, left_sets_);
    }
    height[n] = 1 + std::max(height[l], height[r]);
    leaves[n] = leaves[l] + leaves[r];
    max_height = std::max(max_height, height[n]);
  };
  const auto after_tree = [&](std::uint32_t root) {
    scale += std::max(std::fabs(nodes_[root].lo), std::fabs(nodes_[root].hi));
    max_leaves = std::max<std::size_t>(max_leaves, leaves[root]);
  };
  post_order(e, [] {}, leaf, internal, after_tree);
  std::vector<std::uint32_t> pending;
  // Parent links, when every node hangs below one parent only (the converters' output);
  // otherwise critical paths are found by a walk.
  parent_.assign(e.n_nodes(), kNoParent);
  forest_ = true;
  for (const std::uint32_t root : e.tree_roots()) {
    pending.push_back(root);
    if (parent_[root] != kNoParent) forest_ = false;
    parent_[root] = root;  // reached; a root is its own stop
    while (!pending.empty() && forest_) {
      const std::uint32_t n = pending.back();
      pending.pop_back();
      if (feature[n] < 0) continue;
      for (const std::uint32_t child : {left[n], right[n]}) {
        if (parent_[child] != kNoParent) {
          forest_ = false;
          break;
        }
        parent_[child] = n;
        pending.push_back(child);
      }
    }
    pending.clear();
  }
  // Sums of leaf values in another order than the model's may differ by a few units in the
  // last place per addition; the bound gives that much away.
  slack_ = scale * static_cast<double>(e.n_trees() + 2) * std::ldexp(1.0, -50);
  frames_.reserve(2 * (max_height + 2));
  path_.reserve(max_height + 2);
  log_.reserve(max_height + 2);
  arena_.assign(2 * max_words_ * (max_height + 2), 0);
  tree_up_.reserve(max_leaves);
  tree_down_.reserve(max_leaves);
  // Every tree owns a slot of as many points as it has leaves.
  std::size_t total_leaves = 0;
  slot_.clear();
  for (const std::uint32_t root : e.tree_roots()) {
    slot_.push_back(static_cast<std::uint32_t>(total_leaves));
    total_leaves += leaves[root];
  }
  up_.resize(total_leaves);
  down_.resize(total_leaves);
  steps_.reserve(total_leaves);
  words_ = (fs_->n_features() + 63) / 64;
  changed_.assign(words_, 0);
  touched_.assign(words_ * e.n_trees(), 0);
  path_touch_.assign(words_, 0);
  last_m_.assign(fs_->n_features(), 0.0);
}

void FrontierBound::mark_changed(const Box& box, std::span<const double> m) {
  for (std::size_t f = 0; f < fs_->n_features(); ++f) {
    const bool same = m[f] == last_m_[f] && same_part(*fs_, box, last_box_, f);
    const std::uint64_t bit = std::uint64_t{1} << (f % 64);
    changed_[f / 64] = same ? changed_[f / 64] & ~bit : changed_[f / 64] | bit;
  }
}

bool FrontierBound::reads_changed(std::size_t t) const {
  const std::uint64_t* touched = touched_.data() + t * words_;
  for (std::size_t w = 0; w < words_; ++w) {
    if ((touched[w] & changed_[w]) != 0) return true;
  }
  return false;
}

void FrontierBound::cut_to_budget(TreeSummary& s, double budget) const {
  s.up_end = s.up_all;
  s.down_end = s.down_all;
  while (s.up_end > s.up_begin && up_[s.up_end - 1].extra > budget) --s.up_end;
  while (s.down_end > s.down_begin && down_[s.down_end - 1].extra > budget) --s.down_end;
}

void FrontierBound::rollback(std::uint32_t log_mark) {
  while (log_.size() > log_mark) {
    cur_[log_.back().feature] = log_.back().previous;
    log_.pop_back();
  }
}

bool FrontierBound::split_ranked(const WalkNode& w, const Cur& cur, Cur& left,
                                 Cur& right) const {
  const RankRange& c = cur.range;
  const std::uint32_t k = w.key;
  left.range = c.has_ranks() && c.lo < k ? RankRange{c.lo, std::min(c.hi, k - 1), false}
                                         : RankRange{1, 0, false};
  right.range = c.has_ranks() && c.hi >= k ? RankRange{std::max(c.lo, k), c.hi, false}
                                           : RankRange{1, 0, false};
  left.range.nan = c.nan && w.missing_left != 0;
  right.range.nan = c.nan && w.missing_left == 0;
  return !left.range.empty() && !right.range.empty();
}

bool FrontierBound::split_masked(const WalkNode& w, std::size_t f, const Cur& cur, Cur& left,
                                 Cur& right) {
  const std::size_t words = fs_->mask_words(f);
  std::uint64_t* l = arena_.data() + arena_top_;
  std::uint64_t* r = l + words;
  bool any_l = false, any_r = false;
  for (std::size_t i = 0; i < words; ++i) {
    l[i] = cur.mask[i] & left_sets_[w.key + i];
    r[i] = cur.mask[i] & ~left_sets_[w.key + i];
    any_l = any_l || l[i] != 0;
    any_r = any_r || r[i] != 0;
  }
  left.mask = l;
  right.mask = r;
  left.range = right.range = cur.range;
  return any_l && any_r;
}

bool FrontierBound::dominated(double acc, const WalkNode& w) const {
  auto beaten = [&](const std::vector<FrontPoint>& pts, bool up) {
    for (const FrontPoint& p : pts) {
      if (p.extra <= acc && (up ? p.value >= w.hi : p.value <= w.lo)) return true;
    }
    return false;
  };
  return (!has_up_ || beaten(tree_up_, true)) && (!has_down_ || beaten(tree_down_, false));
}

// Keeps the tree's Pareto points: no point may have both less (or equal) extra and a
// better (or equal) value than another.
void FrontierBound::record(double extra, double value, std::uint32_t leaf) {
  auto insert = [&](std::vector<FrontPoint>& pts, bool up) {
    auto better = [up](double a, double b) { return up ? a >= b : a <= b; };
    for (const FrontPoint& p : pts) {
      if (p.extra <= extra && better(p.value, value)) return;
    }
    std::erase_if(pts, [&](const FrontPoint& p) {
      return p.extra >= extra && better(value, p.value);
    });
    pts.push_back({extra, value, leaf});
  };
  if (has_up_) insert(tree_up_, true);
  if (has_down_) insert(tree_down_, false);
  aff_lo_ = std::min(aff_lo_, value);
  aff_hi_ = std::max(aff_hi_, value);
}

// Depth first from `root`, the cheaper child first. A step on a feature that only one
// child can take changes nothing and is followed in place; a step that narrows the
// feature for both children pushes both, with the feature's narrowed part. `on_leaf(leaf,
// extra)` returns true to end the walk. With `prune`, children beyond `budget` and
// subtrees that cannot add a Pareto point are skipped.
template <class OnLeaf>
void FrontierBound::walk(std::uint32_t root, double budget, bool prune, OnLeaf on_leaf) {
  frames_.clear();
  arena_top_ = 0;
  frames_.push_back({root, 0, 0, -1, 0.0, Cur{}});
  auto fold_reach = [&](const WalkNode& w) {
    reach_lo_ = std::min(reach_lo_, w.lo);
    reach_hi_ = std::max(reach_hi_, w.hi);
  };
  while (!frames_.empty()) {
    const Frame fr = frames_.back();
    frames_.pop_back();
    rollback(fr.log_mark);
    arena_top_ = fr.arena_mark;
    if (fr.feature >= 0) {
      const auto f = static_cast<std::uint32_t>(fr.feature);
      log_.push_back({f, cur_[f]});
      cur_[f] = fr.state;
    }
    std::uint32_t n = fr.node;
    double acc = fr.acc;
    for (;;) {
      const WalkNode& w = nodes_[n];
      if (w.feature < 0) {
        if (on_leaf(n, acc)) {
          frames_.clear();
          return;  // the caller reads the path from log_ and cur_, then rolls back
        }
        break;
      }
      if (prune && dominated(acc, w)) {
        // The skip depends only on the path so far and the points found before it.
        aff_lo_ = std::min(aff_lo_, w.lo);
        aff_hi_ = std::max(aff_hi_, w.hi);
        fold_reach(w);
        break;
      }
      const auto f = static_cast<std::size_t>(w.feature);
      touch_[f / 64] |= std::uint64_t{1} << (f % 64);
      const FeatureKind kind = fs_->kind(f);
      if (kind == FeatureKind::Fixed) {
        n = ensemble_->next_node(n, fs_->fixed_value(f));
        continue;
      }
      Cur l{}, r{};
      const Cur& cur = cur_[f];
      const bool both = kind == FeatureKind::Ranked ? split_ranked(w, cur, l, r)
                                                    : split_masked(w, f, cur, l, r);
      if (!both) {
        // One side takes the whole part: nothing narrows.
        const bool goes_left = kind == FeatureKind::Ranked
                                   ? !l.range.empty()
                                   : fs_->mask_state(f, l.mask) != kNoState;
        n = goes_left ? w.left : w.right;
        continue;
      }
      const bool ranked = kind == FeatureKind::Ranked;
      const double base = acc - cur.extra;
      l.extra = (ranked ? fs_->range_cost(f, l.range.lo, l.range.hi, l.range.nan)
                        : fs_->mask_cost(f, l.mask)) - m_[f];
      r.extra = (ranked ? fs_->range_cost(f, r.range.lo, r.range.hi, r.range.nan)
                        : fs_->mask_cost(f, r.mask)) - m_[f];
      const double al = base + l.extra, ar = base + r.extra;
      const bool ok_l = !prune || al <= budget;
      const bool ok_r = !prune || ar <= budget;
      if (!ranked) arena_top_ += static_cast<std::uint32_t>(2 * fs_->mask_words(f));
      if (!ok_l) fold_reach(nodes_[w.left]);
      if (!ok_r) fold_reach(nodes_[w.right]);
      if (ok_l && ok_r) {
        const auto mark = static_cast<std::uint32_t>(log_.size());
        const bool left_first = al <= ar;
        const Frame fl{w.left, mark, arena_top_, static_cast<std::int32_t>(f), al, l};
        const Frame frr{w.right, mark, arena_top_, static_cast<std::int32_t>(f), ar, r};
        frames_.push_back(left_first ? frr : fl);
        frames_.push_back(left_first ? fl : frr);
        break;
      }
      if (!ok_l && !ok_r) break;
      log_.push_back({static_cast<std::uint32_t>(f), cur});
      cur_[f] = ok_l ? l : r;
      n = ok_l ? w.left : w.right;
      acc = ok_l ? al : ar;
    }
  }
  rollback(0);
}

void FrontierBound::evaluate(const Box& box, std::span<const double> m, double budget) {
  ensure(m.size() >= fs_->n_features() && box.ranges.size() >= fs_->n_features(),
         "box narrower than the feature tables (should be impossible)");
  m_ = m;
  for (std::size_t f = 0; f < fs_->n_features(); ++f) {
    cur_[f] = {box.ranges[f], fs_->kind(f) == FeatureKind::Masked ? box.mask(*fs_, f) : nullptr,
               0.0};
  }
  if (have_last_) mark_changed(box, m);
  for (std::size_t t = 0; t < trees_.size(); ++t) {
    TreeSummary& s = trees_[t];
    if (!have_last_ || budget > s.walk_budget || reads_changed(t)) {
      walk_tree(t, budget);
    } else {
      cut_to_budget(s, budget);
    }
  }
  last_box_ = box;
  std::copy_n(m.begin(), fs_->n_features(), last_m_.begin());
  have_last_ = true;
}

void FrontierBound::walk_tree(std::size_t t, double budget) {
  tree_up_.clear();
  tree_down_.clear();
  aff_lo_ = reach_lo_ = kInf;
  aff_hi_ = reach_hi_ = -kInf;
  touch_ = touched_.data() + t * words_;
  std::fill_n(touch_, words_, 0);
  walk(ensemble_->tree_roots()[t], budget, true, [&](std::uint32_t leaf, double extra) {
    reach_lo_ = std::min(reach_lo_, nodes_[leaf].lo);
    reach_hi_ = std::max(reach_hi_, nodes_[leaf].hi);
    record(extra, nodes_[leaf].lo, leaf);
    return false;
  });
  auto by_extra = [](const FrontPoint& a, const FrontPoint& b) { return a.extra < b.extra; };
  std::sort(tree_up_.begin(), tree_up_.end(), by_extra);
  std::sort(tree_down_.begin(), tree_down_.end(), by_extra);
  TreeSummary& s = trees_[t];
  s.up_begin = s.down_begin = slot_[t];
  std::copy(tree_up_.begin(), tree_up_.end(), up_.begin() + slot_[t]);
  s.up_end = s.up_all = slot_[t] + static_cast<std::uint32_t>(tree_up_.size());
  std::copy(tree_down_.begin(), tree_down_.end(), down_.begin() + slot_[t]);
  s.down_end = s.down_all = slot_[t] + static_cast<std::uint32_t>(tree_down_.size());
  s.aff_lo = aff_lo_;
  s.aff_hi = aff_hi_;
  s.reach_lo = reach_lo_;
  s.reach_hi = reach_hi_;
  s.walk_budget = budget;
}

// The least r at which base + sum of H_t(r) reaches the window's lower end (`up`), or
// base + sum of the minima reaches below its upper end.
double FrontierBound::side_extra(bool up) {
  double sum = ensemble_->base_score();
  double floor = 0.0;
  steps_.clear();
  for (const TreeSummary& s : trees_) {
    const std::uint32_t b = up ? s.up_begin : s.down_begin;
    const std::uint32_t e = up ? s.up_end : s.down_end;
    const std::vector<FrontPoint>& pts = up ? up_ : down_;
    if (b == e) return kInf;  // nothing of the tree within the budget
    sum = sum + pts[b].value;
    floor = std::max(floor, pts[b].extra);
    for (std::uint32_t j = b + 1; j < e; ++j) {
      steps_.emplace_back(pts[j].extra, up ? pts[j].value - pts[j - 1].value
                                           : pts[j - 1].value - pts[j].value);
    }
  }
  auto met = [&](double s) { return up ? s >= lo_t_ - slack_ : s <= hi_t_ + slack_; };
  if (met(sum)) return floor;
  std::sort(steps_.begin(), steps_.end());
  for (const auto& [extra, change] : steps_) {
    sum = up ? sum + change : sum - change;
    if (met(sum)) return std::max(floor, extra);
  }
  return kInf;
}

double FrontierBound::least_extra() {
  const double up = has_up_ ? side_extra(true) : 0.0;
  const double down = has_down_ ? side_extra(false) : 0.0;
  up_binding_ = !has_down_ || up >= down;
  return std::max(up, down);
}

bool FrontierBound::misses_window() const {
  double lo = ensemble_->base_score(), hi = ensemble_->base_score();
  for (const TreeSummary& s : trees_) {
    lo = lo + s.reach_lo;
    hi = hi + s.reach_hi;
  }
  return hi < lo_t_ - slack_ || lo > hi_t_ + slack_;
}

bool FrontierBound::all_inside() const {
  double lo = ensemble_->base_score(), hi = ensemble_->base_score();
  for (const TreeSummary& s : trees_) {
    lo = lo + s.aff_lo;
    hi = hi + s.aff_hi;
  }
  return lo >= lo_t_ + slack_ && hi <= hi_t_ - slack_;
}

void FrontierBound::critical(double extra, std::vector<CriticalTree>& out) const {
  out.clear();
  const bool up = up_binding_;
  if (up ? !has_up_ : !has_down_) return;
  const std::vector<FrontPoint>& pts = up ? up_ : down_;
  for (std::size_t t = 0; t < trees_.size(); ++t) {
    const TreeSummary& s = trees_[t];
    const std::uint32_t b = up ? s.up_begin : s.down_begin;
    const std::uint32_t e = up ? s.up_end : s.down_end;
    if (b == e) continue;
    std::uint32_t j = b;
    while (j + 1 < e && pts[j + 1].extra <= extra) ++j;
    const double gain = up ? pts[j].value - pts[b].value : pts[b].value - pts[j].value;
    if (gain > 0.0) out.push_back({static_cast<std::uint32_t>(t), pts[j].leaf, gain});
  }
}

void FrontierBound::path_features(const CriticalTree& c, std::vector<PathFeature>& out) {
  out.clear();
  ++epoch_;
  auto collect = [&] {
    for (const LogEntry& e : log_) {
      const std::uint32_t f = e.feature;
      if (seen_[f] == epoch_) continue;
      seen_[f] = epoch_;
      if (cur_[f].extra > 0.0) out.push_back({f, cur_[f].range, cur_[f].mask, cur_[f].extra});
    }
  };
  const std::uint32_t root = ensemble_->tree_roots()[c.tree];
  if (!forest_) {
    touch_ = path_touch_.data();  // this walk's visits say nothing about the cached points
    walk(root, kInf, false, [&](std::uint32_t leaf, double) {
      if (leaf != c.leaf) return false;
      collect();
      return true;
    });
    rollback(0);
    return;
  }
  // Up to the root by parent links, then down again narrowing each split's feature.
  path_.clear();
  for (std::uint32_t n = c.leaf; n != root; n = parent_[n]) {
    ensure(parent_[n] != kNoParent && path_.size() < nodes_.size(),
           "a critical leaf lies in its tree (should be impossible)");
    path_.push_back(n);
  }
  arena_top_ = 0;
  std::uint32_t at = root;
  for (auto it = path_.rbegin(); it != path_.rend(); ++it) {
    const WalkNode& w = nodes_[at];
    const auto f = static_cast<std::size_t>(w.feature);
    const bool left = *it == w.left;
    at = *it;
    if (fs_->kind(f) == FeatureKind::Fixed) continue;
    Cur l{}, r{};
    const bool ranked = fs_->kind(f) == FeatureKind::Ranked;
    const bool both = ranked ? split_ranked(w, cur_[f], l, r) : split_masked(w, f, cur_[f], l, r);
    if (!both) continue;  // the whole part goes this way
    Cur& side = left ? l : r;
    side.extra = (ranked ? fs_->range_cost(f, side.range.lo, side.range.hi, side.range.nan)
                         : fs_->mask_cost(f, side.mask)) - m_[f];
    if (!ranked) arena_top_ += static_cast<std::uint32_t>(2 * fs_->mask_words(f));
    log_.push_back({static_cast<std::uint32_t>(f), cur_[f]});
    cur_[f] = side;
  }
  collect();
  rollback(0);
}

}  // namespace morvel::exact
