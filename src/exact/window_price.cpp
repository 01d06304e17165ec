// The window's best price from the trees' lower envelopes (window_price.hpp).
#include "exact/window_price.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace morvel::exact {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

void WindowPrice::order(std::span<const std::uint32_t> rows, std::span<const double> values) {
  rows_ = rows;
  values_ = values.data();
  order_.resize(values.size());
  for (std::uint32_t k = 0; k < order_.size(); ++k) order_[k] = k;
  for (std::size_t t = 0; t + 1 < rows_.size(); ++t) {
    std::sort(order_.begin() + rows_[t], order_.begin() + rows_[t + 1],
              [&](std::uint32_t i, std::uint32_t j) {
                return values_[i] < values_[j] || (values_[i] == values_[j] && i < j);
              });
  }
}

// Tree t's lower envelope, left to right (the line of least value wins as x -> -inf), its
// first line's slope into slope_ and its corners into corners_; false when it has no line.
bool WindowPrice::add_envelope(std::uint32_t t, const double* terms, double at) {
  const double* v = values_;
  auto a = [&](std::uint32_t k) { return terms[k] + at * v[k]; };  // the line at price zero
  auto meet = [&](std::uint32_t i, std::uint32_t j) { return (a(j) - a(i)) / (v[j] - v[i]); };
  hull_.clear();
  for (std::uint32_t n = rows_[t]; n < rows_[t + 1]; ++n) {
    const std::uint32_t k = order_[n];
    if (!std::isfinite(terms[k])) continue;
    if (!hull_.empty() && v[hull_.back()] == v[k]) {
      if (a(k) >= a(hull_.back())) continue;  // the same slope, never below
      hull_.pop_back();
    }
    while (hull_.size() >= 2 &&
           meet(hull_[hull_.size() - 2], k) <= meet(hull_[hull_.size() - 2], hull_.back())) {
      hull_.pop_back();
    }
    hull_.push_back(k);
  }
  if (hull_.empty()) return false;
  slope_ -= v[hull_[0]];
  for (std::size_t i = 1; i < hull_.size(); ++i) {
    corners_.emplace_back(meet(hull_[i - 1], hull_[i]), v[hull_[i]] - v[hull_[i - 1]]);
  }
  return true;
}

bool WindowPrice::best(std::span<const double> terms, double at, double lo, double hi,
                       double& x) {
  const bool has_lo = lo > -kInf, has_hi = hi < kInf;
  if (!has_lo && !has_hi) return false;
  const double least = has_hi ? -kInf : 0.0, most = has_lo ? kInf : 0.0;
  corners_.clear();
  slope_ = has_hi ? hi : lo;
  if (has_lo && has_hi) corners_.emplace_back(0.0, hi - lo);
  for (std::uint32_t t = 0; t + 1 < rows_.size(); ++t) {
    if (!add_envelope(t, terms.data(), at)) return false;
  }
  std::sort(corners_.begin(), corners_.end());
  std::size_t e = 0;
  for (; e < corners_.size() && corners_[e].first <= least; ++e) slope_ -= corners_[e].second;
  x = least;
  for (; slope_ > 0.0; ++e) {
    if (e == corners_.size() || corners_[e].first >= most) {
      x = most;
      break;
    }
    x = corners_[e].first;
    slope_ -= corners_[e].second;
  }
  return std::isfinite(x);
}

}  // namespace morvel::exact
