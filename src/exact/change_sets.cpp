// The change-set rules in the classic and refine searches.
#include "exact/change_sets.hpp"

#include <algorithm>
#include <bit>
#include <limits>

#include "errors.hpp"

namespace morvel::exact {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();


}  // namespace

ChangeSets::ChangeSets(const Ctx& ctx, const ChangeRules& rules)
    : ctx_(ctx), rules_(rules), x_(ctx.problem.x), n_(ctx.n_features) {
  const std::size_t levels = ctx.order.size();
  forced_.assign(n_, 0);
  can_.assign(n_, 0);
  seen_.assign(n_, 0);
  change_extra_.assign(n_, kInf);
  word_at_.assign(n_ + 1, 0);
  for (std::size_t f = 0; f < n_; ++f) {
    word_at_[f + 1] = word_at_[f] + (ctx.domains[f].size() + 63) / 64;
  }
  same_.assign(word_at_[n_], 0);
  std::vector<std::uint8_t> searched(n_, 0);
  for (std::size_t f : ctx.order) {
    searched[f] = 1;
    const Domain& d = ctx.domains[f];
    double least = kInf, least_change = kInf;
    bool keeps = false;
    for (std::size_t i = 0; i < d.size(); ++i) {
      least = std::min(least, d[i].cost);
      if (changes(x_[f], d[i].value)) {
        least_change = std::min(least_change, d[i].cost);
      } else {
        keeps = true;
        same_[word_at_[f] + i / 64] |= std::uint64_t{1} << (i % 64);
      }
    }
    forced_[f] = !keeps && !d.empty();
    can_[f] = least_change < kInf;
    if (can_[f]) change_extra_[f] = least_change - least;
  }

  const std::size_t cap = rules.max_changes.value_or(std::numeric_limits<std::size_t>::max());
  novel_ = !rules.earlier.empty() && rules.diversity == Diversity::NewFeature;
  const bool no_superset = !rules.earlier.empty() && rules.diversity == Diversity::NoSuperset;
  for (const auto& set : rules.earlier) {
    for (std::uint32_t f : set) {
      if (f < n_) seen_[f] = 1;
    }
  }
  forced_below_.assign(levels + 1, 0);
  can_new_below_.assign(levels + 1, 0);
  new_extra_below_.assign(levels + 1, kInf);
  for (std::size_t k = levels; k-- > 0;) {
    const std::size_t f = ctx.order[k];
    const bool new_one = !seen_[f] && can_[f];
    forced_below_[k] = forced_below_[k + 1] + forced_[f];
    can_new_below_[k] = can_new_below_[k + 1] + (new_one ? 1 : 0);
    new_extra_below_[k] = new_one ? std::min(new_extra_below_[k + 1], change_extra_[f])
                                  : new_extra_below_[k + 1];
    if (!seen_[f] && forced_[f]) ++forced_new_;
  }
  if (forced_below_[0] > cap) never_ = true;
  if (novel_ && can_new_below_[0] == 0) never_ = true;

  // Earlier sets some row could contain: every member searched and able to change.
  set_begin_.push_back(0);
  std::vector<std::uint32_t> per_feature(n_, 0);
  if (no_superset) {
    for (const auto& set : rules.earlier) {
      const bool possible = std::all_of(set.begin(), set.end(), [&](std::uint32_t f) {
        return f < n_ && searched[f] && can_[f];
      });
      if (!possible) continue;
      std::uint32_t forced = 0;
      for (std::uint32_t f : set) {
        set_members_.push_back(f);
        forced += forced_[f];
        ++per_feature[f];
      }
      if (forced == set.size()) never_ = true;  // every row changes the whole set
      set_forced_.push_back(forced);
      set_begin_.push_back(static_cast<std::uint32_t>(set_members_.size()));
    }
  }
  const std::size_t n_sets = set_forced_.size();
  sets_of_begin_.assign(n_ + 1, 0);
  for (std::size_t f = 0; f < n_; ++f) sets_of_begin_[f + 1] = sets_of_begin_[f] + per_feature[f];
  sets_of_.assign(sets_of_begin_[n_], 0);
  std::vector<std::uint32_t> fill(sets_of_begin_.begin(), sets_of_begin_.end() - 1);
  for (std::uint32_t i = 0; i < n_sets; ++i) {
    for (std::uint32_t k = set_begin_[i]; k < set_begin_[i + 1]; ++k) {
      sets_of_[fill[set_members_[k]]++] = i;
    }
  }
  set_changed_.assign(n_sets, 0);
  set_kept_.assign(n_sets, 0);
  same_lo_.assign(n_, 1);
  same_hi_.assign(n_, 0);
}

bool ChangeSets::factual_missing(std::size_t f) const { return std::isnan(x_[f]); }

// --- classic ---------------------------------------------------------------------------

bool ChangeSets::admits(std::size_t level, const State& s) const {
  if (never_) return false;
  const std::size_t f = ctx_.order[level];
  const bool c = changes(x_[f], s.value);
  const std::size_t at_least = changed_ + (c ? 1 : 0) + forced_below_[level + 1];
  if (rules_.max_changes && at_least > *rules_.max_changes) return false;
  if (c && !forced_[f]) {
    for (std::uint32_t k = sets_of_begin_[f]; k < sets_of_begin_[f + 1]; ++k) {
      const std::uint32_t i = sets_of_[k];
      const std::uint32_t size = set_begin_[i + 1] - set_begin_[i];
      if (set_kept_[i] == 0 && set_forced_[i] + set_changed_[i] + 1 == size) return false;
    }
  }
  if (novelty_open() && !(c && !seen_[f]) && can_new_below_[level + 1] == 0) return false;
  return true;
}

void ChangeSets::count(std::size_t level, const State& s, int step) {
  const std::size_t f = ctx_.order[level];
  const bool c = changes(x_[f], s.value);
  if (c) {
    changed_ += step;
    if (!seen_[f]) new_changed_ += step;
  }
  if (forced_[f]) return;  // counted in set_forced_
  for (std::uint32_t k = sets_of_begin_[f]; k < sets_of_begin_[f + 1]; ++k) {
    (c ? set_changed_ : set_kept_)[sets_of_[k]] += step;
  }
}

double ChangeSets::extra_below(std::size_t level) const {
  return novelty_open() ? new_extra_below_[level + 1] : 0.0;
}

// --- refine ----------------------------------------------------------------------------

void ChangeSets::use_states(const FeatureStates& fs) {
  for (std::size_t f : ctx_.order) {
    if (fs.kind(f) != FeatureKind::Ranked || factual_missing(f)) continue;
    // Equal values are neighbours in value order, so the ranks keeping x[f] form a run.
    for (std::uint32_t r = 0; r < fs.n_ranks(f); ++r) {
      if (changes(x_[f], fs.rank_value(f, r))) continue;
      if (same_lo_[f] > same_hi_[f]) same_lo_[f] = r;
      same_hi_[f] = r;
    }
  }
}

ChangeSets::Part ChangeSets::part(const FeatureStates& fs, const Box& box, std::size_t f) const {
  bool same = false, change = false;
  switch (fs.kind(f)) {
    case FeatureKind::Fixed: return Part::Stays;
    case FeatureKind::Ranked: {
      const RankRange& r = box.ranges[f];
      if (factual_missing(f)) {
        same = r.nan;
        change = r.has_ranks();
        break;
      }
      change = r.nan;
      if (r.has_ranks()) {
        const bool run = same_lo_[f] <= same_hi_[f];
        same = run && same_lo_[f] <= r.hi && r.lo <= same_hi_[f];
        change = change || !run || r.lo < same_lo_[f] || r.hi > same_hi_[f];
      }
      break;
    }
    case FeatureKind::Masked: {
      const std::uint64_t* m = box.mask(fs, f);
      const std::uint64_t* s = same_words(f);
      for (std::size_t w = 0; w < fs.mask_words(f); ++w) {
        same = same || (m[w] & s[w]) != 0;
        change = change || (m[w] & ~s[w]) != 0;
      }
      break;
    }
  }
  if (same && change) return Part::Open;
  return same ? Part::Stays : Part::Changes;
}

void ChangeSets::to_same(const FeatureStates& fs, Box& box, std::size_t f) const {
  if (fs.kind(f) == FeatureKind::Masked) {
    std::uint64_t* m = box.mask(fs, f);
    const std::uint64_t* s = same_words(f);
    for (std::size_t w = 0; w < fs.mask_words(f); ++w) m[w] &= s[w];
    return;
  }
  RankRange& r = box.ranges[f];
  if (factual_missing(f)) {
    r = {1, 0, true};
  } else {
    r = {std::max(r.lo, same_lo_[f]), std::min(r.hi, same_hi_[f]), false};
  }
}

bool ChangeSets::to_change(const FeatureStates& fs, Box& box, std::size_t f) const {
  if (fs.kind(f) == FeatureKind::Masked) {
    std::uint64_t* m = box.mask(fs, f);
    const std::uint64_t* s = same_words(f);
    for (std::size_t w = 0; w < fs.mask_words(f); ++w) m[w] &= ~s[w];
    return true;
  }
  RankRange& r = box.ranges[f];
  if (factual_missing(f)) {
    r.nan = false;
    return true;
  }
  // Only a run at an end of the range can go: a range holds consecutive ranks.
  if (r.has_ranks() && same_lo_[f] <= r.lo) {
    r.lo = same_hi_[f] + 1;
  } else if (r.has_ranks() && same_hi_[f] >= r.hi) {
    r.hi = same_lo_[f] - 1;
  } else {
    return false;
  }
  if (r.lo > r.hi) r = {1, 0, r.nan};
  return true;
}

bool ChangeSets::narrow(const FeatureStates& fs, Box& box, bool& narrowed) const {
  if (never_) return false;
  for (bool again = true; again;) {
    again = false;
    if (rules_.max_changes) {
      std::size_t must = 0;
      for (std::size_t f : ctx_.order) must += part(fs, box, f) == Part::Changes;
      if (must > *rules_.max_changes) return false;
      if (must == *rules_.max_changes) {
        for (std::size_t f : ctx_.order) {
          if (part(fs, box, f) != Part::Open) continue;
          to_same(fs, box, f);
          narrowed = true;
        }
      }
    }
    for (std::size_t i = 0; i + 1 < set_begin_.size(); ++i) {
      std::size_t open = 0, last = n_;
      bool kept = false;
      for (std::uint32_t k = set_begin_[i]; k < set_begin_[i + 1] && !kept; ++k) {
        const Part p = part(fs, box, set_members_[k]);
        kept = p == Part::Stays;
        if (p == Part::Open) {
          ++open;
          last = set_members_[k];
        }
      }
      if (kept) continue;
      if (open == 0) return false;
      if (open == 1) {
        to_same(fs, box, last);
        narrowed = true;
      }
    }
    if (novel_) {
      std::size_t open = 0, last = n_;
      bool done = false;
      for (std::size_t f : ctx_.order) {
        if (seen_[f]) continue;
        const Part p = part(fs, box, f);
        if (p == Part::Changes) {
          done = true;
          break;
        }
        if (p == Part::Open) {
          ++open;
          last = f;
        }
      }
      if (!done && open == 0) return false;
      // Changing the last candidate may reach the cap: look again.
      if (!done && open == 1 && to_change(fs, box, last)) narrowed = again = true;
    }
  }
  return true;
}

double ChangeSets::change_cost(const FeatureStates& fs, const Box& box, std::size_t f) const {
  if (fs.kind(f) == FeatureKind::Masked) {
    const std::uint64_t* m = box.mask(fs, f);
    const std::uint64_t* s = same_words(f);
    for (std::size_t w = 0; w < fs.mask_words(f); ++w) {
      const std::uint64_t bits = m[w] & ~s[w];
      if (bits != 0) {
        return fs.state_cost(f, static_cast<std::uint32_t>(64 * w + std::countr_zero(bits)));
      }
    }
    return kInf;
  }
  const RankRange& r = box.ranges[f];
  if (factual_missing(f)) return r.has_ranks() ? fs.range_cost(f, r.lo, r.hi, false) : kInf;
  double best = r.nan ? fs.nan_cost(f) : kInf;
  if (!r.has_ranks()) return best;
  if (same_lo_[f] > same_hi_[f]) return std::min(best, fs.range_cost(f, r.lo, r.hi, false));
  if (r.lo < same_lo_[f]) {
    best = std::min(best, fs.range_cost(f, r.lo, std::min(r.hi, same_lo_[f] - 1), false));
  }
  if (r.hi > same_hi_[f]) {
    best = std::min(best, fs.range_cost(f, std::max(r.lo, same_hi_[f] + 1), r.hi, false));
  }
  return best;
}

double ChangeSets::box_extra(const FeatureStates& fs, const Box& box,
                             std::span<const double> m) const {
  if (!novel_) return 0.0;
  double least = kInf;
  for (std::size_t f : ctx_.order) {
    if (seen_[f]) continue;
    const Part p = part(fs, box, f);
    if (p == Part::Changes) return 0.0;
    if (p == Part::Open) least = std::min(least, std::max(0.0, change_cost(fs, box, f) - m[f]));
  }
  return least;
}

std::size_t ChangeSets::split_feature(const FeatureStates& fs, const Box& box, const double* row,
                                      std::span<const double> m) const {
  // An open feature that the row changes and that a broken rule counts.
  auto changed_open = [&](std::size_t f) {
    return changes(x_[f], row[f]) && part(fs, box, f) == Part::Open;
  };
  if (rules_.max_changes) {
    std::size_t n = 0;
    for (std::size_t f : ctx_.order) n += changes(x_[f], row[f]);
    if (n > *rules_.max_changes) {
      for (std::size_t f : ctx_.order) {
        if (changed_open(f)) return f;
      }
    }
  }
  for (std::size_t i = 0; i + 1 < set_begin_.size(); ++i) {
    const auto first = set_members_.begin() + set_begin_[i];
    const auto last = set_members_.begin() + set_begin_[i + 1];
    if (!std::all_of(first, last, [&](std::uint32_t f) { return changes(x_[f], row[f]); })) {
      continue;
    }
    for (auto it = first; it != last; ++it) {
      if (changed_open(*it)) return *it;
    }
  }
  if (novel_) {
    bool done = false;
    for (std::size_t f : ctx_.order) done = done || (!seen_[f] && changes(x_[f], row[f]));
    if (!done) {
      std::size_t pick = n_;
      double least = kInf;
      for (std::size_t f : ctx_.order) {
        if (seen_[f] || part(fs, box, f) != Part::Open) continue;
        const double extra = change_cost(fs, box, f) - m[f];
        if (pick == n_ || extra < least) {
          pick = f;
          least = extra;
        }
      }
      return pick;
    }
  }
  return n_;
}

}  // namespace morvel::exact
