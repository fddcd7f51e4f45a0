// Store.dense_gather and Store.dense_append: fixed-size records between caller memory and a
// store, each one engine call with the thread detached.
#include "numpy_api.h"
#include "store_module.h"

namespace tavrill::store_module {

// The engine reads n native uint64 indices straight from the data pointer.
bool check_indices(PyObject* idxs) {
  PyArrayObject* array = reinterpret_cast<PyArrayObject*>(idxs);
  if (glue::is_native_uint64_array(array, false)) return true;
  PyErr_SetString(PyExc_ValueError, "idxs must be a C-contiguous uint64 array");
  return false;
}

namespace {

constexpr const char* kGatherNames[] = {"idxs", "dst", "record_bytes"};
constexpr glue::Signature kGather{"dense_gather", kGatherNames, 3, 3};
constexpr const char* kAppendNames[] = {"cpu_pointer", "record_bytes", "record_count"};
constexpr glue::Signature kAppend{"dense_append", kAppendNames, 3, 3};

PyArrayObject* as_array(PyObject* object) { return reinterpret_cast<PyArrayObject*>(object); }

// The engine writes up to n × record_bytes bytes from the data pointer without knowing the
// array's size. A product that overflows is left to the engine, which refuses it before writing.
bool check_destination(PyArrayObject* dst, uint64_t n, uint64_t record_bytes) {
  if (!PyArray_IS_C_CONTIGUOUS(dst) || !PyArray_ISWRITEABLE(dst)) {
    PyErr_SetString(PyExc_ValueError, "dst must be a writable C-contiguous array");
    return false;
  }
  uint64_t needed;
  if (__builtin_mul_overflow(n, record_bytes, &needed)) return true;
  if (static_cast<uint64_t>(PyArray_NBYTES(dst)) >= needed) return true;
  PyErr_Format(PyExc_ValueError, "dst holds %zd bytes, fewer than %llu records of %llu bytes",
               PyArray_NBYTES(dst), static_cast<unsigned long long>(n),
               static_cast<unsigned long long>(record_bytes));
  return false;
}

// ---- dense_gather ----

struct GatherArguments {
  PyObject* idxs;
  PyObject* dst;
  uint64_t record_bytes;
};

bool parse_gather(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  GatherArguments* out) {
  PyObject* values[3];
  if (!glue::bind(kGather, args, nargs, kwnames, values)) return false;
  out->idxs = values[0];
  out->dst = values[1];
  return glue::to_uint64(values[2], "size_t", &out->record_bytes) &&
         glue::check_argument_type(out->idxs, ndarray_type, "idxs") &&
         glue::check_argument_type(out->dst, ndarray_type, "dst");
}

PyObject* gather_impl(StoreObject* self, const GatherArguments& arguments) {
  PyArrayObject* idxs = as_array(arguments.idxs);
  PyArrayObject* dst = as_array(arguments.dst);
  const uint64_t n = static_cast<uint64_t>(PyArray_SIZE(idxs));
  if (n == 0) Py_RETURN_NONE;
  HandleLease lease;
  if (!lease.take(self) || !check_indices(arguments.idxs) ||
      !check_destination(dst, n, arguments.record_bytes)) {
    return nullptr;
  }
  StoreHandle* handle = lease.handle();
  // The caller's references keep both arrays alive for the whole call.
  const uint64_t* indices = static_cast<const uint64_t*>(PyArray_DATA(idxs));
  uint8_t* destination = static_cast<uint8_t*>(PyArray_DATA(dst));
  const uint64_t record_bytes = arguments.record_bytes;
  const int32_t code = glue::detached(
      [&] { return store_dense_gather(handle, indices, n, destination, record_bytes); });
  if (check(code) < 0) return nullptr;
  Py_RETURN_NONE;
}

// ---- dense_append ----

struct AppendArguments {
  uint64_t cpu_pointer;
  uint64_t record_bytes;
  uint64_t record_count;
};

bool parse_append(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  AppendArguments* out) {
  PyObject* values[3];
  return glue::bind(kAppend, args, nargs, kwnames, values) &&
         glue::to_uint64(values[0], "size_t", &out->cpu_pointer) &&
         glue::to_uint64(values[1], "size_t", &out->record_bytes) &&
         glue::to_uint64(values[2], "size_t", &out->record_count);
}

PyObject* append_impl(StoreObject* self, const AppendArguments& arguments) {
  if (arguments.cpu_pointer == 0) {
    PyErr_SetString(PyExc_ValueError, "append CPU pointer must be nonzero");
    return nullptr;
  }
  if (arguments.record_count == 0) {
    PyErr_SetString(PyExc_ValueError, "append needs at least one record");
    return nullptr;
  }
  HandleLease lease;
  if (!lease.take(self)) return nullptr;
  StoreHandle* handle = lease.handle();
  const uint8_t* records =
      reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(arguments.cpu_pointer));
  const int64_t result = glue::detached([&] {
    return store_dense_append(handle, records, arguments.record_bytes, arguments.record_count);
  });
  if (check(result) < 0) return nullptr;
  return PyLong_FromLongLong(result);
}

}  // namespace

PyObject* store_dense_gather(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  GatherArguments arguments;
  PyObject* result = parse_gather(args, nargs, kwnames, &arguments)
                         ? gather_impl(as_store(self), arguments)
                         : nullptr;
  return glue::traced(result, "Store.dense_gather");
}

PyObject* store_dense_append(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  AppendArguments arguments;
  PyObject* result = parse_append(args, nargs, kwnames, &arguments)
                         ? append_impl(as_store(self), arguments)
                         : nullptr;
  return glue::traced(result, "Store.dense_append");
}

}  // namespace tavrill::store_module
