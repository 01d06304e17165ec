// Greedy rows for the refine search: per-feature move scores by one walk per tree, the
// greedy ascent to the window and the descent that gives back unneeded moves.
#include "exact/greedy.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "errors.hpp"

namespace morvel::exact {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

MoveScores::MoveScores(const Ensemble& ensemble, const FeatureStates& fs)
    : e_(ensemble),
      fs_(fs),
      split_rank_(ensemble.n_nodes(), 0),
      row_(ensemble.n_features(), 0.0),
      leaf_(ensemble.n_trees(), 0.0) {
  // Trees per feature, each listed once, in tree order.
  const std::size_t n = ensemble.n_features();
  std::vector<std::uint32_t> seen(n, 0xffffffffu);
  std::vector<std::vector<std::uint32_t>> per_feature(n);
  std::vector<std::uint32_t> pending;
  const auto roots = ensemble.tree_roots();
  for (std::uint32_t t = 0; t < roots.size(); ++t) {
    pending.assign(1, roots[t]);
    while (!pending.empty()) {
      const std::uint32_t node = pending.back();
      pending.pop_back();
      const std::int32_t f = ensemble.feature()[node];
      if (f < 0) continue;
      const auto uf = static_cast<std::size_t>(f);
      if (seen[uf] != t) {
        seen[uf] = t;
        per_feature[uf].push_back(t);
      }
      if (fs.kind(uf) == FeatureKind::Ranked) {
        split_rank_[node] = fs.split_rank(uf, ensemble.threshold()[node],
                                          ensemble.is_lt()[node] != 0);
      }
      pending.push_back(ensemble.right()[node]);
      pending.push_back(ensemble.left()[node]);
      ensure(pending.size() <= ensemble.n_nodes() + 1,
             "tree nodes form a cycle (should be impossible)");
    }
  }
  tree_offsets_.assign(n + 1, 0);
  for (std::size_t f = 0; f < n; ++f) {
    tree_offsets_[f + 1] = tree_offsets_[f] + static_cast<std::uint32_t>(per_feature[f].size());
    trees_.insert(trees_.end(), per_feature[f].begin(), per_feature[f].end());
  }
}

std::uint32_t MoveScores::leaf_of(std::uint32_t root) const {
  std::uint32_t node = root;
  while (e_.feature()[node] >= 0) {
    node = e_.next_node(node, row_[static_cast<std::size_t>(e_.feature()[node])]);
  }
  return node;
}

void MoveScores::recompute_score() {
  double s = e_.base_score();
  for (const double v : leaf_) s = s + v;
  score_ = s;
}

void MoveScores::set_row(std::span<const double> row) {
  std::copy(row.begin(), row.begin() + static_cast<std::ptrdiff_t>(row_.size()), row_.begin());
  const auto roots = e_.tree_roots();
  for (std::size_t t = 0; t < roots.size(); ++t) leaf_[t] = e_.value()[leaf_of(roots[t])];
  recompute_score();
}

void MoveScores::move(std::size_t f, double value) {
  row_[f] = value;
  const auto roots = e_.tree_roots();
  for (std::uint32_t k = tree_offsets_[f]; k < tree_offsets_[f + 1]; ++k) {
    leaf_[trees_[k]] = e_.value()[leaf_of(roots[trees_[k]])];
  }
  recompute_score();
}

// Ranked features: one walk per tree follows the row everywhere except at splits on f,
// where the feature's ranks divide; each leaf reached adds its change to a run of ranks.
void MoveScores::deltas(std::size_t f, std::vector<double>& delta) {
  const Domain& d = fs_.domains()[f];
  delta.assign(d.size(), 0.0);
  const auto roots = e_.tree_roots();
  if (fs_.kind(f) == FeatureKind::Masked) {
    const double keep = row_[f];
    for (std::size_t i = 0; i < d.size(); ++i) {
      row_[f] = d[i].value;
      double change = 0.0;
      for (std::uint32_t k = tree_offsets_[f]; k < tree_offsets_[f + 1]; ++k) {
        const std::uint32_t t = trees_[k];
        change += e_.value()[leaf_of(roots[t])] - leaf_[t];
      }
      delta[i] = change;
    }
    row_[f] = keep;
    return;
  }
  if (fs_.kind(f) != FeatureKind::Ranked) return;
  const std::uint32_t n_ranks = fs_.n_ranks(f);
  diff_.assign(n_ranks + 1, 0.0);
  double nan_change = 0.0;
  for (std::uint32_t k = tree_offsets_[f]; k < tree_offsets_[f + 1]; ++k) {
    const std::uint32_t t = trees_[k];
    stack_.assign(1, {roots[t], 0, n_ranks, true});
    while (!stack_.empty()) {
      Pending p = stack_.back();
      stack_.pop_back();
      for (;;) {
        const std::int32_t g = e_.feature()[p.node];
        if (g < 0) {
          const double change = e_.value()[p.node] - leaf_[t];
          if (p.lo < p.hi) {
            diff_[p.lo] += change;
            diff_[p.hi] -= change;
          }
          if (p.nan) nan_change += change;
          break;
        }
        if (static_cast<std::size_t>(g) != f) {
          p.node = e_.next_node(p.node, row_[static_cast<std::size_t>(g)]);
          continue;
        }
        const std::uint32_t split = split_rank_[p.node];
        const bool nan_left = e_.missing_left()[p.node] != 0;
        const Pending right{e_.right()[p.node], std::max(p.lo, split), p.hi, p.nan && !nan_left};
        p = {e_.left()[p.node], p.lo, std::min(p.hi, split), p.nan && nan_left};
        if (right.lo < right.hi || right.nan) stack_.push_back(right);
        if (!(p.lo < p.hi || p.nan)) break;
      }
    }
  }
  double run = 0.0;
  for (std::uint32_t r = 0; r < n_ranks; ++r) {
    run += diff_[r];
    delta[fs_.rank_state(f, r)] = run;
  }
  if (fs_.nan_state(f) != kNoState) delta[fs_.nan_state(f)] = nan_change;
}

GreedyRow::GreedyRow(const Ctx& ctx, const FeatureStates& fs)
    : ctx_(ctx), fs_(fs), delta_(ctx.all_windows.size()) {
  scores_.reserve(ctx.all_windows.size());
  for (const ScoreWindow& w : ctx.all_windows) scores_.emplace_back(*w.ensemble, fs);
}

namespace {

// How far a score is from a window. The scores here are sums of changes, so the window is
// taken a hair narrower than it is.
double window_shortfall(const ScoreWindow& w, double score) {
  auto hair = [](double v) { return 1e-12 * (1.0 + std::fabs(v)); };
  const double lo = std::isinf(w.lo) ? w.lo : w.lo + hair(w.lo);
  const double hi = std::isinf(w.hi) ? w.hi : w.hi - hair(w.hi);
  return score < lo ? lo - score : (score > hi ? score - hi : 0.0);
}

}  // namespace

double GreedyRow::shortfall() const {
  double s = window_shortfall(ctx_.all_windows[0], scores_[0].score());
  for (std::size_t w = 1; w < scores_.size(); ++w) {
    s += window_shortfall(ctx_.all_windows[w], scores_[w].score());
  }
  return s;
}

double GreedyRow::shortfall_after(std::size_t i) const {
  double s = window_shortfall(ctx_.all_windows[0], scores_[0].score() + delta_[0][i]);
  for (std::size_t w = 1; w < scores_.size(); ++w) {
    s += window_shortfall(ctx_.all_windows[w], scores_[w].score() + delta_[w][i]);
  }
  return s;
}

void GreedyRow::fill_deltas(std::size_t f) {
  for (std::size_t w = 0; w < scores_.size(); ++w) scores_[w].deltas(f, delta_[w]);
}

void GreedyRow::start(std::span<const double> row) {
  for (MoveScores& m : scores_) m.set_row(row);
}

void GreedyRow::move(std::size_t f, double value) {
  for (MoveScores& m : scores_) m.move(f, value);
}

bool GreedyRow::run(Watch& watch, std::vector<double>& row, std::vector<std::size_t>& state_of) {
  const std::vector<std::size_t>& order = ctx_.order;
  row.assign(ctx_.problem.x.begin(), ctx_.problem.x.end());
  double cost = 0.0;
  for (std::size_t f : order) {
    row[f] = ctx_.domains[f][state_of[f]].value;
    cost += ctx_.domains[f][state_of[f]].cost;
  }
  start(row);
  double best = kInf;
  const std::size_t max_steps = 4 * order.size() + 8;
  for (std::size_t step = 0; step < max_steps; ++step) {
    if (watch.poll()) return false;
    const double need = shortfall();
    if (need <= 0.0) {
      if (cost < best) {
        best = cost;
        best_row_ = row;
        best_state_ = state_of;
      }
      break;
    }
    // The best ratio of shortfall removed to cost added, and the cheapest move that
    // completes the row on its own.
    std::size_t move_f = 0, move_i = 0, done_f = 0, done_i = 0;
    double move_ratio = 0.0, move_cost = kInf, done_cost = kInf;
    for (std::size_t f : order) {
      fill_deltas(f);
      const Domain& d = ctx_.domains[f];
      const double now = d[state_of[f]].cost;
      for (std::size_t i = 0; i < d.size(); ++i) {
        if (i == state_of[f]) continue;
        const double after = shortfall_after(i);
        const double gain = need - after;
        if (!(gain > 0.0)) continue;
        const double added = d[i].cost - now;
        if (after <= 0.0 && added < done_cost) {
          done_cost = added;
          done_f = f;
          done_i = i;
        }
        const double ratio = added <= 0.0 ? kInf : gain / added;
        if (ratio > move_ratio || (ratio == move_ratio && added < move_cost)) {
          move_ratio = ratio;
          move_cost = added;
          move_f = f;
          move_i = i;
        }
      }
    }
    if (done_cost < kInf && cost + done_cost < best) {
      best = cost + done_cost;
      best_row_ = row;
      best_state_ = state_of;
      best_row_[done_f] = ctx_.domains[done_f][done_i].value;
      best_state_[done_f] = done_i;
    }
    if (move_ratio <= 0.0) break;
    const Domain& d = ctx_.domains[move_f];
    cost += d[move_i].cost - d[state_of[move_f]].cost;
    state_of[move_f] = move_i;
    row[move_f] = d[move_i].value;
    move(move_f, row[move_f]);
  }
  if (best == kInf) return false;
  row = best_row_;
  state_of = best_state_;
  return true;
}

bool GreedyRow::descend(Watch& watch, std::vector<double>& row,
                        std::vector<std::size_t>& state_of) {
  start(row);
  bool changed = false;
  for (std::size_t step = 0; step < 4 * ctx_.order.size() + 8; ++step) {
    if (watch.poll()) break;
    std::size_t best_f = 0, best_i = 0;
    double best_saving = 0.0;
    for (std::size_t f : ctx_.order) {
      const Domain& d = ctx_.domains[f];
      const double now = d[state_of[f]].cost;
      if (!(now > d[0].cost)) continue;  // already at its cheapest
      fill_deltas(f);
      for (std::size_t i = 0; i < d.size(); ++i) {
        const double saving = now - d[i].cost;
        if (!(saving > best_saving)) continue;
        const double after = shortfall_after(i);
        if (after <= 0.0) {
          best_saving = saving;
          best_f = f;
          best_i = i;
        }
      }
    }
    if (!(best_saving > 0.0)) break;
    state_of[best_f] = best_i;
    row[best_f] = ctx_.domains[best_f][best_i].value;
    move(best_f, row[best_f]);
    changed = true;
  }
  return changed;
}

}  // namespace morvel::exact
