// Score windows: a condition "the raw score of this ensemble lies in [lo, hi]" on a row.
// Every solver takes its model's window and, beside it, any number of further windows over
// other ensembles of the same feature space; a row qualifies only inside all of them.
// (Several models that must all accept a row; a multi-class prediction as the K - 1
// differences "class c minus class k" that must stay on c's side.)
#pragma once

#include <cstdint>
#include <span>

#include "ir.hpp"

namespace morvel {

struct ScoreWindow {
  const Ensemble* ensemble = nullptr;
  double lo = 0.0;  // either end may be infinite; lo <= hi, neither NaN
  double hi = 0.0;

  // A NaN score lies in no window.
  bool contains(double score) const { return score >= lo && score <= hi; }
  bool holds(const double* row) const { return contains(ensemble->raw_score(row)); }
  // How far a score lies outside the window (0 inside; NaN for a NaN score).
  double violation(double score) const {
    const double above = score - hi;
    const double below = lo - score;
    return (above > 0.0 ? above : 0.0) + (below > 0.0 ? below : 0.0);
  }
};

// Whether the row scores inside every window.
inline bool inside_all(std::span<const ScoreWindow> windows, const double* row) {
  for (const ScoreWindow& w : windows) {
    if (!w.holds(row)) return false;
  }
  return true;
}

}  // namespace morvel
