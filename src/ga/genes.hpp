// What the genetic search may do with each feature of one factual row: which features are
// locked at their factual value, which may go missing, and the values a mutation draws
// from (one per model cell or category block). Built once per search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "constraints.hpp"
#include "ga/rng.hpp"
#include "ir.hpp"
#include "watch.hpp"

namespace morvel::ga {

struct Genes {
  std::span<const double> x;      // factual row; NaN = missing
  std::span<const double> sigma;  // Gaussian step scale per feature
  std::vector<std::uint8_t> locked;          // always keeps x[j]
  std::vector<std::uint8_t> may_go_missing;  // allowed-missing entry and not locked
  std::vector<std::uint8_t> categorical;     // the model declares a cardinality
  std::vector<std::size_t> free;             // features not locked, ascending
  std::vector<std::vector<double>> candidates;

  // A new value for free feature j: missing, a candidate, or a Gaussian step from current.
  double mutate_value(std::size_t j, double current, Rng& rng) const;
};

// x and sigma must hold the ensemble's n_features values and outlive the result. The
// candidates come from `cells` and `blocks` (per feature, as fine as every ensemble the
// row is scored by), by default the ensemble's own. A watch, when given, is checked as the
// features are gone through (StopRequested).
Genes make_genes(const Ensemble& ensemble, const Constraints& constraints,
                 std::span<const double> x, std::span<const double> sigma,
                 Watch* watch = nullptr);
Genes make_genes(const Ensemble& ensemble, const Constraints& constraints,
                 std::span<const double> x, std::span<const double> sigma,
                 const FeatureCells& cells, const CategoryBlocks& blocks,
                 Watch* watch = nullptr);

}  // namespace morvel::ga
