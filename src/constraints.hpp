// The compiled constraint set: the actionability rules a counterfactual row must satisfy,
// with per-instance bounds, row checking and row repair.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace morvel {

// One linear constraint: sum(coefs[k] * x[indices[k]]) op rhs.
struct LinearC {
  std::vector<std::uint32_t> indices;
  std::vector<double> coefs;  // same length as indices
  double rhs = 0.0;
  std::uint8_t op = 0;      // 0: <=, 1: >=, anything else: ==
  std::uint8_t policy = 0;  // 0: a missing term makes the constraint hold; else it fails
};

struct RangeRule {
  std::uint32_t feature;
  double lo;
  double hi;
};

struct EqualsRule {
  std::uint32_t feature;
  double value;
};

struct MonoRule {
  std::uint32_t feature;
  std::int8_t direction;  // > 0: may only increase; <= 0: may only decrease
};

struct Implication {
  std::uint32_t cond_feature;
  double cond_value;
  std::uint32_t cons_feature;
  double cons_value;
};

// The feature may change between missing and present; to/from are the distance deltas of
// moving to / away from a missing value.
struct AllowMissing {
  std::uint32_t feature;
  double to;
  double from;
};

// Bitmap of allowed category codes, 64 per word, code c at bit c % 64 of word c / 64.
struct AllowedCategories {
  std::uint32_t feature;
  std::vector<std::uint64_t> words;
};

// Per-feature box implied by freeze, range, equals and mono rules for one factual row.
struct InstanceBounds {
  std::vector<double> lo;
  std::vector<double> hi;
  std::vector<std::uint8_t> fixed;  // frozen features
};

struct Constraints {
  std::vector<std::uint32_t> freeze;
  std::vector<RangeRule> range;
  std::vector<EqualsRule> equals;
  std::vector<MonoRule> mono;
  std::vector<LinearC> linear;
  std::vector<Implication> implications;
  std::vector<std::vector<std::uint32_t>> one_hot;
  std::vector<AllowMissing> allow_missing;
  std::vector<AllowedCategories> allowed_categories;
  std::size_t n_features = 0;

  // Box of the rules for factual row x (n_features values); contradictory rules leave lo > hi.
  InstanceBounds instance_bounds(std::span<const double> x) const;

  // Whether one row satisfies every rule relative to x, given instance_bounds(x).
  bool check_row(const double* row, std::span<const double> x, const InstanceBounds& b) const;
  // Checks n_rows row-major rows; one flag per row (check_into writes n_rows flags to out).
  std::vector<std::uint8_t> check(const double* rows, std::size_t n_rows, std::span<const double> x,
                                  bool parallel) const;
  void check_into(const double* rows, std::size_t n_rows, std::span<const double> x,
                  bool parallel, std::uint8_t* out) const;

  // Pushes one row towards feasibility in place.
  void repair_row(double* row, std::span<const double> x, const InstanceBounds& b) const;
  // Repairs n_rows row-major rows in place.
  void repair(double* rows, std::size_t n_rows, std::span<const double> x, bool parallel) const;

  // f as an index into a row; InternalError when f >= n_features.
  std::size_t feature_index(std::uint32_t f) const;
};

// The flat arrays a constraint set is compiled from (parallel arrays per rule kind).
struct ConstraintArrays {
  std::size_t n_features = 0;
  std::span<const std::uint32_t> freeze;
  std::span<const std::uint32_t> range_idx;
  std::span<const double> range_lo, range_hi;
  std::span<const std::uint32_t> equals_idx;
  std::span<const double> equals_val;
  std::span<const std::uint32_t> mono_idx;
  std::span<const std::int8_t> mono_dir;
  std::span<const std::uint32_t> lin_offsets, lin_indices;
  std::span<const double> lin_coefs;
  std::span<const std::uint8_t> lin_op;
  std::span<const double> lin_rhs;
  std::span<const std::uint8_t> lin_policy;
  std::span<const std::uint32_t> imp_cond_idx;
  std::span<const double> imp_cond_val;
  std::span<const std::uint32_t> imp_cons_idx;
  std::span<const double> imp_cons_val;
  std::span<const std::uint32_t> oh_offsets, oh_indices;
  std::span<const std::uint32_t> am_idx;
  std::span<const double> am_to, am_from;
  // Allowed categories are attached only when all three are given.
  std::optional<std::span<const std::uint32_t>> ac_idx, ac_offsets;
  std::optional<std::span<const std::uint64_t>> ac_words;
};

// Compiles the flat arrays. Parallel arrays pair up to the shortest (surplus entries are
// ignored, unchecked); malformed offset arrays throw ValidationError (they are never read
// out of bounds), and so does every feature index of a compiled rule at or above
// n_features, naming the array and the position.
Constraints build_constraints(const ConstraintArrays& a);

// Owned flat arrays of a compiled set, laid out as build_constraints reads them: building
// from view() gives back an equal set (used to pickle a set).
struct FlatConstraints {
  std::size_t n_features = 0;
  std::vector<std::uint32_t> freeze, range_idx, equals_idx, mono_idx, lin_offsets, lin_indices,
      imp_cond_idx, imp_cons_idx, oh_offsets, oh_indices, am_idx, ac_idx, ac_offsets;
  std::vector<double> range_lo, range_hi, equals_val, lin_coefs, lin_rhs, imp_cond_val,
      imp_cons_val, am_to, am_from;
  std::vector<std::int8_t> mono_dir;
  std::vector<std::uint8_t> lin_op, lin_policy;
  std::vector<std::uint64_t> ac_words;

  // Spans over the vectors; allowed categories are attached only when the set has some.
  ConstraintArrays view() const;
};

FlatConstraints flatten_constraints(const Constraints& c);

}  // namespace morvel
