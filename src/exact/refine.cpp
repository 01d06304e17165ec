// The refine search: depth-first branch-and-bound over boxes of states instead of single
// states.
//
// Holding. Every search feature has a range hierarchy (hierarchy.hpp): a binary tree over
// its non-missing states grouped by cell, joined in cell order. The first decision on a
// feature (one "top" level per search feature, in search order) holds it at the root of its
// hierarchy or takes its missing state; a held feature is narrowed, in the partial
// assignment, to the closed hull of the values of its range's states. The score bounds walk
// a narrowed feature by its interval, so they bound the score of every row of the box; the
// propagation refuses to force a value outside a held interval.
//
// Accepting as a whole. Once the score interval of a box lies inside the window (and its
// plausibility lower bound meets the threshold), every row of the box scores right, and
// only the constraints can still reject one. The box's cheapest row (each held feature at
// the cheapest state of its range) is then tried: if it breaks no order pair, passes the
// propagation as a classic leaf would, and is accepted, nothing in the box is cheaper, and
// the box is done (`coarse_accepts`). If every constrained feature is already assigned, the
// constraints see the same values in every row of the box, so `Ctx::finish` on the cheapest
// row decides the box as it would decide each of its leaves.
//
// Splitting. A box that straddles the window is split at the held feature whose interval
// straddles the most reachable splits (`EnsembleBounds::count_node`); a box inside the
// window whose cheapest row the constraints reject is split at a held constrained feature.
// A split replaces the held node by one of its children, cheapest first (`refinements`);
// the children of a single-cell node are its states, which are assigned with propagation.
// A box of assigned states only is a leaf, handled exactly as in the classic search.
//
// Passes. Until an incumbent is found, a depth-first search has no cost bound to prune
// with and wanders among cheap boxes that all miss the window. So the search runs in
// passes with a growing cost limit: a pass sets aside every box whose cost bound exceeds
// the limit, and the next pass raises the limit to at least the cheapest box set aside
// (and at least doubles it). The search is complete after a pass that set nothing aside
// that could still beat the incumbent.
//
// Why the lower bound stays sound. A box's cost bound is the sum, over the search
// features, of the assigned state's cost, the cheapest cost in the held range, or the
// cheapest cost of the domain for a feature not decided yet; the distance is separable, so
// this is the least distance of any row in the box. Every prune uses that bound, score
// intervals that contain every row's score, or rules that every row breaks, and the
// children of a split partition their parent, so no state combination escapes a pass
// except the boxes it sets aside, whose least cost bound it reports.
//
// Every decision is undone from its record (BoxChange), levels own their reusable records,
// and the explicit stack is sized once from the hierarchies' depths.
#include "exact/refine.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <vector>

#include "errors.hpp"
#include "exact/duties.hpp"
#include "exact/hierarchy.hpp"
#include "exact/refine_box.hpp"

namespace morvel::exact {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kGrowth = 2.0;  // of the cost limit from one pass to the next

struct Level {
  std::size_t feature = 0;
  std::span<const Alternative> alts;  // this level's choices, cheapest first
  std::size_t next = 0;               // the alternative under trial
  double acc_above = 0.0;             // cost bound of the box this level splits
  BoxChange change;
};

class RefineSearch {
 public:
  RefineSearch(Prepared& prep, ExactResult& result);
  bool run();

 private:
  enum class Pass { Exhausted, Stopped, Interrupted };
  // One depth-first pass over the boxes whose cost bound is at most limit_.
  Pass pass();
  void set_threshold() {
    const double gap = ctx_.problem.gap;
    threshold_ = !incumbent_ ? kInf
                             : (gap != 0.0 ? incumbent_cost_ / (1.0 + gap) : incumbent_cost_);
  }
  double incumbent_or_nan() const { return incumbent_ ? incumbent_cost_ : std::nan(""); }
  // The proven lower bound capped by the incumbent; a lost proof counts as 0.
  double proven_or_zero() const {
    return std::min(proven_lower_ == -kInf ? 0.0 : proven_lower_, incumbent_cost_);
  }
  double box_cost() const;
  bool evaluate(std::size_t depth, bool conflict, double acc);
  bool resolve_box(double acc);
  void finish_row(double acc, bool coarse);
  void take_row();
  void build_cheapest_row();
  bool constrained_all_assigned() const;
  std::size_t straddled_feature(bool model, bool plausibility);
  std::size_t constrained_held_feature() const;
  void open_top(std::size_t depth, double acc);
  void open_split(std::size_t depth, std::size_t f, double acc);
  void finish_result(bool exhausted, std::size_t depth);

  Prepared& prep_;
  Ctx& ctx_;
  ExactResult& result_;
  SearchDuties duties_;
  std::vector<RangeHierarchy> hierarchies_;   // per feature; empty off the search order
  std::vector<std::vector<Alternative>> top_;  // per feature: its first decision
  BoxState box_;
  std::vector<Level> levels_;
  std::vector<std::size_t> constrained_;  // constrained search features, in search order
  std::vector<std::uint64_t> counters_;   // per feature: straddled splits
  std::vector<std::size_t> broken_;
  std::vector<double> row_;
  std::optional<std::vector<double>> incumbent_;
  double incumbent_cost_ = kInf;
  double threshold_ = kInf;
  double proven_lower_ = kInf;
  bool gap_pruned_ = false;
  double limit_ = 0.0;      // this pass skips boxes whose cost bound exceeds it
  double deferred_ = kInf;  // least cost bound of a box skipped by this pass
  // No row cheaper than this escaped the passes completed so far.
  double floor_ = 0.0;
};

std::vector<RangeHierarchy> build_hierarchies(const Ctx& ctx) {
  std::vector<RangeHierarchy> out(ctx.n_features);
  for (std::size_t f : ctx.order) out[f] = RangeHierarchy(ctx.domains[f], !ctx.blocks[f].empty());
  return out;
}

RefineSearch::RefineSearch(Prepared& prep, ExactResult& result)
    : prep_(prep),
      ctx_(prep.ctx),
      result_(result),
      duties_(ctx_.problem, prep.watch, result),
      hierarchies_(build_hierarchies(ctx_)),
      top_(ctx_.n_features),
      box_(ctx_.domains, hierarchies_, prep.bounds, prep.if_bounds, prep.propagation),
      counters_(ctx_.n_features, 0),
      row_(ctx_.problem.x.begin(), ctx_.problem.x.end()) {
  std::size_t depth_max = ctx_.order.size();
  for (std::size_t f : ctx_.order) {
    top_[f] = top_alternatives(ctx_.domains[f], hierarchies_[f]);
    depth_max += hierarchies_[f].max_splits();
    if (ctx_.constrained[f]) constrained_.push_back(f);
  }
  levels_.resize(depth_max);
  incumbent_ = prep.incumbent_row;
  incumbent_cost_ = prep.incumbent_cost;
  set_threshold();
}

// The least distance of any row in the box, summed in search order.
double RefineSearch::box_cost() const {
  double acc = 0.0;
  for (std::size_t f : ctx_.order) {
    const auto& pa = box_.assignment();
    if (pa.assigned[f]) {
      acc = acc + ctx_.domains[f][box_.state_of()[f]].cost;
    } else if (box_.held(f)) {
      acc = acc + hierarchies_[f].node(box_.held_node(f)).min_cost;
    } else {
      acc = acc + ctx_.domains[f].front().cost;
    }
  }
  return acc;
}

bool RefineSearch::run() {
  if (ctx_.order.empty()) {
    finish_result(true, 0);
    return true;
  }
  floor_ = limit_ = box_cost();
  for (;;) {
    deferred_ = kInf;
    switch (pass()) {
      case Pass::Exhausted: break;
      case Pass::Stopped: return true;
      case Pass::Interrupted: return false;
    }
    // Boxes beyond the limit were set aside; they matter only while they may still beat
    // the incumbent.
    if (!(deferred_ < threshold_)) {
      if (deferred_ < incumbent_cost_) gap_pruned_ = true;
      finish_result(true, 0);
      return true;
    }
    floor_ = deferred_;
    limit_ = std::max(kGrowth * limit_, deferred_);
  }
}

RefineSearch::Pass RefineSearch::pass() {
  std::size_t depth = 0;
  open_top(0, box_cost());
  for (;;) {
    Level& level = levels_[depth];
    if (level.next >= level.alts.size()) {
      if (depth == 0) return Pass::Exhausted;
      --depth;
      box_.undo(levels_[depth].change);
      ++levels_[depth].next;
      continue;
    }
    switch (duties_.before_node(incumbent_or_nan(), std::min(proven_or_zero(), floor_))) {
      case SearchDuties::Go: break;
      case SearchDuties::Stop:
        finish_result(false, depth);
        return Pass::Stopped;
      case SearchDuties::Interrupted:
        return Pass::Interrupted;
    }
    const bool conflict = box_.apply(level.feature, level.alts[level.next], level.change);
    if (evaluate(depth, conflict, box_cost())) {
      ++depth;
      continue;
    }
    box_.undo(level.change);
    ++level.next;
  }
}

// Prunes, accepts or decides the current box; returns true after opening the next level.
bool RefineSearch::evaluate(std::size_t depth, bool conflict, double acc) {
  const ExactProblem& p = ctx_.problem;
  const EnsembleBounds& b = prep_.bounds;
  const EnsembleBounds* ib = prep_.if_bounds;
  bool loosened = false;
  if (conflict) {
    ++result_.nodes_pruned_cost;
    return false;
  }
  if (!ctx_.pairs.empty() && ctx_.unorderable(box_.assignment(), box_.state_of(), loosened)) {
    if (loosened) proven_lower_ = -kInf;
    ++result_.nodes_pruned_cost;
    return false;
  }
  if (p.lo_t > b.upper() || b.lower() > p.hi_t ||
      (ib != nullptr && p.min_total_path > ib->upper())) {
    ++result_.nodes_pruned_score;
    return false;
  }
  if (threshold_ <= acc) {
    ++result_.nodes_pruned_cost;
    if (incumbent_cost_ > acc) gap_pruned_ = true;
    return false;
  }
  if (acc > limit_) {
    ++result_.nodes_pruned_cost;
    deferred_ = std::min(deferred_, acc);
    return false;
  }
  if (box_.n_assigned() == ctx_.order.size()) {
    finish_row(acc, false);
    return false;
  }
  const bool model_inside = b.lower() >= p.lo_t && b.upper() <= p.hi_t;
  const bool plausible = ib == nullptr || ib->lower() >= p.min_total_path;
  if (model_inside && plausible && resolve_box(acc)) return false;
  if (depth + 1 < ctx_.order.size()) {
    open_top(depth + 1, acc);
  } else if (model_inside && plausible) {
    open_split(depth + 1, constrained_held_feature(), acc);
  } else {
    open_split(depth + 1, straddled_feature(!model_inside, !plausible), acc);
  }
  return true;
}

// A box whose every row scores inside the window: true when its cheapest row settles it.
bool RefineSearch::resolve_box(double acc) {
  if (constrained_all_assigned()) {
    finish_row(acc, true);
    return true;
  }
  build_cheapest_row();
  ctx_.broken(row_.data(), broken_);
  if (!broken_.empty() || !box_.cheapest_row_propagates(ctx_.order) ||
      !ctx_.accepts(row_.data())) {
    return false;
  }
  ++result_.coarse_accepts;
  take_row();
  return true;
}

// Leaf rule of the classic search, applied to the box's cheapest row.
void RefineSearch::finish_row(double acc, bool coarse) {
  build_cheapest_row();
  double lower_to = kInf;
  if (ctx_.finish(row_, box_.state_of(), acc, lower_to)) {
    if (coarse) ++result_.coarse_accepts;
    take_row();
  } else if (lower_to < proven_lower_) {
    proven_lower_ = lower_to;
  }
}

void RefineSearch::take_row() {
  const double cost = ctx_.cost_of(row_.data());
  if (!(cost < incumbent_cost_)) return;
  incumbent_ = row_;
  incumbent_cost_ = cost;
  set_threshold();
  result_.snapped.clear();
  for (std::size_t f : ctx_.order) {
    if (ctx_.domains[f][box_.cheapest_state(f)].snapped) result_.snapped.push_back(f);
  }
  duties_.record_incumbent(incumbent_cost_, std::min(proven_or_zero(), floor_));
}

void RefineSearch::build_cheapest_row() {
  for (std::size_t f : ctx_.order) row_[f] = ctx_.domains[f][box_.cheapest_state(f)].value;
}

bool RefineSearch::constrained_all_assigned() const {
  for (std::size_t f : constrained_) {
    if (!box_.assignment().assigned[f]) return false;
  }
  return true;
}

// The held feature whose interval reaches both sides of the most splits still reachable
// in the ensembles whose bounds straddle their target; the first held feature in search
// order when none straddles.
std::size_t RefineSearch::straddled_feature(bool model, bool plausibility) {
  std::fill(counters_.begin(), counters_.end(), 0);
  const PartialAssignment& pa = box_.assignment();
  if (model) {
    for (std::uint32_t root : prep_.bounds.ensemble().tree_roots()) {
      prep_.bounds.count_node(root, pa, counters_);
    }
  }
  if (plausibility && prep_.if_bounds != nullptr) {
    for (std::uint32_t root : prep_.if_bounds->ensemble().tree_roots()) {
      prep_.if_bounds->count_node(root, pa, counters_);
    }
  }
  std::size_t best = ctx_.n_features;
  std::uint64_t most = 0;
  for (std::size_t f : ctx_.order) {
    if (!box_.held(f)) continue;
    if (best == ctx_.n_features || counters_[f] > most) {
      best = f;
      most = counters_[f];
    }
  }
  return best;
}

std::size_t RefineSearch::constrained_held_feature() const {
  for (std::size_t f : constrained_) {
    if (box_.held(f)) return f;
  }
  return ctx_.n_features;
}

void RefineSearch::open_top(std::size_t depth, double acc) {
  ensure(depth < levels_.size(), "a stacked level owns a frame");
  Level& level = levels_[depth];
  level.feature = ctx_.order[depth];
  level.alts = top_[level.feature];
  level.next = 0;
  level.acc_above = acc;
}

void RefineSearch::open_split(std::size_t depth, std::size_t f, double acc) {
  ensure(depth < levels_.size(), "a stacked level owns a frame");
  ensure(f < ctx_.n_features, "a held range has a node");
  const std::uint32_t node = box_.held_node(f);
  ensure(!hierarchies_[f].empty(), "a held range has a hierarchy");
  Level& level = levels_[depth];
  level.feature = f;
  level.alts = hierarchies_[f].alternatives(node);
  level.next = 0;
  level.acc_above = acc;
  ++result_.refinements;
}

void RefineSearch::finish_result(bool exhausted, std::size_t depth) {
  // What this pass left open: the boxes it set aside and, when stopped, every level on
  // the path (the current one included), whose untried choices lie inside the box that
  // level splits. Earlier passes vouch for everything below floor_.
  double open = deferred_;
  if (!exhausted) {
    for (std::size_t k = 0; k <= depth; ++k) open = std::min(open, levels_[k].acc_above);
  }
  conclude(result_, duties_, ctx_.problem.gap, exhausted && proven_lower_ >= incumbent_cost_,
           gap_pruned_, incumbent_, incumbent_cost_,
           std::min(proven_or_zero(), std::max(floor_, open)));
}

}  // namespace

bool run_refine(Prepared& prep, ExactResult& result) {
  RefineSearch search(prep, result);
  return search.run();
}

}  // namespace morvel::exact
