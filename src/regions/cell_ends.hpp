// A cell cut to a closed range, and the extreme values a box end can take inside it.
#pragma once

#include <cmath>

#include "cells.hpp"

namespace morvel::regions {

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

inline bool is_empty(const Cell& c) {
  return c.hi < c.lo || (c.hi == c.lo && (c.lo_open || c.hi_open));
}

// Lowest value inside the cell: its lower end, moved inside when open and finite.
inline double achievable_bottom(const Cell& c) {
  return c.lo_open && std::isfinite(c.lo) ? c.nearest_to(c.lo) : c.lo;
}

// Highest value inside the cell: its upper end, moved inside when open and finite.
inline double achievable_top(const Cell& c) {
  return c.hi_open && std::isfinite(c.hi) ? c.nearest_to(c.hi) : c.hi;
}

}  // namespace morvel::regions
