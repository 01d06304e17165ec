// Dual ascent of the priced bound: block updates of one feature's prices at a time, and
// moves of the window's price towards its best given theirs (or a search over it around the
// one the subgradient steps found). Also the bounds per state that narrow boxes, from the
// same min-marginals.
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "exact/lagrange.hpp"

namespace morvel::exact {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// How much farther than its best for the cells' prices the window's price moves, and the
// least gain of a sweep (relative to the bound) that keeps that going.
constexpr double kPriceReach = 2.0;
constexpr double kLeastSweepGain = 1e-4;

}  // namespace

// A leaf of the walk for slot s's min-marginals: the leaf's term without s's least price,
// which bounds the term of every cell of s the leaf's part holds.
void LagrangeBound::record_marginal(std::uint32_t s, double leaf_term) {
  const Part& p = cur_[s];
  const double rest = leaf_term - p.min;
  double* m = marginal_.data() + slots_[s].mu;
  for (std::int32_t c = p.lo; c <= p.hi; ++c) m[c] = std::min(m[c], rest);
  if (p.nan) m[slots_[s].n_cells] = std::min(m[slots_[s].n_cells], rest);
}

void LagrangeBound::set_net_price(double net) {
  lam_lo_ = lo_t_ > -kInf ? std::max(net, 0.0) : 0.0;
  lam_hi_ = hi_t_ < kInf ? std::max(-net, 0.0) : 0.0;
}

// Per state r of feature f in the box, into rank_total_ (returning the missing state's):
// the feature's priced cost plus, for each tree that tests f, its least term with its copy
// in r's cell (each tree's min-marginals, left in marginal_ less the cells' prices). The
// bound of the box with f at r is the bound less f's and those trees' terms, plus this.
double LagrangeBound::state_totals(const Box& box, std::size_t f) {
  const std::uint32_t first = feature_slots_[f], last = feature_slots_[f + 1];
  for (std::uint32_t i = first; i < last; ++i) {
    const std::uint32_t s = feature_slot_list_[i];
    std::fill_n(marginal_.begin() + slots_[s].mu, slots_[s].n_cells + 1, kInf);
    if (tables_ && listed_[slots_[s].tree] != 0) {
      leaf_marginals(s);
    } else {
      tree_term(box, slots_[s].tree, false, s);
    }
  }
  const RankRange& r = box.ranges[f];
  const double* g = g_.data() + g_begin_[f];
  double* b = rank_total_.data();
  const std::uint32_t lo = r.has_ranks() ? r.lo : 1, hi = r.has_ranks() ? r.hi : 0;
  double b_nan = r.nan ? g_nan_[f] : kInf;
  for (std::uint32_t i = first; i < last; ++i) {
    const Slot& s = slots_[feature_slot_list_[i]];
    b_nan = b_nan + (mu_[s.mu + s.n_cells] + marginal_[s.mu + s.n_cells]);
  }
  if (lo <= hi) {
    sum_over_slots(f, lo, hi, true);
    for (std::uint32_t k = lo; k <= hi; ++k) b[k] = g[k] + b[k];
  }
  return b_nan;
}

// The bound of the box with f at one state replaces f's term and those of the trees that
// test f by the state's total; every other term can only rise in the narrower box. The
// difference of sums gets twice the rounding allowance.
void LagrangeBound::price_states(const Box& box, Watch* watch) {
  if (!fitted_) return;
  watch_ = watch;
  const double whole = full(box, false);
  list_leaves(box);
  price_leaves();
  tables_ = true;
  state_lb_.assign(g_.size(), -kInf);
  state_lb_nan_.assign(fs_->n_features(), -kInf);
  for (std::size_t f = 0; f < fs_->n_features() && !stopped(); ++f) {
    if (fs_->kind(f) != FeatureKind::Ranked) continue;
    const double rest = rest_of(whole, f);
    const double b_nan = state_totals(box, f);
    const RankRange& r = box.ranges[f];
    double* lb = state_lb_.data() + g_begin_[f];
    for (std::uint32_t k = r.lo; r.has_ranks() && k <= r.hi; ++k) lb[k] = rest + rank_total_[k];
    if (r.nan) state_lb_nan_[f] = rest + b_nan;
  }
  tables_ = false;
  have_last_ = false;
  watch_ = nullptr;
}

bool LagrangeBound::trim(Box& box, double threshold, bool& narrowed) const {
  if (state_lb_.empty()) return true;
  for (std::size_t f = 0; f < fs_->n_features(); ++f) {
    if (fs_->kind(f) != FeatureKind::Ranked) continue;
    RankRange& r = box.ranges[f];
    narrowed = narrow_range(r, state_lb_.data() + g_begin_[f], state_lb_nan_[f], threshold) ||
               narrowed;
    if (r.empty()) return false;
  }
  return true;
}

void LagrangeBound::favoured_states(const Box& box, std::vector<std::size_t>& state_of) const {
  if (state_lb_.empty()) return;
  for (std::size_t f = 0; f < fs_->n_features(); ++f) {
    if (fs_->kind(f) != FeatureKind::Ranked) continue;
    const RankRange& r = box.ranges[f];
    const double* lb = state_lb_.data() + g_begin_[f];
    double best_lb = kInf, best_cost = kInf;
    std::uint32_t best = kNoState;
    auto consider = [&](std::uint32_t state, double bound, double cost) {
      if (bound < best_lb || (bound == best_lb && cost < best_cost)) {
        best_lb = bound;
        best_cost = cost;
        best = state;
      }
    };
    for (std::uint32_t k = r.lo; r.has_ranks() && k <= r.hi; ++k) {
      consider(fs_->rank_state(f, k), lb[k], fs_->rank_cost(f, k));
    }
    if (r.nan) consider(fs_->nan_state(f), state_lb_nan_[f], fs_->nan_cost(f));
    if (best != kNoState) state_of[f] = best;
  }
}

// Feature by feature, each bounded on the box as narrowed so far (its trees reach fewer
// leaves, so later features' bounds are higher). The box's other terms are those of the
// box before any narrowing, which the narrower box's can only exceed.
bool LagrangeBound::trim_by_own_states(Box& box, double threshold, bool& narrowed) {
  if (!fitted_) return true;
  evaluate(box);
  const double whole = total();
  list_leaves(box);
  price_leaves();
  tables_ = true;
  bool open = true;
  for (std::size_t f = 0; f < fs_->n_features() && open; ++f) {
    RankRange& r = box.ranges[f];
    const std::uint32_t ranks = r.has_ranks() ? r.hi - r.lo + 1 : 0;
    if (fs_->kind(f) != FeatureKind::Ranked || ranks + (r.nan ? 1 : 0) < 2) continue;
    const double rest = rest_of(whole, f);
    const double lb_nan = rest + state_totals(box, f);
    for (std::uint32_t k = r.lo; k <= r.hi; ++k) rank_total_[k] = rest + rank_total_[k];
    if (narrow_range(r, rank_total_.data(), lb_nan, threshold)) {
      narrowed = true;
      open = !r.empty();
      if (open) narrow_leaves(f, r);
    }
  }
  tables_ = false;
  return open;
}

// The bound of the box with f at any one state, less that state's total (below).
double LagrangeBound::rest_of(double whole, std::size_t f) const {
  double rest = whole - feature_min_[f];
  for (std::uint32_t i = feature_slots_[f]; i < feature_slots_[f + 1]; ++i) {
    rest = rest - tree_min_[slots_[feature_slot_list_[i]].tree];
  }
  return rest - 2.0 * allowance_;
}

// Drops the ranks at either end of `r`, and its missing state, whose bound (lb by rank,
// lb_nan) reaches the threshold. Returns whether it narrowed.
bool LagrangeBound::narrow_range(RankRange& r, const double* lb, double lb_nan,
                                 double threshold) {
  const RankRange before = r;
  while (r.has_ranks() && lb[r.lo] >= threshold) ++r.lo;
  while (r.has_ranks() && lb[r.hi] >= threshold) {
    if (r.hi == r.lo) r.lo = r.hi + 1;  // no rank left (hi may be 0)
    else --r.hi;
  }
  if (!r.has_ranks()) r.lo = 1, r.hi = 0;
  if (r.nan && lb_nan >= threshold) r.nan = false;
  return !(r == before);
}

// The block update of feature f's prices, every other price fixed. With m_t(c) the least
// term of tree t whose copy of f lies in cell c, less the cell's price, the block can give
// at most b* = min over f's states r in the box of cost(r) + sum_t m_t(c_t(r)) (the terms
// are minimised apart, the sum at once). Pricing each cell at B_t(c) / (n + 1) - m_t(c),
// B_t(c) being the least total over the cell's states, gives each of the n trees b*/(n+1)
// and leaves the feature's own term at least b* - n b*/(n+1): the block reaches b*, so the
// bound never falls (up to rounding). Cells outside the box keep their prices.
void LagrangeBound::spread_feature(const Box& box, std::size_t f) {
  const std::uint32_t first = feature_slots_[f], last = feature_slots_[f + 1];
  const RankRange& r = box.ranges[f];
  if (first == last) return;
  const double b_nan = state_totals(box, f);
  const double* b = rank_total_.data();
  const std::uint32_t lo = r.has_ranks() ? r.lo : 1, hi = r.has_ranks() ? r.hi : 0;
  double least = r.nan ? b_nan : kInf;
  for (std::uint32_t k = lo; k <= hi; ++k) least = std::min(least, b[k]);
  if (!std::isfinite(least)) return;
  const double share = 1.0 / static_cast<double>(last - first + 1);
  if (lo <= hi) index_minima(b, lo, hi);
  for (std::uint32_t i = first; i < last; ++i) {
    const std::uint32_t slot = feature_slot_list_[i];
    const Slot& s = slots_[slot];
    double* mu = mu_.data() + s.mu;
    const double* m = marginal_.data() + s.mu;
    double* total = cell_total_.data() + s.mu;
    std::fill_n(total, s.n_cells + 1, kInf);
    if (lo <= hi) {
      const std::uint32_t* cell_first = cell_first_.data() + s.mu;
      std::int32_t cell_lo = 0, cell_hi = 0;
      cells_between(slot, lo, hi, cell_lo, cell_hi);
      const auto c_lo = static_cast<std::uint32_t>(cell_lo);
      const auto c_hi = static_cast<std::uint32_t>(cell_hi);
      for (std::uint32_t c = c_lo; c <= c_hi; ++c) {
        const std::uint32_t from = std::max(cell_first[c], lo);
        const std::uint32_t to = c == c_hi ? hi : cell_first[c + 1] - 1;
        total[c] = least_between(from, to);
      }
    }
    total[s.n_cells] = b_nan;
    for (std::uint32_t c = 0; c <= s.n_cells; ++c) {
      if (!std::isfinite(m[c])) continue;  // outside the box
      // A cell whose states all cost infinitely much: any finite price will do.
      const double t = std::isfinite(total[c]) ? total[c] : least;
      mu[c] = t * share - m[c];
    }
  }
  refresh_feature(f);
  if (tables_) reprice_leaves(f);
}

// A sparse table of the minima of b[lo..hi] over runs of a power of two ranks, so that the
// least of any run is the lesser of two entries (exact: minima do not round).
void LagrangeBound::index_minima(const double* b, std::uint32_t lo, std::uint32_t hi) {
  const std::uint32_t width = hi - lo + 1;
  minima_lo_ = lo;
  minima_width_ = width;
  double* level = minima_.data();
  std::copy(b + lo, b + hi + 1, level);
  for (std::uint32_t half = 1; 2 * half <= width; half *= 2) {
    double* next = level + width;
    for (std::uint32_t i = 0; i + 2 * half <= width; ++i) {
      next[i] = std::min(level[i], level[i + half]);
    }
    level = next;
  }
}

double LagrangeBound::least_between(std::uint32_t from, std::uint32_t to) const {
  const std::uint32_t n = to - from + 1;
  const auto depth = static_cast<std::uint32_t>(std::bit_width(n) - 1);
  const double* level = minima_.data() + std::size_t{depth} * minima_width_;
  return std::min(level[from - minima_lo_], level[to + 1 - (1u << depth) - minima_lo_]);
}

// With every tree listed: sweeps of block updates, each followed by a move of the window's
// price towards its best given the cells' prices (window_price.hpp). The cells' prices were
// set for the last price and follow a move only in the next sweep, so the best price for
// them lags behind the best over all prices: the move goes kPriceReach times as far. A
// sweep that does not raise the best bound by a ten-thousandth of it goes back to the best
// prices, and from then on each move goes only as far as the best price (on such a box the
// cells' prices follow the window's closely, and reaching further only loses sweeps); such
// a move cannot lower the bound, nor can a sweep, so when one gains no more the ascent
// stops short of its budget.
void LagrangeBound::ascend_by_window(const Box& box, double& best_lb, double budget) {
  window_price_.order(tree_rows_, leaf_values_);
  double reach = kPriceReach, most_reach = kPriceReach;
  from_best_prices(best_lam_lo_ - best_lam_hi_);
  while (more(budget)) {
    for (std::size_t f = 0; f < fs_->n_features() && more(budget); ++f) spread_feature(box, f);
    move_window_price(reach);
    const double before = best_lb;
    keep_if_best(full(box, false), best_lb);
    const bool gained = std::isfinite(before)
                            ? best_lb > before + kLeastSweepGain * std::fabs(before)
                            : best_lb > before;
    if (gained) {
      reach = most_reach;
    } else if (reach != 1.0) {
      reach = most_reach = 1.0;
      from_best_prices(best_lam_lo_ - best_lam_hi_);
    } else {
      break;
    }
  }
}

// Moves the window's price `reach` times as far as its best given the cells' prices (not
// past zero where an end has no price), the listed leaves' terms with it.
void LagrangeBound::move_window_price(double reach) {
  const double net = lam_lo_ - lam_hi_, base = ensemble_->base_score();
  double to = 0.0;
  if (!window_price_.best(leaf_terms_, net, lo_t_ - base, hi_t_ - base, to)) return;
  const double far = net + reach * (to - net);
  if ((lo_t_ > -kInf || far <= 0.0) && (hi_t_ < kInf || far >= 0.0)) to = far;
  set_net_price(to);
  const double shift = net - to;
  for (std::size_t k = 0; k < leaf_terms_.size(); ++k) {
    leaf_terms_[k] = leaf_terms_[k] + shift * leaf_values_[k];
  }
}

// The best prices so far, the window's at `net`, with the costs and leaves priced by them.
void LagrangeBound::from_best_prices(double net) {
  mu_ = best_mu_;
  set_net_price(net);
  refresh_costs();
  price_leaves();
}

// Sweeps of block updates at window price `net` (from the best prices so far), keeping the
// best bound; returns the best bound of this trial.
double LagrangeBound::ascend_at(const Box& box, double net, double& best_lb, double budget,
                                int sweeps) {
  from_best_prices(net);
  double trial = -kInf;
  for (int sweep = 0; sweep < sweeps && more(budget); ++sweep) {
    for (std::size_t f = 0; f < fs_->n_features() && more(budget); ++f) {
      spread_feature(box, f);
    }
    const double lb = full(box, false);
    trial = std::max(trial, lb);
    keep_if_best(lb, best_lb);
  }
  return trial;
}

// The ascent from the best prices so far. With every tree listed, the window's price moves
// with the sweeps (above); a refit then goes on with the search below, which tries prices
// the moves stop short of (at a corner of the bound, a move given the cells' prices may
// not go on where moving with them would). Otherwise there are no envelopes to move by,
// and only a pattern search over the price (the best bound over the other prices is
// concave in it): from the subgradient's price, try it times or over a factor, on the side
// that won last first, and move to the first that is better (the other side is not tried:
// a trial is sweeps, and the winning side tends to win again); shrink the factor when
// neither is better; then sweep at the best price until the budget is spent.
void LagrangeBound::ascend(const Box& box, double& best_lb, double budget,
                           const AscentPlan& plan) {
  visits_ = 0.0;
  double net = best_lam_lo_ - best_lam_hi_;
  if (net == 0.0) return;  // the window costs nothing to reach: no price to search
  list_leaves(box);
  tables_ = true;
  if (all_listed_) {
    ascend_by_window(box, best_lb, budget);
    net = best_lam_lo_ - best_lam_hi_;
    if (!plan.search_after_moves || net == 0.0) {
      tables_ = false;
      return;
    }
  }
  const int sweeps = plan.sweeps;
  double centre = ascend_at(box, net, best_lb, budget, sweeps);
  bool up_first = true;  // the side that won last: tried first, kept when it is better
  for (double factor = plan.first_factor; factor > plan.last_factor && more(budget);) {
    const double step = up_first ? factor : 1.0 / factor;
    const double first = ascend_at(box, net * step, best_lb, budget, sweeps);
    if (first > centre) {
      net *= step, centre = first;
      continue;
    }
    const double second =
        more(budget) ? ascend_at(box, net / step, best_lb, budget, sweeps) : -kInf;
    if (second > centre) {
      net /= step, centre = second, up_first = !up_first;
    } else {
      factor = std::sqrt(factor);
    }
  }
  while (more(budget)) {
    const double before = best_lb;
    ascend_at(box, best_lam_lo_ - best_lam_hi_, best_lb, budget, sweeps);
    if (!(best_lb > before + 1e-12 * std::max(1.0, std::fabs(before)))) break;
  }
  tables_ = false;
}

}  // namespace morvel::exact
