// RustConstraints: the compiled, immutable constraint set, with row checking and repair.
#include <cstring>
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

const Constraints& self_constraints(PyObject* self) {
  return *reinterpret_cast<ConstraintsObject*>(self)->constraints;
}

// The two arguments of check and repair, converted and required to be n_features wide.
struct RowsArgs {
  MatrixArg rows;
  std::vector<double> x;
};

RowsArgs rows_args(const char* function, const Constraints& c, PyObject* args,
                   PyObject* kwargs) {
  const Args a(function, args, kwargs, {"x_matrix", "x"}, 2);
  RowsArgs r{to_matrix(a[0], "x_matrix"), to_vector<double>(a[1], "x")};
  require_width(c.n_features, r.rows.cols);
  require_width(c.n_features, r.x.size());
  return r;
}

// The interpreter lock stays held while the pool fans out; the workers touch no Python object.
PyObject* check(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Constraints& c = self_constraints(self);
    const RowsArgs r = rows_args("check", c, args, kwargs);
    npy_intp dims[1] = {static_cast<npy_intp>(r.rows.rows)};
    PyRef out = checked(PyArray_SimpleNew(1, dims, NPY_BOOL));
    static_assert(sizeof(npy_bool) == sizeof(std::uint8_t));
    auto* array = reinterpret_cast<PyArrayObject*>(out.get());
    auto* flags = static_cast<std::uint8_t*>(PyArray_DATA(array));
    c.check_into(r.rows.data, r.rows.rows, r.x, /*parallel=*/true, flags);
    return out;
  });
}

// Repairs a copy, so the caller's matrix is never written.
PyObject* repair(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Constraints& c = self_constraints(self);
    const RowsArgs r = rows_args("repair", c, args, kwargs);
    npy_intp dims[2] = {static_cast<npy_intp>(r.rows.rows), static_cast<npy_intp>(r.rows.cols)};
    PyRef out = checked(PyArray_SimpleNew(2, dims, NPY_FLOAT64));
    auto* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    if (r.rows.rows * r.rows.cols > 0) {
      std::memcpy(data, r.rows.data, r.rows.rows * r.rows.cols * sizeof(double));
    }
    c.repair(data, r.rows.rows, r.x, /*parallel=*/true);
    return out;
  });
}

// Pickling: the constructor and the flat arrays the set was compiled from, so unpickling
// validates again (a damaged state raises the constructor's errors).
PyObject* reduce_constraints(PyObject* self, PyObject*) {
  return guarded([&] {
    const FlatConstraints f = flatten_constraints(self_constraints(self));
    const PyRef freeze = to_numpy(f.freeze), range_idx = to_numpy(f.range_idx),
                range_lo = to_numpy(f.range_lo), range_hi = to_numpy(f.range_hi),
                equals_idx = to_numpy(f.equals_idx), equals_val = to_numpy(f.equals_val),
                mono_idx = to_numpy(f.mono_idx), mono_dir = to_numpy(f.mono_dir),
                lin_offsets = to_numpy(f.lin_offsets), lin_indices = to_numpy(f.lin_indices),
                lin_coefs = to_numpy(f.lin_coefs), lin_op = to_numpy(f.lin_op),
                lin_rhs = to_numpy(f.lin_rhs), lin_policy = to_numpy(f.lin_policy),
                imp_cond_idx = to_numpy(f.imp_cond_idx), imp_cond_val = to_numpy(f.imp_cond_val),
                imp_cons_idx = to_numpy(f.imp_cons_idx), imp_cons_val = to_numpy(f.imp_cons_val),
                oh_offsets = to_numpy(f.oh_offsets), oh_indices = to_numpy(f.oh_indices),
                am_idx = to_numpy(f.am_idx), am_to = to_numpy(f.am_to),
                am_from = to_numpy(f.am_from);
    // No allowed categories: leave the three arrays out, as a caller without any would.
    const bool categories = !f.ac_idx.empty();
    const PyRef ac_idx = categories ? to_numpy(f.ac_idx) : PyRef::borrow(Py_None),
                ac_offsets = categories ? to_numpy(f.ac_offsets) : PyRef::borrow(Py_None),
                ac_words = categories ? to_numpy(f.ac_words) : PyRef::borrow(Py_None);
    PyRef args = checked(Py_BuildValue(
        "(KOOOOOOOOOOOOOOOOOOOOOOOOOO)", static_cast<unsigned long long>(f.n_features),
        freeze.get(), range_idx.get(), range_lo.get(), range_hi.get(), equals_idx.get(),
        equals_val.get(), mono_idx.get(), mono_dir.get(), lin_offsets.get(), lin_indices.get(),
        lin_coefs.get(), lin_op.get(), lin_rhs.get(), lin_policy.get(), imp_cond_idx.get(),
        imp_cond_val.get(), imp_cons_idx.get(), imp_cons_val.get(), oh_offsets.get(),
        oh_indices.get(), am_idx.get(), am_to.get(), am_from.get(), ac_idx.get(),
        ac_offsets.get(), ac_words.get()));
    return checked(Py_BuildValue("(OO)", reinterpret_cast<PyObject*>(Py_TYPE(self)), args.get()));
  });
}

PyMethodDef constraints_methods[] = {
    {"check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check)),
     METH_VARARGS | METH_KEYWORDS, "check($self, x_matrix, x)\n--\n\n"},
    {"repair", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(repair)),
     METH_VARARGS | METH_KEYWORDS, "repair($self, x_matrix, x)\n--\n\n"},
    {"__reduce__", reduce_constraints, METH_NOARGS, "Pickle support: the constructor's arrays."},
    {nullptr, nullptr, 0, nullptr}};

const char constraints_doc[] =
    "RustConstraints(n_features, freeze, range_idx, range_lo, range_hi, equals_idx, equals_val, "
    "mono_idx, mono_dir, lin_offsets, lin_indices, lin_coefs, lin_op, lin_rhs, lin_policy, "
    "imp_cond_idx, imp_cond_val, imp_cons_idx, imp_cons_val, oh_offsets, oh_indices, am_idx, "
    "am_to, am_from, ac_idx=None, ac_offsets=None, ac_words=None)\n--\n\n"
    "Parallel arrays (range_*, equals_*, mono_*, imp_*, am_*) pair up to the shortest of each\n"
    "group; surplus entries are ignored, unchecked. Every feature index of a rule must be below\n"
    "n_features, and offset arrays must be non-decreasing and within their arrays (ValueError\n"
    "naming the array and position). lin_op 0 is <=, 1 is >=, any other value ==. Allowed\n"
    "categories are attached only when ac_idx, ac_offsets and ac_words are all given.";

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
