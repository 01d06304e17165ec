// Whether a (clipped) cell is empty, and the extreme values a box end can take inside it.
#pragma once

#include <cmath>

#include "cells.hpp"

namespace morvel::regions {

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
