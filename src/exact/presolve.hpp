// Presolve of the exact search: drops every state that cannot reach the window (or the
// plausibility threshold) even with all other features free.
#pragma once

#include <cstdint>
#include <vector>

#include "exact/bounds.hpp"
#include "exact/context.hpp"
#include "watch.hpp"

namespace morvel::exact {

// Per feature: every split on it, in the model and the plausibility model, compares values
// with a threshold (no category blocks, no split sets), so value order is all splits see.
std::vector<std::uint8_t> threshold_only_features(const Ctx& ctx);

// Keeps a state exactly when, with that state alone assigned, the bound interval of
// `bounds` meets the window and the upper bound of `if_bounds` (when given) reaches the
// threshold, as EnsembleBounds would report them (same per-tree ranges, summed in tree
// order). Counts the dropped states in `removed`; false when a search feature is left
// without states. Checks the watch as it goes (StopRequested).
bool presolve(Ctx& ctx, EnsembleBounds& bounds, EnsembleBounds* if_bounds,
              std::uint64_t& removed, Watch& watch);

}  // namespace morvel::exact
