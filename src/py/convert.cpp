#include "convert.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "constraints.hpp"
#include "ir.hpp"
#include "objects.hpp"

namespace morvel::py {

Args::Args(const char* function, PyObject* args, PyObject* kwargs,
           std::initializer_list<const char*> names, std::size_t n_required,
           std::size_t n_positional)
    : names_(names), values_(names.size(), nullptr) {
  const Py_ssize_t n_pos = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
  const std::size_t max_pos = std::min(n_positional, names_.size());
  if (static_cast<std::size_t>(n_pos) > max_pos) {
    raise(PyExc_TypeError, std::string(function) + "() takes at most " +
                               std::to_string(max_pos) + " positional arguments (" +
                               std::to_string(n_pos) + " given)");
  }
  for (Py_ssize_t i = 0; i < n_pos; ++i) values_[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "keywords must be strings");
      const char* k = PyUnicode_AsUTF8(key);
      if (k == nullptr) throw PyErrAlreadySet{};
      std::size_t idx = names_.size();
      for (std::size_t j = 0; j < names_.size(); ++j) {
        if (std::strcmp(names_[j], k) == 0) idx = j;
      }
      if (idx == names_.size()) {
        raise(PyExc_TypeError,
              std::string(function) + "() got an unexpected keyword argument '" + k + "'");
      }
      if (values_[idx] != nullptr) {
        raise(PyExc_TypeError, std::string("argument for ") + function + "() given by name ('" +
                                   k + "') and position (" + std::to_string(idx + 1) + ")");
      }
      values_[idx] = value;
    }
  }
  for (std::size_t i = 0; i < names_.size(); ++i) {
    if (values_[i] == nullptr && i < n_required) {
      raise(PyExc_TypeError, std::string(function) + "() missing required argument '" +
                                 names_[i] + "' (pos " + std::to_string(i + 1) + ")");
    }
    if (values_[i] == Py_None) values_[i] = nullptr;
  }
}

namespace {

template <class T>
struct DTypeOf;
template <> struct DTypeOf<double> { static constexpr char kind = 'f'; static constexpr const char* name = "float64"; };
template <> struct DTypeOf<std::int8_t> { static constexpr char kind = 'i'; static constexpr const char* name = "int8"; };
template <> struct DTypeOf<std::uint8_t> { static constexpr char kind = 'u'; static constexpr const char* name = "uint8"; };
template <> struct DTypeOf<std::int32_t> { static constexpr char kind = 'i'; static constexpr const char* name = "int32"; };
template <> struct DTypeOf<std::uint32_t> { static constexpr char kind = 'u'; static constexpr const char* name = "uint32"; };
template <> struct DTypeOf<std::uint64_t> { static constexpr char kind = 'u'; static constexpr const char* name = "uint64"; };

template <class T>
int numpy_typenum() {
  if constexpr (std::is_same_v<T, double>) return NPY_FLOAT64;
  if constexpr (std::is_same_v<T, std::int8_t>) return NPY_INT8;
  if constexpr (std::is_same_v<T, std::uint8_t>) return NPY_UINT8;
  if constexpr (std::is_same_v<T, std::int32_t>) return NPY_INT32;
  if constexpr (std::is_same_v<T, std::uint32_t>) return NPY_UINT32;
  if constexpr (std::is_same_v<T, std::uint64_t>) return NPY_UINT64;
}

std::string describe(PyObject* obj) {
  if (!PyArray_Check(obj)) return std::string("'") + Py_TYPE(obj)->tp_name + "' object";
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  PyRef dtype_str = PyRef::steal(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(arr))));
  const char* dt = dtype_str ? PyUnicode_AsUTF8(dtype_str.get()) : nullptr;
  if (dt == nullptr) PyErr_Clear();
  return std::to_string(PyArray_NDIM(arr)) + "-D array of dtype " + (dt ? dt : "?");
}

// Checks kind, item size, byte order and rank; returns the array or raises TypeError.
template <class T>
PyArrayObject* checked_array(PyObject* obj, const char* name, int ndim) {
  bool ok = PyArray_Check(obj);
  PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(obj);
  if (ok) {
    PyArray_Descr* d = PyArray_DESCR(arr);
    ok = d->kind == DTypeOf<T>::kind && PyArray_ITEMSIZE(arr) == sizeof(T) &&
         PyArray_ISNOTSWAPPED(arr) && PyArray_NDIM(arr) == ndim;
  }
  if (!ok) {
    raise(PyExc_TypeError, std::string("argument '") + name + "': expected a " +
                               std::to_string(ndim) + "-D " + DTypeOf<T>::name +
                               " array, got " + describe(obj));
  }
  if (!PyArray_ISALIGNED(arr) || !(PyArray_IS_C_CONTIGUOUS(arr) || PyArray_IS_F_CONTIGUOUS(arr))) {
    raise(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
  }
  return arr;
}

}  // namespace

template <class T>
std::vector<T> to_vector(PyObject* obj, const char* name) {
  if (obj == nullptr) {
    raise(PyExc_TypeError, std::string("argument '") + name + "': expected a 1-D " +
                               DTypeOf<T>::name + " array, got None");
  }
  PyArrayObject* arr = checked_array<T>(obj, name, 1);
  const auto* data = static_cast<const T*>(PyArray_DATA(arr));
  return std::vector<T>(data, data + PyArray_DIM(arr, 0));
}

template <class T>
std::optional<std::vector<T>> to_optional_vector(PyObject* obj, const char* name) {
  if (obj == nullptr) return std::nullopt;
  return to_vector<T>(obj, name);
}

#define MORVEL_INSTANTIATE(T)                                                   \
  template std::vector<T> to_vector<T>(PyObject*, const char*);                 \
  template std::optional<std::vector<T>> to_optional_vector<T>(PyObject*, const char*); \
  template PyRef new_array<T>(std::size_t);                                     \
  template PyRef to_numpy<T>(const std::vector<T>&);                            \
  template PyRef span_to_numpy<T>(std::span<const T>);

MatrixArg to_matrix(PyObject* obj, const char* name) {
  if (obj == nullptr) {
    raise(PyExc_TypeError, std::string("argument '") + name + "': expected a 2-D float64 array, got None");
  }
  PyArrayObject* arr = checked_array<double>(obj, name, 2);
  MatrixArg m;
  if (PyArray_IS_C_CONTIGUOUS(arr)) {
    m.holder = PyRef::borrow(obj);
  } else {
    // Fortran order: read it correctly by taking a C-ordered copy.
    m.holder = checked(PyArray_NewCopy(arr, NPY_CORDER));
    arr = reinterpret_cast<PyArrayObject*>(m.holder.get());
  }
  m.data = static_cast<const double*>(PyArray_DATA(arr));
  m.rows = static_cast<std::size_t>(PyArray_DIM(arr, 0));
  m.cols = static_cast<std::size_t>(PyArray_DIM(arr, 1));
  return m;
}

namespace {
// A pending TypeError (an unsuitable type) is replaced by one naming the argument; any
// other exception raised during the conversion (KeyboardInterrupt or MemoryError out of a
// __float__ or __index__, OverflowError for a huge int) propagates unchanged.
[[noreturn]] void rename_type_error(const std::string& message) {
  if (PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyErr_Clear();
    raise(PyExc_TypeError, message);
  }
  throw PyErrAlreadySet{};
}
}  // namespace

double to_double(PyObject* obj, const char* name) {
  if (obj == nullptr) {
    raise(PyExc_TypeError, std::string("argument '") + name + "': must be a real number, not None");
  }
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) {
    rename_type_error(std::string("argument '") + name + "': must be a real number, not " +
                      Py_TYPE(obj)->tp_name);
  }
  return v;
}

std::optional<double> to_optional_double(PyObject* obj, const char* name) {
  if (obj == nullptr) return std::nullopt;
  return to_double(obj, name);
}

std::uint64_t to_count(PyObject* obj, const char* name) {
  const std::string expected = std::string("argument '") + name + "': expected a non-negative int";
  if (obj == nullptr) raise(PyExc_TypeError, expected + ", got None");
  // Anything with __index__ (NumPy integer scalars among them) counts as an int.
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) rename_type_error(expected + ", got " + Py_TYPE(obj)->tp_name);
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PyErrAlreadySet{};
    PyErr_Clear();
    raise(PyExc_OverflowError, std::string("argument '") + name +
                                   "': expected an int between 0 and 2**64 - 1");
  }
  return v;
}

std::optional<std::uint64_t> to_optional_count(PyObject* obj, const char* name) {
  if (obj == nullptr) return std::nullopt;
  return to_count(obj, name);
}

std::string to_str(PyObject* obj, const char* name) {
  if (obj == nullptr || !PyUnicode_Check(obj)) {
    raise(PyExc_TypeError, std::string("argument '") + name + "': expected str, got " +
                               (obj == nullptr ? "None" : Py_TYPE(obj)->tp_name));
  }
  Py_ssize_t size = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &size);
  if (s == nullptr) throw PyErrAlreadySet{};
  return std::string(s, static_cast<std::size_t>(size));
}

bool to_bool(PyObject* obj, const char* name, bool fallback) {
  if (obj == nullptr) return fallback;
  if (PyBool_Check(obj) || PyArray_IsScalar(obj, Bool)) return PyObject_IsTrue(obj) == 1;
  raise(PyExc_TypeError,
        std::string("argument '") + name + "': expected bool, got " + Py_TYPE(obj)->tp_name);
}

namespace {
[[noreturn]] void not_instance(PyObject* obj, const char* name, const char* cls) {
  raise(PyExc_TypeError, std::string("argument '") + name + "': '" +
                             (obj == nullptr ? "NoneType" : Py_TYPE(obj)->tp_name) +
                             "' object is not an instance of '" + cls + "'");
}
}  // namespace

const Ensemble& to_ensemble(PyObject* obj, const char* name) {
  if (obj == nullptr || !PyObject_TypeCheck(obj, g_ensemble_type)) {
    not_instance(obj, name, "RustEnsemble");
  }
  return *reinterpret_cast<EnsembleObject*>(obj)->ensemble;
}

const Ensemble* to_optional_ensemble(PyObject* obj, const char* name) {
  if (obj == nullptr) return nullptr;
  return &to_ensemble(obj, name);
}

std::optional<std::vector<WindowArg>> to_windows(PyObject* obj, const char* name) {
  if (obj == nullptr) return std::nullopt;
  const std::string shape = "(ensemble, lo, hi) or (ensemble, lo, hi, missing_defined)";
  if (!PyList_Check(obj) && !PyTuple_Check(obj)) {
    raise(PyExc_TypeError, std::string("argument '") + name + "': expected a list of " + shape +
                               " tuples, got " + Py_TYPE(obj)->tp_name);
  }
  // A private copy of the sequence: items stay alive whatever the caller's list does.
  PyRef items = checked(PySequence_Tuple(obj));
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  std::vector<WindowArg> out;
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), k);
    const std::string at = std::string(name) + "[" + std::to_string(k) + "]";
    const Py_ssize_t size = PyTuple_Check(item) ? PyTuple_GET_SIZE(item) : -1;
    if (size != 3 && size != 4) {
      raise(PyExc_TypeError, "argument '" + at + "': expected a tuple " + shape + ", got " +
                                 (size < 0 ? std::string(Py_TYPE(item)->tp_name)
                                           : "a tuple of " + std::to_string(size)));
    }
    PyObject* parts[4] = {};
    for (Py_ssize_t j = 0; j < size; ++j) {
      parts[j] = PyTuple_GET_ITEM(item, j);
      if (parts[j] == Py_None) parts[j] = nullptr;
    }
    WindowArg w;
    w.ensemble = &to_ensemble(parts[0], (at + "[0]").c_str());
    w.owner = PyRef::borrow(parts[0]);
    w.lo = to_double(parts[1], (at + "[1]").c_str());
    w.hi = to_double(parts[2], (at + "[2]").c_str());
    w.missing_defined = to_optional_vector<std::uint8_t>(parts[3], (at + "[3]").c_str());
    out.push_back(std::move(w));
  }
  return out;
}

const Constraints& to_constraints(PyObject* obj, const char* name) {
  if (obj == nullptr || !PyObject_TypeCheck(obj, g_constraints_type)) {
    not_instance(obj, name, "RustConstraints");
  }
  return *reinterpret_cast<ConstraintsObject*>(obj)->constraints;
}

const std::atomic<bool>* to_optional_stop(PyObject* obj, const char* name) {
  if (obj == nullptr) return nullptr;
  if (!PyObject_TypeCheck(obj, g_stop_token_type)) not_instance(obj, name, "StopToken");
  return &reinterpret_cast<StopTokenObject*>(obj)->requested;
}

template <class T>
PyRef new_array(std::size_t n) {
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  return checked(PyArray_SimpleNew(1, dims, numpy_typenum<T>()));
}

template <class T>
PyRef to_numpy(const std::vector<T>& values) {
  return span_to_numpy(std::span<const T>(values));
}

template <class T>
PyRef span_to_numpy(std::span<const T> values) {
  PyRef arr = new_array<T>(values.size());
  if (!values.empty()) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())), values.data(),
                values.size() * sizeof(T));
  }
  return arr;
}

PyRef to_numpy_bool(const std::vector<std::uint8_t>& values) {
  npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
  PyRef arr = checked(PyArray_SimpleNew(1, dims, NPY_BOOL));
  auto* out = static_cast<npy_bool*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())));
  for (std::size_t i = 0; i < values.size(); ++i) out[i] = values[i] != 0;
  return arr;
}

void require_width(std::size_t expected, std::size_t got) {
  if (expected != got) {
    raise(PyExc_ValueError,
          "expected " + std::to_string(expected) + " features, got " + std::to_string(got));
  }
}

MORVEL_INSTANTIATE(double)
MORVEL_INSTANTIATE(std::int8_t)
MORVEL_INSTANTIATE(std::uint8_t)
MORVEL_INSTANTIATE(std::int32_t)
MORVEL_INSTANTIATE(std::uint32_t)
MORVEL_INSTANTIATE(std::uint64_t)

}  // namespace morvel::py
