// Argument binding: positional first, then keywords, with one set of messages for every function
// of the modules. The check order is part of the interface: too many positional arguments, then
// the first required parameter that no keyword fills, then the keywords in the order given.
#include "pyglue.h"

namespace tavrill::glue {
namespace {

// The keyword side of one call, either a FASTCALL names tuple with its values or a dict.
class Keywords final {
 public:
  Keywords(PyObject* names, PyObject* const* values) : names_(names), values_(values) {}
  explicit Keywords(PyObject* dict) : dict_(dict) {}

  Py_ssize_t size() const {
    if (dict_ != nullptr) return PyDict_GET_SIZE(dict_);
    return names_ == nullptr ? 0 : PyTuple_GET_SIZE(names_);
  }

  // Visits (key, value) in call order until `visit` returns false; false when it did.
  template <typename Visit>
  bool for_each(Visit&& visit) const {
    if (dict_ != nullptr) {
      // The dict of a tp_new call is private to this call, so iterating it needs no lock.
      Py_ssize_t position = 0;
      PyObject* key;
      PyObject* value;
      while (PyDict_Next(dict_, &position, &key, &value)) {
        if (!visit(key, value)) return false;
      }
      return true;
    }
    for (Py_ssize_t i = 0; i < size(); ++i) {
      if (!visit(PyTuple_GET_ITEM(names_, i), values_[i])) return false;
    }
    return true;
  }

  // The value given for `name`, or nullptr. Keys that are not strings never match.
  PyObject* find(const char* name) const {
    PyObject* found = nullptr;
    for_each([&](PyObject* key, PyObject* value) {
      if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0) {
        found = value;
        return false;
      }
      return true;
    });
    return found;
  }

 private:
  PyObject* names_ = nullptr;
  PyObject* const* values_ = nullptr;
  PyObject* dict_ = nullptr;
};

bool raise_count(const Signature& signature, Py_ssize_t given) {
  const bool exact = signature.required == signature.count;
  const char* word;
  Py_ssize_t expected;
  if (given < signature.required) {
    word = "at least";
    expected = signature.required;
  } else {
    word = "at most";
    expected = signature.count;
  }
  if (exact) word = "exactly";
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               signature.function, word, expected, expected == 1 ? "" : "s", given);
  return false;
}

// Index of the parameter called `key`, or -1.
Py_ssize_t parameter_index(const Signature& signature, PyObject* key) {
  for (Py_ssize_t i = 0; i < signature.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, signature.names[i]) == 0) return i;
  }
  return -1;
}

// Every keyword must name a parameter that no positional argument filled.
bool check_keywords(const Signature& signature, const Keywords& keywords,
                    Py_ssize_t positional_end) {
  return keywords.for_each([&](PyObject* key, PyObject*) {
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", signature.function);
      return false;
    }
    const Py_ssize_t index = parameter_index(signature, key);
    if (index >= positional_end) return true;
    if (index >= 0) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                   signature.function, key);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                   signature.function, key);
    }
    return false;
  });
}

bool bind_with(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
               const Keywords& keywords, PyObject** values) {
  const Py_ssize_t positional_end = signature.prebound + nargs;
  if (positional_end > signature.count) return raise_count(signature, positional_end);
  for (Py_ssize_t i = 0; i < nargs; ++i) values[signature.prebound + i] = args[i];
  for (Py_ssize_t i = positional_end; i < signature.count; ++i) values[i] = nullptr;

  const Py_ssize_t keyword_count = keywords.size();
  if (keyword_count == 0) {
    return positional_end >= signature.required || raise_count(signature, positional_end);
  }
  Py_ssize_t matched = 0;
  for (Py_ssize_t i = positional_end; i < signature.count; ++i) {
    values[i] = keywords.find(signature.names[i]);
    if (values[i] != nullptr) {
      ++matched;
    } else if (i < signature.required) {
      return raise_count(signature, i);
    }
  }
  return matched == keyword_count || check_keywords(signature, keywords, positional_end);
}

}  // namespace

bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** values) {
  return bind_with(signature, args, PyVectorcall_NARGS(nargs),
                   Keywords(kwnames, args + PyVectorcall_NARGS(nargs)), values);
}

bool bind(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** values) {
  PyObject* const* items = &PyTuple_GET_ITEM(args, 0);
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (kwargs == nullptr)
    return bind_with(signature, items, nargs, Keywords(nullptr, nullptr), values);
  return bind_with(signature, items, nargs, Keywords(kwargs), values);
}

}  // namespace tavrill::glue
