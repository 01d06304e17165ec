// A bound that makes the trees agree: Lagrangian decomposition over one ensemble's window.
//
// The frontier bound (frontier.hpp) lets every tree spend the whole extra cost on its own
// leaf, so trees that need different states of one feature are each assumed to get theirs.
// Here every tree t gets its own copy x^t of the features it splits on, and the copies are
// tied to the row x by prices: mu[t,f,k] per tree, per feature f that t splits on (ranked
// features only), per cell k of t's own partition of f's states (the runs of ranks between
// t's split points on f, and the missing state as a cell of its own). The window
// lo <= base + sum_t v_t(x) <= hi is priced by lambda_lo, lambda_hi >= 0.
//
// For a row x of box B inside the window, with every copy x^t = x,
//   cost(x) >= cost(x) + lambda_lo (lo - score) + lambda_hi (score - hi)
//            + sum_{t,f} (mu[t,f,k_t(x^t_f)] - mu[t,f,k_t(x_f)])
// since the window terms are <= 0 and the price terms are 0. Regrouped, the right side is
//   sum_f (c_f(x_f) - sum_{t uses f} mu[t,f,k_t(x_f)])
//   + sum_t (sum_{f in t} mu[t,f,k_t(x^t_f)] - (lambda_lo - lambda_hi) v_t(x^t))
//   + lambda_lo (lo - base) - lambda_hi (hi - base)
// and minimising each feature's term over B_f and each tree's term over the copies in B
// (independently) gives a lower bound that holds for any prices. A tree's minimum is over
// its leaves: a leaf's region is a product of per-feature parts, so the priced sum splits
// into per-feature minima over B_f cut to the leaf's side of each split. Leaves that no row
// of B reaches may be counted too (a minimum over more candidates is only lower): masked
// (categorical) features are not priced and are tested against the box, not the path. Any
// rule of the problem the relaxation leaves out (implications, pairs, other windows) only
// makes the bound weaker. An end of the window that is infinite gets no price.
//
// Rounding. The bound subtracts an allowance for the floating sums (relative to the
// magnitudes involved) and for a row whose computed score lies in the window while its
// exact sum of leaf values lies a hair outside ((lambda_lo + lambda_hi) times the error of
// such a sum).
//
// Fitting. The prices are fitted on one box, and boxes only evaluate them. First a fixed
// number of projected subgradient steps (Polyak steps towards a target cost, the factor
// halving after a few steps without a better bound): a step raises the price of the cell a
// tree's copy chose and lowers that of the row's cell where they differ, and moves the
// window's prices by its violation by the chosen leaves, scaled so that the score's units
// do not swamp the cells'. Those steps find the window's price
// roughly but stall well below what the cells' prices can give. Then dual ascent
// (lagrange_ascent.cpp), within a budget of tree-node visits: sweeps over the features,
// each setting one feature's prices in every tree to their best given all the other prices
// (from each tree's least term per cell of the feature: one pass over a tree's list of the
// leaves it reaches in the box, kept priced as the prices move, or one walk of a tree too
// large or deep to list; the update is argued there), so that a sweep never lowers the
// bound. After each sweep the window's price moves towards its best given the cells'
// prices, found exactly from each tree's lower envelope of its leaves' lines in that price
// (window_price.hpp); refits, and ensembles with a tree too large to list, search over the
// window's price around the sweeps, on which the best bound over the other prices is
// concave. A listed leaf counts as a visit. Soundness needs nothing of the fit (the bound
// holds for any prices); the fit keeps the prices of the best bound it has seen. A refit
// goes on with the ascent from the prices in use, so the bound on its box never falls.
// Deterministic: the budgets count steps and visits, never time.
//
// Bounds per state. With every price fixed, narrowing feature f to one state r changes
// only f's own term (to its priced cost at r) and the terms of the trees that test f (to
// their least term with the copy of f in r's cell; every other tree and feature term can
// only rise in the narrower box). Those least terms per cell are the min-marginals the
// block update computes anyway, so one pass over each tree's listed leaves (or one walk
// of a tree not listed) per feature it tests bounds every state of the box: the bound less
// f's and those trees' terms, plus r's total. A state
// whose bound reaches the incumbent's cost holds no cheaper row, and can leave the box.
//
// Splits. Each evaluation keeps, term by term, where its minimum lies: the state of each
// feature and the cells of each tree's copies. A tree whose copy leaves the feature's state
// is counted by a row that does not exist; the feature most copies leave, cut between its
// state and their cells, is where a split lets the children's bounds rise
// (lagrange_split.cpp). Which child holds which row is all a split decides, so the bound
// stays as sound as before.
//
// Evaluation redoes only the feature terms and trees whose features changed their part of
// the box since the last one, and allocates nothing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "exact/box.hpp"
#include "exact/window_price.hpp"
#include "ir.hpp"
#include "watch.hpp"

namespace morvel::exact {

// The cells that ranks lo and hi (lo <= hi) fall in, for a slot of n cells whose first ranks
// are first[0..n) (first[0] = 0, increasing): how many of its inner split points are at or
// below each. A slot's cells are found from these rather than from a table per rank: such
// tables (a slot's ranks, for every slot) outgrow the caches on large ensembles, and their
// misses were most of the walks' time, while a slot's first ranks sit beside its prices.
// Few cells are scanned (most ranges start in the first ones), many searched.
inline void cells_of_ranks(const std::uint32_t* first, std::uint32_t n, std::uint32_t lo,
                           std::uint32_t hi, std::int32_t& c_lo, std::int32_t& c_hi) {
  constexpr std::uint32_t kScannedCells = 16;
  if (n > kScannedCells) {
    const std::uint32_t* at_lo = std::upper_bound(first + 1, first + n, lo);
    c_lo = static_cast<std::int32_t>(at_lo - (first + 1));
    c_hi = static_cast<std::int32_t>(std::upper_bound(at_lo, first + n, hi) - (first + 1));
    return;
  }
  std::uint32_t c = 1;
  while (c < n && first[c] <= lo) ++c;
  c_lo = static_cast<std::int32_t>(c - 1);
  while (c < n && first[c] <= hi) ++c;
  c_hi = static_cast<std::int32_t>(c - 1);
}

class LagrangeBound {
 public:
  // The ensemble and the state tables must outlive the bound; the window [lo_t, hi_t] is
  // on the raw score (either end may be infinite).
  LagrangeBound(const Ensemble& ensemble, const FeatureStates& fs, double lo_t, double hi_t);

  // Whether the ensemble's trees can be priced (they share no nodes).
  bool usable() const { return usable_; }
  // Fits the prices on `box` with `iterations` subgradient steps aiming at `target` (the
  // cost of a known row; +inf for none), then dual ascent within `ascent_visits` tree-node
  // visits. Keeps the prices of the best bound seen. With a `watch`, a fit that outlasts
  // the search's time (or is interrupted) ends early with the best prices so far: any
  // prices bound soundly, and the search that asked for them is ending anyway.
  void fit(const Box& box, double target, int iterations, double ascent_visits = 0.0,
           Watch* watch = nullptr);
  // Goes on from the prices it has: dual ascent on `box` within `ascent_visits` tree-node
  // visits, keeping the prices unless the ascent finds a better bound on `box`.
  double refit(const Box& box, double ascent_visits, Watch* watch = nullptr);
  // A lower bound on the cost of every row of `box` that scores inside the window (after
  // the rounding allowance); -inf before a fit.
  double evaluate(const Box& box);
  // Tree nodes walked so far (the ascent restarts the count).
  double visits() const { return visits_; }
  // Drops what the last evaluation kept, so the next one walks every tree.
  void forget() { have_last_ = false; }
  // Bounds, per state of every ranked feature of `box`, the cost of the box's rows in the
  // window that take that state, for `trim` (the trees' leaves listed, one pass or walk
  // of every tree per feature it tests;
  // a `watch` that stops the search leaves the features not reached unbounded).
  void price_states(const Box& box, Watch* watch = nullptr);
  // Narrows each ranked feature of `box` (a box inside the last one priced) from the ends
  // of its ranks, and drops its missing state, where the state's bound is at least
  // `threshold`, setting `narrowed` when it does. Returns false when a feature has no state
  // left: no row of the box costs less than `threshold`.
  bool trim(Box& box, double threshold, bool& narrowed) const;
  // Sets in `state_of`, for each ranked feature of `box` (the box last priced by
  // price_states), the state of least bound (the cheapest on ties): the row the prices
  // favour, a start for a row that scores inside the window. Other features are left.
  void favoured_states(const Box& box, std::vector<std::size_t>& state_of) const;
  // Bounds the states of `box` itself and trims it by them at once, feature by feature on
  // the box as narrowed so far (keeping the bounds of the last price_states for `trim`).
  bool trim_by_own_states(Box& box, double threshold, bool& narrowed);
  // The split the prices point at in `box` (lagrange_split.cpp): the ranked feature on
  // which most trees' copies leave the feature's own state, its missing state split off
  // when it has one (`missing`), else cut at `at` (the first rank of the upper child)
  // between the state and the cells the copies take. False when no copy leaves its state.
  bool disagreement_split(const Box& box, std::uint32_t& feature, std::uint32_t& at,
                          bool& missing);

 private:
  struct Node {
    double lo, hi;  // least and greatest leaf value below
    std::uint32_t left, right;
    std::int32_t feature;   // negative at a leaf
    std::uint32_t slot;     // ranked: the tree's slot of the feature
    std::uint32_t key;      // ranked: first cell going right; masked: left set's offset
    std::uint8_t missing_left;
  };
  struct Slot {             // one tree's prices on one ranked feature
    std::uint32_t feature;
    std::uint32_t mu;       // offset of its prices (n_cells ranks' cells, then missing)
    std::uint32_t n_cells;
    std::uint32_t tree;
  };
  struct Part {  // a slot's cells as narrowed along the walk: lo..hi, and missing
    std::int32_t lo, hi;
    bool nan;
    double min;  // least price over them
  };
  struct Frame {
    std::uint32_t node;
    std::uint32_t log_mark;
    std::uint32_t slot;  // the slot this step narrows, or kNone
    Part part;
    double acc;
  };
  struct LogEntry {
    std::uint32_t slot;
    Part previous;
  };

  void build();
  // Sets p's cells (not its price) to those of slot s that the ranks of `r` fall in, in
  // place (a Part built aside and copied in was a hot spot of the walks).
  void fill_cells(std::uint32_t s, const RankRange& r, Part& p) const {
    if (r.has_ranks()) {
      cells_between(s, r.lo, r.hi, p.lo, p.hi);
    } else {
      p.lo = 1;
      p.hi = 0;
    }
    p.nan = r.nan;
  }
  // The cell of slot s that rank r falls in, and those of ranks lo and hi.
  std::int32_t cell_at(std::uint32_t s, std::uint32_t r) const {
    std::int32_t c = 0, same = 0;
    cells_of_ranks(cell_first_.data() + slots_[s].mu, slots_[s].n_cells, r, r, c, same);
    return c;
  }
  void cells_between(std::uint32_t s, std::uint32_t lo, std::uint32_t hi, std::int32_t& c_lo,
                     std::int32_t& c_hi) const {
    cells_of_ranks(cell_first_.data() + slots_[s].mu, slots_[s].n_cells, lo, hi, c_lo, c_hi);
  }
  // Which sides of masked node w some state of the box goes to.
  void masked_sides(const Box& box, const Node& w, bool& left, bool& right) const {
    const std::uint64_t* m = box.mask(*fs_, static_cast<std::size_t>(w.feature));
    for (std::size_t i = 0; i < fs_->mask_words(static_cast<std::size_t>(w.feature)); ++i) {
      left = left || (m[i] & left_sets_[w.key + i]) != 0;
      right = right || (m[i] & ~left_sets_[w.key + i]) != 0;
    }
  }
  // Part c cut at ranked node w into the cells going left and those going right (either
  // may be empty; their least prices are left to the caller).
  static void split_part(const Part& c, const Node& w, Part& left, Part& right) {
    const auto cut = static_cast<std::int32_t>(w.key);
    left = Part{c.lo, std::min(c.hi, cut - 1), c.nan && w.missing_left != 0, 0.0};
    right = Part{std::max(c.lo, cut), c.hi, c.nan && w.missing_left == 0, 0.0};
  }
  double part_min(std::uint32_t s, const Part& p) const;
  std::int32_t least_cell(std::uint32_t s, const Part& p) const;
  double most_marginal(std::uint32_t s) const;
  double feature_term(const Box& box, std::size_t f, bool record);
  double tree_term(const Box& box, std::size_t t, bool record, std::uint32_t marginal = kNone);
  double full(const Box& box, bool record);
  double total() const;
  void refresh_costs();
  void refresh_feature(std::size_t f);
  void record_marginal(std::uint32_t s, double leaf_term);
  void set_net_price(double net);
  void keep_prices();
  void keep_if_best(double lb, double& best_lb);
  double state_totals(const Box& box, std::size_t f);
  static bool narrow_range(RankRange& r, const double* lb, double lb_nan, double threshold);
  double rest_of(double whole, std::size_t f) const;
  void spread_feature(const Box& box, std::size_t f);
  // How the ascent searches the window's price: its first and last factors, the sweeps
  // over the features per trial price, and whether that search follows the moves of the
  // price when every tree is listed (rather than the moves ending the ascent).
  struct AscentPlan {
    double first_factor, last_factor;
    int sweeps;
    bool search_after_moves;
  };
  double ascend_at(const Box& box, double net, double& best_lb, double budget, int sweeps);
  void ascend(const Box& box, double& best_lb, double budget, const AscentPlan& plan);
  void ascend_by_window(const Box& box, double& best_lb, double budget);
  void move_window_price(double reach);
  void from_best_prices(double net);
  WindowPrice window_price_;
  // Leaf tables (lagrange_leaves.cpp).
  void list_leaves(const Box& box);
  void list_tree(const Box& box, std::size_t t, std::uint32_t n);
  void to_columns(std::size_t t);
  void price_leaves();
  void reprice_leaves(std::size_t f);
  void narrow_leaves(std::size_t f, const RankRange& r);
  void leaf_marginals(std::uint32_t s);
  void take_best();
  void set_allowance();
  void rollback(std::uint32_t mark);
  void mark_changed(const Box& box);
  bool tree_changed(std::size_t t) const;
  bool subgradient_step(double lb, double target, double alpha);

  static constexpr std::uint32_t kNone = 0xffffffffu;

  const Ensemble* ensemble_;
  const FeatureStates* fs_;
  double lo_t_, hi_t_;
  bool usable_ = true;
  bool fitted_ = false;
  std::vector<Node> nodes_;
  std::vector<std::uint64_t> left_sets_;
  std::vector<Slot> slots_;
  std::vector<std::uint32_t> tree_slots_;     // CSR over trees into slots_
  std::vector<std::uint32_t> feature_slots_;  // CSR over features: slot indices
  std::vector<std::uint32_t> feature_slot_list_;
  std::vector<std::uint32_t> cell_first_;  // per slot, laid out like its prices: cells' first ranks
  std::vector<double> mu_, best_mu_, grad_;
  double lam_lo_ = 0.0, lam_hi_ = 0.0, best_lam_lo_ = 0.0, best_lam_hi_ = 0.0;
  std::vector<std::uint32_t> g_begin_;  // CSR over features' ranks into g_
  std::vector<double> g_;      // per ranked feature and rank: cost less the prices
  std::vector<double> g_nan_;  // per feature: the same for the missing state
  double score_scale_ = 0.0;   // |base| + the trees' largest |leaf value|
  double score_slack_ = 0.0;   // error of a sum of leaf values
  double spread_ = 0.0;        // sum over the trees of their leaf values' range
  double allowance_ = 0.0;

  // Dual ascent scratch: per cell, a tree's least term with its copy in the cell less the
  // cell's price, and the least total over the cell's ranks; per rank, that total.
  std::vector<double> marginal_, cell_total_, rank_total_;
  // Sums over a feature's slots of their cells' prices (and min-marginals), per rank: each
  // slot's values go in as steps at its cells' first ranks and one running sum adds them
  // up, so the work is the slots' cells plus the ranks, not their product. Infinite values
  // are counted apart (one would make the running sum NaN).
  std::vector<double> rank_steps_;
  std::vector<std::int32_t> rank_infinite_;
  void sum_over_slots(std::size_t f, std::uint32_t lo, std::uint32_t hi, bool marginals);
  // Least totals over runs of ranks (the block update's per cell), from a sparse table.
  std::vector<double> minima_;
  std::uint32_t minima_lo_ = 0, minima_width_ = 0;
  void index_minima(const double* b, std::uint32_t lo, std::uint32_t hi);
  double least_between(std::uint32_t from, std::uint32_t to) const;
  // The bounds of price_states, laid out like g_ and g_nan_ (-inf: not bounded).
  std::vector<double> state_lb_, state_lb_nan_;
  double visits_ = 0.0;  // tree nodes walked and listed leaves passed (the ascent's budget)
  Watch* watch_ = nullptr;  // the search's, while a fit runs
  // Whether the ascent may go on: visits left, and the search not stopped.
  bool more(double budget) { return visits_ < budget && !stopped(); }
  bool stopped() { return watch_ != nullptr && watch_->poll(); }

  // Leaf tables. While one box is priced again and again (an ascent, or the bounds of its
  // states), the min-marginals of a tree come from a list of the leaves it reaches in
  // the box (each leaf's parts of the tree's slots, their least prices and the leaf's term)
  // rather than from a walk per feature: a block update moves one feature's prices, and a
  // trim narrows one feature's range, so only that slot's column and the terms change, and
  // a tree's min-marginals for a slot are one pass over its leaves. A leaf whose part of a
  // narrowed feature is empty gets an infinite term and drops out of every minimum.
  std::vector<std::uint8_t> listed_;     // per tree: small enough to list
  bool all_listed_ = false;  // the ascent can move the window's price to its best
  std::vector<std::uint32_t> tree_rows_;  // CSR over trees into the leaves' rows
  // Per listed leaf: its value, and its term (its priced parts' sum less (lambda_lo -
  // lambda_hi) times the value), apart because the passes read the terms alone.
  std::vector<double> leaf_values_, leaf_terms_;
  // The leaves' parts, tree by tree and within a tree slot by slot (a column per slot, in
  // the order of the rows): a block update or a trim passes one slot's column of each of
  // its trees, which a row-by-row layout spread over a cache line per leaf.
  std::vector<Part> leaf_parts_, listed_scratch_;
  std::vector<std::uint32_t> tree_parts_;  // per listed tree: offset of its columns
  Part* column(std::size_t t, std::uint32_t j) {
    return leaf_parts_.data() + tree_parts_[t] +
           std::size_t{j} * (tree_rows_[t + 1] - tree_rows_[t]);
  }
  bool tables_ = false;  // the tables hold the box being priced

  // Walk state.
  std::vector<Part> cur_;
  std::vector<Frame> frames_;
  std::vector<LogEntry> log_;
  // Minimisers of the terms of the last evaluation (kept term by term, as the terms are):
  // for the fit's subgradient steps and the split the prices point at.
  std::vector<Part> arg_part_;   // per slot: the best leaf's parts
  std::vector<std::int32_t> arg_state_;  // per feature: least rank, -1 missing
  std::vector<double> arg_value_;        // per tree: the best leaf's value
  int copy_side(std::uint32_t s) const;
  std::vector<std::uint32_t> edges_;  // disagreement_split's candidate cuts

  // Reuse between evaluations.
  std::vector<double> feature_min_, tree_min_;
  std::size_t words_ = 1;
  std::vector<std::uint64_t> uses_;     // per tree: features its nodes test
  std::vector<std::uint64_t> changed_;
  Box last_box_;
  bool have_last_ = false;
};

// Boxes the refine search expands before it fits and uses the bound (a proof still far off
// after a few hundred boxes fits sooner, refine.cpp): 16,384 (a fit costs some million
// tree-node visits, which a search that ends sooner would feel), fewer on ensembles of many
// trees, whose boxes cost more each (1,200,000 boxes times trees, at least 2,048; a fit
// that always comes sooner costs fully grown forests more than it saves). Tests set the
// most to 0 to use the bound from the root box on.
std::uint64_t lagrange_start(std::size_t n_trees);
std::uint64_t set_lagrange_start(std::uint64_t boxes);  // the most; returns the previous one
// The most leaves of a tree whose leaves are listed (no limit but the listing's size;
// larger trees are walked); returns the previous value. Tests set 0 to walk every tree.
std::uint32_t set_most_listed_leaves(std::uint32_t leaves);

}  // namespace morvel::exact
