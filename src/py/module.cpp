// Module definition with multi-phase initialisation: the execution step adds the classes
// and the functions, in order, and lists each in __all__.
#define MORVEL_NUMPY_IMPORT
#include "numpy_api.hpp"

#include "entries.hpp"
#include "objects.hpp"

namespace morvel::py {

PyObject* g_internal_error = nullptr;

#define MORVEL_KW_FUNCTION(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef g_module_functions[] = {
    {"solve_genetic_raw", MORVEL_KW_FUNCTION(py_solve_genetic_raw), METH_VARARGS | METH_KEYWORDS,
     kSolveGeneticRawDoc},
    {"solve_genetic_batch_raw", MORVEL_KW_FUNCTION(py_solve_genetic_batch_raw),
     METH_VARARGS | METH_KEYWORDS, kSolveGeneticBatchRawDoc},
    {"solve_exact_raw", MORVEL_KW_FUNCTION(py_solve_exact_raw), METH_VARARGS | METH_KEYWORDS,
     "solve_exact_raw(ensemble, constraints, x, lo_t, hi_t, sigma, weights, lam, policy_code, "
     "policy_step, policy_anchor, if_ensemble=None, min_total_path=None, node_budget=2000000, "
     "gap=0.0, time_budget_s=10.0, incumbent_cost=None, incumbent_row=None, "
     "search=\"classic\", *, stop=None, max_changes=None, exclude_offsets=None, "
     "exclude_features=None, diversity=\"no_superset\", alternatives=None, "
     "windows=None)\n--\n\n"
     "Exact solve. Returns (x_cf | None, distance | None, proof, stats, snapped, trace); with "
     "alternatives=k a list of up to k such tuples, cheapest first, each the cheapest row "
     "whose change set differs from every earlier one's by the diversity rule (no_superset: "
     "contains none of them; new_feature: changes a feature none of them changed), ending "
     "early after a tuple without a row. max_changes caps the number of changed features; "
     "exclude_offsets/exclude_features (CSR) give change sets of earlier answers.\n"
     "stop: a StopToken; once it is set the search ends and raises KeyboardInterrupt.\n"
     "windows: None, or a list of further windows, each a tuple (ensemble, lo, hi) (or "
     "(ensemble, lo, hi, missing_defined)) of a RustEnsemble over the model's features "
     "(same width and category counts) and the closed window [lo, hi] its raw score must "
     "lie in as well; the search proves the cheapest row inside every window."},
    {"debug_domains_raw", MORVEL_KW_FUNCTION(py_debug_domains_raw),
     METH_VARARGS | METH_KEYWORDS,
     "debug_domains_raw(ensemble, constraints, x, sigma, weights, lam, policy_code, policy_step, "
     "policy_anchor, if_ensemble=None, *, windows=None)\n--\n\n"
     "windows: as in solve_exact_raw; their ensembles' splits refine the cells."},
    {"compute_region_raw", MORVEL_KW_FUNCTION(py_compute_region_raw),
     METH_VARARGS | METH_KEYWORDS,
     "compute_region_raw(ensemble, missing_defined, constraints, x_cf, lo_t, hi_t, lo_b, hi_b, "
     "open_set, if_ensemble=None, if_missing_defined=None, min_total_path=None, cat_open=None, "
     "cat_feat_offsets=None, cat_block_offsets=None, cat_members=None, maximal=False, "
     "budget=100000, *, stop=None, x=None, max_changes=None, windows=None)\n--\n\n"
     "stop: a StopToken; once it is set the growth ends and raises KeyboardInterrupt.\n"
     "With max_changes (and x, the factual row), the features x_cf keeps at their factual "
     "values stay fixed, and x_cf may change at most max_changes features.\n"
     "windows: as in solve_exact_raw; x_cf must score inside every window and every point of "
     "the region does. A window's optional fourth element, missing_defined (uint8 per node "
     "of its ensemble), marks where a missing value has a defined route (all by default)."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef g_testing_functions[] = {
    {"_set_lagrange_start", py_set_lagrange_start, METH_O,
     "_set_lagrange_start(boxes)\n--\n\nFor tests: the most boxes the refine search expands before it "
     "uses the Lagrangian bound (0: from the root box); returns the previous setting."},
    {nullptr, nullptr, 0, nullptr}};

namespace {

int import_numpy() {
  import_array1(-1);
  return 0;
}

// Creates the process-wide type objects and the internal-error class on first use.
int create_shared_objects() {
  if (g_ensemble_type == nullptr) {
    g_ensemble_type = create_ensemble_type();
    if (g_ensemble_type == nullptr) return -1;
  }
  if (g_constraints_type == nullptr) {
    g_constraints_type = create_constraints_type();
    if (g_constraints_type == nullptr) return -1;
  }
  if (g_stop_token_type == nullptr) {
    g_stop_token_type = create_stop_token_type();
    if (g_stop_token_type == nullptr) return -1;
  }
  if (g_internal_error == nullptr) {
    g_internal_error = PyErr_NewExceptionWithDoc(
        "_morvel_core.InternalError",
        "A broken internal invariant of the native core. Derives from BaseException so that "
        "ordinary 'except Exception' handlers do not swallow it.",
        PyExc_BaseException, nullptr);
    if (g_internal_error == nullptr) return -1;
  }
  return 0;
}

int add_member(PyObject* module, PyObject* all, const char* name, PyObject* value) {
  Py_INCREF(value);
  if (PyModule_AddObject(module, name, value) < 0) {
    Py_DECREF(value);
    return -1;
  }
  PyRef name_obj = PyRef::steal(PyUnicode_FromString(name));
  if (!name_obj) return -1;
  return PyList_Append(all, name_obj.get());
}

int exec_module(PyObject* module) {
  if (import_numpy() < 0 || create_shared_objects() < 0) return -1;
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyModule_AddObject(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      return -1;
    }
    Py_INCREF(all);
  }
  PyRef all_ref = PyRef::steal(all);
  if (add_member(module, all, "RustEnsemble", reinterpret_cast<PyObject*>(g_ensemble_type)) < 0 ||
      add_member(module, all, "RustConstraints",
                 reinterpret_cast<PyObject*>(g_constraints_type)) < 0 ||
      add_member(module, all, "StopToken", reinterpret_cast<PyObject*>(g_stop_token_type)) < 0) {
    return -1;
  }
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  for (PyMethodDef* def = g_module_functions; def->ml_name != nullptr; ++def) {
    PyRef fn = PyRef::steal(PyCFunction_NewEx(def, module, module_name.get()));
    if (!fn || add_member(module, all, def->ml_name, fn.get()) < 0) return -1;
  }
  if (PyModule_AddFunctions(module, g_testing_functions) < 0) return -1;
  Py_INCREF(g_internal_error);
  if (PyModule_AddObject(module, "InternalError", g_internal_error) < 0) {
    Py_DECREF(g_internal_error);
    return -1;
  }
  return 0;
}

PyModuleDef_Slot module_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)},
                                   {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "_morvel_core",
                          "Native core of the morvel counterfactual toolkit for tree ensembles.",
                          0,
                          nullptr,
                          module_slots,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace
}  // namespace morvel::py

PyMODINIT_FUNC PyInit__morvel_core(void) { return PyModuleDef_Init(&morvel::py::module_def); }
