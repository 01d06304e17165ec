// RustConstraints: the compiled, immutable constraint set.
#include <memory>

#include "constraints.hpp"
#include "convert.hpp"
#include "guarded.hpp"
#include "objects.hpp"

namespace morvel::py {

PyTypeObject* g_constraints_type = nullptr;

namespace {

PyRef build(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  const Args a("RustConstraints", args, kwargs,
               {"n_features", "freeze", "range_idx", "range_lo", "range_hi", "equals_idx",
                "equals_val", "mono_idx", "mono_dir", "lin_offsets", "lin_indices", "lin_coefs",
                "lin_op", "lin_rhs", "lin_policy", "imp_cond_idx", "imp_cond_val",
                "imp_cons_idx", "imp_cons_val", "oh_offsets", "oh_indices", "am_idx", "am_to",
                "am_from", "ac_idx", "ac_offsets", "ac_words"},
               24);
  const std::uint64_t n_features = to_count(a[0], "n_features");
  const auto freeze = to_vector<std::uint32_t>(a[1], "freeze");
  const auto range_idx = to_vector<std::uint32_t>(a[2], "range_idx");
  const auto range_lo = to_vector<double>(a[3], "range_lo");
  const auto range_hi = to_vector<double>(a[4], "range_hi");
  const auto equals_idx = to_vector<std::uint32_t>(a[5], "equals_idx");
  const auto equals_val = to_vector<double>(a[6], "equals_val");
  const auto mono_idx = to_vector<std::uint32_t>(a[7], "mono_idx");
  const auto mono_dir = to_vector<std::int8_t>(a[8], "mono_dir");
  const auto lin_offsets = to_vector<std::uint32_t>(a[9], "lin_offsets");
  const auto lin_indices = to_vector<std::uint32_t>(a[10], "lin_indices");
  const auto lin_coefs = to_vector<double>(a[11], "lin_coefs");
  const auto lin_op = to_vector<std::uint8_t>(a[12], "lin_op");
  const auto lin_rhs = to_vector<double>(a[13], "lin_rhs");
  const auto lin_policy = to_vector<std::uint8_t>(a[14], "lin_policy");
  const auto imp_cond_idx = to_vector<std::uint32_t>(a[15], "imp_cond_idx");
  const auto imp_cond_val = to_vector<double>(a[16], "imp_cond_val");
  const auto imp_cons_idx = to_vector<std::uint32_t>(a[17], "imp_cons_idx");
  const auto imp_cons_val = to_vector<double>(a[18], "imp_cons_val");
  const auto oh_offsets = to_vector<std::uint32_t>(a[19], "oh_offsets");
  const auto oh_indices = to_vector<std::uint32_t>(a[20], "oh_indices");
  const auto am_idx = to_vector<std::uint32_t>(a[21], "am_idx");
  const auto am_to = to_vector<double>(a[22], "am_to");
  const auto am_from = to_vector<double>(a[23], "am_from");
  const auto ac_idx = to_optional_vector<std::uint32_t>(a[24], "ac_idx");
  const auto ac_offsets = to_optional_vector<std::uint32_t>(a[25], "ac_offsets");
  const auto ac_words = to_optional_vector<std::uint64_t>(a[26], "ac_words");

  ConstraintArrays arrays;
  arrays.n_features = n_features;
  arrays.freeze = freeze;
  arrays.range_idx = range_idx;
  arrays.range_lo = range_lo;
  arrays.range_hi = range_hi;
  arrays.equals_idx = equals_idx;
  arrays.equals_val = equals_val;
  arrays.mono_idx = mono_idx;
  arrays.mono_dir = mono_dir;
  arrays.lin_offsets = lin_offsets;
  arrays.lin_indices = lin_indices;
  arrays.lin_coefs = lin_coefs;
  arrays.lin_op = lin_op;
  arrays.lin_rhs = lin_rhs;
  arrays.lin_policy = lin_policy;
  arrays.imp_cond_idx = imp_cond_idx;
  arrays.imp_cond_val = imp_cond_val;
  arrays.imp_cons_idx = imp_cons_idx;
  arrays.imp_cons_val = imp_cons_val;
  arrays.oh_offsets = oh_offsets;
  arrays.oh_indices = oh_indices;
  arrays.am_idx = am_idx;
  arrays.am_to = am_to;
  arrays.am_from = am_from;
  if (ac_idx) arrays.ac_idx = std::span<const std::uint32_t>(*ac_idx);
  if (ac_offsets) arrays.ac_offsets = std::span<const std::uint32_t>(*ac_offsets);
  if (ac_words) arrays.ac_words = std::span<const std::uint64_t>(*ac_words);

  auto owned = std::make_unique<Constraints>(build_constraints(arrays));
  PyRef self = checked(type->tp_alloc(type, 0));
  reinterpret_cast<ConstraintsObject*>(self.get())->constraints = owned.release();
  return self;
}

PyObject* constraints_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return build(type, args, kwargs); });
}

void constraints_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<ConstraintsObject*>(self)->constraints;
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef constraints_methods[] = {{nullptr, nullptr, 0, nullptr}};

const char constraints_doc[] =
    "RustConstraints(n_features, freeze, range_idx, range_lo, range_hi, equals_idx, equals_val, "
    "mono_idx, mono_dir, lin_offsets, lin_indices, lin_coefs, lin_op, lin_rhs, lin_policy, "
    "imp_cond_idx, imp_cond_val, imp_cons_idx, imp_cons_val, oh_offsets, oh_indices, am_idx, "
    "am_to, am_from, ac_idx=None, ac_offsets=None, ac_words=None)\n--\n\n";

PyType_Slot constraints_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(constraints_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(constraints_dealloc)},
    {Py_tp_methods, constraints_methods},
    {Py_tp_doc, const_cast<char*>(constraints_doc)},
    {0, nullptr}};

}  // namespace

PyTypeObject* create_constraints_type() {
  static PyType_Spec spec = {"_morvel_core.RustConstraints", sizeof(ConstraintsObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE
#ifdef Py_TPFLAGS_IMMUTABLETYPE
                                 | Py_TPFLAGS_IMMUTABLETYPE
#endif
                             ,
                             constraints_slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace morvel::py
