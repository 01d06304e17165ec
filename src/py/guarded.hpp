// Translation of core exceptions into Python exceptions, in one place for every entry point,
// and the frame that runs a search with the interpreter lock released.
#pragma once

#include <new>
#include <utility>

#include "errors.hpp"
#include "interrupt.hpp"
#include "objects.hpp"
#include "pyref.hpp"

namespace morvel::py {

// Runs body (returning a PyRef) and turns any C++ exception into the matching Python one.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body().release();
  } catch (const PyErrAlreadySet&) {
  } catch (const ValidationError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const CallerError& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (const InternalError& e) {
    PyErr_SetString(g_internal_error, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(g_internal_error, e.what());
  } catch (...) {
    PyErr_SetString(g_internal_error, "unknown internal failure");
  }
  return nullptr;
}

// Holds the interpreter lock released for its lifetime and serves the interrupt probe:
// the probe re-takes the lock, runs the signal handlers and keeps the latest pending
// exception for the entry point to raise once the search has returned.
class ReleasedLock {
 public:
  ReleasedLock() : state_(PyEval_SaveThread()) {}
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;
  ~ReleasedLock() {
    reacquire();
    // An exception never raised (the search finished first) is dropped with the lock held.
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
  }

  bool probe() {
    PyEval_RestoreThread(state_);
    bool fired = false;
    if (PyErr_CheckSignals() != 0) {
      Py_XDECREF(type_);
      Py_XDECREF(value_);
      Py_XDECREF(traceback_);
      PyErr_Fetch(&type_, &value_, &traceback_);
      fired = type_ != nullptr;
    }
    state_ = PyEval_SaveThread();
    return fired;
  }

  InterruptProbe probe_fn() {
    return [this] { return probe(); };
  }

  void reacquire() {
    if (state_ != nullptr) {
      PyEval_RestoreThread(state_);
      state_ = nullptr;
    }
  }

  // With the lock held again: raise the stored exception unchanged.
  [[noreturn]] void raise_pending() {
    reacquire();
    if (type_ == nullptr) internal_fail("interrupt probe always stores the pending PyErr");
    PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                  std::exchange(traceback_, nullptr));
    throw PyErrAlreadySet{};
  }

 private:
  PyThreadState* state_;
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

}  // namespace morvel::py
