// NumPy's C interface for tavrill's modules. Include this (never numpy/arrayobject.h directly) so
// that every file of a module shares the one table that glue::import_numpy_api() fills in.
#ifndef TAVRILL_PYGLUE_NUMPY_API_H_
#define TAVRILL_PYGLUE_NUMPY_API_H_

#include <Python.h>

// The oldest NumPy we accept (1.25): the headers then refuse anything newer than that level.
#ifndef NPY_TARGET_VERSION
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#endif
#ifndef NPY_NO_DEPRECATED_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#endif
#define PY_ARRAY_UNIQUE_SYMBOL tavrill_glue_numpy_api
#ifndef TAVRILL_PYGLUE_DEFINES_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include <cstdint>

namespace tavrill::glue {

// Whether native code may treat `array` as PyArray_SIZE consecutive uint64_t values from its data
// pointer: C-contiguous, aligned, in native byte order, of an eight-byte unsigned dtype (NumPy
// keeps unsigned long and unsigned long long apart as types, though they are the same here), and
// writable when `writable`.
inline bool is_native_uint64_array(PyArrayObject* array, bool writable) {
  return PyArray_IS_C_CONTIGUOUS(array) && PyArray_ISALIGNED(array) &&
         PyArray_ISNOTSWAPPED(array) && PyArray_ISUNSIGNED(array) &&
         PyArray_ITEMSIZE(array) == sizeof(uint64_t) && (!writable || PyArray_ISWRITEABLE(array));
}

}  // namespace tavrill::glue

#endif  // TAVRILL_PYGLUE_NUMPY_API_H_
