// The constraint rules a refine box must respect beyond its domains: implications and
// one-hot groups narrow the box (they remove states that no accepted row of the box can
// take), and order pairs rule a box out when no row of it can keep them. Both only ever
// remove rows the search would reject, so every bound over the narrowed box still holds
// for the rows that matter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "exact/box.hpp"
#include "exact/context.hpp"

namespace morvel::exact {

class BoxRules {
 public:
  // ctx and fs must outlive the rules.
  BoxRules(const Ctx& ctx, const FeatureStates& fs);

  // Narrows the box to a fixed point of the rules; false when some part becomes empty
  // (no accepted row is left).
  bool narrow(Box& box) const;

  // Whether some order pair fails for every row of the box. Sets `loosened` when a pair
  // that is tested by exact values fails where the ends of the cells would let it pass,
  // as Ctx::unorderable does.
  bool unorderable(const Box& box, bool& loosened) const;

  bool empty() const { return implications_.empty() && groups_.empty(); }

 private:
  struct Rule {  // a implies b: value va of a forces value vb on b
    std::uint32_t a, b;
    std::uint32_t state_a;  // a's domain position holding va; kNoState if none
    std::uint32_t state_b;  // b's domain position holding vb; kNoState if none
    bool a_fixed_holds;     // a is not searched and its factual value is va
    bool b_fixed_holds;     // b is not searched and its factual value is vb
  };
  struct Group {
    std::vector<std::uint32_t> members;
    std::vector<std::uint32_t> one;  // per member: domain position of the value 1, or kNoState
  };

  // The part of f is exactly the state (a searched feature), or f's factual value is it.
  bool only(const Box& box, std::uint32_t f, std::uint32_t state, bool fixed_holds) const;
  bool can(const Box& box, std::uint32_t f, std::uint32_t state, bool fixed_holds) const;
  bool apply_rule(const Rule& r, Box& box, bool& changed) const;
  bool apply_group(const Group& g, Box& box, bool& changed) const;
  // Least (or greatest) value a feature can take in the box, by value or by its cell's
  // ends; false when the box holds its missing state (a missing value keeps every pair).
  bool reach(const Box& box, std::size_t f, bool low, bool by_cell, double& out) const;

  const Ctx& ctx_;
  const FeatureStates& fs_;
  std::vector<Rule> implications_;
  std::vector<Group> groups_;
};

}  // namespace morvel::exact
