// Certified recourse regions: around a counterfactual that the model scores inside the
// target window, an axis-aligned box is grown one cell edge at a time, and every point
// of the box is kept certified (inside the window and every further window, plausible,
// every linear constraint met). In maximal mode an extension the bracket test rejects is settled by the slab
// search, which certifies it after all or finds a witness that shows the side maximal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "cells.hpp"
#include "constraints.hpp"
#include "interrupt.hpp"
#include "windows.hpp"

namespace morvel {
class Ensemble;
class Watch;
}  // namespace morvel

namespace morvel::regions {

struct SlabProblem;
class BracketModel;

enum class Side : std::uint8_t { Lower = 0, Upper = 1, Block = 2 };
enum class SlabKind : std::uint8_t { Numeric, CategoryBlock };

// A further window of a growth, with its ensemble's per-node missing-route flags.
struct RegionWindow {
  ScoreWindow window;
  std::span<const std::uint8_t> missing_defined;  // per node of window.ensemble
};

// A window over an ensemble laid out for bracket walks: every point scores in [lo, hi].
struct BracketWindow {
  const BracketModel* model = nullptr;
  double lo = 0.0;
  double hi = 0.0;
};

// An open categorical feature and the category blocks it may grow by, in order.
struct OpenCategorical {
  std::uint32_t feature;
  BlockList blocks;  // codes in the caller's order within each block
};

struct RegionInputs {
  const Ensemble* ensemble = nullptr;
  std::span<const std::uint8_t> missing_defined;  // per node of `ensemble`
  const Ensemble* if_ensemble = nullptr;          // plausibility ensemble, optional
  std::span<const std::uint8_t> if_missing_defined;
  double min_total_path = 0.0;
  const Constraints* constraints = nullptr;
  std::span<const double> x_cf;
  double lo_t = 0.0;
  double hi_t = 0.0;
  std::span<const RegionWindow> windows;  // further windows, over the model's features
  std::span<const double> lo_b;  // instance bounds; no end leaves them
  std::span<const double> hi_b;
  std::span<const std::uint32_t> open_set;  // numeric features that may grow, visiting order
  std::span<const OpenCategorical> cat_open;
  bool maximal = false;
  std::uint64_t budget = 100000;  // slab-search nodes per side, maximal mode only
};

struct Witness {
  std::uint32_t feature;
  Side side;
  std::vector<double> point;  // one value per feature
};

struct RegionResult {
  std::vector<double> lo, hi;
  std::vector<std::vector<std::uint32_t>> grown;  // per open categorical feature, ascending
  std::vector<std::uint8_t> maximal_lo, maximal_hi, maximal_cat;
  std::vector<std::uint64_t> used_lo, used_hi, used_cat;
  std::vector<Witness> witnesses;  // in the order found
};

// What the slab search reads of a growth; fixed for the whole growth.
struct Growth {
  const BracketModel* model = nullptr;     // the ensemble with its missing routes
  const BracketModel* if_model = nullptr;  // the plausibility ensemble; null: no such test
  double min_total_path = 0.0;
  double lo_t = 0.0;
  double hi_t = 0.0;
  std::span<const BracketWindow> windows;  // further windows
  std::span<const LinearC> linear;
  std::span<const double> x_cf;
  std::span<const std::uint8_t> missing;   // per feature: x_cf is NaN
  const FeatureCells* cells = nullptr;     // per feature
  const CategoryBlocks* blocks = nullptr;  // per feature; empty unless open categorical
  std::uint64_t budget = 0;

  // Every window a point must score in: the model's, the plausibility threshold as
  // [min_total_path, +inf) when tested, then the further windows.
  std::vector<BracketWindow> all_windows() const;

  // The slab as a search problem. For a category-block slab, `cats[f]` is replaced by the
  // block's new members.
  SlabProblem slab_problem(std::span<const double> lo, std::span<const double> hi,
                           std::span<const std::vector<std::uint32_t>> cats, SlabKind kind,
                           std::size_t f, std::span<const std::uint32_t> new_members) const;
};

struct Edge {
  double value;      // the new end
  std::size_t cell;  // the cell it lies in
};

// The next end of one side: the far achievable extreme of the current end's cell, or of
// the neighbouring cell, clipped to [lo_b, hi_b]; none at an infinite end or a bound.
std::optional<Edge> next_edge(std::span<const Cell> cells, Side side, double x, double lo_b,
                              double hi_b);

// Whether linear constraint c holds on every point of the box [lo, hi] (x_cf decides
// missing terms by the constraint's policy). A feature with a non-empty (ascending) set in
// `cats` ranges over its smallest to its largest code instead.
bool linear_holds(const LinearC& c, std::span<const double> x_cf, std::span<const double> lo,
                  std::span<const double> hi,
                  std::span<const std::vector<std::uint32_t>> cats = {});

// Runs the growth; single-threaded on the calling thread. Returns interrupted when the
// watch reports a stop.
SearchOutcome<RegionResult> recourse_region(const RegionInputs& in, Watch& watch);

// The open categorical features from the flat block arrays: feature i's blocks are
// b in [feat_offsets[i], feat_offsets[i+1]), block b holds members[block_offsets[b] ..
// block_offsets[b+1]). Offsets past their arrays or decreasing are ValidationErrors
// naming the array (they come straight from the caller).
std::vector<OpenCategorical> gather_category_blocks(std::span<const std::uint32_t> cat_open,
                                                    std::span<const std::uint32_t> feat_offsets,
                                                    std::span<const std::uint32_t> block_offsets,
                                                    std::span<const std::uint32_t> members);

// Closes every feature that x_cf keeps at its factual value in x, so the region holds it
// fixed and no row of the region changes it: such numeric features leave open_set, such
// categorical ones keep their entry without blocks. Indices past the rows are left for
// the growth's own checks.
void keep_changed_only(std::span<const double> x, std::span<const double> x_cf,
                       std::vector<std::uint32_t>& open_set,
                       std::vector<OpenCategorical>& cat_open);

// A category code from a row value: clamped to [0, 4294967295] and truncated (NaN: 0).
std::uint32_t code_of(double v);

}  // namespace morvel::regions
