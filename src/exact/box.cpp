// Feature state tables and boxes of the refine search.
#include "exact/box.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numeric>

#include "errors.hpp"

namespace morvel::exact {
namespace {

// The first cheapest position, if the costs never rise before it and never fall after it.
bool valley(std::span<const double> costs, std::uint32_t& pivot) {
  if (costs.empty()) {
    pivot = 0;
    return true;
  }
  const auto p = static_cast<std::size_t>(std::min_element(costs.begin(), costs.end()) -
                                          costs.begin());
  for (std::size_t i = 0; i + 1 <= p; ++i) {
    if (costs[i + 1] > costs[i]) return false;
  }
  for (std::size_t i = p; i + 1 < costs.size(); ++i) {
    if (costs[i + 1] < costs[i]) return false;
  }
  pivot = static_cast<std::uint32_t>(p);
  return true;
}

}  // namespace

FeatureStates::FeatureStates(const Domains& domains, std::span<const std::uint8_t> searched,
                             std::span<const std::uint8_t> ordered, std::span<const double> x)
    : domains_(&domains),
      x_(x),
      kind_(domains.size(), FeatureKind::Fixed),
      rank_begin_(domains.size() + 1, 0),
      state_begin_(domains.size() + 1, 0),
      pivot_(domains.size(), 0),
      nan_state_(domains.size(), kNoState),
      nan_cost_(domains.size(), kInfCost),
      mask_words_(domains.size(), 0),
      mask_offset_(domains.size(), 0) {
  const std::size_t n = domains.size();
  ensure(searched.size() >= n && ordered.size() >= n && x.size() >= n,
         "feature tables narrower than the domains (should be impossible)");
  for (std::size_t f = 0; f < n; ++f) state_begin_[f + 1] = state_begin_[f] + domains[f].size();
  rank_of_.assign(state_begin_[n], kNoState);
  std::vector<std::uint32_t> present;
  std::vector<double> costs;
  for (std::size_t f = 0; f < n; ++f) {
    rank_begin_[f + 1] = rank_begin_[f];
    if (!searched[f]) continue;
    const Domain& d = domains[f];
    ensure(d.size() < kNoState, "state count exceeds u32");
    present.clear();
    for (std::uint32_t i = 0; i < d.size(); ++i) {
      if (d[i].is_nan) {
        if (nan_state_[f] == kNoState) {
          nan_state_[f] = i;
          nan_cost_[f] = d[i].cost;
        }
      } else {
        present.push_back(i);
      }
    }
    std::stable_sort(present.begin(), present.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return d[a].value < d[b].value; });
    costs.clear();
    for (std::uint32_t i : present) costs.push_back(d[i].cost);
    std::uint32_t p = 0;
    // A second missing state (never built by the domains) could not be told apart.
    const bool one_missing =
        std::count_if(d.begin(), d.end(), [](const State& s) { return s.is_nan; }) <= 1;
    if (ordered[f] && one_missing && valley(costs, p)) {
      kind_[f] = FeatureKind::Ranked;
      pivot_[f] = p;
      for (std::uint32_t r = 0; r < present.size(); ++r) {
        rank_value_.push_back(d[present[r]].value);
        rank_cost_.push_back(d[present[r]].cost);
        rank_state_.push_back(present[r]);
        rank_of_[state_begin_[f] + present[r]] = r;
      }
      rank_begin_[f + 1] = static_cast<std::uint32_t>(rank_value_.size());
    } else {
      kind_[f] = FeatureKind::Masked;
      nan_state_[f] = kNoState;
      nan_cost_[f] = kInfCost;
      mask_words_[f] = std::max<std::size_t>(1, (d.size() + 63) / 64);
      mask_offset_[f] = total_mask_words_;
      total_mask_words_ += mask_words_[f];
    }
  }
}

std::uint32_t FeatureStates::range_state(std::size_t f, const RankRange& r) const {
  const double ranks = r.has_ranks() ? rank_cost(f, clamp_pivot(f, r.lo, r.hi)) : kInfCost;
  const double missing = r.nan ? nan_cost_[f] : kInfCost;
  if (!r.has_ranks()) return r.nan ? nan_state_[f] : kNoState;
  const std::uint32_t ranked = rank_state(f, clamp_pivot(f, r.lo, r.hi));
  // Equal costs: the earlier domain position, as the domain order would have it.
  if (r.nan && (missing < ranks || (missing == ranks && nan_state_[f] < ranked))) {
    return nan_state_[f];
  }
  return ranked;
}

std::uint32_t FeatureStates::split_rank(std::size_t f, double threshold, bool is_lt) const {
  const double* begin = rank_value_.data() + rank_begin_[f];
  const double* end = rank_value_.data() + rank_begin_[f + 1];
  // NaN threshold: every value goes right, so the first rank already goes right.
  const double* it = is_lt ? std::lower_bound(begin, end, threshold)
                           : std::upper_bound(begin, end, threshold);
  if (std::isnan(threshold)) it = begin;
  return static_cast<std::uint32_t>(it - begin);
}

std::uint32_t FeatureStates::mask_state(std::size_t f, const std::uint64_t* words) const {
  for (std::size_t w = 0; w < mask_words_[f]; ++w) {
    if (words[w] != 0) return static_cast<std::uint32_t>(64 * w + std::countr_zero(words[w]));
  }
  return kNoState;
}

Box Box::whole(const FeatureStates& fs) {
  Box box;
  box.ranges.assign(fs.n_features(), RankRange{1, 0, false});
  box.masks.assign(fs.total_mask_words(), 0);
  for (std::size_t f = 0; f < fs.n_features(); ++f) {
    if (fs.kind(f) == FeatureKind::Ranked) {
      const bool nan = fs.nan_state(f) != kNoState;
      box.ranges[f] =
          fs.n_ranks(f) == 0 ? RankRange{1, 0, nan} : RankRange{0, fs.n_ranks(f) - 1, nan};
    } else if (fs.kind(f) == FeatureKind::Masked) {
      const std::size_t n = fs.domains()[f].size();
      std::uint64_t* m = box.mask(fs, f);
      for (std::size_t i = 0; i < n; ++i) m[i / 64] |= std::uint64_t{1} << (i % 64);
    }
  }
  return box;
}

std::uint32_t Box::cheapest(const FeatureStates& fs, std::size_t f) const {
  switch (fs.kind(f)) {
    case FeatureKind::Ranked: return fs.range_state(f, ranges[f]);
    case FeatureKind::Masked: return fs.mask_state(f, mask(fs, f));
    case FeatureKind::Fixed: break;
  }
  return kNoState;
}

std::size_t Box::count(const FeatureStates& fs, std::size_t f) const {
  switch (fs.kind(f)) {
    case FeatureKind::Ranked: {
      const RankRange& r = ranges[f];
      return (r.has_ranks() ? r.hi - r.lo + 1 : 0) + (r.nan ? 1 : 0);
    }
    case FeatureKind::Masked: {
      std::size_t c = 0;
      const std::uint64_t* m = mask(fs, f);
      for (std::size_t w = 0; w < fs.mask_words(f); ++w) c += std::popcount(m[w]);
      return c;
    }
    case FeatureKind::Fixed: break;
  }
  return 1;
}

bool Box::single(const FeatureStates& fs, std::size_t f) const { return count(fs, f) == 1; }

bool Box::holds(const FeatureStates& fs, std::size_t f, std::uint32_t state) const {
  if (state == kNoState) return false;
  switch (fs.kind(f)) {
    case FeatureKind::Ranked: {
      const RankRange& r = ranges[f];
      if (state == fs.nan_state(f)) return r.nan;
      const std::uint32_t k = fs.rank_of(f, state);
      return r.has_ranks() && r.lo <= k && k <= r.hi;
    }
    case FeatureKind::Masked:
      return (mask(fs, f)[state / 64] >> (state % 64)) & 1u;
    case FeatureKind::Fixed: break;
  }
  return false;
}

void Box::pin(const FeatureStates& fs, std::size_t f, std::uint32_t state) {
  ensure(holds(fs, f, state), "a pinned state lies in its box (should be impossible)");
  if (fs.kind(f) == FeatureKind::Ranked) {
    if (state == fs.nan_state(f)) {
      ranges[f] = {1, 0, true};
    } else {
      const std::uint32_t k = fs.rank_of(f, state);
      ranges[f] = {k, k, false};
    }
  } else {
    std::uint64_t* m = mask(fs, f);
    std::fill(m, m + fs.mask_words(f), 0);
    m[state / 64] = std::uint64_t{1} << (state % 64);
  }
}

bool Box::remove(const FeatureStates& fs, std::size_t f, std::uint32_t state) {
  if (!holds(fs, f, state)) return true;
  if (fs.kind(f) == FeatureKind::Masked) {
    mask(fs, f)[state / 64] &= ~(std::uint64_t{1} << (state % 64));
    return true;
  }
  RankRange& r = ranges[f];
  if (state == fs.nan_state(f)) {
    r.nan = false;
    return true;
  }
  const std::uint32_t k = fs.rank_of(f, state);
  if (k == r.lo) {
    if (r.lo == r.hi) r = {1, 0, r.nan};
    else ++r.lo;
    return true;
  }
  if (k == r.hi) {
    --r.hi;
    return true;
  }
  return false;
}

std::uint32_t FeatureStates::append_left_set(const Ensemble& e, std::uint32_t node,
                                             std::size_t f,
                                             std::vector<std::uint64_t>& sets) const {
  const auto at = static_cast<std::uint32_t>(sets.size());
  sets.resize(sets.size() + mask_words(f), 0);
  const Domain& d = domains()[f];
  const std::uint32_t left = e.left()[node];
  for (std::size_t i = 0; i < d.size(); ++i) {
    if (e.next_node(node, d[i].value) == left) sets[at + i / 64] |= std::uint64_t{1} << (i % 64);
  }
  return at;
}

}  // namespace morvel::exact
