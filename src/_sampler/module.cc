// The tavrill._sampler module: its import steps and the bindings of the three index fillers.
// Each binding reads as bind, convert, type test, own checks, then the filler with the thread
// detached.
#include "fillers.h"
#include "numpy_api.h"
#include "pyglue.h"

namespace tavrill::sampler_module {
namespace {

glue::ModuleFrame frame("_sampler", "tavrill._sampler");

constexpr const char* kParameterNames[] = {"length", "batch_size", "seed", "step", "indices"};
constexpr glue::Signature kFillSequential{"fill_sequential", kParameterNames, 5, 5};
constexpr glue::Signature kFillIid{"fill_iid", kParameterNames, 5, 5};
constexpr glue::Signature kFillCyclic{"fill_cyclic", kParameterNames, 5, 5};

struct FillArguments {
  uint64_t length;
  uint64_t batch_size;
  uint64_t seed;
  uint64_t step;
  PyArrayObject* indices;  // borrowed from the call's arguments
};

bool parse(const glue::Signature& signature, PyObject* const* args, Py_ssize_t nargs,
           PyObject* kwnames, FillArguments* out) {
  PyObject* values[5];
  if (!glue::bind(signature, args, nargs, kwnames, values) ||
      !glue::to_uint64(values[0], "uint64_t", &out->length) ||
      !glue::to_uint64(values[1], "uint64_t", &out->batch_size) ||
      !glue::to_uint64(values[2], "uint64_t", &out->seed) ||
      !glue::to_uint64(values[3], "uint64_t", &out->step) ||
      !glue::check_argument_type(values[4], &PyArray_Type, "indices")) {
    return false;
  }
  out->indices = reinterpret_cast<PyArrayObject*>(values[4]);
  return true;
}

PyObject* raise_division_by_zero() {
  PyErr_SetString(PyExc_ZeroDivisionError, "integer division or modulo by zero");
  return nullptr;
}

// The fillers write up to batch_size native uint64 values from the data pointer and know nothing
// of the array, so anything that would make those writes land outside it, in memory it only
// views read-only, or as some other type is refused before the first write.
uint64_t* writable_indices(PyArrayObject* indices, uint64_t batch_size) {
  if (!glue::is_native_uint64_array(indices, true)) {
    PyErr_SetString(PyExc_ValueError,
                    "indices must be a writable, aligned, C-contiguous uint64 array");
    return nullptr;
  }
  const npy_intp size = PyArray_SIZE(indices);
  if (static_cast<uint64_t>(size) < batch_size) {
    PyErr_Format(PyExc_ValueError, "indices holds %zd elements, fewer than batch_size (%llu)",
                 static_cast<Py_ssize_t>(size), static_cast<unsigned long long>(batch_size));
    return nullptr;
  }
  return static_cast<uint64_t*>(PyArray_DATA(indices));
}

PyObject* fill_sequential_impl(const FillArguments& arguments) {
  if (arguments.length == 0) return raise_division_by_zero();
  uint64_t* indices = writable_indices(arguments.indices, arguments.batch_size);
  if (indices == nullptr) return nullptr;
  glue::detached([&] {
    sampler::fill_sequential(arguments.length, arguments.batch_size, arguments.step, indices);
  });
  Py_RETURN_NONE;
}

PyObject* fill_iid_impl(const FillArguments& arguments) {
  if (arguments.length == 0) return raise_division_by_zero();
  uint64_t* indices = writable_indices(arguments.indices, arguments.batch_size);
  if (indices == nullptr) return nullptr;
  glue::detached([&] {
    sampler::fill_iid(arguments.length, arguments.batch_size, arguments.seed, arguments.step,
                      indices);
  });
  Py_RETURN_NONE;
}

PyObject* fill_cyclic_impl(const FillArguments& arguments) {
  if (arguments.batch_size == 0) return raise_division_by_zero();
  uint64_t* indices = writable_indices(arguments.indices, arguments.batch_size);
  if (indices == nullptr) return nullptr;
  glue::detached([&] {
    sampler::fill_cyclic(arguments.length, arguments.batch_size, arguments.seed, arguments.step,
                         indices);
  });
  Py_RETURN_NONE;
}

// A module function: parse against `signature`, then `impl`; failures carry a traceback entry
// under the function's name, like every function of the package's native modules.
template <PyObject* (*Impl)(const FillArguments&)>
PyObject* entry(const glue::Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) {
  FillArguments arguments;
  PyObject* result = parse(signature, args, nargs, kwnames, &arguments) ? Impl(arguments) : nullptr;
  return glue::traced(result, signature.function);
}

PyObject* fill_sequential(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry<fill_sequential_impl>(kFillSequential, args, nargs, kwnames);
}

PyObject* fill_iid(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry<fill_iid_impl>(kFillIid, args, nargs, kwnames);
}

PyObject* fill_cyclic(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry<fill_cyclic_impl>(kFillCyclic, args, nargs, kwnames);
}

// A METH_FASTCALL | METH_KEYWORDS function as a method table entry wants it.
template <typename Function>
PyCFunction fastcall(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef module_functions[] = {
    {"fill_sequential", fastcall(fill_sequential), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"fill_iid", fastcall(fill_iid), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"fill_cyclic", fastcall(fill_cyclic), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

bool fill_module(PyObject* module) {
  return glue::import_numpy_api() && PyModule_AddFunctions(module, module_functions) == 0;
}

}  // namespace
}  // namespace tavrill::sampler_module

PyMODINIT_FUNC PyInit__sampler() {
  return tavrill::glue::ModuleDefinition<tavrill::sampler_module::frame,
                                         tavrill::sampler_module::fill_module>::init();
}
