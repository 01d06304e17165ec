// StopToken: a stop that one thread sets and every search handed the token sees. A Ctrl-C
// reaches only the main thread; a caller that runs searches on other threads sets the
// token when it catches the KeyboardInterrupt, so that those searches end as well.
#include <new>

#include "objects.hpp"

namespace morvel::py {

PyTypeObject* g_stop_token_type = nullptr;

namespace {

StopTokenObject* self_token(PyObject* self) { return reinterpret_cast<StopTokenObject*>(self); }

PyObject* token_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if ((args != nullptr && PyTuple_GET_SIZE(args) != 0) ||
      (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "StopToken() takes no arguments");
    return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self != nullptr) new (&self_token(self)->requested) std::atomic<bool>(false);
  return self;
}

void token_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* token_set(PyObject* self, PyObject*) {
  self_token(self)->requested.store(true);
  Py_RETURN_NONE;
}

PyObject* token_is_set(PyObject* self, PyObject*) {
  return PyBool_FromLong(self_token(self)->requested.load() ? 1 : 0);
}

PyMethodDef token_methods[] = {
    {"set", token_set, METH_NOARGS,
     "set($self)\n--\n\nAsk every search holding this token to stop; it cannot be cleared."},
    {"is_set", token_is_set, METH_NOARGS, "is_set($self)\n--\n\nWhether set() was called."},
    {nullptr, nullptr, 0, nullptr}};

const char token_doc[] =
    "StopToken()\n--\n\n"
    "A stop shared between threads. Pass it as `stop=` to solve_exact_raw, solve_genetic_raw,\n"
    "solve_genetic_batch_raw or compute_region_raw: once set() is called (from any thread),\n"
    "each of those calls holding it ends within about a second and raises KeyboardInterrupt,\n"
    "as a Ctrl-C does on the main thread.";

PyType_Slot token_slots[] = {{Py_tp_new, reinterpret_cast<void*>(token_new)},
                             {Py_tp_dealloc, reinterpret_cast<void*>(token_dealloc)},
                             {Py_tp_methods, token_methods},
                             {Py_tp_doc, const_cast<char*>(token_doc)},
                             {0, nullptr}};

}  // namespace

PyTypeObject* create_stop_token_type() {
  static PyType_Spec spec = {"_morvel_core.StopToken", sizeof(StopTokenObject), 0,
                             Py_TPFLAGS_DEFAULT
#ifdef Py_TPFLAGS_IMMUTABLETYPE
                                 | Py_TPFLAGS_IMMUTABLETYPE
#endif
                             ,
                             token_slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace morvel::py
