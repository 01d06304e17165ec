// The maximal mode's slab search: decides an extension that the bracket test rejected
// by splitting the slab the extension adds along cell and block boundaries, depth first,
// until every piece is certified by its brackets or a piece fails for all its points
// and yields a witness. Linear constraints are the growth's business, not this search's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "cells.hpp"
#include "regions/growth.hpp"

namespace morvel {
class Watch;
}

namespace morvel::regions {

struct SlabProblem {
  std::vector<double> lo, hi;                    // the slab's extent per feature
  std::vector<std::vector<std::uint32_t>> cats;  // admitted codes per feature
  std::vector<std::uint32_t> free_numeric;       // ascending
  std::vector<std::uint32_t> free_categorical;   // ascending
  const Growth* growth = nullptr;
};

struct SlabOutcome {
  enum class Kind : std::uint8_t { Certified, Witness, Undecided, Interrupted };
  Kind kind = Kind::Undecided;
  std::vector<double> point;  // the witness, one value per feature
};

struct SlabResult {
  SlabOutcome outcome;
  std::uint64_t nodes = 0;  // nodes spent
};

// Searches at most `budget` nodes (0: undecided at once). The watch is probed every 4096
// nodes and ticked at every node.
SlabResult search_slab(const SlabProblem& problem, std::uint64_t budget, Watch& watch);

// Index of the cell holding x (0 for an infinite x); InternalError for NaN.
std::size_t position(std::span<const Cell> cells, double x);

}  // namespace morvel::regions
