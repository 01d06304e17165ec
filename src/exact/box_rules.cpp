// Implications, one-hot groups and order pairs over refine boxes.
#include "exact/box_rules.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace morvel::exact {
namespace {

constexpr double kPairTolerance = 1e-9;

// The one domain position holding `v`, or kNoState when none or several do (a rule that
// cannot name its state is left to the row check).
std::uint32_t unique_state(const Domain& d, double v) {
  std::uint32_t found = kNoState;
  for (std::uint32_t i = 0; i < d.size(); ++i) {
    if (d[i].value == v) {
      if (found != kNoState) return kNoState;
      found = i;
    }
  }
  return found;
}

}  // namespace

BoxRules::BoxRules(const Ctx& ctx, const FeatureStates& fs) : ctx_(ctx), fs_(fs) {
  const Constraints& c = ctx.constraints;
  const std::size_t n = ctx.n_features;
  auto searched = [&](std::size_t f) { return fs.kind(f) != FeatureKind::Fixed; };
  for (const Implication& imp : c.implications) {
    const auto a = static_cast<std::uint32_t>(c.feature_index(imp.cond_feature));
    const auto b = static_cast<std::uint32_t>(c.feature_index(imp.cons_feature));
    Rule r{a, b, kNoState, kNoState, false, false};
    r.state_a = searched(a) ? unique_state(ctx.domains[a], imp.cond_value) : kNoState;
    r.state_b = searched(b) ? unique_state(ctx.domains[b], imp.cons_value) : kNoState;
    r.a_fixed_holds = !searched(a) && ctx.problem.x[a] == imp.cond_value;
    r.b_fixed_holds = !searched(b) && ctx.problem.x[b] == imp.cons_value;
    const bool nameable_a = !searched(a) || r.state_a != kNoState ||
                            std::none_of(ctx.domains[a].begin(), ctx.domains[a].end(),
                                         [&](const State& s) { return s.value == imp.cond_value; });
    const bool nameable_b = !searched(b) || r.state_b != kNoState ||
                            std::none_of(ctx.domains[b].begin(), ctx.domains[b].end(),
                                         [&](const State& s) { return s.value == imp.cons_value; });
    if (a == b) {
      // The rule binds the value being assigned: va itself is out unless va == vb.
      if (imp.cond_value == imp.cons_value || !nameable_a) continue;
      r.state_b = kNoState;
    }
    if (nameable_a && nameable_b) implications_.push_back(r);
  }
  // One-hot groups whose counts pin down their members: each member listed once and
  // counted in this group (a feature in several groups counts in the last one only).
  std::vector<std::size_t> group_of(n, c.one_hot.size());
  for (std::size_t g = 0; g < c.one_hot.size(); ++g) {
    for (std::uint32_t f : c.one_hot[g]) group_of[c.feature_index(f)] = g;
  }
  for (std::size_t g = 0; g < c.one_hot.size(); ++g) {
    Group group;
    bool exact = !c.one_hot[g].empty();
    for (std::uint32_t raw : c.one_hot[g]) {
      const auto f = static_cast<std::uint32_t>(c.feature_index(raw));
      if (group_of[f] != g ||
          std::find(group.members.begin(), group.members.end(), f) != group.members.end()) {
        exact = false;
      }
      const std::uint32_t one = searched(f) ? unique_state(ctx.domains[f], 1.0) : kNoState;
      if (searched(f) && one == kNoState &&
          std::any_of(ctx.domains[f].begin(), ctx.domains[f].end(),
                      [](const State& s) { return s.value == 1.0; })) {
        exact = false;
      }
      group.members.push_back(f);
      group.one.push_back(one);
    }
    if (exact) groups_.push_back(std::move(group));
  }
}

bool BoxRules::only(const Box& box, std::uint32_t f, std::uint32_t state, bool fixed_holds) const {
  if (fs_.kind(f) == FeatureKind::Fixed) return fixed_holds;
  return state != kNoState && box.single(fs_, f) && box.holds(fs_, f, state);
}

bool BoxRules::can(const Box& box, std::uint32_t f, std::uint32_t state, bool fixed_holds) const {
  if (fs_.kind(f) == FeatureKind::Fixed) return fixed_holds;
  return state != kNoState && box.holds(fs_, f, state);
}

bool BoxRules::apply_rule(const Rule& r, Box& box, bool& changed) const {
  const bool searched_a = fs_.kind(r.a) != FeatureKind::Fixed;
  if (r.a == r.b) {
    if (can(box, r.a, r.state_a, false) && box.remove(fs_, r.a, r.state_a) &&
        !box.holds(fs_, r.a, r.state_a)) {
      changed = true;
      return box.count(fs_, r.a) != 0;
    }
    return true;
  }
  const bool b_can = can(box, r.b, r.state_b, r.b_fixed_holds);
  if (only(box, r.a, r.state_a, r.a_fixed_holds)) {
    if (!b_can) return false;
    if (fs_.kind(r.b) != FeatureKind::Fixed && !box.single(fs_, r.b)) {
      box.pin(fs_, r.b, r.state_b);
      changed = true;
    }
    return true;
  }
  if (!b_can && searched_a && can(box, r.a, r.state_a, false)) {
    if (box.remove(fs_, r.a, r.state_a) && !box.holds(fs_, r.a, r.state_a)) {
      changed = true;
      return box.count(fs_, r.a) != 0;
    }
  }
  return true;
}

bool BoxRules::apply_group(const Group& g, Box& box, bool& changed) const {
  std::size_t ones = 0, possible = 0, last = 0;
  for (std::size_t k = 0; k < g.members.size(); ++k) {
    const std::uint32_t f = g.members[k];
    const bool fixed_one = fs_.kind(f) == FeatureKind::Fixed && ctx_.problem.x[f] == 1.0;
    if (only(box, f, g.one[k], fixed_one)) ++ones;
    if (can(box, f, g.one[k], fixed_one)) {
      ++possible;
      last = k;
    }
  }
  if (ones > 1 || possible == 0) return false;
  if (ones == 1) {
    for (std::size_t k = 0; k < g.members.size(); ++k) {
      const std::uint32_t f = g.members[k];
      if (fs_.kind(f) == FeatureKind::Fixed || !box.holds(fs_, f, g.one[k]) ||
          box.single(fs_, f)) {
        continue;
      }
      if (box.remove(fs_, f, g.one[k]) && !box.holds(fs_, f, g.one[k])) changed = true;
    }
    return true;
  }
  if (possible == 1) {
    const std::uint32_t f = g.members[last];
    if (fs_.kind(f) == FeatureKind::Fixed) return true;
    if (!box.single(fs_, f)) {
      box.pin(fs_, f, g.one[last]);
      changed = true;
    }
  }
  return true;
}

bool BoxRules::narrow(Box& box) const {
  if (empty()) return true;
  for (bool changed = true; changed;) {
    changed = false;
    for (const Rule& r : implications_) {
      if (!apply_rule(r, box, changed)) return false;
    }
    for (const Group& g : groups_) {
      if (!apply_group(g, box, changed)) return false;
    }
  }
  return true;
}

bool BoxRules::reach(const Box& box, std::size_t f, bool low, bool by_cell, double& out) const {
  const Domain& d = ctx_.domains[f];
  const bool cells = by_cell && ctx_.blocks[f].empty();
  auto end_of = [&](std::uint32_t s) {
    return cells ? (low ? ctx_.cells[f][d[s].cell_idx].lo : ctx_.cells[f][d[s].cell_idx].hi)
                 : d[s].value;
  };
  switch (fs_.kind(f)) {
    case FeatureKind::Fixed:
      out = ctx_.problem.x[f];
      return !std::isnan(out);
    case FeatureKind::Ranked: {
      const RankRange& r = box.ranges[f];
      if (r.nan || !r.has_ranks()) return false;
      out = end_of(fs_.rank_state(f, low ? r.lo : r.hi));
      return true;
    }
    case FeatureKind::Masked: {
      const std::uint64_t* m = box.mask(fs_, f);
      bool any = false;
      for (std::uint32_t s = 0; s < d.size(); ++s) {
        if (!((m[s / 64] >> (s % 64)) & 1u)) continue;
        if (d[s].is_nan) return false;
        const double v = end_of(s);
        out = !any ? v : (low ? std::min(out, v) : std::max(out, v));
        any = true;
      }
      return any;
    }
  }
  return false;
}

bool BoxRules::unorderable(const Box& box, bool& loosened) const {
  for (std::size_t i = 0; i < ctx_.pairs.size(); ++i) {
    const OrderPair& p = ctx_.pairs[i];
    const bool by_cell = ctx_.floor_pair[i] != 0;
    double low_a = 0.0, high_b = 0.0;
    if (!reach(box, p.a, true, by_cell, low_a) || !reach(box, p.b, false, by_cell, high_b)) {
      continue;
    }
    if (!(low_a - high_b > kPairTolerance)) continue;
    if (!by_cell) {
      double cell_low_a = 0.0, cell_high_b = 0.0;
      reach(box, p.a, true, true, cell_low_a);
      reach(box, p.b, false, true, cell_high_b);
      if (!(cell_low_a - cell_high_b > kPairTolerance)) {
        // The values rule the pair out where the cells would not: only a decided pair is
        // given up on (and then nothing can be proven), as the classic search does.
        if (!box.single(fs_, p.a) || !box.single(fs_, p.b)) continue;
        loosened = true;
      }
    }
    return true;
  }
  return false;
}

}  // namespace morvel::exact
