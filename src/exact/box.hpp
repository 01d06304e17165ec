// Boxes of the refine search: every feature narrowed to a set of its domain's states. A
// numeric feature whose costs fall and then rise along its values (the usual distance to
// the factual value) is held at a run of consecutive states in value order, a "rank
// range", plus optionally its missing state; its cheapest state in a range is one lookup.
// Any other searched feature (categorical, or costs of another shape) is held at a bit
// set over its domain positions, whose lowest set bit is its cheapest state because
// domains are sorted by cost. Features outside the search keep their factual value.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "exact/domains.hpp"
#include "ir.hpp"

namespace morvel::exact {

enum class FeatureKind : std::uint8_t { Fixed, Ranked, Masked };

inline constexpr std::uint32_t kNoState = std::numeric_limits<std::uint32_t>::max();

// A ranked feature's part of a box: ranks lo..hi (empty when lo > hi) and the missing state.
struct RankRange {
  std::uint32_t lo;
  std::uint32_t hi;
  bool nan;

  bool has_ranks() const { return lo <= hi; }
  bool empty() const { return lo > hi && !nan; }
  friend bool operator==(const RankRange&, const RankRange&) = default;
};

// Per feature: how its states are indexed for boxes. Built once per solve, read-only.
class FeatureStates {
 public:
  // `searched[f]` marks the features the search may move; the others are Fixed.
  // `ordered[f]`: every split on f compares values with a threshold (f has no category
  // blocks and no split sets), so value order is what the splits see.
  FeatureStates(const Domains& domains, std::span<const std::uint8_t> searched,
                std::span<const std::uint8_t> ordered, std::span<const double> x);

  std::size_t n_features() const { return kind_.size(); }
  FeatureKind kind(std::size_t f) const { return kind_[f]; }
  double fixed_value(std::size_t f) const { return x_[f]; }

  // --- ranked features
  std::uint32_t n_ranks(std::size_t f) const { return rank_begin_[f + 1] - rank_begin_[f]; }
  double rank_value(std::size_t f, std::uint32_t r) const {
    return rank_value_[rank_begin_[f] + r];
  }
  double rank_cost(std::size_t f, std::uint32_t r) const { return rank_cost_[rank_begin_[f] + r]; }
  std::uint32_t rank_state(std::size_t f, std::uint32_t r) const {
    return rank_state_[rank_begin_[f] + r];
  }
  // Rank of domain position i of a ranked feature; kNoState for its missing state.
  std::uint32_t rank_of(std::size_t f, std::uint32_t i) const {
    return rank_of_[state_begin_[f] + i];
  }
  std::uint32_t nan_state(std::size_t f) const { return nan_state_[f]; }  // kNoState if none
  double nan_cost(std::size_t f) const { return nan_cost_[f]; }            // +inf if none
  // The rank where the costs bottom out; the cheapest rank of [lo, hi] is its clamp.
  std::uint32_t pivot(std::size_t f) const { return pivot_[f]; }
  // Least cost over a range (+inf when empty), and the state that has it (kNoState).
  double range_cost(std::size_t f, std::uint32_t lo, std::uint32_t hi, bool nan) const {
    const double ranks = lo <= hi ? rank_cost(f, clamp_pivot(f, lo, hi)) : kInfCost;
    const double missing = nan ? nan_cost_[f] : kInfCost;
    return missing < ranks ? missing : ranks;
  }
  std::uint32_t range_state(std::size_t f, const RankRange& r) const;
  std::uint32_t clamp_pivot(std::size_t f, std::uint32_t lo, std::uint32_t hi) const {
    const std::uint32_t p = pivot_[f];
    return p < lo ? lo : (p > hi ? hi : p);
  }
  // First rank whose value a numeric split sends right (`v < t` when is_lt, else `v <= t`).
  std::uint32_t split_rank(std::size_t f, double threshold, bool is_lt) const;
  // Appends to `sets` the bit set of the domain positions that `node`, a split on masked
  // feature f, sends to its left child; returns the set's word offset in `sets`.
  std::uint32_t append_left_set(const Ensemble& e, std::uint32_t node, std::size_t f,
                                std::vector<std::uint64_t>& sets) const;

  // --- masked features: words per feature, bit i = domain position i
  std::size_t mask_words(std::size_t f) const { return mask_words_[f]; }
  std::size_t mask_offset(std::size_t f) const { return mask_offset_[f]; }
  std::size_t total_mask_words() const { return total_mask_words_; }
  double state_cost(std::size_t f, std::uint32_t i) const { return (*domains_)[f][i].cost; }
  // Lowest set bit (the cheapest state) or kNoState, and its cost (+inf when empty).
  std::uint32_t mask_state(std::size_t f, const std::uint64_t* words) const;
  double mask_cost(std::size_t f, const std::uint64_t* words) const {
    const std::uint32_t s = mask_state(f, words);
    return s == kNoState ? kInfCost : state_cost(f, s);
  }

  const Domains& domains() const { return *domains_; }

  static constexpr double kInfCost = std::numeric_limits<double>::infinity();

 private:
  const Domains* domains_;
  std::span<const double> x_;
  std::vector<FeatureKind> kind_;
  std::vector<std::uint32_t> rank_begin_;  // CSR over features (ranked only)
  std::vector<double> rank_value_;
  std::vector<double> rank_cost_;
  std::vector<std::uint32_t> rank_state_;
  std::vector<std::size_t> state_begin_;   // CSR over features' domain positions
  std::vector<std::uint32_t> rank_of_;     // per domain position: its rank (kNoState: missing)
  std::vector<std::uint32_t> pivot_;
  std::vector<std::uint32_t> nan_state_;
  std::vector<double> nan_cost_;
  std::vector<std::size_t> mask_words_;
  std::vector<std::size_t> mask_offset_;
  std::size_t total_mask_words_ = 0;
};

// One box: a rank range per ranked feature and a bit set per masked feature.
struct Box {
  std::vector<RankRange> ranges;     // per feature; meaningful for ranked features
  std::vector<std::uint64_t> masks;  // masked features' words at FeatureStates::mask_offset

  // The whole domain of every searched feature.
  static Box whole(const FeatureStates& fs);

  const std::uint64_t* mask(const FeatureStates& fs, std::size_t f) const {
    return masks.data() + fs.mask_offset(f);
  }
  std::uint64_t* mask(const FeatureStates& fs, std::size_t f) {
    return masks.data() + fs.mask_offset(f);
  }
  // The feature's cheapest state in the box, kNoState when its part is empty; Fixed
  // features have none.
  std::uint32_t cheapest(const FeatureStates& fs, std::size_t f) const;
  // Whether the feature's part holds exactly one state.
  bool single(const FeatureStates& fs, std::size_t f) const;
  // Number of states of the feature's part.
  std::size_t count(const FeatureStates& fs, std::size_t f) const;
  // Whether the feature's part holds domain position `state`.
  bool holds(const FeatureStates& fs, std::size_t f, std::uint32_t state) const;
  // Narrows the feature's part to one state (which it must hold).
  void pin(const FeatureStates& fs, std::size_t f, std::uint32_t state);
  // Removes one state; for a ranked feature only the missing state or an end rank can go
  // (returns false, changing nothing, for an inner rank).
  bool remove(const FeatureStates& fs, std::size_t f, std::uint32_t state);
};

// Whether feature f has the same part in both boxes.
inline bool same_part(const FeatureStates& fs, const Box& a, const Box& b, std::size_t f) {
  if (!(a.ranges[f] == b.ranges[f])) return false;
  return fs.kind(f) != FeatureKind::Masked ||
         std::equal(a.mask(fs, f), a.mask(fs, f) + fs.mask_words(f), b.mask(fs, f));
}

}  // namespace morvel::exact
