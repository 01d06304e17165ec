// Feature cells and category blocks: the partition of each feature's values into pieces
// on which every split of the model(s) routes alike. The searches move features between
// cells and blocks, never continuously.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace morvel {

class Ensemble;

// One interval of the real line.
struct Cell {
  double lo;     // -inf for the first cell
  double hi;     // +inf for the last cell
  bool lo_open;  // lo itself is excluded
  bool hi_open;  // hi itself is excluded

  bool above_lo(double v) const { return v > lo || (v == lo && !lo_open); }
  bool below_hi(double v) const { return v < hi || (v == hi && !hi_open); }
  // NaN lies in no cell.
  bool contains(double v) const { return above_lo(v) && below_hi(v); }
  // A value inside the cell as near to v as the cell allows (prefers values exactly
  // representable in single precision next to an open end).
  double nearest_to(double v) const;

  friend bool operator==(const Cell&, const Cell&) = default;
};

// The cell intersected with [lo, hi]; a NaN bound cuts nothing.
inline Cell clip_to(const Cell& c, double lo, double hi) {
  Cell out = c;
  if (lo > c.lo) {
    out.lo = lo;
    out.lo_open = false;
  }
  if (hi < c.hi) {
    out.hi = hi;
    out.hi_open = false;
  }
  return out;
}

using CellList = std::vector<Cell>;
using FeatureCells = std::vector<CellList>;             // index = feature
using Block = std::vector<std::uint32_t>;               // category codes, ascending
using BlockList = std::vector<Block>;                   // ordered by smallest code
using CategoryBlocks = std::vector<BlockList>;          // index = feature; empty if numeric

// Cells of every feature, fine enough for all given ensembles (the model, optionally the
// plausibility ensemble). Throws InternalError if their feature spaces differ.
FeatureCells feature_cells_joint(std::span<const Ensemble* const> ensembles);

// Category blocks of every feature over all given ensembles. Throws InternalError if two
// ensembles declare different non-zero cardinalities for one feature.
CategoryBlocks category_blocks_joint(std::span<const Ensemble* const> ensembles);

// Index of the first cell containing v; InternalError if none does (NaN).
std::size_t cell_index(std::span<const Cell> cells, double v);

// Index of the block holding code c; InternalError if none does.
std::size_t block_index(const BlockList& blocks, std::uint32_t c);

}  // namespace morvel
