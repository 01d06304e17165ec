// Checking rows against a constraint set and repairing rows towards it.
//
// Both work relative to one factual row x: instance_bounds(x) is computed once per call and
// shared read-only by every row, so per-row work allocates nothing and rows can be spread
// over the worker pool without changing any result.
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "constraints.hpp"
#include "errors.hpp"
#include "pool.hpp"

namespace morvel {
namespace {

constexpr double kLinearTolerance = 1e-9;  // absolute, check only; repair uses none
constexpr std::size_t kRowsPerChunk = 64;
constexpr int kRepairPasses = 3;

// min(hi, max(lo, v)) where a NaN v yields lo (before the cap at hi), so a NaN step in a
// projection can never leave a NaN behind in a present value.
double clamp_to(double lo, double hi, double v) {
  const double raised = v > lo ? v : lo;
  return raised < hi ? raised : hi;
}

bool may_be_missing(const Constraints& c, std::size_t feature) {
  for (const AllowMissing& am : c.allow_missing) {
    if (am.feature == feature) return true;
  }
  return false;
}

// Every feature index of every rule, checked once per call so that an out-of-range index
// is reported whatever the rows hold (check_row stops at the first failed rule).
void require_features_in_range(const Constraints& c) {
  for (std::uint32_t f : c.freeze) c.feature_index(f);
  for (const RangeRule& r : c.range) c.feature_index(r.feature);
  for (const EqualsRule& e : c.equals) c.feature_index(e.feature);
  for (const MonoRule& m : c.mono) c.feature_index(m.feature);
  for (const LinearC& lc : c.linear) {
    for (std::uint32_t f : lc.indices) c.feature_index(f);
  }
  for (const Implication& imp : c.implications) {
    c.feature_index(imp.cond_feature);
    c.feature_index(imp.cons_feature);
  }
  for (const auto& group : c.one_hot) {
    for (std::uint32_t f : group) c.feature_index(f);
  }
  for (const AllowMissing& am : c.allow_missing) c.feature_index(am.feature);
  for (const AllowedCategories& ac : c.allowed_categories) c.feature_index(ac.feature);
}

void require_shapes(const Constraints& c, std::span<const double> x, const InstanceBounds& b) {
  ensure(x.size() >= c.n_features, "factual row is shorter than n_features");
  ensure(b.lo.size() >= c.n_features && b.hi.size() >= c.n_features &&
             b.fixed.size() >= c.n_features,
         "instance bounds are narrower than n_features");
}

bool linear_holds(const Constraints& c, const LinearC& lc, const double* row) {
  double sum = 0.0;
  bool missing = false;
  for (std::size_t k = 0; k < lc.indices.size(); ++k) {
    const double product = lc.coefs[k] * row[c.feature_index(lc.indices[k])];
    if (std::isnan(product)) {
      missing = true;
    } else {
      sum += product;
    }
  }
  bool ok;
  if (lc.op == 0) {
    ok = sum <= lc.rhs + kLinearTolerance;
  } else if (lc.op == 1) {
    ok = sum >= lc.rhs - kLinearTolerance;
  } else {
    ok = std::fabs(sum - lc.rhs) <= kLinearTolerance;
  }
  return lc.policy == 0 ? (ok || missing) : (ok && !missing);
}

bool one_hot_holds(const std::vector<std::uint32_t>& group, const double* row,
                   const Constraints& c) {
  if (group.empty()) return false;
  double sum = -0.0;
  for (std::uint32_t f : group) sum += row[c.feature_index(f)];
  return sum == 1.0;  // a NaN member propagates and fails
}

// Whether v is a finite non-negative integer code whose bit is set in words.
bool is_allowed_code(double v, const std::vector<std::uint64_t>& words) {
  if (!std::isfinite(v) || v < 0.0 || v != std::floor(v)) return false;
  // Compared as a double first: a huge code must not overflow the integer conversion.
  if (v >= 64.0 * static_cast<double>(words.size())) return false;
  const auto code = static_cast<std::uint64_t>(v);
  return ((words[code / 64] >> (code % 64)) & 1U) != 0;
}

// x_a - x_b <= 0 in either term order, with exact unit coefficients.
bool is_order_pair(const LinearC& lc) {
  if (lc.op != 0 || lc.rhs != 0.0 || lc.coefs.size() != 2) return false;
  const double c0 = lc.coefs[0];
  const double c1 = lc.coefs[1];
  return (c0 == 1.0 && c1 == -1.0) || (c0 == -1.0 && c1 == 1.0);
}

void repair_order_pair(const Constraints& c, const LinearC& lc, double* row) {
  const std::size_t first = c.feature_index(lc.indices[0]);
  const std::size_t second = c.feature_index(lc.indices[1]);
  const std::size_t a = lc.coefs[0] == 1.0 ? first : second;
  const std::size_t b = lc.coefs[0] == 1.0 ? second : first;
  if (std::isnan(row[a]) || std::isnan(row[b])) return;
  if (row[b] < row[a]) row[a] = row[b];
}

// Projects a violated constraint onto its hyperplane along the movable features (not
// frozen, with room between their bounds), clamping each moved value into its bounds.
void repair_linear(const Constraints& c, const LinearC& lc, double* row, const InstanceBounds& b) {
  if (is_order_pair(lc)) {
    repair_order_pair(c, lc, row);
    return;
  }
  double s = 0.0;
  for (std::size_t k = 0; k < lc.indices.size(); ++k) {
    const double v = row[c.feature_index(lc.indices[k])];
    if (std::isnan(v)) return;
    s += lc.coefs[k] * v;
  }
  s -= lc.rhs;
  const bool violated = lc.op == 0 ? s > 0.0 : (lc.op == 1 ? s < 0.0 : s != 0.0);
  if (!violated) return;
  double t = 0.0;
  for (std::size_t k = 0; k < lc.indices.size(); ++k) {
    const std::size_t j = lc.indices[k];
    if (b.fixed[j] == 0 && b.hi[j] > b.lo[j]) t += lc.coefs[k] * lc.coefs[k];
  }
  if (t == 0.0) return;
  const double step = s / t;
  for (std::size_t k = 0; k < lc.indices.size(); ++k) {
    const std::size_t j = lc.indices[k];
    if (b.fixed[j] == 0 && b.hi[j] > b.lo[j]) {
      row[j] = clamp_to(b.lo[j], b.hi[j], row[j] - lc.coefs[k] * step);
    }
  }
}

// Keeps the largest member (a NaN counts as -1.0, the first wins ties) and zeroes the rest.
// When every member is -inf the first is kept, so the result is still a one-hot group.
void repair_one_hot(const Constraints& c, const std::vector<std::uint32_t>& group, double* row) {
  if (group.empty()) return;
  std::size_t pick = c.feature_index(group[0]);
  double best = -std::numeric_limits<double>::infinity();
  for (std::uint32_t f : group) {
    const std::size_t j = c.feature_index(f);
    const double v = std::isnan(row[j]) ? -1.0 : row[j];
    if (v > best) {
      best = v;
      pick = j;
    }
  }
  for (std::uint32_t f : group) row[f] = 0.0;
  row[pick] = 1.0;
}

void repair_category(const AllowedCategories& ac, double& value) {
  if (ac.words.empty() || std::isnan(value) || is_allowed_code(value, ac.words)) return;
  for (std::size_t k = 0; k < ac.words.size(); ++k) {
    if (ac.words[k] != 0) {
      value = static_cast<double>(64 * k + static_cast<std::size_t>(std::countr_zero(ac.words[k])));
      return;
    }
  }
  // No allowed code at all: the value is kept.
}

}  // namespace

bool Constraints::check_row(const double* row, std::span<const double> x,
                            const InstanceBounds& b) const {
  require_shapes(*this, x, b);
  for (std::size_t i = 0; i < n_features; ++i) {
    const double v = row[i];
    if (!std::isnan(v) && !(b.lo[i] <= v && v <= b.hi[i])) return false;
  }
  for (std::size_t i = 0; i < n_features; ++i) {
    if (std::isnan(row[i]) != std::isnan(x[i]) && !may_be_missing(*this, i)) return false;
  }
  for (const LinearC& lc : linear) {
    if (!linear_holds(*this, lc, row)) return false;
  }
  for (const Implication& imp : implications) {
    if (row[feature_index(imp.cond_feature)] == imp.cond_value &&
        row[feature_index(imp.cons_feature)] != imp.cons_value) {
      return false;
    }
  }
  for (const auto& group : one_hot) {
    if (!one_hot_holds(group, row, *this)) return false;
  }
  for (const AllowedCategories& ac : allowed_categories) {
    const double v = row[feature_index(ac.feature)];
    if (!std::isnan(v) && !is_allowed_code(v, ac.words)) return false;
  }
  return true;
}

void Constraints::repair_row(double* row, std::span<const double> x,
                             const InstanceBounds& b) const {
  require_shapes(*this, x, b);
  for (std::size_t i = 0; i < n_features; ++i) {
    if ((std::isnan(x[i]) || std::isnan(row[i])) && !may_be_missing(*this, i)) {
      row[i] = x[i];  // missing exactly when the factual value is
    }
    if (!std::isnan(row[i])) row[i] = clamp_to(b.lo[i], b.hi[i], row[i]);
  }
  for (const AllowedCategories& ac : allowed_categories) {
    repair_category(ac, row[feature_index(ac.feature)]);
  }
  for (int pass = 0; pass < kRepairPasses; ++pass) {
    for (const LinearC& lc : linear) repair_linear(*this, lc, row, b);
  }
  for (const Implication& imp : implications) {
    if (row[feature_index(imp.cond_feature)] == imp.cond_value) {
      row[feature_index(imp.cons_feature)] = imp.cons_value;
    }
  }
  for (const auto& group : one_hot) repair_one_hot(*this, group, row);
}

void Constraints::check_into(const double* rows, std::size_t n_rows, std::span<const double> x,
                             bool parallel, std::uint8_t* out) const {
  require_features_in_range(*this);
  const InstanceBounds b = instance_bounds(x);
  if (n_features == 0) {
    // Every row is empty, so one verdict holds for all of them.
    const bool verdict = n_rows == 0 || check_row(rows, x, b);
    std::fill(out, out + n_rows, verdict ? 1 : 0);
    return;
  }
  for_ranges(parallel, n_rows, kRowsPerChunk, [&](std::size_t begin, std::size_t end) {
    for (std::size_t r = begin; r < end; ++r) {
      out[r] = check_row(rows + r * n_features, x, b) ? 1 : 0;
    }
  });
}

std::vector<std::uint8_t> Constraints::check(const double* rows, std::size_t n_rows,
                                             std::span<const double> x, bool parallel) const {
  std::vector<std::uint8_t> ok(n_rows, 0);
  check_into(rows, n_rows, x, parallel, ok.data());
  return ok;
}

void Constraints::repair(double* rows, std::size_t n_rows, std::span<const double> x,
                         bool parallel) const {
  require_features_in_range(*this);
  if (n_features == 0) return;  // empty rows: nothing to move, however many there are
  const InstanceBounds b = instance_bounds(x);
  for_ranges(parallel, n_rows, kRowsPerChunk, [&](std::size_t begin, std::size_t end) {
    for (std::size_t r = begin; r < end; ++r) repair_row(rows + r * n_features, x, b);
  });
}

}  // namespace morvel
