// The change-set rules (change_rules.hpp) inside the exact search. Both search modes see a
// feature's candidate states as "keeps the factual value" or "changes it"; a feature whose
// presolved domain has no state of the first kind is forced to change.
//
// Classic search: counters over the assigned levels decide, before a state is tried,
// whether the rules can still hold: the cap counts the changes made plus the forced ones
// below; an earlier set is completed when its last member that could stay is changed; a
// new feature must still be able to change below when none has yet. The bound adds, while
// no new feature has changed, the cheapest such change below.
//
// Refine search: a box holds, per feature, states of one kind or both ("open"). Narrowing
// keeps every row of the box that keeps the rules: once the changes a box forces reach the
// cap, its open features keep their factual values; an earlier set with one member left
// that could stay keeps that member; a box with one feature left that could change a new
// feature changes it. The bound adds the cheapest new change the same way. When the box's
// cheapest row breaks a rule, the box is split on an open feature into the states that
// keep its factual value and those that change it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "change_rules.hpp"
#include "exact/box.hpp"
#include "exact/context.hpp"

namespace morvel::exact {

// Accepted rows that the searches of one problem met, so that a later search under stricter
// change-set rules can start from the cheapest one it allows (each is in the window and
// meets the constraints, which the later search shares).
struct FoundRows {
  static constexpr std::size_t kLimit = 64;
  struct Entry {
    std::vector<double> row;
    double cost;
    std::vector<std::uint64_t> snapped;
  };
  std::vector<Entry> entries;

  void add(const std::vector<double>& row, double cost, std::vector<std::uint64_t> snapped) {
    if (entries.size() < kLimit) entries.push_back({row, cost, std::move(snapped)});
  }
  // The cheapest entry that keeps the rules, or null.
  const Entry* cheapest(const ChangeRules& rules, std::span<const double> x) const {
    const Entry* best = nullptr;
    for (const Entry& e : entries) {
      if ((best == nullptr || e.cost < best->cost) && rules.allows(x, e.row.data())) best = &e;
    }
    return best;
  }
};

class ChangeSets {
 public:
  // After presolve: the context's domains and search order are final. `rules` and `ctx`
  // must outlive this object.
  ChangeSets(const Ctx& ctx, const ChangeRules& rules);

  bool allows_row(const double* row) const { return rules_.allows(x_, row); }

  // --- classic search, by level of the search order
  // Whether state s at `level`, with the levels above assigned, leaves the rules able to hold.
  bool admits(std::size_t level, const State& s) const;
  void assign(std::size_t level, const State& s) { count(level, s, +1); }
  void unassign(std::size_t level, const State& s) { count(level, s, -1); }
  // Least cost the rules add, over each feature's cheapest state, below `level`.
  double extra_below(std::size_t level) const;

  // --- refine search (searched features are those of the search order)
  // Indexes the ranked features' states; call once before the box methods.
  void use_states(const FeatureStates& fs);
  enum class Part : std::uint8_t { Stays, Changes, Open };
  Part part(const FeatureStates& fs, const Box& box, std::size_t f) const;
  // Narrows the box to rows that can keep the rules; false when no row can. Sets
  // `narrowed` when some part changed.
  bool narrow(const FeatureStates& fs, Box& box, bool& narrowed) const;
  // Least cost the rules add to a box whose features' least costs are `m`.
  double box_extra(const FeatureStates& fs, const Box& box, std::span<const double> m) const;
  // An open feature to split when the box's cheapest row `row` breaks a rule, or
  // n_features when there is none.
  std::size_t split_feature(const FeatureStates& fs, const Box& box, const double* row,
                            std::span<const double> m) const;
  // The states of f that keep its factual value: domain positions as bit words, and for a
  // ranked feature the run of ranks (empty when same_lo > same_hi).
  const std::uint64_t* same_words(std::size_t f) const { return same_.data() + word_at_[f]; }
  std::uint32_t same_lo(std::size_t f) const { return same_lo_[f]; }
  std::uint32_t same_hi(std::size_t f) const { return same_hi_[f]; }
  bool factual_missing(std::size_t f) const;

 private:
  void count(std::size_t level, const State& s, int step);
  bool novelty_open() const { return novel_ && new_changed_ == 0 && forced_new_ == 0; }
  void to_same(const FeatureStates& fs, Box& box, std::size_t f) const;
  bool to_change(const FeatureStates& fs, Box& box, std::size_t f) const;
  double change_cost(const FeatureStates& fs, const Box& box, std::size_t f) const;

  const Ctx& ctx_;
  const ChangeRules& rules_;
  std::span<const double> x_;
  std::size_t n_;
  bool novel_ = false;            // the new-feature rule applies
  bool never_ = false;            // no row can keep the rules
  std::vector<std::uint8_t> forced_;   // per feature: every state changes it
  std::vector<std::uint8_t> can_;      // per feature: some state changes it
  std::vector<std::uint8_t> seen_;     // per feature: some earlier answer changed it
  std::vector<double> change_extra_;   // per feature: cheapest change over cheapest state
  std::vector<std::size_t> forced_below_;    // per level + 1: forced features at or below
  std::vector<std::size_t> can_new_below_;   // per level + 1: unseen features able to change
  std::vector<double> new_extra_below_;      // per level + 1: their least change_extra
  std::size_t forced_new_ = 0;               // unseen forced features
  // Earlier sets that some row could contain (every member able to change), as lists.
  std::vector<std::uint32_t> set_begin_, set_members_, set_forced_;
  std::vector<std::uint32_t> sets_of_begin_, sets_of_;  // per feature: its sets (CSR)
  // Per domain position: keeps the factual value (bit words per feature).
  std::vector<std::size_t> word_at_;
  std::vector<std::uint64_t> same_;
  std::vector<std::uint32_t> same_lo_, same_hi_;  // ranked features' runs
  // Classic counters.
  std::size_t changed_ = 0, new_changed_ = 0;
  std::vector<std::uint32_t> set_changed_, set_kept_;
};

}  // namespace morvel::exact
