// The module function build_dict of tavrill._store, bound last at import.
#ifndef TAVRILL_STORE_BUILD_DICT_H_
#define TAVRILL_STORE_BUILD_DICT_H_

#include <Python.h>

namespace tavrill::store_module {

// build_dict(samples, sizes, target) -> bytes, as a METH_FASTCALL | METH_KEYWORDS function.
PyObject* build_dict(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tavrill::store_module

#endif  // TAVRILL_STORE_BUILD_DICT_H_
