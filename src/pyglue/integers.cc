// Unsigned integer arguments. An int converts by value; any other object first goes through its
// __int__, whose result must be an int (a strict subclass passes with a DeprecationWarning).
#include <limits>

#include "pyglue.h"

namespace tavrill::glue {
namespace {

// A new reference to `object` as an int, or nullptr.
PyObject* as_int(PyObject* object) {
  if (PyLong_Check(object)) return Py_NewRef(object);
  PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
  if (number == nullptr || number->nb_int == nullptr) {
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return nullptr;
  }
  PyObject* result = number->nb_int(object);
  if (result == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
    return nullptr;
  }
  if (PyLong_CheckExact(result)) return result;
  if (!PyLong_Check(result)) {
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                 Py_TYPE(result)->tp_name);
    Py_DECREF(result);
    return nullptr;
  }
  if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                       "__int__ returned non-int (type %.200s).  The ability to return an "
                       "instance of a strict subclass of int is deprecated, and may be removed "
                       "in a future version of Python.",
                       Py_TYPE(result)->tp_name) < 0) {
    Py_DECREF(result);
    return nullptr;
  }
  return result;
}

// 1 when the int `value` is negative, 0 when not, -1 on error.
int is_negative(PyObject* value) {
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (small == -1 && overflow == 0 && PyErr_Occurred()) return -1;
  return overflow < 0 || (overflow == 0 && small < 0) ? 1 : 0;
}

// The int value of `object` as an unsigned 64-bit number; negative values raise with `type_name`.
bool to_unsigned(PyObject* object, const char* type_name, unsigned long long* out) {
  PyObject* value = as_int(object);
  if (value == nullptr) return false;
  const int negative = is_negative(value);
  if (negative != 0) {
    if (negative > 0) {
      PyErr_Format(PyExc_OverflowError, "can't convert negative value to %s", type_name);
    }
    Py_DECREF(value);
    return false;
  }
  *out = PyLong_AsUnsignedLongLong(value);
  Py_DECREF(value);
  return !(*out == static_cast<unsigned long long>(-1) && PyErr_Occurred());
}

}  // namespace

bool to_uint8(PyObject* object, uint8_t* out) {
  unsigned long long value;
  if (!to_unsigned(object, "uint8_t", &value)) return false;
  if (value > std::numeric_limits<uint8_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to uint8_t");
    return false;
  }
  *out = static_cast<uint8_t>(value);
  return true;
}

bool to_uint32(PyObject* object, uint32_t* out) {
  unsigned long long value;
  if (!to_unsigned(object, "uint32_t", &value)) return false;
  if (value > std::numeric_limits<uint32_t>::max()) {
    // The interpreter's wording for an unsigned 32-bit overflow.
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C uint32_t");
    return false;
  }
  *out = static_cast<uint32_t>(value);
  return true;
}

bool to_uint64(PyObject* object, const char* type_name, uint64_t* out) {
  static_assert(sizeof(unsigned long long) == sizeof(uint64_t));
  unsigned long long value;
  if (!to_unsigned(object, type_name, &value)) return false;
  *out = value;
  return true;
}

}  // namespace tavrill::glue
