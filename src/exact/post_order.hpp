// Every tree of an ensemble visited bottom-up, children before their parent.
#pragma once

#include <cstdint>
#include <vector>

#include "errors.hpp"
#include "ir.hpp"

namespace morvel::exact {

// Calls leaf(n) or internal(n) once per node reachable from a root, a node only after both
// its children, and after_tree(root) once each tree is done; step() runs before every step
// (a place for a stop check). Iterative, so that depth costs heap, not call stack; a node
// shared between trees is visited once. The ensemble rejects cycles at construction; the
// check here only keeps a broken invariant from looping forever.
template <class Step, class Leaf, class Internal, class AfterTree>
void post_order(const Ensemble& e, Step&& step, Leaf&& leaf, Internal&& internal,
                AfterTree&& after_tree) {
  const auto feature = e.feature();
  const auto left = e.left();
  const auto right = e.right();
  enum : std::uint8_t { kNew = 0, kOpen = 1, kDone = 2 };
  std::vector<std::uint8_t> state(e.n_nodes(), kNew);
  std::vector<std::uint32_t> pending;
  for (const std::uint32_t root : e.tree_roots()) {
    pending.push_back(root);
    while (!pending.empty()) {
      step();
      const std::uint32_t n = pending.back();
      if (state[n] == kDone) {
        pending.pop_back();
      } else if (feature[n] < 0) {
        leaf(n);
        state[n] = kDone;
        pending.pop_back();
      } else if (state[n] == kNew) {
        state[n] = kOpen;
        for (const std::uint32_t child : {right[n], left[n]}) {  // left is popped first
          ensure(state[child] != kOpen, "tree nodes form a cycle (should be impossible)");
          if (state[child] == kNew) pending.push_back(child);
        }
      } else {
        internal(n);
        state[n] = kDone;
        pending.pop_back();
      }
    }
    after_tree(root);
  }
}

}  // namespace morvel::exact
