// The classic depth-first branch-and-bound over one state per feature.
#pragma once

#include <span>

#include "exact/bounds.hpp"
#include "exact/change_sets.hpp"
#include "exact/context.hpp"
#include "exact/propagation.hpp"
#include "exact/search.hpp"
#include "watch.hpp"

namespace morvel::exact {

// What both search modes share besides the context: the bound structures, the
// propagation and the incumbent handed over by preparation.
struct Prepared {
  Ctx& ctx;
  std::span<EnsembleBounds> bounds;  // one per window of ctx.all_windows, in its order
  Propagation& propagation;
  std::optional<std::vector<double>> incumbent_row;
  double incumbent_cost;
  Watch& watch;  // interrupts and the time budget, counted from the start of the solve
  ChangeSets* changes = nullptr;  // the change-set rules, when any
  FoundRows* found = nullptr;     // where accepted rows are kept for later searches, if so
};

// Runs the search on a prepared context and fills `result` (counters, proof, row, trace).
// Returns false when an interrupt stopped it.
bool run_classic(Prepared& prep, ExactResult& result);

}  // namespace morvel::exact
