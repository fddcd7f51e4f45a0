// build_dict: trains a compression dictionary for the zstd_dict codec from sample records, one
// engine call with the thread detached. It needs neither an Executor nor a store.
#include "build_dict.h"

#include "numpy_api.h"
#include "store_module.h"

namespace tavrill::store_module {
namespace {

constexpr const char* kBuildDictNames[] = {"samples", "sizes", "target"};
constexpr glue::Signature kBuildDict{"build_dict", kBuildDictNames, 3, 3};

PyArrayObject* as_array(PyObject* object) { return reinterpret_cast<PyArrayObject*>(object); }

// The engine reads itemsize × size bytes straight from the data pointer.
bool check_samples(PyArrayObject* samples) {
  if (PyArray_IS_C_CONTIGUOUS(samples)) return true;
  PyErr_SetString(PyExc_ValueError, "samples must be a C-contiguous array");
  return false;
}

// The engine reads size native uint64 lengths through a uint64 pointer.
bool check_sizes(PyArrayObject* sizes) {
  if (glue::is_native_uint64_array(sizes, false)) return true;
  PyErr_SetString(PyExc_ValueError,
                  "sizes must be an aligned, C-contiguous, native-endian uint64 array");
  return false;
}

// The engine writes up to `target` bytes into the buffer, which comes from whatever the module's
// `np` is bound to at the call.
bool check_output(PyArrayObject* out, uint64_t target) {
  if (PyArray_IS_C_CONTIGUOUS(out) && PyArray_ISWRITEABLE(out) &&
      static_cast<uint64_t>(PyArray_NBYTES(out)) >= target) {
    return true;
  }
  PyErr_SetString(PyExc_ValueError,
                  "dictionary buffer must be a writable C-contiguous array of target bytes");
  return false;
}

struct BuildDictArguments {
  PyObject* samples;
  PyObject* sizes;
  uint64_t target;
};

bool parse_build_dict(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      BuildDictArguments* out) {
  PyObject* values[3];
  if (!glue::bind(kBuildDict, args, nargs, kwnames, values)) return false;
  out->samples = values[0];
  out->sizes = values[1];
  return glue::to_uint64(values[2], "size_t", &out->target) &&
         glue::check_argument_type(out->samples, ndarray_type, "samples") &&
         glue::check_argument_type(out->sizes, ndarray_type, "sizes");
}

PyObject* build_dict_impl(const BuildDictArguments& arguments) {
  PyArrayObject* samples = as_array(arguments.samples);
  PyArrayObject* sizes = as_array(arguments.sizes);
  if (!check_samples(samples) || !check_sizes(sizes)) return nullptr;
  const uint64_t target = arguments.target;
  glue::Ref count(PyLong_FromUnsignedLongLong(target));
  glue::Ref out(count ? numpy_empty(count.get(), "uint8") : nullptr);
  if (!out || !check_output(as_array(out.get()), target)) return nullptr;

  // The caller's references keep both inputs alive, and `out` ours, for the whole call.
  const uint8_t* sample_bytes = static_cast<const uint8_t*>(PyArray_DATA(samples));
  const uint64_t sample_byte_count = static_cast<uint64_t>(PyArray_NBYTES(samples));
  const uint64_t* sample_sizes = static_cast<const uint64_t*>(PyArray_DATA(sizes));
  const uint64_t sample_count = static_cast<uint64_t>(PyArray_SIZE(sizes));
  uint8_t* dictionary = static_cast<uint8_t*>(PyArray_DATA(as_array(out.get())));
  int32_t code = -1;
  const int64_t size = glue::detached([&] {
    return train_dictionary(sample_bytes, sample_byte_count, sample_sizes, sample_count, dictionary,
                            target, &code);
  });
  if (size < 0) {
    raise_quarvel_error(code);
    return nullptr;
  }
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(dictionary), size);
}

}  // namespace

PyObject* build_dict(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  BuildDictArguments arguments;
  PyObject* result =
      parse_build_dict(args, nargs, kwnames, &arguments) ? build_dict_impl(arguments) : nullptr;
  return glue::traced(result, "build_dict");
}

}  // namespace tavrill::store_module
