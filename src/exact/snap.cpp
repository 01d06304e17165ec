// Snapping a cell representative to an Integer or Grid policy. Candidates at equal
// distance are broken by the order in which a Python set of them iterates, so the hash
// and the small-table probing below mirror CPython's float hash and set insertion.
#include <cmath>
#include <cstdint>
#include <limits>

#include "exact/domains.hpp"

namespace morvel::exact {
namespace {

constexpr std::uint64_t kHashBits = 61;
constexpr std::uint64_t kHashModulus = (std::uint64_t{1} << kHashBits) - 1;

// Rotation by s within the 61-bit field, reducing modulo 2^61 - 1.
std::uint64_t rotate61(std::uint64_t acc, unsigned s) {
  return ((acc << s) & kHashModulus) | (acc >> (kHashBits - s));
}

constexpr double positive_zero(double v) { return v == 0.0 ? 0.0 : v; }

// Up to three distinct candidates, in the order they were offered.
struct Candidates {
  double v[3];
  int n = 0;

  void offer(double c) {
    c = positive_zero(c);
    for (int k = 0; k < n; ++k) {
      if (v[k] == c) return;
    }
    v[n++] = c;
  }
};

// Reorders the candidates into the iteration order of a Python set built from them: a
// fresh set has 8 slots, and with so few slots CPython probes by perturbation only.
void order_as_python_set(Candidates& c) {
  constexpr std::uint64_t kMask = 7;
  double table[8];
  bool used[8] = {};
  for (int k = 0; k < c.n; ++k) {
    const auto h = static_cast<std::uint64_t>(python_float_hash(c.v[k]));
    std::uint64_t slot = h & kMask;
    std::uint64_t perturb = h;
    while (used[slot]) {
      perturb >>= 5;
      slot = (slot * 5 + perturb + 1) & kMask;
    }
    used[slot] = true;
    table[slot] = c.v[k];
  }
  int n = 0;
  for (std::uint64_t slot = 0; slot <= kMask; ++slot) {
    if (used[slot]) c.v[n++] = table[slot];
  }
}

// Stable insertion sort by distance from r; a NaN distance never moves ahead of anything.
void sort_by_distance(Candidates& c, double r) {
  for (int k = 1; k < c.n; ++k) {
    const double item = c.v[k];
    const double d = std::fabs(item - r);
    int j = k;
    while (j > 0 && d < std::fabs(c.v[j - 1] - r)) {
      c.v[j] = c.v[j - 1];
      --j;
    }
    c.v[j] = item;
  }
}

}  // namespace

std::int64_t python_float_hash(double v) {
  if (std::isnan(v)) return 0;
  if (std::isinf(v)) return v > 0 ? 314159 : -314159;
  int e = 0;
  double f = std::frexp(v, &e);
  const bool negative = f < 0;
  if (negative) f = -f;
  std::uint64_t acc = 0;
  while (f != 0.0) {
    acc = rotate61(acc, 28);
    f = f * 268435456.0;  // 2^28
    e -= 28;
    const auto y = static_cast<std::uint64_t>(f);
    f = f - static_cast<double>(y);
    acc += y;
    if (acc >= kHashModulus) acc -= kHashModulus;
  }
  const int s = e >= 0 ? e % 61 : 60 - ((-1 - e) % 61);
  acc = rotate61(acc, static_cast<unsigned>(s));
  if (negative) acc = 0 - acc;  // modular negation, as CPython does on its unsigned hash
  const auto h = static_cast<std::int64_t>(acc);
  return h == -1 ? -2 : h;
}

std::optional<double> snap_candidates(double r, const ValuePolicy& policy, const Cell& cell,
                                      double lo, double hi) {
  Candidates c;
  if (policy.kind == PolicyKind::Grid) {
    const double k = positive_zero(std::nearbyint((r - policy.anchor) / policy.step));
    const double base = k * policy.step + policy.anchor;
    c.offer(base);
    c.offer(base - policy.step);
    c.offer(base + policy.step);
  } else {
    c.offer(std::floor(r));
    c.offer(std::ceil(r));
  }
  order_as_python_set(c);
  sort_by_distance(c, r);
  for (int k = 0; k < c.n; ++k) {
    const double v = c.v[k];
    if (lo <= v && v <= hi && cell.contains(v)) return v;
  }
  return std::nullopt;
}

}  // namespace morvel::exact
