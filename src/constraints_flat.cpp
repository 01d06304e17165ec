// The inverse of build_constraints: a compiled constraint set back to its flat arrays.
#include "constraints.hpp"

namespace morvel {

namespace {

template <class T>
std::uint32_t offset(const std::vector<T>& v) {
  return static_cast<std::uint32_t>(v.size());
}

}  // namespace

FlatConstraints flatten_constraints(const Constraints& c) {
  FlatConstraints f;
  f.n_features = c.n_features;
  f.freeze = c.freeze;
  for (const RangeRule& r : c.range) {
    f.range_idx.push_back(r.feature);
    f.range_lo.push_back(r.lo);
    f.range_hi.push_back(r.hi);
  }
  for (const EqualsRule& e : c.equals) {
    f.equals_idx.push_back(e.feature);
    f.equals_val.push_back(e.value);
  }
  for (const MonoRule& m : c.mono) {
    f.mono_idx.push_back(m.feature);
    f.mono_dir.push_back(m.direction);
  }
  f.lin_offsets.push_back(0);
  for (const LinearC& l : c.linear) {
    f.lin_indices.insert(f.lin_indices.end(), l.indices.begin(), l.indices.end());
    f.lin_coefs.insert(f.lin_coefs.end(), l.coefs.begin(), l.coefs.end());
    f.lin_offsets.push_back(offset(f.lin_indices));
    f.lin_op.push_back(l.op);
    f.lin_rhs.push_back(l.rhs);
    f.lin_policy.push_back(l.policy);
  }
  for (const Implication& i : c.implications) {
    f.imp_cond_idx.push_back(i.cond_feature);
    f.imp_cond_val.push_back(i.cond_value);
    f.imp_cons_idx.push_back(i.cons_feature);
    f.imp_cons_val.push_back(i.cons_value);
  }
  f.oh_offsets.push_back(0);
  for (const auto& group : c.one_hot) {
    f.oh_indices.insert(f.oh_indices.end(), group.begin(), group.end());
    f.oh_offsets.push_back(offset(f.oh_indices));
  }
  for (const AllowMissing& a : c.allow_missing) {
    f.am_idx.push_back(a.feature);
    f.am_to.push_back(a.to);
    f.am_from.push_back(a.from);
  }
  f.ac_offsets.push_back(0);
  for (const AllowedCategories& a : c.allowed_categories) {
    f.ac_idx.push_back(a.feature);
    f.ac_words.insert(f.ac_words.end(), a.words.begin(), a.words.end());
    f.ac_offsets.push_back(offset(f.ac_words));
  }
  return f;
}

ConstraintArrays FlatConstraints::view() const {
  ConstraintArrays a;
  a.n_features = n_features;
  a.freeze = freeze;
  a.range_idx = range_idx;
  a.range_lo = range_lo;
  a.range_hi = range_hi;
  a.equals_idx = equals_idx;
  a.equals_val = equals_val;
  a.mono_idx = mono_idx;
  a.mono_dir = mono_dir;
  a.lin_offsets = lin_offsets;
  a.lin_indices = lin_indices;
  a.lin_coefs = lin_coefs;
  a.lin_op = lin_op;
  a.lin_rhs = lin_rhs;
  a.lin_policy = lin_policy;
  a.imp_cond_idx = imp_cond_idx;
  a.imp_cond_val = imp_cond_val;
  a.imp_cons_idx = imp_cons_idx;
  a.imp_cons_val = imp_cons_val;
  a.oh_offsets = oh_offsets;
  a.oh_indices = oh_indices;
  a.am_idx = am_idx;
  a.am_to = am_to;
  a.am_from = am_from;
  if (!ac_idx.empty()) {
    a.ac_idx = std::span<const std::uint32_t>(ac_idx);
    a.ac_offsets = std::span<const std::uint32_t>(ac_offsets);
    a.ac_words = std::span<const std::uint64_t>(ac_words);
  }
  return a;
}

}  // namespace morvel
