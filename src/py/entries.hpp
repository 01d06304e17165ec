// The module-level functions, each defined in its own file. The module adds them in
// this order after the two classes.
#pragma once

#include "pyref.hpp"

namespace morvel::py {

// Method definitions of the functions built so far, terminated by a null entry.
extern PyMethodDef g_module_functions[];

// Docstrings (with text signatures) of entries whose text is long.
extern const char kSolveGeneticRawDoc[];
extern const char kSolveGeneticBatchRawDoc[];

PyObject* py_solve_genetic_raw(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_solve_genetic_batch_raw(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_solve_exact_raw(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_debug_domains_raw(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_compute_region_raw(PyObject* self, PyObject* args, PyObject* kwargs);

// For tests, outside __all__: `_set_lagrange_start(boxes)` sets the most boxes the refine
// search expands before it uses the Lagrangian bound (0: from the root box) and returns the
// previous setting.
extern PyMethodDef g_testing_functions[];
PyObject* py_set_lagrange_start(PyObject* self, PyObject* boxes);

}  // namespace morvel::py
