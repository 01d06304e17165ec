// RAII for Python references and the small exception protocol of the boundary.
#pragma once

#include "numpy_api.hpp"

#include <string>
#include <utility>

namespace morvel::py {

// True while this thread has given the interpreter lock away (see ReleasedLock). No
// reference may be released then; it stays true only when CPython ends the thread at
// interpreter exit, and the references held on the way out are left to the process.
inline thread_local bool t_lock_released = false;

// Owns one strong reference (or none).
class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* o) { return PyRef(o); }
  static PyRef borrow(PyObject* o) {
    Py_XINCREF(o);
    return PyRef(o);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      if (!t_lock_released) Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  ~PyRef() {
    if (!t_lock_released) Py_XDECREF(obj_);
  }

  PyObject* get() const { return obj_; }
  PyObject* release() { return std::exchange(obj_, nullptr); }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  explicit PyRef(PyObject* o) : obj_(o) {}
  PyObject* obj_ = nullptr;
};

// Thrown when a Python exception is already set and must propagate unchanged.
struct PyErrAlreadySet {};

// Throws PyErrAlreadySet when o is null (a failed C-API call), else returns it owned.
inline PyRef checked(PyObject* o) {
  if (o == nullptr) throw PyErrAlreadySet{};
  return PyRef::steal(o);
}

// Sets a Python exception of the given type and unwinds to the entry point.
[[noreturn]] inline void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PyErrAlreadySet{};
}

}  // namespace morvel::py
