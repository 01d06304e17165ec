// The one argument-conversion layer shared by every entry point: argument parsing by
// position or keyword, NumPy arrays of exact dtype and rank copied into owned buffers,
// scalars, strings and the module's own classes; and new NumPy arrays for results.
// Every failure sets a Python exception naming the argument and throws PyErrAlreadySet.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "pyref.hpp"

namespace morvel {
class Ensemble;
struct Constraints;
}  // namespace morvel

namespace morvel::py {

// Arguments of one call, matched to names by position or keyword; names from
// `n_positional` on (all by default) are keyword-only. Missing optional arguments and
// explicit None both read as nullptr.
class Args {
 public:
  Args(const char* function, PyObject* args, PyObject* kwargs,
       std::initializer_list<const char*> names, std::size_t n_required,
       std::size_t n_positional = static_cast<std::size_t>(-1));
  PyObject* operator[](std::size_t i) const { return values_[i]; }
  const char* name(std::size_t i) const { return names_[i]; }

 private:
  std::vector<const char*> names_;
  std::vector<PyObject*> values_;  // borrowed
};

template <class T>
std::vector<T> to_vector(PyObject* obj, const char* name);
template <class T>
std::optional<std::vector<T>> to_optional_vector(PyObject* obj, const char* name);

// A read-only row-major view of a 2-D float64 array. A Fortran-ordered array is copied
// into C order first, so rows are always read correctly.
struct MatrixArg {
  PyRef holder;
  const double* data = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;
};
MatrixArg to_matrix(PyObject* obj, const char* name);

double to_double(PyObject* obj, const char* name);
std::optional<double> to_optional_double(PyObject* obj, const char* name);
std::uint64_t to_count(PyObject* obj, const char* name);
std::optional<std::uint64_t> to_optional_count(PyObject* obj, const char* name);
std::string to_str(PyObject* obj, const char* name);
// A Python bool (or NumPy bool); `fallback` when the argument is missing or None.
bool to_bool(PyObject* obj, const char* name, bool fallback);

const Ensemble& to_ensemble(PyObject* obj, const char* name);
const Ensemble* to_optional_ensemble(PyObject* obj, const char* name);
const Constraints& to_constraints(PyObject* obj, const char* name);
// A StopToken's flag, or nullptr for None.
const std::atomic<bool>* to_optional_stop(PyObject* obj, const char* name);

// One further score window as given: a tuple (ensemble, lo, hi) or (ensemble, lo, hi,
// missing_defined), the last a 1-D uint8 array of the ensemble's per-node missing-route
// flags (only region growth reads them; without it every node routes NaN to its missing
// side). The ensemble object is held, so the window stays valid without the lock even if
// the caller's sequence changes.
struct WindowArg {
  PyRef owner;
  const Ensemble* ensemble = nullptr;
  double lo = 0.0;
  double hi = 0.0;
  std::optional<std::vector<std::uint8_t>> missing_defined;
};
// A list or tuple of windows, or None (nullopt). Types only: the values are checked by
// require_windows (checks.hpp).
std::optional<std::vector<WindowArg>> to_windows(PyObject* obj, const char* name);

// New 1-D arrays that own their data.
template <class T>
PyRef new_array(std::size_t n);
template <class T>
PyRef to_numpy(const std::vector<T>& values);
template <class T>
PyRef span_to_numpy(std::span<const T> values);
PyRef to_numpy_bool(const std::vector<std::uint8_t>& values);

// Raises ValueError "expected {n} features, got {m}" when the widths differ.
void require_width(std::size_t expected, std::size_t got);

}  // namespace morvel::py
