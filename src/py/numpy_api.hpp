// Single include point for the NumPy C API. Exactly one translation unit (module.cpp)
// defines MORVEL_NUMPY_IMPORT and owns the API table that import_array() fills.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL MORVEL_NUMPY_ARRAY_API
#ifndef MORVEL_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
