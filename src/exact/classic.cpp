// Depth-first branch-and-bound with an explicit stack. Every level owns reusable undo
// records, so expanding a node allocates nothing once the records have grown.
#include "exact/classic.hpp"

#include <chrono>
#include <cmath>
#include <limits>

#include "errors.hpp"
#include "exact/duties.hpp"

namespace morvel::exact {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

struct Level {
  std::size_t state = 0;    // index of the state under trial
  double acc_above = 0.0;   // cost accumulated above this level
  PropFrame prop;
  std::vector<BoundsUndo> undo;  // per window
};

class ClassicSearch {
 public:
  ClassicSearch(Prepared& prep, ExactResult& result)
      : prep_(prep),
        ctx_(prep.ctx),
        result_(result),
        duties_(ctx_.problem, prep.watch, result),
        pa_(ctx_.n_features),
        levels_(ctx_.order.size()),
        state_of_(ctx_.n_features, 0),
        row_(ctx_.problem.x.begin(), ctx_.problem.x.end()) {
    for (Level& level : levels_) level.undo.resize(prep.bounds.size());
    incumbent_ = prep.incumbent_row;
    incumbent_cost_ = prep.incumbent_cost;
    set_threshold();
  }

  bool run();

 private:
  void set_threshold() {
    const double gap = ctx_.problem.gap;
    threshold_ = !incumbent_ ? kInf : (gap != 0.0 ? incumbent_cost_ / (1.0 + gap) : incumbent_cost_);
  }
  double incumbent_or_nan() const { return incumbent_ ? incumbent_cost_ : std::nan(""); }
  // Some window lies outside its ensemble's bounds.
  bool score_misses() const {
    for (std::size_t w = 0; w < prep_.bounds.size(); ++w) {
      const ScoreWindow& window = ctx_.all_windows[w];
      const EnsembleBounds& b = prep_.bounds[w];
      if (window.lo > b.upper() || b.lower() > window.hi) return true;
    }
    return false;
  }
  void assign(std::size_t k, const State& s);
  void unassign(std::size_t k);
  void leaf(std::size_t depth);
  std::vector<std::uint64_t> snapped_states(std::size_t depth) const {
    std::vector<std::uint64_t> out;
    for (std::size_t k = 0; k <= depth; ++k) {
      const std::size_t f = ctx_.order[k];
      if (ctx_.domains[f][state_of_[f]].snapped) out.push_back(f);
    }
    return out;
  }
  // Undoes the levels above `depth`, so the prepared structures can serve another search.
  void unwind(std::size_t depth) {
    while (depth-- > 0) unassign(depth);
  }
  void finish_result(bool exhausted, std::size_t depth);

  Prepared& prep_;
  Ctx& ctx_;
  ExactResult& result_;
  SearchDuties duties_;
  PartialAssignment pa_;
  std::vector<Level> levels_;
  std::vector<std::size_t> state_of_;  // per feature: state index while assigned
  std::vector<double> row_;
  std::optional<std::vector<double>> incumbent_;
  double incumbent_cost_ = kInf;
  double threshold_ = kInf;
  double proven_lower_ = kInf;
  double acc_ = 0.0;
  bool conflict_ = false;
  bool gap_pruned_ = false;
};

void ClassicSearch::assign(std::size_t k, const State& s) {
  const std::size_t f = ctx_.order[k];
  Level& level = levels_[k];
  if (prep_.changes != nullptr) prep_.changes->assign(k, s);
  conflict_ = prep_.propagation.apply_with(f, s.value, pa_, level.prop);
  pa_.assigned[f] = 1;
  pa_.values[f] = s.value;
  pa_.mask.set(f);
  state_of_[f] = level.state;
  for (std::size_t w = 0; w < prep_.bounds.size(); ++w) {
    prep_.bounds[w].apply_with(f, pa_, level.undo[w]);
  }
}

void ClassicSearch::unassign(std::size_t k) {
  const std::size_t f = ctx_.order[k];
  Level& level = levels_[k];
  for (std::size_t w = prep_.bounds.size(); w-- > 0;) prep_.bounds[w].restore(level.undo[w]);
  pa_.mask.clear(f);
  pa_.assigned[f] = 0;
  prep_.propagation.restore(level.prop);
  if (prep_.changes != nullptr) prep_.changes->unassign(k, ctx_.domains[f][level.state]);
}

void ClassicSearch::leaf(std::size_t depth) {
  for (std::size_t k = 0; k <= depth; ++k) row_[ctx_.order[k]] = pa_.values[ctx_.order[k]];
  double lower_to = kInf;
  bool accepted = ctx_.finish(row_, state_of_, acc_ + 0.0, lower_to);
  if (accepted && prep_.changes != nullptr && !prep_.changes->allows_row(row_.data())) {
    // A pair repair moved a feature off its factual value: nothing is proven for the
    // other repairs.
    accepted = false;
    lower_to = acc_;
  }
  if (accepted) {
    const double cost = ctx_.cost_of(row_.data());
    if (prep_.found != nullptr) prep_.found->add(row_, cost, snapped_states(depth));
    if (cost < incumbent_cost_) {
      incumbent_ = row_;
      incumbent_cost_ = cost;
      set_threshold();
      result_.snapped = snapped_states(depth);
      duties_.record_incumbent(incumbent_cost_, proven_lower_);
    }
  } else if (lower_to < proven_lower_) {
    proven_lower_ = lower_to;
  }
  // finish may have moved pair features inside their cells; the next leaf rebuilds them.
}

bool ClassicSearch::run() {
  const std::size_t depth_max = ctx_.order.size();
  if (depth_max == 0) {
    finish_result(true, 0);
    return true;
  }
  std::size_t k = 0;
  levels_[0].state = 0;
  levels_[0].acc_above = 0.0;
  acc_ = 0.0;
  for (;;) {
    Level& level = levels_[k];
    const Domain& domain = ctx_.domains[ctx_.order[k]];
    if (level.state < domain.size() && prep_.changes != nullptr &&
        !prep_.changes->admits(k, domain[level.state])) {
      ++level.state;  // the change-set rules rule this state out: not a node
      continue;
    }
    if (level.state >= domain.size()) {
      if (k == 0) {
        finish_result(true, 0);
        return true;
      }
      --k;
      unassign(k);
      acc_ = levels_[k].acc_above;
      ++levels_[k].state;
      continue;
    }
    switch (duties_.before_node(incumbent_or_nan(), proven_lower_)) {
      case SearchDuties::Go: break;
      case SearchDuties::Stop:
        finish_result(false, k);
        unwind(k);
        return true;
      case SearchDuties::Interrupted:
        return false;
    }
    const State& s = domain[level.state];
    level.acc_above = acc_;
    assign(k, s);
    const double acc = acc_ + s.cost;
    const double floor =
        acc + ctx_.suffix[k + 1] + (prep_.changes != nullptr ? prep_.changes->extra_below(k) : 0.0);
    bool loosened = false;
    if (conflict_) {
      ++result_.nodes_pruned_cost;
    } else if (!ctx_.pairs.empty() && ctx_.unorderable(pa_, state_of_, loosened)) {
      if (loosened) proven_lower_ = -kInf;
      ++result_.nodes_pruned_cost;
    } else if (score_misses()) {
      ++result_.nodes_pruned_score;
    } else if (threshold_ <= floor) {
      ++result_.nodes_pruned_cost;
      if (incumbent_cost_ > floor) gap_pruned_ = true;
    } else if (k + 1 == depth_max) {
      acc_ = acc;
      leaf(k);
      acc_ = level.acc_above;
    } else {
      acc_ = acc;
      ++k;
      levels_[k].state = 0;
      levels_[k].acc_above = acc_;
      continue;
    }
    unassign(k);
    ++level.state;
  }
}

void ClassicSearch::finish_result(bool exhausted, std::size_t depth) {
  double open = proven_lower_ == -kInf ? 0.0 : proven_lower_;
  open = std::min(open, incumbent_cost_);
  if (!exhausted) {
    // Every level on the path, the current one included, still has untried states.
    for (std::size_t k = 0; k <= depth; ++k) {
      open = std::min(open, levels_[k].acc_above + ctx_.suffix[k]);
    }
  }
  conclude(result_, duties_, ctx_.problem.gap, exhausted && proven_lower_ >= incumbent_cost_,
           gap_pruned_, incumbent_, incumbent_cost_, open);
}

}  // namespace

bool run_classic(Prepared& prep, ExactResult& result) {
  ClassicSearch search(prep, result);
  return search.run();
}

}  // namespace morvel::exact
