// The refine search mode: a coarse-to-fine branch-and-bound that holds features at ranges
// of consecutive cells and splits a range only when the bounds or the constraints ask for it.
#pragma once

#include "exact/classic.hpp"

namespace morvel::exact {

// Runs the refine search on a prepared context and fills `result` like run_classic, plus
// coarse_accepts and refinements. Returns false when the interrupt probe stopped it.
bool run_refine(Prepared& prep, ExactResult& result);

}  // namespace morvel::exact
