// Presolve. The score bounds with one feature assigned are, per tree, the least and
// greatest leaf still reachable. For a feature whose splits all compare values with
// thresholds, those ranges are constant on runs of the feature's states in value order
// (the tree's splits on it cut the runs), so one pass over every tree's leaves, each with
// the rank interval its path allows for every feature on it, gives every state's bound
// interval as sums of run differences. Those sums are added in another order than the
// score bounds add theirs, so a state whose interval lies within rounding distance of the
// window is decided by the score bounds themselves; as are features split by sets.
#include "exact/presolve.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

namespace morvel::exact {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Per state of every threshold-split search feature, the bound interval with that state
// alone assigned, up to `slack`.
class StateRanges {
 public:
  StateRanges(const Ctx& ctx, const Ensemble& e, const EnsembleBounds& b,
              const std::vector<std::uint8_t>& fast, Watch& watch)
      : e_(e), fs_(ctx.n_features), stamp_(ctx.n_features, 0), local_(ctx.n_features, 0) {
    PartialAssignment none(e.n_features());
    std::size_t max_ranks = 0;
    // Sorted values per fast feature (its non-missing states), and the interval sums.
    for (std::size_t f : ctx.order) {
      if (!fast[f]) continue;
      Feature& ft = fs_[f];
      ft.used = true;
      const Domain& d = ctx.domains[f];
      for (std::uint32_t i = 0; i < d.size(); ++i) {
        if (!d[i].is_nan) ft.order.push_back(i);
      }
      std::stable_sort(ft.order.begin(), ft.order.end(),
                       [&](std::uint32_t a, std::uint32_t b) { return d[a].value < d[b].value; });
      ft.rank_of.assign(d.size(), 0);
      for (std::uint32_t r = 0; r < ft.order.size(); ++r) {
        ft.values.push_back(d[ft.order[r]].value);
        ft.rank_of[ft.order[r]] = r;
      }
      max_ranks = std::max(max_ranks, ft.values.size());
      ft.lo.assign(ft.values.size() + 1, 0.0);
      ft.hi.assign(ft.values.size() + 1, 0.0);
    }
    double base_lo = e.base_score(), base_hi = e.base_score();
    double magnitude = std::fabs(e.base_score());
    std::size_t terms = e.n_trees() + 1;
    const auto roots = e.tree_roots();
    for (std::size_t t = 0; t < roots.size(); ++t) {
      if ((t & 255) == 255) watch.check_now();
      const auto [root_lo, root_hi] = b.walk(roots[t], none);
      base_lo = base_lo + root_lo;
      base_hi = base_hi + root_hi;
      magnitude += 3.0 * std::max(std::fabs(root_lo), std::fabs(root_hi));
      terms += tree(roots[t], root_lo, root_hi);
    }
    slack_ = std::ldexp(static_cast<double>(terms + max_ranks), -50) * magnitude;
    for (Feature& ft : fs_) {
      if (!ft.used) continue;
      double lo = base_lo, hi = base_hi;
      for (std::size_t r = 0; r + 1 < ft.lo.size(); ++r) {
        lo += ft.lo[r];
        hi += ft.hi[r];
        ft.lo[r] = lo;
        ft.hi[r] = hi;
      }
      ft.nan_lo += base_lo;
      ft.nan_hi += base_hi;
    }
  }

  bool fast(std::size_t f) const { return fs_[f].used; }
  double slack() const { return slack_; }
  // Domain position i of feature f: its interval, up to slack().
  std::pair<double, double> range(std::size_t f, std::size_t i, const Domain& d) const {
    const Feature& ft = fs_[f];
    if (d[i].is_nan) return {ft.nan_lo, ft.nan_hi};
    return {ft.lo[ft.rank_of[i]], ft.hi[ft.rank_of[i]]};
  }

 private:
  struct Feature {
    bool used = false;
    std::vector<std::uint32_t> order;  // domain positions of the present states, by value
    std::vector<std::uint32_t> rank_of;  // per domain position: its rank
    std::vector<double> values;        // their values
    std::vector<double> lo, hi;        // run differences, then (summed) intervals per rank
    double nan_lo = 0.0, nan_hi = 0.0;
  };
  struct Span {  // a feature's rank interval on the current path, and its missing state
    std::uint32_t lo, hi;  // ranks lo..hi-1
    bool nan;
  };
  struct Leaf {
    double value;
    std::uint32_t path;  // where the leaf's constrained features start in path_
    std::uint32_t n;
  };

  std::uint32_t split_rank(const Feature& ft, std::uint32_t node) const {
    const double t = e_.threshold()[node];
    if (std::isnan(t)) return 0;  // every value goes right
    const auto it = e_.is_lt()[node] ? std::lower_bound(ft.values.begin(), ft.values.end(), t)
                                     : std::upper_bound(ft.values.begin(), ft.values.end(), t);
    return static_cast<std::uint32_t>(it - ft.values.begin());
  }

  // Adds tree differences to every fast feature it splits on; returns the additions made.
  std::size_t tree(std::uint32_t root, double root_lo, double root_hi) {
    leaves_.clear();
    path_.clear();
    touched_.clear();
    walk(root);
    if (leaf_stamp_.size() < leaves_.size()) leaf_stamp_.resize(leaves_.size(), 0);
    // The path entries grouped by feature (counting sort over the touched features).
    for (std::size_t k = 0; k < touched_.size(); ++k) {
      local_[touched_[k]] = static_cast<std::uint32_t>(k);
    }
    group_start_.assign(touched_.size() + 1, 0);
    for (const auto& e : path_) ++group_start_[local_[e.first] + 1];
    for (std::size_t k = 0; k < touched_.size(); ++k) group_start_[k + 1] += group_start_[k];
    grouped_.resize(path_.size());
    fill_.assign(group_start_.begin(), group_start_.end() - 1);
    for (std::uint32_t li = 0; li < leaves_.size(); ++li) {
      const Leaf& l = leaves_[li];
      for (std::uint32_t k = l.path; k < l.path + l.n; ++k) {
        grouped_[fill_[local_[path_[k].first]]++] = {li, path_[k].second};
      }
    }
    std::size_t added = 0;
    for (std::size_t k = 0; k < touched_.size(); ++k) {
      Feature& ft = fs_[touched_[k]];
      const auto n = static_cast<std::uint32_t>(ft.values.size());
      const auto first_entry = grouped_.begin() + group_start_[k];
      const auto last_entry = grouped_.begin() + group_start_[k + 1];
      // Runs between the tree's cuts on the feature; each run's range folds the leaves
      // that reach it. Leaves whose path does not split on it reach every run.
      cuts_.assign({0, n});
      ++epoch_;
      for (auto it = first_entry; it != last_entry; ++it) {
        leaf_stamp_[it->first] = epoch_;
        if (it->second.lo < it->second.hi) {
          cuts_.push_back(it->second.lo);
          cuts_.push_back(it->second.hi);
        }
      }
      std::sort(cuts_.begin(), cuts_.end());
      cuts_.erase(std::unique(cuts_.begin(), cuts_.end()), cuts_.end());
      const std::size_t runs = cuts_.size() - 1;
      double free_lo = kInf, free_hi = -kInf;
      for (std::uint32_t li = 0; li < leaves_.size(); ++li) {
        if (leaf_stamp_[li] == epoch_) continue;
        free_lo = std::min(free_lo, leaves_[li].value);
        free_hi = std::max(free_hi, leaves_[li].value);
      }
      run_lo_.assign(runs + 1, free_lo);  // the last slot is the missing state's
      run_hi_.assign(runs + 1, free_hi);
      for (auto it = first_entry; it != last_entry; ++it) {
        const double v = leaves_[it->first].value;
        const Span& s = it->second;
        if (s.lo < s.hi) {
          const auto j0 = static_cast<std::size_t>(
              std::lower_bound(cuts_.begin(), cuts_.end(), s.lo) - cuts_.begin());
          for (std::size_t j = j0; j < runs && cuts_[j] < s.hi; ++j) {
            run_lo_[j] = std::min(run_lo_[j], v);
            run_hi_[j] = std::max(run_hi_[j], v);
          }
        }
        if (s.nan) {
          run_lo_[runs] = std::min(run_lo_[runs], v);
          run_hi_[runs] = std::max(run_hi_[runs], v);
        }
      }
      for (std::size_t j = 0; j < runs; ++j) {
        if (run_lo_[j] > run_hi_[j]) continue;  // a run no leaf reaches (none does)
        ft.lo[cuts_[j]] += run_lo_[j] - root_lo;
        ft.lo[cuts_[j + 1]] -= run_lo_[j] - root_lo;
        ft.hi[cuts_[j]] += run_hi_[j] - root_hi;
        ft.hi[cuts_[j + 1]] -= run_hi_[j] - root_hi;
        added += 4;
      }
      if (run_lo_[runs] <= run_hi_[runs]) {
        ft.nan_lo += run_lo_[runs] - root_lo;
        ft.nan_hi += run_hi_[runs] - root_hi;
      }
    }
    return added;
  }

  // Every leaf of the tree with the rank interval of each fast feature on its path.
  void walk(std::uint32_t root) {
    open_.clear();
    stack_.clear();
    stack_.push_back({root, 0, -1, Span{}});
    while (!stack_.empty()) {
      const Pending p = stack_.back();
      stack_.pop_back();
      open_.resize(p.depth);
      if (p.feature >= 0) open_.push_back({static_cast<std::uint32_t>(p.feature), p.span});
      const std::uint32_t node = p.node;
      const std::int32_t g = e_.feature()[node];
      const auto depth = static_cast<std::uint32_t>(open_.size());
      if (g < 0) {
        // The last entry of a feature on the path is its narrowest interval.
        ++epoch_;
        const auto at = static_cast<std::uint32_t>(path_.size());
        for (auto it = open_.rbegin(); it != open_.rend(); ++it) {
          if (stamp_[it->first] == epoch_) continue;
          stamp_[it->first] = epoch_;
          path_.push_back(*it);
        }
        leaves_.push_back({e_.value()[node], at, static_cast<std::uint32_t>(path_.size() - at)});
        continue;
      }
      const auto f = static_cast<std::uint32_t>(g);
      const std::uint32_t l = e_.left()[node], r = e_.right()[node];
      if (!fs_[f].used) {
        stack_.push_back({r, depth, -1, Span{}});
        stack_.push_back({l, depth, -1, Span{}});
        continue;
      }
      if (std::find(touched_.begin(), touched_.end(), f) == touched_.end()) touched_.push_back(f);
      Span s{0, static_cast<std::uint32_t>(fs_[f].values.size()), true};
      for (auto it = open_.rbegin(); it != open_.rend(); ++it) {
        if (it->first == f) {
          s = it->second;
          break;
        }
      }
      const std::uint32_t k = split_rank(fs_[f], node);
      const bool nan_left = e_.missing_left()[node] != 0;
      const Span right{std::max(s.lo, k), s.hi, s.nan && !nan_left};
      const Span left{s.lo, std::min(s.hi, k), s.nan && nan_left};
      // Both children stay, even with no state of f left: the bound of one assigned
      // feature ignores what the path says about the others.
      stack_.push_back({r, depth, g, right});
      stack_.push_back({l, depth, g, left});
    }
  }

  struct Pending {
    std::uint32_t node;
    std::uint32_t depth;  // entries of open_ that belong to the path above
    std::int32_t feature;  // the entry this step adds, if any
    Span span;
  };

  const Ensemble& e_;
  std::vector<Feature> fs_;
  double slack_ = 0.0;
  std::vector<Leaf> leaves_;
  std::vector<std::pair<std::uint32_t, Span>> path_, open_;
  std::vector<std::uint32_t> touched_, cuts_;
  std::vector<std::uint32_t> stamp_;  // per feature, for the leaf paths
  std::uint32_t epoch_ = 0;
  std::vector<std::uint32_t> local_;  // per feature: its index among the tree's touched ones
  std::vector<std::uint32_t> group_start_, fill_, leaf_stamp_;
  std::vector<std::pair<std::uint32_t, Span>> grouped_;  // (leaf, span) by feature
  std::vector<double> run_lo_, run_hi_;
  std::vector<Pending> stack_;
};

// The bound interval of one state by the score bounds themselves.
std::pair<double, double> exact_range(const Ctx& ctx, std::size_t f, double value,
                                      EnsembleBounds& b, PartialAssignment& pa, BoundsUndo& undo) {
  pa.mask.set(f);
  pa.assigned[f] = 1;
  pa.values[f] = value;
  b.apply_with(f, pa, undo);
  const std::pair<double, double> out{b.lower(), b.upper()};
  b.restore(undo);
  pa.mask.clear(f);
  pa.assigned[f] = 0;
  (void)ctx;
  return out;
}

}  // namespace

std::vector<std::uint8_t> threshold_only_features(const Ctx& ctx) {
  std::vector<std::uint8_t> out(ctx.n_features, 1);
  for (std::size_t f = 0; f < ctx.n_features; ++f) out[f] = ctx.blocks[f].empty() ? 1 : 0;
  for (const ScoreWindow& w : ctx.all_windows) {
    const Ensemble* e = w.ensemble;
    for (std::size_t n = 0; n < e->n_nodes(); ++n) {
      if (e->feature()[n] >= 0 && e->node_set()[n] >= 0) {
        out[static_cast<std::size_t>(e->feature()[n])] = 0;
      }
    }
  }
  return out;
}

bool presolve(Ctx& ctx, std::span<EnsembleBounds> bounds, std::uint64_t& removed,
              Watch& watch) {
  const std::vector<std::uint8_t> fast = threshold_only_features(ctx);
  std::vector<StateRanges> sums;  // one per window
  sums.reserve(bounds.size());
  for (std::size_t w = 0; w < bounds.size(); ++w) {
    sums.emplace_back(ctx, *ctx.all_windows[w].ensemble, bounds[w], fast, watch);
  }
  PartialAssignment pa(ctx.n_features);
  BoundsUndo undo;
  bool all_nonempty = true;
  for (std::size_t f : ctx.order) {
    watch.check_now();
    Domain& d = ctx.domains[f];
    Domain kept;
    for (std::size_t i = 0; i < d.size(); ++i) {
      // Window by window while the state stays: by the sums when they are clear of the
      // window by more than their rounding, else by the score bounds (which walk every
      // tree of the feature).
      bool keep = true;
      for (std::size_t w = 0; w < bounds.size() && keep; ++w) {
        const ScoreWindow& window = ctx.all_windows[w];
        int verdict = -1;  // -1 undecided, 0 drop, 1 keep
        if (sums[w].fast(f)) {
          const auto [lo, hi] = sums[w].range(f, i, d);
          const double e = sums[w].slack();
          const bool clear = std::fabs(hi - window.lo) > e && std::fabs(lo - window.hi) > e;
          verdict = clear ? (!(hi < window.lo) && !(lo > window.hi) ? 1 : 0) : -1;
        }
        if (verdict < 0) {
          watch.check_now();
          const auto [lo, hi] = exact_range(ctx, f, d[i].value, bounds[w], pa, undo);
          verdict = !(hi < window.lo) && !(lo > window.hi);
        }
        keep = verdict == 1;
      }
      if (keep) {
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
