// Compiling a constraint set from its flat arrays.
#include "constraints.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "errors.hpp"

namespace morvel {
namespace {

// Checks that offsets[0 .. n_groups] is non-decreasing and ends within `limit` entries.
void check_offsets(const char* name, std::span<const std::uint32_t> offsets,
                   std::size_t n_groups, std::size_t limit, const char* within) {
  if (offsets.size() < n_groups + 1) {
    throw ValidationError(std::string(name) + " must have " + std::to_string(n_groups + 1) +
                          " entries, got " + std::to_string(offsets.size()));
  }
  for (std::size_t k = 0; k < n_groups; ++k) {
    if (offsets[k + 1] < offsets[k]) {
      throw ValidationError(std::string(name) + " must be non-decreasing");
    }
  }
  if (offsets[n_groups] > limit) {
    throw ValidationError(std::string(name) + " runs past the end of " + within);
  }
}

// Entry k of `array` names a feature; it must address a column of an n_features-wide row.
void check_feature(const char* array, std::size_t k, std::uint32_t f, std::size_t n_features) {
  if (f >= n_features) {
    throw ValidationError(std::string(array) + "[" + std::to_string(k) + "]: feature index " +
                          std::to_string(f) + " out of range for " + std::to_string(n_features) +
                          " features");
  }
}

}  // namespace

Constraints build_constraints(const ConstraintArrays& a) {
  Constraints c;
  c.n_features = a.n_features;

  const std::size_t n_lin = a.lin_op.size();
  if (n_lin > 0) {
    check_offsets("lin_offsets", a.lin_offsets, n_lin,
                  std::min(a.lin_indices.size(), a.lin_coefs.size()), "lin_indices or lin_coefs");
    if (a.lin_rhs.size() < n_lin) throw ValidationError("lin_rhs is shorter than lin_op");
    if (a.lin_policy.size() < n_lin) throw ValidationError("lin_policy is shorter than lin_op");
  }
  for (std::size_t k = 0; k < n_lin; ++k) {
    for (std::size_t t = a.lin_offsets[k]; t < a.lin_offsets[k + 1]; ++t) {
      check_feature("lin_indices", t, a.lin_indices[t], a.n_features);
    }
    LinearC lc;
    lc.indices.assign(a.lin_indices.begin() + a.lin_offsets[k],
                      a.lin_indices.begin() + a.lin_offsets[k + 1]);
    lc.coefs.assign(a.lin_coefs.begin() + a.lin_offsets[k],
                    a.lin_coefs.begin() + a.lin_offsets[k + 1]);
    lc.op = a.lin_op[k];
    lc.rhs = a.lin_rhs[k];
    lc.policy = a.lin_policy[k];
    c.linear.push_back(std::move(lc));
  }

  if (!a.oh_offsets.empty()) {
    const std::size_t n_groups = a.oh_offsets.size() - 1;
    check_offsets("oh_offsets", a.oh_offsets, n_groups, a.oh_indices.size(), "oh_indices");
    for (std::size_t g = 0; g < n_groups; ++g) {
      for (std::size_t t = a.oh_offsets[g]; t < a.oh_offsets[g + 1]; ++t) {
        check_feature("oh_indices", t, a.oh_indices[t], a.n_features);
      }
      c.one_hot.emplace_back(a.oh_indices.begin() + a.oh_offsets[g],
                             a.oh_indices.begin() + a.oh_offsets[g + 1]);
    }
  }

  const std::size_t n_imp = std::min({a.imp_cond_idx.size(), a.imp_cond_val.size(),
                                      a.imp_cons_idx.size(), a.imp_cons_val.size()});
  for (std::size_t k = 0; k < n_imp; ++k) {
    check_feature("imp_cond_idx", k, a.imp_cond_idx[k], a.n_features);
    check_feature("imp_cons_idx", k, a.imp_cons_idx[k], a.n_features);
    c.implications.push_back(
        {a.imp_cond_idx[k], a.imp_cond_val[k], a.imp_cons_idx[k], a.imp_cons_val[k]});
  }
  const std::size_t n_am = std::min({a.am_idx.size(), a.am_to.size(), a.am_from.size()});
  for (std::size_t k = 0; k < n_am; ++k) {
    check_feature("am_idx", k, a.am_idx[k], a.n_features);
    c.allow_missing.push_back({a.am_idx[k], a.am_to[k], a.am_from[k]});
  }
  const std::size_t n_range = std::min({a.range_idx.size(), a.range_lo.size(), a.range_hi.size()});
  for (std::size_t k = 0; k < n_range; ++k) {
    check_feature("range_idx", k, a.range_idx[k], a.n_features);
    c.range.push_back({a.range_idx[k], a.range_lo[k], a.range_hi[k]});
  }
  const std::size_t n_eq = std::min(a.equals_idx.size(), a.equals_val.size());
  for (std::size_t k = 0; k < n_eq; ++k) {
    check_feature("equals_idx", k, a.equals_idx[k], a.n_features);
    c.equals.push_back({a.equals_idx[k], a.equals_val[k]});
  }
  const std::size_t n_mono = std::min(a.mono_idx.size(), a.mono_dir.size());
  for (std::size_t k = 0; k < n_mono; ++k) {
    check_feature("mono_idx", k, a.mono_idx[k], a.n_features);
    c.mono.push_back({a.mono_idx[k], a.mono_dir[k]});
  }

  if (a.ac_idx && a.ac_offsets && a.ac_words) {
    const std::size_t n_ac = a.ac_idx->size();
    if (n_ac > 0) {
      check_offsets("ac_offsets", *a.ac_offsets, n_ac, a.ac_words->size(), "ac_words");
    }
    for (std::size_t j = 0; j < n_ac; ++j) {
      check_feature("ac_idx", j, (*a.ac_idx)[j], a.n_features);
      c.allowed_categories.push_back(
          {(*a.ac_idx)[j], std::vector<std::uint64_t>(a.ac_words->begin() + (*a.ac_offsets)[j],
                                                      a.ac_words->begin() + (*a.ac_offsets)[j + 1])});
    }
  }

  for (std::size_t k = 0; k < a.freeze.size(); ++k) {
    check_feature("freeze", k, a.freeze[k], a.n_features);
  }
  c.freeze.assign(a.freeze.begin(), a.freeze.end());
  return c;
}

}  // namespace morvel

namespace morvel {
namespace {

void raise_lo(std::vector<double>& lo, std::size_t f, double v) {
  if (v > lo[f]) lo[f] = v;
}
void lower_hi(std::vector<double>& hi, std::size_t f, double v) {
  if (v < hi[f]) hi[f] = v;
}

}  // namespace

std::size_t Constraints::feature_index(std::uint32_t f) const {
  if (f >= n_features) {
    internal_fail("index out of bounds: the len is " + std::to_string(n_features) +
                  " but the index is " + std::to_string(f));
  }
  return f;
}

InstanceBounds Constraints::instance_bounds(std::span<const double> x) const {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  ensure(x.size() >= n_features, "factual row is shorter than n_features");
  InstanceBounds b{std::vector<double>(n_features, -kInf), std::vector<double>(n_features, kInf),
                   std::vector<std::uint8_t>(n_features, 0)};
  for (std::uint32_t raw : freeze) {
    const std::size_t f = feature_index(raw);
    raise_lo(b.lo, f, x[f]);
    lower_hi(b.hi, f, x[f]);
    b.fixed[f] = 1;
  }
  for (const RangeRule& r : range) {
    const std::size_t f = feature_index(r.feature);
    raise_lo(b.lo, f, r.lo);
    lower_hi(b.hi, f, r.hi);
  }
  for (const EqualsRule& e : equals) {
    const std::size_t f = feature_index(e.feature);
    raise_lo(b.lo, f, e.value);
    lower_hi(b.hi, f, e.value);
  }
  for (const MonoRule& m : mono) {
    const std::size_t f = feature_index(m.feature);
    if (m.direction <= 0) {
      lower_hi(b.hi, f, x[f]);
    } else {
      raise_lo(b.lo, f, x[f]);
    }
  }
  return b;
}

}  // namespace morvel
