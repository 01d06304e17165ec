// Translation of core exceptions into Python exceptions, in one place for every entry point,
// and the frame that runs a search with the interpreter lock released.
#pragma once

#include <atomic>
#include <chrono>
#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

#include "errors.hpp"
#include "interrupt.hpp"
#include "objects.hpp"
#include "pyref.hpp"

namespace morvel::py {

// True inside a catch-all handler that caught something other than a C++ exception: the
// forced unwind by which CPython ends a thread that takes the lock back at interpreter
// exit. Such an unwind must go on (swallowing it, or meeting a noexcept frame, aborts the
// process); typed handlers never match it.
inline bool caught_forced_unwind() { return !std::current_exception(); }

// Runs body (returning a PyRef) and turns any C++ exception into the matching Python one.
// Not noexcept, and a forced unwind passes through.
template <class Body>
PyObject* guarded(Body&& body) {
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
  } catch (const std::length_error&) {
    PyErr_NoMemory();  // a size beyond what a container can hold
  } catch (const std::exception& e) {
    PyErr_SetString(g_internal_error, e.what());
  } catch (...) {
    if (caught_forced_unwind()) throw;
    PyErr_SetString(g_internal_error, "unknown internal failure");
  }
  return nullptr;
}

// True once the interpreter has started to shut down; a thread that then asks for the lock
// is ended by CPython (or blocked forever, depending on the version).
inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// At interpreter exit a thread that would take the lock back instead waits, without the
// lock and without unwinding through our frames, until the process ends.
[[noreturn]] inline void park_thread_forever() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

// Holds the interpreter lock released for its lifetime and serves the interrupt probe:
// the probe re-takes the lock, runs the signal handlers and keeps the latest pending
// exception for the entry point to raise once the search has returned. A set stop token
// (see StopToken) counts as a KeyboardInterrupt: signal handlers run only on the main
// thread, so a search on another thread learns of a Ctrl-C through the token.
//
// Taking the lock back is where interpreter exit meets a running search. The lock is
// re-taken at most once per release (the thread state is consumed before the call), and
// a thread parks instead when exit has begun. If exit begins during the call itself,
// CPython ends the thread by a forced unwind: it must start outside any destructor (hence
// `run`, which takes the lock back on every path before leaving), the destructor then
// touches no Python object, and `t_lock_released` keeps every PyRef on the way from
// releasing its reference.
class ReleasedLock {
 public:
  // A stop token that is set already ends the call at once, before the lock is released.
  explicit ReleasedLock(const std::atomic<bool>* stop = nullptr) : stop_(stop) {
    if (stop_ != nullptr && stop_->load()) {
      PyErr_SetNone(PyExc_KeyboardInterrupt);
      throw PyErrAlreadySet{};
    }
    release();
  }
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;
  ~ReleasedLock() {
    reacquire();  // only when `run` was not used; normally the lock is back already
    if (!held_) return;  // a forced unwind out of reacquire(): the lock is not ours
    // An exception never raised (the search finished first) is dropped with the lock held.
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
  }

  // Runs fn() without the lock and takes the lock back before it returns fn's result or
  // rethrows fn's exception.
  template <class Fn>
  auto run(Fn&& fn) -> decltype(fn()) {
    std::optional<decltype(fn())> result;
    std::exception_ptr error;
    try {
      result.emplace(fn());
    } catch (...) {
      if (caught_forced_unwind()) throw;
      error = std::current_exception();
    }
    reacquire();
    if (error) std::rethrow_exception(error);
    return std::move(*result);
  }

  bool probe() {
    reacquire();
    bool fired = false;
    const bool signalled = PyErr_CheckSignals() != 0;
    if (signalled || (stop_ != nullptr && stop_->load())) {
      if (!signalled) PyErr_SetNone(PyExc_KeyboardInterrupt);
      Py_XDECREF(type_);
      Py_XDECREF(value_);
      Py_XDECREF(traceback_);
      PyErr_Fetch(&type_, &value_, &traceback_);
      fired = type_ != nullptr;
    }
    release();
    return fired;
  }

  InterruptProbe probe_fn() {
    return [this] { return probe(); };
  }

  void reacquire() {
    PyThreadState* state = std::exchange(state_, nullptr);
    if (state == nullptr) return;
    if (interpreter_finalizing()) park_thread_forever();
    PyEval_RestoreThread(state);  // may end the thread by a forced unwind at exit
    held_ = true;
    t_lock_released = false;
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
  void release() {
    t_lock_released = true;
    held_ = false;
    state_ = PyEval_SaveThread();
  }

  const std::atomic<bool>* stop_;   // a StopToken's flag, or null
  PyThreadState* state_ = nullptr;  // non-null exactly while released
  bool held_ = true;                // this thread holds the lock
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

}  // namespace morvel::py
