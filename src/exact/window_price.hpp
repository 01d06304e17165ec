// The window's price that maximises a priced bound with every other price fixed.
//
// With the cells' prices fixed, each tree's term is the least of its leaves' lines a - x v
// in the window's net price x (a: the leaf's priced parts, v: its value), and the window's
// own term is x (lo - base) for x > 0 and x (hi - base) for x < 0. The sum is concave and
// piecewise linear: its slope steps down at each corner of a tree's lower envelope (from -v
// to -v', v < v') and, with both ends finite, at 0 (by hi - lo). Its maximum is where the
// slope first reaches zero: one sorted pass over every tree's corners.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace morvel::exact {

class WindowPrice {
 public:
  // Tree t's lines are rows[t]..rows[t+1] of `values` (both must outlive the next calls to
  // `best`); each tree's are put in order of value once, since values never move.
  void order(std::span<const std::uint32_t> rows, std::span<const double> values);
  // The price x that maximises sum_t min_k (terms[k] - (x - at) values[k]) + the window's
  // term (each line's term given at price `at`), lo and hi being the window's ends less the
  // base score (an infinite end has no price: x >= 0 without hi, x <= 0 without lo). Lines
  // of infinite term are left out. False when a tree has no line or the maximum is not at
  // a finite price.
  bool best(std::span<const double> terms, double at, double lo, double hi, double& x);

 private:
  bool add_envelope(std::uint32_t t, const double* terms, double at);
  std::span<const std::uint32_t> rows_;
  const double* values_ = nullptr;
  std::vector<std::uint32_t> order_, hull_;
  double slope_ = 0.0;  // the sum's slope left of the corners not yet passed
  std::vector<std::pair<double, double>> corners_;  // price, fall of the slope there
};

}  // namespace morvel::exact
