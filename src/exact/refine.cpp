// The refine search: best-first branch-and-bound over boxes of states.
//
// Boxes. A box narrows every search feature to a set of its states: a numeric feature to a
// run of consecutive cells in value order (plus, perhaps, its missing state), any other
// feature to a subset (box.hpp). The root box is the whole presolved domain. Implications
// and one-hot groups narrow a box further, and an order pair that no row of it can keep
// rules it out (box_rules.hpp).
//
// Bound. A box's lower bound is sum(m) + r, where m_f is the cheapest cost of feature f in
// the box and r the least extra cost at which the per-tree cost frontiers can reach the
// window (frontier.hpp), taken as the largest over every window a row must meet (the
// model's, the plausibility threshold, further windows). Once a row is known, the frontier walks leave out every leaf dearer than the incumbent's cost less
// sum(m): rows through those leaves cannot beat it. The bound of a child is never taken
// below its parent's.
//
// Settling a box. The box's cheapest row (every feature at its cheapest state) costs
// sum(m), the least of any row in the box; when it is accepted, passes the propagation as
// a classic leaf would and breaks no order pair, it is the box's best row and the box is
// done (`coarse_accepts` when the box held more than one row). That row is only tried when
// the bound below needs no extra cost, as it must when the row scores inside the window
// (its leaves have no extra cost, and the fronts' sum is at least its score). A box of
// single states is a classic leaf and is decided by `Ctx::finish`. A box whose constrained features are
// single and whose every row within the incumbent's cost scores inside the window differs
// from its cheapest row only where no rule looks, so `Ctx::finish` on that row decides it.
//
// Splitting. Otherwise the box is split in two on one feature (`refinements`): the feature
// that the leaves behind the bound's extra cost need moved the most (gain-weighted over the
// trees whose best leaf within that extra beats their best at no extra cost), at the edge
// of such a leaf's range nearest to the feature's cheapest state, so one child keeps the
// cheap values and the other holds the values that leaf needs; a missing state is split
// off first. Without such a leaf, a constrained feature that is not single yet is halved,
// then the widest feature. A box taken up whose priced bound (below) is its bound is split
// instead where the prices say the trees disagree with the row (lagrange.hpp), on models of
// shallow trees. Children partition their parent, so no row is lost.
//
// Start. Before the root box, a greedy row (greedy.hpp: from the factual row, the move of
// best gain towards the window per unit of cost until the row gets there, then every move
// the window does not need given back) becomes the incumbent when the constraints accept
// it, so the proof starts with a budget. It is skipped under a node budget of 0. After each
// fit and refit of the prices below, the row they favour (every ranked feature at the state
// of least priced bound in the root, the others at their cheapest) goes through the same
// greedy moves and descent, and becomes the incumbent when it is cheaper and accepted: on
// dense boosted models the prices often point at a cheaper row long before the proof
// reaches it.
//
// Local search. A proof on dense data can raise its bound for a long time while the first
// rows it found stay its best. So once it has expanded a few thousand boxes, and then
// between plunges, it runs a round of local search: a search of the same kind, capped in
// boxes, over the root box with most features pinned to the incumbent's states and a few
// left free (neighbourhood.hpp: mostly features the incumbent moved, the rest drawn by a
// seeded shuffle). It starts with the incumbent as its budget, so what it settles is a
// cheaper row accepted by exactly the rules that accept any other, and that row becomes
// the incumbent. The round adds its boxes to the node count; its bounds, prunes and open
// boxes are its own and are dropped, so the proof's boxes, bound and proven part are what
// they would be with that row found otherwise. Rounds depend only on box counts, so a
// search is as deterministic with them as without.
//
// Prices. A proof that has expanded lagrange_start() boxes without finishing (16,384, fewer
// on ensembles of many trees, where each box costs more), or 256 boxes while its bound is
// still below half the incumbent's cost, fits a second bound
// (lagrange.hpp): each tree gets its own copy of the features it splits on, the copies are
// tied to the row by prices per tree and cell of that tree's splits, and the window by a
// price per end; for any prices, the least priced cost of each feature and of each tree
// over the box, summed, is a lower bound on the cost of every row of the box inside the
// model's window. Unlike the frontier bound, a tree that needs a feature moved pays for it
// only in part, so trees that need different states of one feature cannot each be assumed
// to get theirs. The prices are fitted on the root box, by subgradient steps aiming at the
// incumbent's cost and then by dual ascent (block updates of one feature's prices at a
// time, within a budget of tree-node visits). The fit is brief, since many proofs end a
// few hundred boxes after it; 256 boxes after it, the ascent goes on from where it
// stopped, on the root box again, and again 256 boxes after each such refit that raised
// the root's bound by a twentieth, 2,048 after a smaller gain, for as long as each refit
// still raises it by a thousandth (on large LightGBM models and deep forests the first
// budgets end well short of the best prices). Refitting on the box that holds the search
// back instead was tried and lost: prices fitted to one box bound the others worse. The bound is
// evaluated on boxes taken up from the heap (a plunge's children stay with the frontier
// bound, which reuses its walks better, and inherit the raised bound as their parent's). A
// box whose priced bound reaches the incumbent is pruned; one whose bound rises above the
// next open box's goes back to the heap with it. Bounds already stored stay as they are when
// the prices change: each was sound for the prices it came from. When few priced boxes gain
// from the prices, boxes are priced ever more sparsely (and again more densely when they
// gain), so models where the prices say nothing new (deep forests, whose many leaves make
// the prices weak) lose little. Searches that end before either point never fit: their
// boxes and answers are exactly what they were without it.
//
// Trimming. After each fit and refit, the prices also bound every state of the root box
// (lagrange.hpp: the bound of the root with one feature held at one state), and the root
// loses, from the ends of each numeric feature's ranks and its missing state, the states
// whose bound reaches the threshold, as a pruned box would; this repeats while it narrows
// the root (the trees of a narrower root reach fewer leaves), and the same bounds trim
// it again whenever the incumbent gets cheaper. The rows that go all cost at least the
// threshold. Boxes are rebuilt from the root, so a box opened before a trim is narrowed
// when taken up; when it lost a side of the split it was opened with, it is evaluated
// afresh, and when it lost every state of a feature, it is pruned. On dense models the
// states far from the factual row go early, and with them the leaves that need them, which
// tightens both bounds of every box. Priced boxes that stay open are also trimmed by the
// bounds of their own states (the same prices, their own box; feature by feature, each
// on the box as narrowed so far): the features a trim narrows are stored as records chained
// under the box, so its children and a rebuild see the narrower box, and it is evaluated
// afresh (and priced again) before it is split. Such a trim lists the leaves each tree
// reaches in the box and passes over them once per feature the tree tests (a tree too
// large to list is walked that often), so boxes are trimmed only as often as keeps the trims' work
// within four times the pricing's: often on boosted models of shallow trees, where most
// trimmed boxes are pruned, rarely on deep forests, where a trim costs some thirty
// evaluations.
//
// Order. Open boxes wait in a heap by lower bound. The search plunges into the better child
// of each expanded box until a plunge ends (both children settled or pruned), then takes up
// the best open box. Plunging even when the child's bound is above the best open box's
// finds rows early, and it is cheap: a child's bound is mostly the last box's trees kept
// (frontier.hpp), while a box taken from the heap differs in many features and walks most
// trees again. An open box is stored as its chain of split decisions and rebuilt from the
// root when taken up.
//
// Why the lower bound stays sound. Every prune uses a bound that no row of the box can beat
// (the frontier bound, argued in frontier.hpp, or the priced bound, argued in lagrange.hpp,
// each with an allowance for rounding), a rule that
// every row of the box breaks, or the classic leaf rule; a budget only drops rows that cost
// at least the incumbent; children partition their parent; the bound reported when stopped
// is the least bound of the boxes still open (the one under expansion included), capped by
// the incumbent and by what the leaf rule left unproven. A local search round only ever adds an
// accepted row, which is all the incumbent prunes by. With a gap, a prune whose bound
// falls between the threshold and the incumbent marks the proof "optimal_within_gap".
#include "exact/refine.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "errors.hpp"
#include "exact/box.hpp"
#include "exact/box_rules.hpp"
#include "exact/duties.hpp"
#include "exact/frontier.hpp"
#include "exact/greedy.hpp"
#include "exact/lagrange.hpp"
#include "exact/neighbourhood.hpp"
#include "exact/presolve.hpp"

namespace morvel::exact {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint32_t kNoRecord = std::numeric_limits<std::uint32_t>::max();
// Local search: the first round once the proof has expanded this many boxes (searches that
// end sooner never pay for one), each round's box cap, and the boxes between rounds: three
// times the cap after a round that found a cheaper row, twice as many after each one that
// did not, up to the last factor (so a proof that only has to raise its bound spends
// little on rows it cannot improve).
constexpr std::uint64_t kLocalStart = 4096;
constexpr std::uint64_t kLocalCap = 1024;
constexpr std::uint64_t kLocalSpacing = 3 * kLocalCap;
constexpr std::uint64_t kLocalSpacingMost = 16 * kLocalCap;
// The early fit: boxes expanded, and the share of the incumbent's cost the bound must still
// be below. Proofs that far off after a few hundred boxes (dense boosted models) end only
// with the prices, so the boxes before a later fit are lost; proofs nearly done at that
// point (sparse data, most forest rows) never pay for a fit.
constexpr std::uint64_t kEarlyFitBoxes = 256;
constexpr double kEarlyFitShare = 0.5;
// Subgradient steps of the Lagrangian fit, and the most tree-node visits they may take
// together (fewer steps on big ensembles); then the tree-node visits of the dual ascent
// (about 0.1 s for three million). The fit is brief: many proofs end a few hundred boxes
// after it, and those that do not soon get a refit.
constexpr int kFitSteps = 100;
constexpr double kFitNodeVisits = 5e6;
constexpr double kAscentNodeVisits = 3e6;
// Refits: boxes before the first one (and after one that raised the root's bound by a
// twentieth or more: the ascent is still far from its best prices, and every box priced
// meanwhile gets less from them; the first refits of a 1,000-tree model raise it by 15-45%,
// so few boxes are worth expanding before one), boxes after one that raised it by a
// hundredth or more, boxes after one that gained less, each one's tree-node visits, and the
// least relative gain of the root's bound for another one to follow.
constexpr std::uint64_t kFirstRefitSpacing = 16;
constexpr double kRefitAgainGain = 5e-2;
constexpr std::uint64_t kRefitSpacing = 2048;
constexpr std::uint64_t kRefitSpacingMost = 8192;
constexpr double kRefitSoonGain = 1e-2;
constexpr double kRefitNodeVisits = 5e6;
constexpr double kRefitLeastGain = 1e-3;
// Rounds of bounding the root's states and trimming it after a fit or refit, and how much
// a priced box's trim by its own states may cost: a box is trimmed once the priced
// evaluations since the last trim have walked this share of that trim's tree nodes and
// listed leaves (a trim lists the leaves of the trees and walks those too large to list once
// per feature it tests, which deep trees make dear).
constexpr int kTrimRounds = 3;
constexpr double kOwnTrimShare = 0.25;
constexpr std::uint32_t kPricedWindow = 64;
constexpr std::uint32_t kPricedSpacingMost = 64;
// Priced boxes are split where the prices point on ensembles of trees of at most 64 leaves
// on average: the copies of fully grown trees scatter over so many cells that the feature
// most of them leave rarely holds the bound back (on deep forests such splits cost boxes).
constexpr std::size_t kMostNodesPerTreeForSplits = 127;

// How an open box is to be split.
struct Split {
  std::uint32_t feature = 0;
  enum Kind : std::uint8_t { Missing, AtRank, Mask } kind = AtRank;
  std::uint32_t at = 0;  // AtRank: first rank of the upper child; Mask: offset of the first
                         // child's words in the mask pool
};

// One split decision: the feature's part in the box it made.
struct Record {
  std::uint32_t parent;
  std::uint32_t feature;
  RankRange range;     // ranked features
  std::uint32_t mask;  // masked features: offset of the part's words in the mask pool
  Split split;         // how the box is split when taken up (open boxes only)
};

struct OpenBox {
  double lower;
  std::uint64_t seq;  // ties go to the earlier box
  std::uint32_t record;
  friend bool operator>(const OpenBox& l, const OpenBox& r) {
    return l.lower != r.lower ? l.lower > r.lower : l.seq > r.seq;
  }
};

std::vector<std::uint8_t> searched_features(const Ctx& ctx) {
  std::vector<std::uint8_t> out(ctx.n_features, 0);
  for (std::size_t f : ctx.order) out[f] = 1;
  return out;
}

class RefineSearch {
 public:
  // `local`: a search of one neighbourhood for the local search of another (see
  // local_round); it reports nothing but the rows it finds.
  RefineSearch(Prepared& prep, ExactResult& result, bool local = false);
  bool run();

 private:
  enum class Verdict { Pruned, Settled, Open };
  enum class Step { Continue, Stopped, Interrupted, Exhausted };
  struct Child {
    std::uint32_t record;
    double lower;
    int from;  // 0: the first child (its box kept in first_box_), 1: the second (in box_)
  };

  Verdict evaluate(double parent_lower);
  bool narrow(Box& box);
  bool row_allowed() const {
    return prep_.changes == nullptr || prep_.changes->allows_row(row_.data());
  }
  void rule_split(std::uint32_t f);
  double bound_extra(double m_sum, bool& missed);
  bool all_inside() const;
  void settle(double m_sum, bool coarse);
  bool cheapest_row_accepted();
  void choose_split(double extra);
  bool fallback_split();
  std::uint32_t keep_mask(const std::uint64_t* words, std::size_t n);
  void child_part(const Split& split, bool first);
  Step expand(std::uint32_t record, double lower, std::uint32_t& next, double& next_lower);
  Step before_node();
  void start_search();
  Step search();
  void greedy_start();
  void greedy_row();
  bool local_due() const {
    return !local_mode_ && have_states_ && !root_empty_ &&
           result_.nodes_expanded >= next_local_ &&
           result_.nodes_expanded < ctx_.problem.node_budget;
  }
  Step local_round();
  void fit_lagrange();
  void refit_lagrange();
  void priced_start();
  bool trim_root();
  void price_root_states();
  bool price_taken_box(std::uint32_t& record, double& lower);
  void split_as_priced(std::uint32_t record);
  bool trim_taken_box(std::uint32_t& record, double& lower);
  bool find_states(const std::vector<double>& row);
  std::uint32_t store(std::uint32_t parent, std::uint32_t feature);
  void push(const Child& c);
  void compact();
  bool rebuild(std::uint32_t record);
  bool split_fits(const Split& split) const;
  bool row_propagates();
  void take_row();
  void set_threshold() {
    const double gap = ctx_.problem.gap;
    threshold_ = !incumbent_ ? kInf
                             : (gap != 0.0 ? incumbent_cost_ / (1.0 + gap) : incumbent_cost_);
  }
  double incumbent_or_nan() const { return incumbent_ ? incumbent_cost_ : std::nan(""); }
  double proven_or_zero() const {
    return std::min(proven_lower_ == -kInf ? 0.0 : proven_lower_, incumbent_cost_);
  }
  // The least bound of the boxes still open, the one under expansion included.
  double open_lower() const {
    return std::min(expanding_lower_, heap_.empty() ? kInf : heap_.front().lower);
  }
  void note_prune(double lower) {
    ++result_.nodes_pruned_cost;
    if (lower < incumbent_cost_) gap_pruned_ = true;
  }
  void finish_result(bool exhausted);
  // Whether the priced bound is to be fitted now: after lagrange_start() boxes, or after
  // kEarlyFitBoxes while the proof is still far off.
  bool fit_due() const {
    const std::uint64_t start = lagrange_start(n_trees());
    if (result_.nodes_expanded >= start) return true;
    return start > kEarlyFitBoxes && result_.nodes_expanded >= kEarlyFitBoxes &&
           std::min(proven_or_zero(), open_lower()) < kEarlyFitShare * incumbent_cost_;
  }

  Prepared& prep_;
  Ctx& ctx_;
  ExactResult& result_;
  SearchDuties duties_;
  FeatureStates fs_;
  BoxRules rules_;
  std::vector<FrontierBound> bounds_;  // one per window of ctx_.all_windows
  std::size_t binding_ = 0;            // the window whose bound set the last extra
  std::vector<std::size_t> by_index_;  // search features in index order
  Box root_, box_, parent_box_, first_box_;
  std::vector<double> m_;              // per feature: least cost in box_
  std::vector<double> row_;
  std::vector<std::size_t> state_of_;  // per feature: the cheapest row's state
  PartialAssignment pa_;
  std::vector<PropFrame> replay_;
  std::vector<std::size_t> broken_;
  std::vector<CriticalTree> critical_;
  std::vector<PathFeature> path_;
  std::vector<double> score_;  // per feature: gain of the critical leaves that need it moved
  struct Entry {
    std::uint32_t critical;  // index into critical_
    std::uint32_t feature;
    RankRange range;
    double extra;
  };
  std::vector<Entry> entries_;
  std::vector<std::pair<std::uint32_t, double>> edges_;  // (rank edge, gain)
  std::vector<Record> records_;
  std::vector<std::uint64_t> masks_;  // words of masked parts and mask splits
  std::vector<std::uint32_t> chain_;
  static constexpr std::size_t kCompactFloor = std::size_t{1} << 18;
  std::size_t compact_at_ = kCompactFloor;  // records_ size that triggers a compaction
  std::vector<std::uint8_t> live_;
  std::vector<std::uint32_t> remap_;
  std::vector<std::uint64_t> kept_masks_;
  std::vector<OpenBox> heap_;
  std::uint64_t seq_ = 0;
  double expanding_lower_ = kInf;
  double lower_ = 0.0;  // bound of the box the last evaluation left open
  Split split_;         // and how to split it
  bool split_by_prices_ = false;  // whether priced boxes are split as the prices say
  std::optional<std::vector<double>> incumbent_;
  double incumbent_cost_ = kInf;
  double threshold_ = kInf;
  double proven_lower_ = kInf;
  bool gap_pruned_ = false;
  // The incumbent's states (when it was found by this search, not given), for the local
  // search to pin the features it does not free.
  std::vector<std::size_t> incumbent_states_;
  bool have_states_ = false;
  // Local search: the neighbourhood searcher (made at the first round), its scratch
  // result, and when the next round is due (in expanded boxes).
  bool local_mode_;
  std::uint64_t local_cap_ = 0, local_boxes_ = 0;  // a neighbourhood search's cap and count
  std::unique_ptr<RefineSearch> local_;
  std::unique_ptr<ExactResult> local_result_;
  Neighbourhoods neighbourhoods_;
  std::vector<std::uint8_t> moved_, free_;
  std::uint64_t next_local_ = kLocalStart;
  std::uint64_t local_spacing_ = kLocalSpacing;
  // The Lagrangian bound over the model's window, fitted once the proof has expanded
  // lagrange_start() boxes (never in a local search).
  std::unique_ptr<LagrangeBound> lagrange_;
  bool lagrange_due_ = false;
  // Boxes taken up before the next one is priced, and the spacing after that: it doubles
  // while few priced boxes gain from it, and halves again when many do.
  std::uint32_t price_wait_ = 0, price_spacing_ = 1, price_tried_ = 0, price_useful_ = 0;
  std::uint64_t next_refit_ = 0;  // boxes when the next refit is due; 0: none
  // Whether the root box has been narrowed by the priced bounds of its states, and whether
  // that left no row below the threshold.
  bool root_trimmed_ = false, root_empty_ = false;
  Box trim_before_;              // a taken box before its own states trim it
  // Tree nodes the priced evaluations have walked since the last trim by a box's own
  // states, and the nodes that trim walked.
  double own_trim_credit_ = 0.0, own_trim_cost_ = 0.0;
  std::size_t n_trees() const { return ctx_.all_windows.front().ensemble->n_trees(); }
};

RefineSearch::RefineSearch(Prepared& prep, ExactResult& result, bool local)
    : prep_(prep),
      ctx_(prep.ctx),
      result_(result),
      duties_(ctx_.problem, prep.watch, result),
      fs_(ctx_.domains, searched_features(ctx_), threshold_only_features(ctx_), ctx_.problem.x),
      rules_(ctx_, fs_),
      by_index_(ctx_.order.begin(), ctx_.order.end()),
      m_(ctx_.n_features, 0.0),
      row_(ctx_.problem.x.begin(), ctx_.problem.x.end()),
      state_of_(ctx_.n_features, 0),
      pa_(ctx_.n_features),
      replay_(ctx_.order.size()),
      score_(ctx_.n_features, 0.0),
      incumbent_states_(ctx_.n_features, 0),
      local_mode_(local),
      neighbourhoods_(ctx_.order),
      moved_(ctx_.n_features, 0),
      free_(ctx_.n_features, 0) {
  bounds_.reserve(ctx_.all_windows.size());
  for (const ScoreWindow& w : ctx_.all_windows) bounds_.emplace_back(*w.ensemble, fs_, w.lo, w.hi);
  if (prep.changes != nullptr && !local) prep.changes->use_states(fs_);
  std::sort(by_index_.begin(), by_index_.end());
  root_ = Box::whole(fs_);
  box_ = parent_box_ = first_box_ = root_;
  incumbent_ = prep.incumbent_row;
  incumbent_cost_ = prep.incumbent_cost;
  set_threshold();
  if (incumbent_ && !local) have_states_ = find_states(*incumbent_);
  lagrange_due_ = !local;
}

// The states of a given row, when each of its searched values is one of its feature's
// states (a warm start from elsewhere may hold other values).
bool RefineSearch::find_states(const std::vector<double>& row) {
  for (std::size_t f : ctx_.order) {
    const Domain& d = ctx_.domains[f];
    const auto same = [v = row[f]](const State& s) {
      return s.value == v || (std::isnan(s.value) && std::isnan(v));
    };
    const auto it = std::find_if(d.begin(), d.end(), same);
    if (it == d.end()) return false;
    incumbent_states_[f] = static_cast<std::size_t>(it - d.begin());
  }
  return true;
}

RefineSearch::Step RefineSearch::before_node() {
  if (local_mode_) {
    if (local_boxes_ >= local_cap_) return Step::Stopped;
    if (prep_.watch.poll()) return prep_.watch.interrupted() ? Step::Interrupted : Step::Stopped;
    ++local_boxes_;
    return Step::Continue;
  }
  switch (duties_.before_node(incumbent_or_nan(), std::min(proven_or_zero(), open_lower()))) {
    case SearchDuties::Go: return Step::Continue;
    case SearchDuties::Stop: return Step::Stopped;
    case SearchDuties::Interrupted: return Step::Interrupted;
  }
  return Step::Stopped;
}

bool RefineSearch::run() {
  if (ctx_.order.empty()) {
    finish_result(true);
    return true;
  }
  start_search();
  greedy_start();
  const Step step = search();
  if (step == Step::Interrupted) return false;
  finish_result(step == Step::Exhausted);
  return true;
}

// The root box as the only record, nothing open, nothing proven yet.
void RefineSearch::start_search() {
  records_.clear();
  masks_.clear();
  heap_.clear();
  seq_ = 0;
  compact_at_ = kCompactFloor;
  proven_lower_ = kInf;
  gap_pruned_ = false;
  records_.push_back({kNoRecord, 0, RankRange{1, 0, false}, 0, Split{}});
  expanding_lower_ = 0.0;  // nothing is known below the root yet
  box_ = root_;
}

// Best-first from the root box until no open box can beat the incumbent (Exhausted) or a
// budget ends the search.
RefineSearch::Step RefineSearch::search() {
  std::uint32_t current = kNoRecord;
  double lower = 0.0;
  if (lagrange_due_ && lagrange_start(n_trees()) == 0) fit_lagrange();
  Step step = before_node();
  if (step == Step::Continue && evaluate(0.0) == Verdict::Open) {
    records_[0].split = split_;
    current = 0;
    lower = lower_;
  }
  if (step == Step::Continue) expanding_lower_ = kInf;
  while (step == Step::Continue) {
    if (current == kNoRecord) {
      if (local_due() && (step = local_round()) != Step::Continue) break;
      if (lagrange_due_ && fit_due()) fit_lagrange();
      if (next_refit_ > 0 && result_.nodes_expanded >= next_refit_) refit_lagrange();
      if (records_.size() >= compact_at_) compact();
      // Take up the best open box that can still beat the incumbent.
      while (!heap_.empty() && (heap_.front().lower >= threshold_ || root_empty_)) {
        note_prune(heap_.front().lower);
        std::pop_heap(heap_.begin(), heap_.end(), std::greater<>{});
        heap_.pop_back();
      }
      if (heap_.empty()) return Step::Exhausted;
      std::pop_heap(heap_.begin(), heap_.end(), std::greater<>{});
      const OpenBox top = heap_.back();
      heap_.pop_back();
      current = top.record;
      lower = top.lower;
      if (!rebuild(current)) {
        ++result_.nodes_pruned_cost;  // its rows cost at least the threshold (trim_root)
        current = kNoRecord;
        continue;
      }
      if (root_trimmed_ && !split_fits(records_[current].split)) {
        if (evaluate(lower) != Verdict::Open) {
          current = kNoRecord;
          continue;
        }
        records_[current].split = split_;
        lower = lower_;
      }
      if (lagrange_ && price_wait_ > 0) {
        --price_wait_;
      } else if (lagrange_) {
        expanding_lower_ = lower;  // the pricing counts as a box; stopped, this one stays open
        if ((step = before_node()) != Step::Continue) break;
        expanding_lower_ = kInf;
        if (!price_taken_box(current, lower)) {
          current = kNoRecord;
          continue;
        }
      }
    }
    expanding_lower_ = lower;
    std::uint32_t next = kNoRecord;
    double next_lower = kInf;
    step = expand(current, lower, next, next_lower);
    if (step != Step::Continue) break;  // the box under expansion still counts as open
    expanding_lower_ = kInf;
    current = next;
    lower = next_lower;
  }
  return step;
}

// One round of local search: a search of the neighbourhood of the incumbent where most
// features are pinned to its states, capped in boxes, with the incumbent as its budget. A
// row it finds is accepted by the same rules as any other (it settles a box of that
// search), so only the incumbent can change: the proof and its bound do not depend on it.
RefineSearch::Step RefineSearch::local_round() {
  if (!local_) {
    local_result_ = std::make_unique<ExactResult>();
    local_ = std::make_unique<RefineSearch>(prep_, *local_result_, true);
  }
  RefineSearch& l = *local_;
  for (std::size_t f : ctx_.order) {
    moved_[f] = ctx_.domains[f][incumbent_states_[f]].cost > 0.0 ? 1 : 0;
  }
  neighbourhoods_.pick(moved_, free_);
  l.root_ = root_;
  for (std::size_t f : ctx_.order) {
    if (free_[f] == 0) l.root_.pin(fs_, f, static_cast<std::uint32_t>(incumbent_states_[f]));
  }
  l.incumbent_ = incumbent_;
  l.incumbent_cost_ = incumbent_cost_;
  l.set_threshold();
  l.local_boxes_ = 0;
  l.local_cap_ = std::min(kLocalCap, ctx_.problem.node_budget - result_.nodes_expanded);
  l.start_search();
  const Step step = l.search();
  result_.nodes_expanded += l.local_boxes_;
  if (step == Step::Interrupted) return step;
  const bool improved = l.incumbent_cost_ < incumbent_cost_;
  local_spacing_ = improved ? kLocalSpacing : std::min(2 * local_spacing_, kLocalSpacingMost);
  next_local_ = result_.nodes_expanded + local_spacing_;
  neighbourhoods_.settle(improved, step == Step::Exhausted);
  if (improved) {
    incumbent_ = l.incumbent_;
    incumbent_cost_ = l.incumbent_cost_;
    incumbent_states_ = l.incumbent_states_;
    result_.snapped = l.result_.snapped;
    set_threshold();
    trim_root();
    duties_.record_incumbent(incumbent_cost_, std::min(proven_or_zero(), open_lower()));
  }
  return Step::Continue;
}

// Prices the model window's trees on the root box, aiming at the incumbent's cost.
void RefineSearch::fit_lagrange() {
  lagrange_due_ = false;
  const ScoreWindow& w = ctx_.all_windows.front();
  lagrange_ = std::make_unique<LagrangeBound>(*w.ensemble, fs_, w.lo, w.hi);
  if (!lagrange_->usable()) {
    lagrange_.reset();
    return;
  }
  const double visits = std::max(1.0, static_cast<double>(w.ensemble->n_nodes()));
  split_by_prices_ = w.ensemble->n_nodes() <= kMostNodesPerTreeForSplits * w.ensemble->n_trees();
  const int steps = static_cast<int>(std::clamp(kFitNodeVisits / visits, 10.0, double{kFitSteps}));
  lagrange_->fit(root_, incumbent_cost_, steps, kAscentNodeVisits, &prep_.watch);
  next_refit_ = result_.nodes_expanded + kFirstRefitSpacing;
  price_root_states();
  priced_start();
}

// Goes on with the ascent on the root box, from the prices in use, while it still gains.
void RefineSearch::refit_lagrange() {
  const double gain = lagrange_->refit(root_, kRefitNodeVisits, &prep_.watch);
  const std::uint64_t spacing = gain >= kRefitAgainGain  ? kFirstRefitSpacing
                                : gain >= kRefitSoonGain ? kRefitSpacing
                                                         : kRefitSpacingMost;
  next_refit_ = gain >= kRefitLeastGain ? result_.nodes_expanded + spacing : 0;
  price_wait_ = 0;
  price_root_states();
  priced_start();
}

// Bounds the root's states and trims it, again while that narrows it: the trees of a
// narrower root reach fewer leaves, so its states' bounds rise.
void RefineSearch::price_root_states() {
  for (int round = 0; round < kTrimRounds && !root_empty_; ++round) {
    lagrange_->price_states(root_, &prep_.watch);
    if (!trim_root()) break;
  }
}

// Narrows the root box to the states whose priced bound is below the threshold: a row that
// takes any other costs at least the threshold, as a pruned box's rows do. Boxes opened
// before are narrowed likewise when taken up (rebuild).
bool RefineSearch::trim_root() {
  if (!lagrange_ || root_empty_) return false;
  bool narrowed = false;
  if (!lagrange_->trim(root_, threshold_, narrowed)) root_empty_ = true;
  if (!narrowed) return false;
  root_trimmed_ = true;
  if (threshold_ < incumbent_cost_) gap_pruned_ = true;
  return true;
}

// The Lagrangian bound of a box taken up from the heap (in box_, with bound `lower`).
// Returns whether it is to be expanded now: not when the bound prunes it, nor when it
// rises above the next open box's (the box goes back to the heap with it). Its children
// inherit the raised bound.
bool RefineSearch::price_taken_box(std::uint32_t& record, double& lower) {
  const double visits_before = lagrange_->visits();
  const double lb = lagrange_->evaluate(box_);
  own_trim_credit_ += lagrange_->visits() - visits_before;
  const bool raised = lb > lower;
  const bool binding = lb >= lower;
  bool expand = true;
  if (lb >= threshold_) {
    note_prune(lb);
    expand = false;
  } else {
    if (raised) lower = lb;
    bool moved = raised;  // whether its bound may now be above the next open box's
    if (own_trim_credit_ >= kOwnTrimShare * own_trim_cost_) {
      own_trim_credit_ = 0.0;
      const double visits_at_trim = lagrange_->visits();
      expand = trim_taken_box(record, lower);
      own_trim_cost_ = lagrange_->visits() - visits_at_trim;
      moved = true;
    }
    if (expand && moved && !heap_.empty() && lower > heap_.front().lower) {
      push({record, lower, 0});
      expand = false;
    }
    if (expand && binding && split_by_prices_) split_as_priced(record);
  }
  ++price_tried_;
  if (raised) ++price_useful_;
  if (price_tried_ == kPricedWindow) {
    price_spacing_ = 8 * price_useful_ >= price_tried_ ? std::max(1u, price_spacing_ / 2)
                                               : std::min(kPricedSpacingMost, 2 * price_spacing_);
    price_tried_ = price_useful_ = 0;
  }
  price_wait_ = price_spacing_ - 1;
  return expand;
}

// Splits the taken box (in box_, of `record`), whose priced bound is its bound, where the
// trees' priced copies leave the features' own states (lagrange.hpp): the frontier's split
// follows the leaves behind the frontier bound, which is then not the one holding the box
// back. Left as it is when every copy agrees.
void RefineSearch::split_as_priced(std::uint32_t record) {
  std::uint32_t f = 0, at = 0;
  bool missing = false;
  if (lagrange_->disagreement_split(box_, f, at, missing)) {
    records_[record].split = missing ? Split{f, Split::Missing, 0} : Split{f, Split::AtRank, at};
  }
}

// Narrows the taken box (in box_, of `record`) by the priced bounds of its own states; the
// features it narrows go into records chained under `record`, and the box is evaluated
// afresh. Returns whether it is still open.
bool RefineSearch::trim_taken_box(std::uint32_t& record, double& lower) {
  trim_before_ = box_;
  bool narrowed = false;
  if (!lagrange_->trim_by_own_states(box_, threshold_, narrowed)) {
    ++result_.nodes_pruned_cost;
    return false;
  }
  if (!narrowed) return true;
  for (std::size_t f : by_index_) {
    if (!(box_.ranges[f] == trim_before_.ranges[f])) {
      record = store(record, static_cast<std::uint32_t>(f));
    }
  }
  if (evaluate(lower) != Verdict::Open) return false;
  records_[record].split = split_;
  lower = lower_;
  // The narrower box's trees reach fewer leaves, so its priced bound may prune it now.
  const double lb = lagrange_->evaluate(box_);
  if (lb >= threshold_) {
    note_prune(lb);
    return false;
  }
  lower = std::max(lower, lb);
  return true;
}

// The row the prices favour, as a start of the greedy row.
void RefineSearch::priced_start() {
  if (root_empty_) return;
  for (std::size_t f : ctx_.order) state_of_[f] = 0;
  lagrange_->favoured_states(root_, state_of_);
  greedy_row();
}

// The greedy row from the factual row, as the first incumbent.
void RefineSearch::greedy_start() {
  for (std::size_t f : ctx_.order) state_of_[f] = 0;
  greedy_row();
}

// The row of the states in state_of_, moved greedily into the window and with its unneeded
// moves given back, becomes the incumbent when it is cheaper and the constraints accept it.
// Never under a node budget of 0: such a search gives no row.
void RefineSearch::greedy_row() {
  if (ctx_.problem.node_budget == 0) return;
  GreedyRow greedy(ctx_, fs_);
  if (!greedy.run(prep_.watch, row_, state_of_)) return;
  greedy.descend(prep_.watch, row_, state_of_);
  if (cheapest_row_accepted()) take_row();
}

// Evaluates both children of the box in box_ (the box of `record`), keeps the open ones,
// and plunges into the better one when it is the best box open (or no row is known yet).
RefineSearch::Step RefineSearch::expand(std::uint32_t record, double lower,
                                        std::uint32_t& next, double& next_lower) {
  parent_box_ = box_;
  const Split split = records_[record].split;
  ++result_.refinements;
  Child open[2];
  int n_open = 0;
  for (int c = 0; c < 2; ++c) {
    if (const Step s = before_node(); s != Step::Continue) {
      // Stopped with the parent's bound standing in for the children not yet pushed.
      for (int k = 0; k < n_open; ++k) push(open[k]);
      return s;
    }
    box_ = parent_box_;
    child_part(split, c == 0);
    const std::size_t masks_before = masks_.size();
    const std::uint32_t r = store(record, split.feature);
    if (evaluate(lower) == Verdict::Open) {
      records_[r].split = split_;
      open[n_open++] = {r, lower_, c};
      if (c == 0) first_box_ = box_;
    } else {
      records_.pop_back();
      masks_.resize(masks_before);
    }
  }
  next = kNoRecord;
  int best = -1;
  for (int k = 0; k < n_open; ++k) {
    if (open[k].lower >= threshold_) {
      note_prune(open[k].lower);  // beaten by a row found after its evaluation
    } else if (best < 0 || open[k].lower < open[best].lower) {
      best = k;
    }
  }
  if (best < 0) return Step::Continue;
  for (int k = 0; k < n_open; ++k) {
    if (open[k].lower < threshold_ && k != best) push(open[k]);
  }
  next = open[best].record;
  next_lower = open[best].lower;
  // The second child's box is still in box_; the first one's was kept aside.
  if (open[best].from == 0) box_ = first_box_;
  return Step::Continue;
}

// Drops the records that no open box descends from (their boxes were settled, pruned or
// fully split), keeping the survivors in order, so memory follows the open boxes rather
// than every box ever made.
void RefineSearch::compact() {
  live_.assign(records_.size(), 0);
  for (const OpenBox& o : heap_) {
    for (std::uint32_t r = o.record; r != kNoRecord && !live_[r]; r = records_[r].parent) {
      live_[r] = 1;
    }
  }
  remap_.assign(records_.size(), kNoRecord);
  kept_masks_.clear();
  auto keep_words = [&](std::uint32_t at, std::uint32_t feature) {
    const auto out = static_cast<std::uint32_t>(kept_masks_.size());
    kept_masks_.insert(kept_masks_.end(), masks_.begin() + at,
                       masks_.begin() + at + static_cast<std::ptrdiff_t>(fs_.mask_words(feature)));
    return out;
  };
  std::uint32_t n = 0;
  for (std::uint32_t r = 0; r < records_.size(); ++r) {
    if (!live_[r]) continue;
    Record rec = records_[r];
    if (rec.parent != kNoRecord) {
      rec.parent = remap_[rec.parent];
      if (fs_.kind(rec.feature) == FeatureKind::Masked) rec.mask = keep_words(rec.mask, rec.feature);
    }
    if (rec.split.kind == Split::Mask) rec.split.at = keep_words(rec.split.at, rec.split.feature);
    records_[n] = rec;
    remap_[r] = n++;
  }
  records_.resize(n);
  masks_.swap(kept_masks_);
  for (OpenBox& o : heap_) o.record = remap_[o.record];
  compact_at_ = std::max<std::size_t>(kCompactFloor, 2 * records_.size());
}

void RefineSearch::push(const Child& c) {
  heap_.push_back({c.lower, seq_++, c.record});
  std::push_heap(heap_.begin(), heap_.end(), std::greater<>{});
}

std::uint32_t RefineSearch::store(std::uint32_t parent, std::uint32_t feature) {
  Record rec{parent, feature, box_.ranges[feature], 0, Split{}};
  if (fs_.kind(feature) == FeatureKind::Masked) {
    rec.mask = keep_mask(box_.mask(fs_, feature), fs_.mask_words(feature));
  }
  records_.push_back(rec);
  return static_cast<std::uint32_t>(records_.size() - 1);
}

std::uint32_t RefineSearch::keep_mask(const std::uint64_t* words, std::size_t n) {
  const auto at = static_cast<std::uint32_t>(masks_.size());
  masks_.insert(masks_.end(), words, words + n);
  return at;
}

// The box of a record: the root with every decision on its chain applied, then narrowed.
// False when the root has been trimmed since and the box has no row left.
bool RefineSearch::rebuild(std::uint32_t record) {
  chain_.clear();
  for (std::uint32_t r = record; records_[r].parent != kNoRecord; r = records_[r].parent) {
    chain_.push_back(r);
  }
  box_ = root_;
  for (auto it = chain_.rbegin(); it != chain_.rend(); ++it) {
    const Record& rec = records_[*it];
    if (fs_.kind(rec.feature) == FeatureKind::Masked) {
      std::copy_n(masks_.begin() + rec.mask, fs_.mask_words(rec.feature),
                  box_.mask(fs_, rec.feature));
    } else {
      RankRange& r = box_.ranges[rec.feature];
      const RankRange& root = root_.ranges[rec.feature];
      r = {std::max(rec.range.lo, root.lo), std::min(rec.range.hi, root.hi),
           rec.range.nan && root.nan};
      if (!r.has_ranks()) r.lo = 1, r.hi = 0;
      if (r.empty()) return false;
    }
  }
  if (root_trimmed_) return narrow(box_);
  ensure(narrow(box_), "a reopened box narrows as it did when opened (should be impossible)");
  return true;
}

// Whether both children of box_ by `split` hold a state of its feature (a box opened
// before the root was trimmed may have lost the states on one side, also of a masked
// feature, through the rules).
bool RefineSearch::split_fits(const Split& split) const {
  const RankRange& part = box_.ranges[split.feature];
  switch (split.kind) {
    case Split::Missing: return part.nan && part.has_ranks();
    case Split::AtRank: return part.has_ranks() && part.lo < split.at && split.at <= part.hi;
    case Split::Mask: {
      const std::uint64_t* m = box_.mask(fs_, split.feature);
      const std::uint64_t* set = masks_.data() + split.at;
      bool in = false, out = false;
      for (std::size_t w = 0; w < fs_.mask_words(split.feature); ++w) {
        in = in || (m[w] & set[w]) != 0;
        out = out || (m[w] & ~set[w]) != 0;
      }
      return in && out;
    }
  }
  return true;
}

// The constraint rules and the change-set rules, to a common fixed point.
bool RefineSearch::narrow(Box& box) {
  if (!rules_.narrow(box)) return false;
  if (prep_.changes == nullptr) return true;
  for (;;) {
    bool narrowed = false;
    if (!prep_.changes->narrow(fs_, box, narrowed)) return false;
    if (!narrowed) return true;
    if (!rules_.narrow(box)) return false;
  }
}

RefineSearch::Verdict RefineSearch::evaluate(double parent_lower) {
  if (!narrow(box_)) {
    ++result_.nodes_pruned_cost;
    return Verdict::Pruned;
  }
  bool loosened = false;
  if (!ctx_.pairs.empty() && rules_.unorderable(box_, loosened)) {
    if (loosened) proven_lower_ = -kInf;
    ++result_.nodes_pruned_cost;
    return Verdict::Pruned;
  }
  double m_sum = 0.0;
  bool all_single = true, constrained_single = true;
  for (std::size_t f : by_index_) {
    const std::uint32_t s = box_.cheapest(fs_, f);
    ensure(s != kNoState, "a narrowed box keeps a state of every feature (should be impossible)");
    state_of_[f] = s;
    m_[f] = ctx_.domains[f][s].cost;
    m_sum = m_sum + m_[f];
    if (!box_.single(fs_, f)) {
      all_single = false;
      if (ctx_.constrained[f]) constrained_single = false;
    }
  }
  if (m_sum >= threshold_) {
    note_prune(m_sum);
    return Verdict::Pruned;
  }
  for (std::size_t f : by_index_) row_[f] = ctx_.domains[f][state_of_[f]].value;
  if (all_single) {
    settle(m_sum, false);
    return Verdict::Settled;
  }
  bool missed = false;
  const double extra = bound_extra(m_sum, missed);
  // The cheapest row reaches a leaf of no extra cost in every tree, so when it scores
  // inside the window the fronts meet it at no extra cost; a bound above zero spares
  // scoring it.
  if (extra == 0.0 && cheapest_row_accepted()) {
    ++result_.coarse_accepts;
    take_row();
    return Verdict::Settled;
  }
  if (extra == kInf) {
    ++(missed ? result_.nodes_pruned_score : result_.nodes_pruned_cost);
    return Verdict::Pruned;
  }
  // Sums of cost differences may round up; the bound gives a little away for that.
  double lower = std::max(parent_lower, m_sum + std::max(0.0, extra - (m_sum + extra) * 1e-12));
  if (prep_.changes != nullptr) {
    const double rule = prep_.changes->box_extra(fs_, box_, m_);
    if (rule == kInf) {
      ++result_.nodes_pruned_cost;
      return Verdict::Pruned;
    }
    lower = std::max(lower, m_sum + std::max(0.0, rule - (m_sum + rule) * 1e-12));
  }
  if (lower >= threshold_) {
    note_prune(lower);
    return Verdict::Pruned;
  }
  if (constrained_single && all_inside() && row_allowed()) {
    settle(m_sum, true);
    return Verdict::Settled;
  }
  lower_ = lower;
  choose_split(extra);
  return Verdict::Open;
}

// Each window's frontier bound is a lower bound on the extra cost of every row of the box
// inside that window, so their largest is one for every row inside all of them. The
// window that sets it (the first, on ties) steers the split. A window the box cannot meet
// at any cost ends the evaluation; the windows after it are not walked.
double RefineSearch::bound_extra(double m_sum, bool& missed) {
  const double budget = incumbent_ ? incumbent_cost_ - m_sum : kInf;
  double extra = 0.0;
  binding_ = 0;
  for (std::size_t w = 0; w < bounds_.size(); ++w) {
    FrontierBound& b = bounds_[w];
    b.evaluate(box_, m_, budget);
    const double e = b.least_extra();
    if (e == kInf) {
      missed = b.misses_window();
      binding_ = w;
      return kInf;
    }
    if (w == 0 || e > extra) {
      extra = e;
      binding_ = w;
    }
  }
  return extra;
}

bool RefineSearch::all_inside() const {
  for (const FrontierBound& b : bounds_) {
    if (!b.all_inside()) return false;
  }
  return true;
}

// The cheapest row settles its box when it breaks no pair, passes the propagation as a
// classic leaf would, and is accepted.
bool RefineSearch::cheapest_row_accepted() {
  ctx_.broken(row_.data(), broken_);
  return broken_.empty() && row_allowed() && ctx_.accepts(row_.data()) && row_propagates();
}

// The leaf rule of the classic search on the cheapest row: for a box of single states,
// or one whose rows differ from it only where no rule looks and all score alike.
void RefineSearch::settle(double m_sum, bool coarse) {
  if (!row_propagates()) {
    ++result_.nodes_pruned_cost;
    return;
  }
  double lower_to = kInf;
  bool accepted = ctx_.finish(row_, state_of_, m_sum, lower_to);
  if (accepted && !row_allowed()) {
    // A pair repair moved a feature off its factual value: nothing is proven for the
    // other repairs.
    accepted = false;
    lower_to = m_sum;
  }
  if (accepted) {
    if (coarse) ++result_.coarse_accepts;
    take_row();
  } else if (lower_to < proven_lower_) {
    proven_lower_ = lower_to;
  }
}

// Replays the propagation over the cheapest row in search order, then undoes it.
bool RefineSearch::row_propagates() {
  std::size_t k = 0;
  bool conflict = false;
  for (; k < ctx_.order.size() && !conflict; ++k) {
    const std::size_t f = ctx_.order[k];
    conflict = prep_.propagation.apply_with(f, row_[f], pa_, replay_[k]);
    pa_.assigned[f] = 1;
    pa_.values[f] = row_[f];
  }
  while (k-- > 0) {
    prep_.propagation.restore(replay_[k]);
    pa_.assigned[ctx_.order[k]] = 0;
  }
  return !conflict;
}

void RefineSearch::take_row() {
  const double cost = ctx_.cost_of(row_.data());
  auto snapped = [&] {
    std::vector<std::uint64_t> out;
    for (std::size_t f : ctx_.order) {
      if (ctx_.domains[f][state_of_[f]].snapped) out.push_back(f);
    }
    return out;
  };
  if (prep_.found != nullptr) prep_.found->add(row_, cost, snapped());
  if (!(cost < incumbent_cost_)) return;
  incumbent_ = row_;
  incumbent_cost_ = cost;
  incumbent_states_ = state_of_;
  have_states_ = true;
  set_threshold();
  trim_root();
  result_.snapped = snapped();
  if (!local_mode_) {
    duties_.record_incumbent(incumbent_cost_, std::min(proven_or_zero(), open_lower()));
  }
}

// The feature the bound's critical leaves need moved most (each leaf counts its gain times
// the feature's share of its extra cost), split at the gain-weighted median of the edges
// those leaves need, on the side of the cheapest such move: one child keeps the cheap
// values, the other the values most of that gain needs.
void RefineSearch::choose_split(double extra) {
  if (!row_allowed()) {
    const std::size_t f = prep_.changes->split_feature(fs_, box_, row_.data(), m_);
    if (f < ctx_.n_features) {
      rule_split(static_cast<std::uint32_t>(f));
      return;
    }
  }
  FrontierBound& b = bounds_[binding_];
  b.critical(extra, critical_);
  for (std::size_t f : ctx_.order) score_[f] = 0.0;
  entries_.clear();
  for (std::uint32_t i = 0; i < critical_.size(); ++i) {
    b.path_features(critical_[i], path_);
    for (const PathFeature& p : path_) {
      score_[p.feature] += critical_[i].gain * p.extra;
      entries_.push_back({i, p.feature, p.range, p.extra});
    }
  }
  std::size_t best = ctx_.n_features;
  for (std::size_t f : ctx_.order) {
    if (score_[f] > 0.0 && (best == ctx_.n_features || score_[f] > score_[best])) best = f;
  }
  if (best == ctx_.n_features) {
    ensure(fallback_split(), "an open box has a feature to split (should be impossible)");
    return;
  }
  const auto f = static_cast<std::uint32_t>(best);
  // The cheapest move among the leaves that need the feature.
  const Entry* pick = nullptr;
  for (const Entry& e : entries_) {
    if (e.feature == f && (pick == nullptr || e.extra < pick->extra)) pick = &e;
  }
  if (fs_.kind(f) == FeatureKind::Masked) {
    b.path_features(critical_[pick->critical], path_);
    for (const PathFeature& p : path_) {
      if (p.feature == f) split_ = {f, Split::Mask, keep_mask(p.mask, fs_.mask_words(f))};
    }
    return;
  }
  const RankRange& part = box_.ranges[f];
  if (part.nan && part.has_ranks()) {
    split_ = {f, Split::Missing, 0};
    return;
  }
  const std::uint32_t p = fs_.clamp_pivot(f, part.lo, part.hi);
  const RankRange& need = pick->range;
  ensure(need.has_ranks() && (need.lo > p || need.hi < p),
         "a leaf that needs a feature moved excludes its cheapest state (should be impossible)");
  // Edges on the cheapest move's side, nearest to the cheapest state first: a split at
  // `edge` sends ranks from `edge` on (upwards) or below `edge` (downwards) to the far child.
  const bool up = need.lo > p;
  edges_.clear();
  double total = 0.0;
  for (const Entry& e : entries_) {
    if (e.feature != f || !e.range.has_ranks()) continue;
    if (up ? e.range.lo > p : e.range.hi < p) {
      edges_.push_back({up ? e.range.lo : e.range.hi + 1, critical_[e.critical].gain});
      total += critical_[e.critical].gain;
    }
  }
  std::sort(edges_.begin(), edges_.end());
  if (!up) std::reverse(edges_.begin(), edges_.end());
  double run = 0.0;
  for (const auto& [edge, gain] : edges_) {
    run += gain;
    split_ = {f, Split::AtRank, edge};
    if (run >= 0.5 * total) break;
  }
}

// Splits an open feature into the states that keep its factual value and those that change
// it (a missing state, the ranks below the factual run, then those above, go off first).
void RefineSearch::rule_split(std::uint32_t f) {
  const ChangeSets& c = *prep_.changes;
  if (fs_.kind(f) == FeatureKind::Masked) {
    split_ = {f, Split::Mask, keep_mask(c.same_words(f), fs_.mask_words(f))};
    return;
  }
  const RankRange& part = box_.ranges[f];
  if (part.nan && part.has_ranks()) {
    split_ = {f, Split::Missing, 0};
  } else {
    split_ = {f, Split::AtRank, part.lo < c.same_lo(f) ? c.same_lo(f) : c.same_hi(f) + 1};
  }
}

// Without a leaf to follow: halve a constrained feature that is not single yet, else the
// widest feature (a missing state goes first, a bit set gives up its cheapest state).
bool RefineSearch::fallback_split() {
  std::size_t pick = ctx_.n_features, widest = 1;
  for (std::size_t f : ctx_.order) {
    if (ctx_.constrained[f] && !box_.single(fs_, f)) {
      pick = f;
      break;
    }
  }
  if (pick == ctx_.n_features) {
    for (std::size_t f : ctx_.order) {
      const std::size_t c = box_.count(fs_, f);
      if (c > widest) {
        widest = c;
        pick = f;
      }
    }
  }
  if (pick == ctx_.n_features) return false;
  const auto f = static_cast<std::uint32_t>(pick);
  if (fs_.kind(f) == FeatureKind::Masked) {
    const std::size_t words = fs_.mask_words(f);
    const std::uint32_t at = keep_mask(box_.mask(fs_, f), words);
    const std::uint32_t s = fs_.mask_state(f, box_.mask(fs_, f));
    std::fill_n(masks_.begin() + at, words, 0);
    masks_[at + s / 64] = std::uint64_t{1} << (s % 64);
    split_ = {f, Split::Mask, at};
    return true;
  }
  const RankRange& part = box_.ranges[f];
  if (part.nan && part.has_ranks()) {
    split_ = {f, Split::Missing, 0};
  } else {
    split_ = {f, Split::AtRank, part.lo + (part.hi - part.lo + 1) / 2};
  }
  return true;
}

// Narrows the split feature of box_ (a copy of the parent box) to one child's part; the
// first child holds the parent's cheapest state of that feature.
void RefineSearch::child_part(const Split& split, bool first) {
  const std::uint32_t f = split.feature;
  if (split.kind == Split::Mask) {
    const std::size_t words = fs_.mask_words(f);
    std::uint64_t* m = box_.mask(fs_, f);
    const std::uint64_t* set = masks_.data() + split.at;
    const std::uint32_t s = fs_.mask_state(f, m);
    const bool set_holds_cheapest = (set[s / 64] >> (s % 64)) & 1u;
    const bool keep_set = first == set_holds_cheapest;
    for (std::size_t w = 0; w < words; ++w) m[w] &= keep_set ? set[w] : ~set[w];
    return;
  }
  RankRange& part = box_.ranges[f];
  if (split.kind == Split::Missing) {
    const bool nan_cheaper = fs_.range_state(f, part) == fs_.nan_state(f);
    part = first == nan_cheaper ? RankRange{1, 0, true} : RankRange{part.lo, part.hi, false};
    return;
  }
  const std::uint32_t k = split.at;
  ensure(part.lo < k && k <= part.hi, "a split falls inside its range (should be impossible)");
  const bool pivot_low = fs_.clamp_pivot(f, part.lo, part.hi) < k;
  part = first == pivot_low ? RankRange{part.lo, k - 1, false} : RankRange{k, part.hi, false};
}

void RefineSearch::finish_result(bool exhausted) {
  const double open = exhausted ? kInf : open_lower();
  conclude(result_, duties_, ctx_.problem.gap, exhausted && proven_lower_ >= incumbent_cost_,
           gap_pruned_, incumbent_, incumbent_cost_, std::min(proven_or_zero(), open));
}

}  // namespace

bool run_refine(Prepared& prep, ExactResult& result) {
  RefineSearch search(prep, result);
  return search.run();
}

}  // namespace morvel::exact
