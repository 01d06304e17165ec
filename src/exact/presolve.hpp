// Presolve of the exact search: drops every state that cannot reach some window (the
// model's, the plausibility threshold, a further one) even with all other features free.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "exact/bounds.hpp"
#include "exact/context.hpp"
#include "watch.hpp"

namespace morvel::exact {

// Per feature: every split on it, in the ensembles of every window, compares values with a
// threshold (no category blocks, no split sets), so value order is all splits see.
std::vector<std::uint8_t> threshold_only_features(const Ctx& ctx);

// Keeps a state exactly when, with that state alone assigned, the bound interval of every
// window's ensemble (`bounds`, one per ctx.all_windows entry) meets that window, as
// EnsembleBounds would report them (same per-tree ranges, summed in tree order). Counts
// the dropped states in `removed`; false when a search feature is left without states.
// Checks the watch as it goes (StopRequested).
bool presolve(Ctx& ctx, std::span<EnsembleBounds> bounds, std::uint64_t& removed,
              Watch& watch);

}  // namespace morvel::exact
