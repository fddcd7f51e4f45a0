// NumPy's C interface, taken from the capsule NumPy publishes, and NumPy's type objects. This file
// defines the interface table that every file including numpy_api.h shares.
#define TAVRILL_PYGLUE_DEFINES_NUMPY_API
#include "numpy_api.h"
#include "pyglue.h"

namespace tavrill::glue {
namespace {

constexpr unsigned int kNewestAbi = 0x2000000;      // NumPy 2
constexpr unsigned int kOldestFeatureLevel = 0x11;  // NumPy 1.25

// The capsule's table, or nullptr with some exception set.
void** load_api_table() {
  PyObject* core = PyImport_ImportModule("numpy._core._multiarray_umath");
  if (core == nullptr && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
    PyErr_Clear();
    core = PyImport_ImportModule("numpy.core._multiarray_umath");
  }
  if (core == nullptr) return nullptr;
  PyObject* capsule = PyObject_GetAttrString(core, "_ARRAY_API");
  Py_DECREF(core);
  if (capsule == nullptr) return nullptr;
  void* table = PyCapsule_CheckExact(capsule) ? PyCapsule_GetPointer(capsule, nullptr) : nullptr;
  Py_DECREF(capsule);
  return static_cast<void**>(table);
}

// Whether the NumPy behind PyArray_API is one we can use; records its feature level, which
// decides how dtype fields are read.
bool accept_running_numpy() {
  if (PyArray_GetNDArrayCVersion() > kNewestAbi) return false;
  const unsigned int feature_level = PyArray_GetNDArrayCFeatureVersion();
  if (feature_level < kOldestFeatureLevel) return false;
  PyArray_RUNTIME_VERSION = static_cast<int>(feature_level);
  return PyArray_GetEndianness() == NPY_CPU_LITTLE;
}

}  // namespace

bool import_numpy_api() {
  void** table = load_api_table();
  if (table != nullptr) {
    PyArray_API = table;
    if (accept_running_numpy()) return true;
  }
  // Every way of failing reads the same to the user; the step's own error is replaced.
  PyErr_SetString(PyExc_ImportError,
                  "numpy.core.multiarray failed to import (auto-generated because you didn't "
                  "call 'numpy.import_array()' after cimporting numpy; use "
                  "'<void>numpy._import_array' to disable if you are certain you don't need it).");
  return false;
}

PyTypeObject* import_numpy_type(const char* name, size_t declared_size) {
  PyObject* numpy = PyImport_ImportModule("numpy");
  if (numpy == nullptr) return nullptr;
  PyObject* type = PyObject_GetAttrString(numpy, name);
  Py_DECREF(numpy);
  if (type == nullptr) return nullptr;
  if (!PyType_Check(type)) {
    PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", "numpy", name);
    Py_DECREF(type);
    return nullptr;
  }
  const Py_ssize_t actual = reinterpret_cast<PyTypeObject*>(type)->tp_basicsize;
  if (actual < static_cast<Py_ssize_t>(declared_size)) {
    PyErr_Format(PyExc_ValueError,
                 "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd "
                 "from C header, got %zd from PyObject",
                 "numpy", name, static_cast<Py_ssize_t>(declared_size), actual);
    Py_DECREF(type);
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace tavrill::glue
