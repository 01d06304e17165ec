// Lagrangian decomposition bound: tables built once, the subgradient fit, and allocation-free
// evaluations that redo only what a box's changed features reach.
#include "exact/lagrange.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <limits>

#include "errors.hpp"
#include "exact/post_order.hpp"

namespace morvel::exact {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
std::atomic<std::uint64_t> g_lagrange_start{16384};
// Trees times boxes before the fit on big ensembles, and the fewest boxes before it.
constexpr std::uint64_t kStartTreeBoxes = 1'200'000;
constexpr std::uint64_t kLeastStart = 2048;
// The ascent's search over the window's price where a tree is too large to list (elsewhere
// the price moves with the sweeps): its first and last factors, and sweeps per trial price.
// The fit's is wide and coarse, one sweep per trial: many proofs end soon after the fit, and
// a long one would be most of their time, while those that go on get refits. A refit's is
// narrow, since it only fine-tunes the fitted price, and finer.
constexpr double kFitFactor = 2.0;
constexpr double kFitLastFactor = 1.02;
constexpr int kFitTrialSweeps = 1;
constexpr double kRefitFactor = 1.2;
constexpr double kRefitLastFactor = 1.003;
constexpr int kRefitTrialSweeps = 2;
// Trees whose leaves are listed (lagrange.hpp): at most this many leaves (tests set 0 to
// walk every tree), at most this deep (the listing recurses), and while the listed leaves'
// parts, one per leaf and slot, come to at most this many in all (48 MB); the others are
// walked, the walk skipping the subtrees that cannot lower a min-marginal.
std::atomic<std::uint32_t> g_most_listed_leaves{std::numeric_limits<std::uint32_t>::max()};
constexpr std::uint32_t kMostListedDepth = 64;
constexpr std::uint64_t kMostListedParts = std::uint64_t{1} << 21;

}  // namespace

std::uint64_t lagrange_start(std::size_t n_trees) {
  const std::uint64_t most = g_lagrange_start.load();
  const std::uint64_t by_size = kStartTreeBoxes / std::max<std::uint64_t>(1, n_trees);
  return std::min(most, std::max(kLeastStart, by_size));
}
std::uint64_t set_lagrange_start(std::uint64_t boxes) { return g_lagrange_start.exchange(boxes); }
std::uint32_t set_most_listed_leaves(std::uint32_t leaves) {
  return g_most_listed_leaves.exchange(leaves);
}

LagrangeBound::LagrangeBound(const Ensemble& ensemble, const FeatureStates& fs, double lo_t,
                             double hi_t)
    : ensemble_(&ensemble), fs_(&fs), lo_t_(lo_t), hi_t_(hi_t) {
  ensure(ensemble.n_features() == fs.n_features(),
         "state tables cover the ensemble's features (should be impossible)");
  build();
}

// Leaf extremes, per-tree slots (a tree's split points on each ranked feature it tests),
// split keys as cells, masked features' left sets, and every buffer.
void LagrangeBound::build() {
  const Ensemble& e = *ensemble_;
  const std::size_t nf = fs_->n_features();
  nodes_.assign(e.n_nodes(), Node{});
  std::vector<std::uint32_t> depth(e.n_nodes(), 0);
  std::uint32_t height = 0;
  score_scale_ = std::fabs(e.base_score());
  std::uint32_t leaves = 0;
  std::vector<std::uint32_t> tree_leaves, tree_height;
  post_order(
      e, [] {},
      [&](std::uint32_t n) {
        nodes_[n] = {e.value()[n], e.value()[n], 0, 0, -1, kNone, 0, 0};
        ++leaves;
      },
      [&](std::uint32_t n) {
        const std::uint32_t l = e.left()[n], r = e.right()[n];
        nodes_[n] = {std::min(nodes_[l].lo, nodes_[r].lo), std::max(nodes_[l].hi, nodes_[r].hi),
                     l, r, e.feature()[n], kNone, 0, e.missing_left()[n]};
        depth[n] = 1 + std::max(depth[l], depth[r]);
        height = std::max(height, depth[n]);
      },
      [&](std::uint32_t root) {
        score_scale_ += std::max(std::fabs(nodes_[root].lo), std::fabs(nodes_[root].hi));
        spread_ += nodes_[root].hi - nodes_[root].lo;
        tree_leaves.push_back(leaves);
        tree_height.push_back(depth[root]);
        leaves = 0;
      });
  score_slack_ = score_scale_ * static_cast<double>(e.n_trees() + 2) * std::ldexp(1.0, -50);
  words_ = (nf + 63) / 64;
  uses_.assign(words_ * e.n_trees(), 0);
  changed_.assign(words_, 0);
  std::vector<std::uint8_t> seen(e.n_nodes(), 0);
  std::vector<std::uint32_t> pending, tree_nodes, slot_of(nf, kNone);
  std::vector<std::vector<std::uint32_t>> splits(nf);
  tree_slots_.push_back(0);
  const std::uint32_t most_listed = g_most_listed_leaves.load();
  std::uint64_t listed_parts = 0;
  listed_.clear();
  for (std::size_t t = 0; t < e.n_trees(); ++t) {
    tree_nodes.clear();
    pending.push_back(e.tree_roots()[t]);
    while (!pending.empty()) {
      const std::uint32_t n = pending.back();
      pending.pop_back();
      if (seen[n] != 0) {
        usable_ = false;  // a node shared between trees: no per-tree partition
        return;
      }
      seen[n] = 1;
      if (e.feature()[n] < 0) continue;
      tree_nodes.push_back(n);
      pending.push_back(e.left()[n]);
      pending.push_back(e.right()[n]);
    }
    for (const std::uint32_t n : tree_nodes) {
      const auto f = static_cast<std::size_t>(e.feature()[n]);
      if (fs_->kind(f) == FeatureKind::Fixed) continue;
      uses_[t * words_ + f / 64] |= std::uint64_t{1} << (f % 64);
      if (fs_->kind(f) == FeatureKind::Ranked) {
        splits[f].push_back(fs_->split_rank(f, e.threshold()[n], e.is_lt()[n] != 0));
      }
    }
    for (const std::uint32_t n : tree_nodes) {
      const auto f = static_cast<std::size_t>(e.feature()[n]);
      if (fs_->kind(f) != FeatureKind::Ranked || slot_of[f] != kNone) continue;
      // The slot's cells: the runs of ranks between its distinct inner split points.
      std::vector<std::uint32_t>& k = splits[f];
      const std::uint32_t n_ranks = fs_->n_ranks(f);
      std::sort(k.begin(), k.end());
      k.erase(std::unique(k.begin(), k.end()), k.end());
      std::erase_if(k, [&](std::uint32_t r) { return r == 0 || r >= n_ranks; });
      Slot s{static_cast<std::uint32_t>(f), static_cast<std::uint32_t>(mu_.size()),
             static_cast<std::uint32_t>(k.size() + 1), static_cast<std::uint32_t>(t)};
      mu_.resize(mu_.size() + s.n_cells + 1, 0.0);
      cell_first_.resize(mu_.size(), 0);
      std::copy(k.begin(), k.end(), cell_first_.begin() + s.mu + 1);
      slot_of[f] = static_cast<std::uint32_t>(slots_.size());
      slots_.push_back(s);
      k.clear();
    }
    for (const std::uint32_t n : tree_nodes) {
      Node& w = nodes_[n];
      const auto f = static_cast<std::size_t>(w.feature);
      if (fs_->kind(f) == FeatureKind::Ranked) {
        w.slot = slot_of[f];
        const Slot& s = slots_[w.slot];
        const std::uint32_t k = fs_->split_rank(f, e.threshold()[n], e.is_lt()[n] != 0);
        w.key = k >= fs_->n_ranks(f) ? s.n_cells : static_cast<std::uint32_t>(cell_at(w.slot, k));
      } else if (fs_->kind(f) == FeatureKind::Masked) {
        w.key = fs_->append_left_set(e, n, f, left_sets_);
      }
    }
    for (const std::uint32_t n : tree_nodes) {
      const auto f = static_cast<std::size_t>(e.feature()[n]);
      if (f < nf) slot_of[f] = kNone;
    }
    tree_slots_.push_back(static_cast<std::uint32_t>(slots_.size()));
    const std::uint64_t parts = std::uint64_t{tree_leaves[t]} * (slots_.size() - tree_slots_[t]);
    const bool list = tree_leaves[t] <= most_listed && tree_height[t] <= kMostListedDepth &&
                      listed_parts + parts <= kMostListedParts;
    listed_.push_back(list ? 1 : 0);
    if (list) listed_parts += parts;
  }
  all_listed_ = std::find(listed_.begin(), listed_.end(), 0) == listed_.end();
  // Slots by feature, and the adjusted cost tables.
  feature_slots_.assign(nf + 1, 0);
  for (const Slot& s : slots_) ++feature_slots_[s.feature + 1];
  for (std::size_t f = 0; f < nf; ++f) feature_slots_[f + 1] += feature_slots_[f];
  feature_slot_list_.assign(slots_.size(), 0);
  std::vector<std::uint32_t> fill(feature_slots_.begin(), feature_slots_.end() - 1);
  for (std::uint32_t s = 0; s < slots_.size(); ++s) {
    feature_slot_list_[fill[slots_[s].feature]++] = s;
  }
  // The prices of a feature's slots side by side: a block update passes them feature by
  // feature, while a tree's walk reads only the few cells of its slots' parts.
  std::vector<std::uint32_t> by_feature(cell_first_.size());
  std::uint32_t offset = 0;
  for (const std::uint32_t s : feature_slot_list_) {
    Slot& slot = slots_[s];
    std::copy_n(cell_first_.begin() + slot.mu, slot.n_cells + 1, by_feature.begin() + offset);
    slot.mu = offset;
    offset += slot.n_cells + 1;
  }
  cell_first_ = std::move(by_feature);
  g_begin_.assign(nf + 1, 0);
  for (std::size_t f = 0; f < nf; ++f) {
    g_begin_[f + 1] = g_begin_[f] + (fs_->kind(f) == FeatureKind::Ranked ? fs_->n_ranks(f) : 0);
  }
  g_.assign(g_begin_[nf], 0.0);
  g_nan_.assign(nf, kInf);
  best_mu_ = grad_ = marginal_ = cell_total_ = mu_;
  rank_total_.assign(g_.size() + 1, 0.0);
  rank_steps_.assign(g_.size() + 1, 0.0);
  rank_infinite_.assign(g_.size() + 1, 0);
  std::uint32_t most_ranks = 1;
  for (std::size_t f = 0; f < nf; ++f) {
    most_ranks = std::max(most_ranks, g_begin_[f + 1] - g_begin_[f]);
  }
  const auto levels = static_cast<std::size_t>(std::bit_width(most_ranks));
  minima_.assign(std::size_t{most_ranks} * levels, 0.0);
  cur_.assign(slots_.size(), Part{});
  arg_part_.assign(slots_.size(), Part{});
  arg_state_.assign(nf, 0);
  arg_value_.assign(e.n_trees(), 0.0);
  feature_min_.assign(nf, 0.0);
  tree_min_.assign(e.n_trees(), 0.0);
  frames_.reserve(2 * height + 2);
  log_.reserve(height + 2);
}

double LagrangeBound::part_min(std::uint32_t s, const Part& p) const {
  const double* mu = mu_.data() + slots_[s].mu;
  double least = p.nan ? mu[slots_[s].n_cells] : kInf;
  for (std::int32_t c = p.lo; c <= p.hi; ++c) least = std::min(least, mu[c]);
  return least;
}

std::int32_t LagrangeBound::least_cell(std::uint32_t s, const Part& p) const {
  const double* mu = mu_.data() + slots_[s].mu;
  std::int32_t best = -1;
  for (std::int32_t c = p.lo; c <= p.hi; ++c) {
    if (best < 0 || mu[c] < mu[best]) best = c;
  }
  const auto nan_cell = static_cast<std::int32_t>(slots_[s].n_cells);
  if (p.nan && (best < 0 || mu[nan_cell] < mu[best])) best = nan_cell;
  return best;
}

// Least cost less the feature's prices over its part of the box (masked features are not
// priced; fixed ones cost nothing).
double LagrangeBound::feature_term(const Box& box, std::size_t f, bool record) {
  const FeatureKind kind = fs_->kind(f);
  if (kind == FeatureKind::Fixed) return 0.0;
  if (kind == FeatureKind::Masked) return fs_->mask_cost(f, box.mask(*fs_, f));
  const RankRange& r = box.ranges[f];
  if (feature_slots_[f] == feature_slots_[f + 1]) return fs_->range_cost(f, r.lo, r.hi, r.nan);
  double least = r.nan ? g_nan_[f] : kInf;
  std::int32_t arg = -1;
  const double* g = g_.data() + g_begin_[f];
  for (std::uint32_t k = r.lo; r.has_ranks() && k <= r.hi; ++k) {
    if (g[k] < least) {
      least = g[k];
      arg = static_cast<std::int32_t>(k);
    }
  }
  if (record) arg_state_[f] = arg;
  return least;
}

void LagrangeBound::rollback(std::uint32_t mark) {
  while (log_.size() > mark) {
    cur_[log_.back().slot] = log_.back().previous;
    log_.pop_back();
  }
}

// The greatest min-marginal so far over the cells of slot s's part along the walk: a
// subtree whose leaves' terms less the part's price are all at least this lowers none.
double LagrangeBound::most_marginal(std::uint32_t s) const {
  const Part& p = cur_[s];
  const double* m = marginal_.data() + slots_[s].mu;
  double most = p.nan ? m[slots_[s].n_cells] : -kInf;
  for (std::int32_t c = p.lo; c <= p.hi; ++c) most = std::max(most, m[c]);
  return most;
}

// Least over the tree's leaves (reachable in the box, as far as the walk tells) of the
// priced parts less (lambda_lo - lambda_hi) times the leaf's value. Depth first, the child
// of the lower priced sum first; a subtree that cannot beat the best leaf is skipped (parts
// only narrow below a node, so their least prices only rise). For slot `marginal`'s
// min-marginals, a subtree is skipped when it cannot lower any of them.
double LagrangeBound::tree_term(const Box& box, std::size_t t, bool record,
                                std::uint32_t marginal) {
  const double lam = lam_lo_ - lam_hi_;
  double acc = 0.0;
  for (std::uint32_t s = tree_slots_[t]; s < tree_slots_[t + 1]; ++s) {
    Part& p = cur_[s];
    fill_cells(s, box.ranges[slots_[s].feature], p);
    p.min = part_min(s, p);
    acc = acc + p.min;
  }
  double best = kInf, best_value = 0.0;
  frames_.clear();
  log_.clear();
  frames_.push_back({ensemble_->tree_roots()[t], 0, kNone, Part{}, acc});
  while (!frames_.empty()) {
    const Frame fr = frames_.back();
    frames_.pop_back();
    rollback(fr.log_mark);
    if (fr.slot != kNone) {
      log_.push_back({fr.slot, cur_[fr.slot]});
      cur_[fr.slot] = fr.part;
    }
    std::uint32_t n = fr.node;
    acc = fr.acc;
    for (;;) {
      const Node& w = nodes_[n];
      visits_ += 1.0;
      const double least_here = acc - std::max(lam * w.lo, lam * w.hi);
      if (marginal == kNone && least_here >= best) break;
      if (marginal != kNone && least_here - cur_[marginal].min >= most_marginal(marginal)) break;
      if (w.feature < 0 && marginal != kNone) {
        record_marginal(marginal, acc - lam * w.lo);
        break;
      }
      if (w.feature < 0) {
        best = acc - lam * w.lo;
        best_value = w.lo;
        if (record) {
          std::copy(cur_.begin() + tree_slots_[t], cur_.begin() + tree_slots_[t + 1],
                    arg_part_.begin() + tree_slots_[t]);
        }
        break;
      }
      const auto f = static_cast<std::size_t>(w.feature);
      const FeatureKind kind = fs_->kind(f);
      if (kind == FeatureKind::Fixed) {
        n = ensemble_->next_node(n, fs_->fixed_value(f));
        continue;
      }
      if (kind == FeatureKind::Masked) {
        bool any_l = false, any_r = false;
        masked_sides(box, w, any_l, any_r);
        if (any_l && any_r) {
          const auto mark = static_cast<std::uint32_t>(log_.size());
          frames_.push_back({w.right, mark, kNone, Part{}, acc});
          frames_.push_back({w.left, mark, kNone, Part{}, acc});
          break;
        }
        n = any_l ? w.left : w.right;
        continue;
      }
      const Part c = cur_[w.slot];
      Part l, r;
      split_part(c, w, l, r);
      if (l.lo > l.hi && !l.nan) {
        n = w.right;
        continue;
      }
      if (r.lo > r.hi && !r.nan) {
        n = w.left;
        continue;
      }
      l.min = part_min(w.slot, l);
      r.min = part_min(w.slot, r);
      const double al = acc - c.min + l.min, ar = acc - c.min + r.min;
      const auto mark = static_cast<std::uint32_t>(log_.size());
      const Frame fl{w.left, mark, w.slot, l, al}, frr{w.right, mark, w.slot, r, ar};
      const bool left_first = al <= ar;
      frames_.push_back(left_first ? frr : fl);
      frames_.push_back(left_first ? fl : frr);
      break;
    }
  }
  rollback(0);
  if (record) arg_value_[t] = best_value;
  return best;
}

// The bound before the allowance, every term computed afresh.
double LagrangeBound::full(const Box& box, bool record) {
  for (std::size_t f = 0; f < fs_->n_features(); ++f) {
    feature_min_[f] = feature_term(box, f, record);
  }
  for (std::size_t t = 0; t < tree_min_.size(); ++t) tree_min_[t] = tree_term(box, t, record);
  return total();
}

double LagrangeBound::total() const {
  double sum = 0.0;
  for (const double v : feature_min_) sum = sum + v;
  for (const double v : tree_min_) sum = sum + v;
  const double base = ensemble_->base_score();
  if (lo_t_ > -kInf) sum = sum + lam_lo_ * (lo_t_ - base);
  if (hi_t_ < kInf) sum = sum - lam_hi_ * (hi_t_ - base);
  return sum;
}

void LagrangeBound::refresh_costs() {
  for (std::size_t f = 0; f < fs_->n_features(); ++f) refresh_feature(f);
}

// The feature's cost less the prices of every tree's cell, per rank and for missing.
void LagrangeBound::refresh_feature(std::size_t f) {
  if (fs_->kind(f) != FeatureKind::Ranked) return;
  double* g = g_.data() + g_begin_[f];
  const std::uint32_t n_ranks = fs_->n_ranks(f);
  g_nan_[f] = fs_->nan_cost(f);
  for (std::uint32_t i = feature_slots_[f]; i < feature_slots_[f + 1]; ++i) {
    const Slot& s = slots_[feature_slot_list_[i]];
    g_nan_[f] = g_nan_[f] - mu_[s.mu + s.n_cells];
  }
  if (n_ranks == 0) return;
  sum_over_slots(f, 0, n_ranks - 1, false);
  for (std::uint32_t r = 0; r < n_ranks; ++r) g[r] = fs_->rank_cost(f, r) - rank_total_[r];
}

// Into rank_total_[lo..hi]: the sum over f's slots of the price of the rank's cell (plus its
// min-marginal with `marginals`), +inf where any is. Each sum's rounding stays well within
// the bound's allowance: the running sum never holds more than the values' magnitudes, and
// adds a step per cell and per rank.
void LagrangeBound::sum_over_slots(std::size_t f, std::uint32_t lo, std::uint32_t hi,
                                   bool marginals) {
  double* step = rank_steps_.data();
  std::int32_t* infinite = rank_infinite_.data();
  std::fill(step + lo, step + hi + 2, 0.0);
  std::fill(infinite + lo, infinite + hi + 2, 0);
  for (std::uint32_t i = feature_slots_[f]; i < feature_slots_[f + 1]; ++i) {
    const Slot& s = slots_[feature_slot_list_[i]];
    const std::uint32_t* first = cell_first_.data() + s.mu;
    std::int32_t c_lo = 0, c_hi = 0;
    cells_between(feature_slot_list_[i], lo, hi, c_lo, c_hi);
    double before = 0.0;
    for (auto c = static_cast<std::uint32_t>(c_lo); c <= static_cast<std::uint32_t>(c_hi); ++c) {
      const std::uint32_t from = std::max(first[c], lo);
      const double v = marginals ? mu_[s.mu + c] + marginal_[s.mu + c] : mu_[s.mu + c];
      if (std::isfinite(v)) {
        step[from] = step[from] + (v - before);
        before = v;
      } else {
        step[from] = step[from] - before;
        before = 0.0;
        ++infinite[from];
        const std::uint32_t past = c + 1 < s.n_cells ? std::min(first[c + 1], hi + 1) : hi + 1;
        --infinite[past];
      }
    }
  }
  double run = 0.0;
  std::int32_t open = 0;
  for (std::uint32_t r = lo; r <= hi; ++r) {
    run = run + step[r];
    open += infinite[r];
    rank_total_[r] = open > 0 ? kInf : run;
  }
}

// One projected subgradient step of the prices from the minimisers of the last recorded
// evaluation: a tree's copy in another cell than the row's pulls its cell's price up and
// the row's down; the window's prices follow its violation by the trees' leaves.
bool LagrangeBound::subgradient_step(double lb, double target, double alpha) {
  std::fill(grad_.begin(), grad_.end(), 0.0);
  double norm2 = 0.0;
  for (std::uint32_t s = 0; s < slots_.size(); ++s) {
    const Slot& slot = slots_[s];
    const std::int32_t mine = least_cell(s, arg_part_[s]);
    const std::int32_t state = arg_state_[slot.feature];
    const std::int32_t row = state < 0 ? static_cast<std::int32_t>(slot.n_cells)
                                       : cell_at(s, static_cast<std::uint32_t>(state));
    if (mine == row || mine < 0) continue;
    grad_[slot.mu + static_cast<std::uint32_t>(mine)] += 1.0;
    grad_[slot.mu + static_cast<std::uint32_t>(row)] -= 1.0;
    norm2 += 2.0;
  }
  const double base = ensemble_->base_score();
  double value_sum = 0.0;
  for (const double v : arg_value_) value_sum = value_sum + v;
  double g_lo = lo_t_ > -kInf ? (lo_t_ - base) - value_sum : 0.0;
  double g_hi = hi_t_ < kInf ? value_sum - (hi_t_ - base) : 0.0;
  if (lam_lo_ == 0.0 && g_lo < 0.0) g_lo = 0.0;
  if (lam_hi_ == 0.0 && g_hi < 0.0) g_hi = 0.0;
  // The window's prices move in units of `unit` (so that a violation by the whole spread
  // of the trees weighs like a disagreement of every slot), the prices of cells in units
  // of one: without that, the score's scale would set every step.
  const double unit =
      spread_ > 0.0 ? std::sqrt(static_cast<double>(slots_.size()) + 1.0) / spread_ : 1.0;
  g_lo *= unit;
  g_hi *= unit;
  norm2 += g_lo * g_lo + g_hi * g_hi;
  if (norm2 == 0.0) return false;  // the copies agree and the window holds: nothing to gain
  const double step = alpha * (target - lb) / norm2;
  for (std::size_t i = 0; i < mu_.size(); ++i) mu_[i] = mu_[i] + step * grad_[i];
  lam_lo_ = std::max(0.0, lam_lo_ + step * g_lo * unit);
  lam_hi_ = std::max(0.0, lam_hi_ + step * g_hi * unit);
  return true;
}

void LagrangeBound::keep_prices() {
  best_mu_ = mu_;
  best_lam_lo_ = lam_lo_;
  best_lam_hi_ = lam_hi_;
}

void LagrangeBound::keep_if_best(double lb, double& best_lb) {
  if (!(lb > best_lb)) return;
  best_lb = lb;
  keep_prices();
}

// Subgradient ascent from zero prices, keeping the prices of the best bound seen (the step
// factor halves after a few steps without a better bound), then dual ascent from them
// (lagrange_ascent.cpp) within `ascent_visits` tree-node visits.
void LagrangeBound::fit(const Box& box, double target, int iterations, double ascent_visits,
                        Watch* watch) {
  if (!usable_) return;
  watch_ = watch;
  std::fill(mu_.begin(), mu_.end(), 0.0);
  lam_lo_ = lam_hi_ = 0.0;
  refresh_costs();
  double best_lb = -kInf, alpha = 1.0;
  int stall = 0;
  keep_prices();
  for (int i = 0; i < iterations && !stopped(); ++i) {
    const double lb = full(box, true);
    if (lb > best_lb) {
      keep_if_best(lb, best_lb);
      stall = 0;
    } else if (++stall >= 5) {
      alpha *= 0.5;
      stall = 0;
    }
    const double aim = target < kInf ? target : best_lb + 0.1 * std::max(1.0, std::fabs(best_lb));
    if (lb >= aim || !subgradient_step(lb, aim, alpha)) break;
    refresh_costs();
  }
  if (ascent_visits > 0.0 && best_lb < target) {
    ascend(box, best_lb, ascent_visits, {kFitFactor, kFitLastFactor, kFitTrialSweeps, false});
  }
  take_best();
}

double LagrangeBound::refit(const Box& box, double ascent_visits, Watch* watch) {
  if (!usable_ || !fitted_) return 0.0;
  watch_ = watch;
  keep_prices();
  const double before = full(box, false);
  double best_lb = before;
  ascend(box, best_lb, ascent_visits, {kRefitFactor, kRefitLastFactor, kRefitTrialSweeps, true});
  take_best();
  return (best_lb - before) / std::max(1e-12, std::fabs(best_lb));
}

void LagrangeBound::take_best() {
  mu_ = best_mu_;
  lam_lo_ = best_lam_lo_;
  lam_hi_ = best_lam_hi_;
  refresh_costs();
  set_allowance();
  fitted_ = true;
  have_last_ = false;
  watch_ = nullptr;
}

// Relative rounding of every sum of the bound (generously, over the magnitudes of all its
// parts), and the gap between a row's computed score and its exact sum of leaf values.
void LagrangeBound::set_allowance() {
  double magnitude = 0.0;
  for (const double m : mu_) magnitude += std::fabs(m);
  for (std::size_t f = 0; f < fs_->n_features(); ++f) {
    if (fs_->kind(f) == FeatureKind::Fixed) continue;
    double most = 0.0;
    for (const State& s : fs_->domains()[f]) {
      if (std::isfinite(s.cost)) most = std::max(most, std::fabs(s.cost));
    }
    magnitude += most;
  }
  const double base = ensemble_->base_score();
  magnitude += (lam_lo_ + lam_hi_) * score_scale_;
  if (lo_t_ > -kInf) magnitude += lam_lo_ * std::fabs(lo_t_ - base);
  if (hi_t_ < kInf) magnitude += lam_hi_ * std::fabs(hi_t_ - base);
  allowance_ = magnitude * 1e-9 + (lam_lo_ + lam_hi_) * score_slack_;
}

void LagrangeBound::mark_changed(const Box& box) {
  for (std::size_t f = 0; f < fs_->n_features(); ++f) {
    const bool same = same_part(*fs_, box, last_box_, f);
    const std::uint64_t bit = std::uint64_t{1} << (f % 64);
    changed_[f / 64] = same ? changed_[f / 64] & ~bit : changed_[f / 64] | bit;
  }
}

bool LagrangeBound::tree_changed(std::size_t t) const {
  for (std::size_t w = 0; w < words_; ++w) {
    if ((uses_[t * words_ + w] & changed_[w]) != 0) return true;
  }
  return false;
}

double LagrangeBound::evaluate(const Box& box) {
  if (!fitted_) return -kInf;
  double sum;
  if (!have_last_) {
    sum = full(box, true);
  } else {
    mark_changed(box);
    for (std::size_t f = 0; f < fs_->n_features(); ++f) {
      if ((changed_[f / 64] >> (f % 64)) & 1u) feature_min_[f] = feature_term(box, f, true);
    }
    for (std::size_t t = 0; t < tree_min_.size(); ++t) {
      if (tree_changed(t)) tree_min_[t] = tree_term(box, t, true);
    }
    sum = total();
  }
  last_box_ = box;
  have_last_ = true;
  return sum - allowance_;
}

}  // namespace morvel::exact
