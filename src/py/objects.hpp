// The module's Python classes: object layouts and their (process-wide) type objects.
#pragma once

#include <atomic>

#include "pyref.hpp"

namespace morvel {
class Ensemble;
struct Constraints;
}  // namespace morvel

namespace morvel::py {

struct EnsembleObject {
  PyObject_HEAD
  morvel::Ensemble* ensemble;  // owned; never null after __new__ succeeds
};

struct ConstraintsObject {
  PyObject_HEAD
  morvel::Constraints* constraints;  // owned; never null after __new__ succeeds
};

struct StopTokenObject {
  PyObject_HEAD
  std::atomic<bool> requested;  // set once, never cleared
};

// Created by the module's first execution and kept for the life of the process.
extern PyTypeObject* g_ensemble_type;
extern PyTypeObject* g_constraints_type;
extern PyTypeObject* g_stop_token_type;
extern PyObject* g_internal_error;

// Create the type objects (called once by the module's execution step).
PyTypeObject* create_ensemble_type();
PyTypeObject* create_constraints_type();
PyTypeObject* create_stop_token_type();

}  // namespace morvel::py
