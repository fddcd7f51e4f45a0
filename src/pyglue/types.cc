// Type tests with the modules' messages.
#include "pyglue.h"

namespace tavrill::glue {

bool check_argument_type(PyObject* object, PyTypeObject* expected, const char* argument,
                         bool none_allowed, bool exact) {
  if (none_allowed && object == Py_None) return true;
  if (exact ? Py_IS_TYPE(object, expected) : PyObject_TypeCheck(object, expected)) return true;
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argument,
               expected->tp_name, Py_TYPE(object)->tp_name);
  return false;
}

bool check_result_type(PyObject* object, PyTypeObject* expected) {
  if (PyObject_TypeCheck(object, expected)) return true;
  PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(object)->tp_name,
               expected->tp_name);
  return false;
}

}  // namespace tavrill::glue
