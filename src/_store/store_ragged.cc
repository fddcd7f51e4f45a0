// Store.ragged_append and Store.ragged_gather: records of varying size, each stored as a shape
// header of uint64 dimensions followed by its values. The append checks the caller's whole batch
// description before the engine sees any of it; the gather drives the engine's four plan calls
// and lays the batch out in one buffer from the caller's allocator: headers, values at the next
// multiple of 16, then an optional tail (int32 cu_seqlens) at the next multiple of 16.
#include <cstdlib>
#include <cstring>
#include <utility>

#include "numpy_api.h"
#include "store_module.h"

namespace tavrill::store_module {
namespace {

constexpr const char* kAppendNames[] = {
    "values_pointer", "value_count",  "itemsize", "cu_seqlens_pointer", "cu_seqlens_count",
    "shapes_pointer", "record_count", "ndim",     "max_record_len"};
constexpr glue::Signature kAppend{"ragged_append", kAppendNames, 9, 9};
constexpr const char* kGatherNames[] = {"idxs", "allocator", "header_len", "tail_bytes",
                                        "itemsize"};
constexpr glue::Signature kGather{"ragged_gather", kGatherNames, 5, 2};

constexpr uint64_t kDimensionBytes = sizeof(uint64_t);
constexpr uint64_t kCuSeqlensEntryBytes = sizeof(int32_t);
// Past this count the RaggedSlice array's byte size no longer fits 64 bits.
constexpr uint64_t kMaxRaggedRecords = uint64_t{1} << 59;
// cu_seqlens are int32: a running element count must stay below this.
constexpr uint64_t kCuSeqlensLimit = uint64_t{1} << 31;
constexpr uint64_t kAlignment = 16;

PyArrayObject* as_array(PyObject* object) { return reinterpret_cast<PyArrayObject*>(object); }

const uint8_t* caller_bytes(uint64_t address) {
  return reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(address));
}

// Caller memory promises no alignment, so its entries are copied out rather than dereferenced.
int32_t load_int32(const uint8_t* base, uint64_t index) {
  int32_t value;
  std::memcpy(&value, base + index * sizeof(value), sizeof(value));
  return value;
}

uint64_t load_uint64(const uint8_t* base, uint64_t index) {
  uint64_t value;
  std::memcpy(&value, base + index * sizeof(value), sizeof(value));
  return value;
}

// Both raise and return false, for checks that end their caller's path.
bool raise_value_error(const char* message) {
  PyErr_SetString(PyExc_ValueError, message);
  return false;
}

// Whether `ndim` uint64 dimensions at `dims` multiply to exactly `elements`, with no dimension 0.
// The product is tested before each multiplication so that it never overflows.
bool shape_matches(const uint8_t* dims, uint64_t ndim, uint64_t elements) {
  uint64_t product = 1;
  for (uint64_t axis = 0; axis < ndim; ++axis) {
    const uint64_t dimension = load_uint64(dims, axis);
    if (dimension == 0 || product > elements / dimension) return false;
    product *= dimension;
  }
  return product == elements;
}

// A block of the C heap that one call owns; freed when the call leaves its scope, however.
class HeapBlock final {
 public:
  HeapBlock() = default;
  ~HeapBlock() { std::free(data_); }
  HeapBlock(const HeapBlock&) = delete;
  HeapBlock& operator=(const HeapBlock&) = delete;

  // False with MemoryError set when `bytes` cannot be had.
  bool allocate(uint64_t bytes) {
    data_ = bytes <= SIZE_MAX ? std::malloc(static_cast<size_t>(bytes)) : nullptr;
    if (data_ == nullptr) PyErr_NoMemory();
    return data_ != nullptr;
  }
  template <typename T>
  T* as() const {
    return static_cast<T*>(data_);
  }

 private:
  void* data_ = nullptr;
};

// ---- ragged_append ----

struct AppendArguments {
  uint64_t values_pointer;
  uint64_t value_count;
  uint64_t itemsize;
  uint64_t cu_seqlens_pointer;
  uint64_t cu_seqlens_count;
  uint64_t shapes_pointer;
  uint64_t record_count;
  uint64_t ndim;
  uint64_t max_record_len;
};

bool parse_append(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  AppendArguments* out) {
  PyObject* values[9];
  if (!glue::bind(kAppend, args, nargs, kwnames, values)) return false;
  uint64_t* fields[] = {
      &out->values_pointer,   &out->value_count,    &out->itemsize,     &out->cu_seqlens_pointer,
      &out->cu_seqlens_count, &out->shapes_pointer, &out->record_count, &out->ndim,
      &out->max_record_len};
  for (int i = 0; i < 9; ++i) {
    if (!glue::to_uint64(values[i], "size_t", fields[i])) return false;
  }
  return true;
}

// What the batch-wide checks derive, for the per-record pass.
struct AppendGeometry {
  uint64_t values_bytes;  // value_count × itemsize
  uint64_t header_bytes;  // 8 × ndim
  uint64_t last_end;      // cu_seqlens[record_count], which equals value_count
};

// The checks that look at the batch as a whole, before anything is allocated.
bool check_batch(const AppendArguments& a, AppendGeometry* out) {
  if (a.values_pointer == 0 || a.cu_seqlens_pointer == 0 || a.shapes_pointer == 0) {
    return raise_value_error("ragged append CPU pointers must be nonzero");
  }
  if (a.record_count == 0) return raise_value_error("append needs at least one record");
  if (a.itemsize == 0 || a.ndim == 0) {
    return raise_value_error("ragged append geometry must be nonzero");
  }
  uint64_t entries;
  if (__builtin_add_overflow(a.record_count, 1, &entries) || a.cu_seqlens_count != entries) {
    return raise_value_error("ragged cu_seqlens length must equal records + 1");
  }
  const uint8_t* cu_seqlens = caller_bytes(a.cu_seqlens_pointer);
  const int32_t first = load_int32(cu_seqlens, 0);
  const int32_t last = load_int32(cu_seqlens, a.record_count);
  if (first != 0 || last < 0 || static_cast<uint64_t>(last) != a.value_count) {
    return raise_value_error("ragged cu_seqlens must span all values");
  }
  out->last_end = static_cast<uint64_t>(last);
  uint64_t headers_total;
  if (__builtin_mul_overflow(a.value_count, a.itemsize, &out->values_bytes) ||
      a.record_count >= kMaxRaggedRecords ||
      __builtin_mul_overflow(kDimensionBytes, a.ndim, &out->header_bytes) ||
      a.max_record_len < out->header_bytes ||
      __builtin_mul_overflow(out->header_bytes, a.record_count, &headers_total)) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

// One pass over the records: checks each against cu_seqlens and its shape, copies its shape into
// its header and points its slice into the caller's values. Every caller entry is read once and
// the checks run on the copy the engine will store, so the slices stay inside the values block
// the batch-wide checks vouched for.
bool fill_records(const AppendArguments& a, const AppendGeometry& geometry, RaggedSlice* records,
                  uint8_t* headers) {
  const uint8_t* cu_seqlens = caller_bytes(a.cu_seqlens_pointer);
  const uint8_t* shapes = caller_bytes(a.shapes_pointer);
  const uint64_t header_bytes = geometry.header_bytes;
  const uint64_t payload = a.max_record_len - header_bytes;
  int64_t start = 0;
  for (uint64_t i = 0; i < a.record_count; ++i) {
    const int64_t end = i + 1 == a.record_count ? static_cast<int64_t>(geometry.last_end)
                                                : load_int32(cu_seqlens, i + 1);
    if (end <= start) return raise_value_error("ragged cu_seqlens must be strictly increasing");
    const uint64_t elements = static_cast<uint64_t>(end - start);
    uint8_t* header = headers + i * header_bytes;
    std::memcpy(header, shapes + i * header_bytes, header_bytes);
    if (!shape_matches(header, a.ndim, elements)) {
      return raise_value_error("ragged cu_seqlens do not match record shapes");
    }
    if (elements > payload / a.itemsize) {
      PyErr_Format(PyExc_ValueError, "encoded record exceeds the %llu byte record limit",
                   static_cast<unsigned long long>(a.max_record_len));
      return false;
    }
    records[i] = RaggedSlice{
        static_cast<uint64_t>(reinterpret_cast<uintptr_t>(header)), header_bytes,
        a.values_pointer + static_cast<uint64_t>(start) * a.itemsize, elements * a.itemsize};
    start = end;
  }
  return true;
}

PyObject* append_impl(StoreObject* self, const AppendArguments& arguments) {
  AppendGeometry geometry;
  if (!check_batch(arguments, &geometry)) return nullptr;
  HandleLease lease;
  if (!lease.take(self)) return nullptr;
  int64_t result;
  {
    HeapBlock records;
    HeapBlock headers;
    if (!records.allocate(arguments.record_count * sizeof(RaggedSlice)) ||
        !headers.allocate(geometry.header_bytes * arguments.record_count) ||
        !fill_records(arguments, geometry, records.as<RaggedSlice>(), headers.as<uint8_t>())) {
      return nullptr;
    }
    const uint64_t values_bytes = geometry.values_bytes;
    const uint64_t header_bytes = geometry.header_bytes;
    if (arguments.record_count > (UINT64_MAX - values_bytes) / header_bytes) {
      raise_quarvel_error(ERR_STORE_FULL);
      return nullptr;
    }
    const uint64_t decoded_total = values_bytes + header_bytes * arguments.record_count;
    StoreHandle* handle = lease.handle();
    const RaggedSlice* slices = records.as<RaggedSlice>();
    result = glue::detached(
        [&] { return store_ragged_append(handle, slices, arguments.record_count, decoded_total); });
  }
  if (check(result) < 0) return nullptr;
  return PyLong_FromLongLong(result);
}

// ---- ragged_gather ----

struct GatherArguments {
  PyObject* idxs;
  PyObject* allocator;
  uint64_t header_len;
  uint64_t tail_bytes;
  uint64_t itemsize;
};

// An optional unsigned argument: 0 when it was not given.
bool optional_uint64(PyObject* value, uint64_t* out) {
  *out = 0;
  return value == nullptr || glue::to_uint64(value, "size_t", out);
}

bool parse_gather(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  GatherArguments* out) {
  PyObject* values[5];
  if (!glue::bind(kGather, args, nargs, kwnames, values)) return false;
  out->idxs = values[0];
  out->allocator = values[1];
  return optional_uint64(values[2], &out->header_len) &&
         optional_uint64(values[3], &out->tail_bytes) &&
         optional_uint64(values[4], &out->itemsize) &&
         glue::check_argument_type(out->idxs, ndarray_type, "idxs");
}

// Where the regions of one batch's buffer start and end.
struct Layout {
  uint64_t values_offset;
  uint64_t values_end;
  uint64_t tail_offset;
  uint64_t dst_total;
};

// `value` rounded up to a multiple of 16, false when that passes 2^64 − 1.
bool align_up(uint64_t value, uint64_t* out) {
  if (__builtin_add_overflow(value, kAlignment - 1, out)) return false;
  *out &= ~(kAlignment - 1);
  return true;
}

bool raise_overflow(const char* message) {
  PyErr_SetString(PyExc_OverflowError, message);
  return false;
}

bool lay_out(uint64_t n, uint64_t header_len, uint64_t data_total, uint64_t tail_bytes,
             Layout* out) {
  uint64_t headers_bytes;
  if (__builtin_mul_overflow(n, header_len, &headers_bytes)) {
    return raise_overflow("ragged headers exceed the addressable buffer");
  }
  if (!align_up(headers_bytes, &out->values_offset)) {
    return raise_overflow("aligned ragged values offset overflowed");
  }
  if (__builtin_add_overflow(out->values_offset, data_total, &out->values_end)) {
    return raise_overflow("ragged values exceed the addressable buffer");
  }
  uint64_t aligned_end;
  if (!align_up(out->values_end, &aligned_end)) {
    return raise_overflow("aligned ragged tail offset overflowed");
  }
  out->tail_offset = tail_bytes != 0 ? aligned_end : out->values_end;
  if (__builtin_add_overflow(out->tail_offset, tail_bytes, &out->dst_total)) {
    return raise_overflow("ragged destination exceeds the addressable buffer");
  }
  return true;
}

// The allocation the caller's allocator made for one batch, and the uint8 view over it that the
// engine and _write_cu_seqlens write through.
// Empty when acquiring it failed (an exception is set).
struct Destination {
  glue::Ref allocation;
  glue::Ref dst;

  explicit operator bool() const { return static_cast<bool>(dst); }
  uint8_t* data() const { return static_cast<uint8_t*>(PyArray_DATA(as_array(dst.get()))); }
};

// The view must really hold what will be written: the engine and _write_cu_seqlens write up to
// `asked` bytes from its data pointer without knowing its size, and the values and the tail
// are meant to be viewed in place as aligned arrays.
bool check_view(PyObject* size_object, PyObject* view, uint64_t asked) {
  uint64_t size;
  if (!glue::to_uint64(size_object, "size_t", &size)) return false;
  if (size < asked) {
    PyErr_Format(PyExc_ValueError, "allocation.size is %llu bytes, fewer than the %llu asked",
                 static_cast<unsigned long long>(size), static_cast<unsigned long long>(asked));
    return false;
  }
  PyArrayObject* array = as_array(view);
  if (!PyArray_IS_C_CONTIGUOUS(array) || !PyArray_ISWRITEABLE(array) ||
      PyArray_TYPE(array) != NPY_UINT8 || static_cast<uint64_t>(PyArray_NBYTES(array)) != size) {
    return raise_value_error(
        "allocation view must be a writable C-contiguous uint8 array of allocation.size bytes");
  }
  if (reinterpret_cast<uintptr_t>(PyArray_DATA(array)) % kAlignment != 0) {
    return raise_value_error("allocation view must start at a multiple of 16 bytes");
  }
  return true;
}

// allocator.acquire(size, 16), then allocation.view(np.uint8, (allocation.size,)).
Destination acquire_destination(PyObject* allocator, uint64_t size) {
  glue::Ref allocation(PyObject_CallMethod(allocator, "acquire", "Ki",
                                           static_cast<unsigned long long>(size),
                                           static_cast<int>(kAlignment)));
  if (!allocation) return {};
  glue::Ref allocation_size(PyObject_GetAttrString(allocation.get(), "size"));
  glue::Ref numpy(allocation_size ? module_global("np") : nullptr);
  glue::Ref uint8(numpy ? PyObject_GetAttrString(numpy.get(), "uint8") : nullptr);
  if (!uint8) return {};
  glue::Ref dst(
      PyObject_CallMethod(allocation.get(), "view", "O(O)", uint8.get(), allocation_size.get()));
  if (!dst || !glue::check_result_type(dst.get(), ndarray_type) ||
      !check_view(allocation_size.get(), dst.get(), size)) {
    return {};
  }
  return Destination{std::move(allocation), std::move(dst)};
}

// The engine reads and writes `ends` as n native uint64 entries. np.empty makes exactly that
// unless the module's `np` was rebound to something else.
bool check_ends(PyArrayObject* ends, uint64_t n) {
  if (glue::is_native_uint64_array(ends, true) && static_cast<uint64_t>(PyArray_SIZE(ends)) == n) {
    return true;
  }
  return raise_value_error("ends must be a writable C-contiguous uint64 array of n entries");
}

// _write_cu_seqlens: cu_seqlens (n + 1 int32) at `tail_offset` of `dst`, checking every record's
// stored shape against its value length on the way. The caller has made sure that `dst` holds
// the n headers and 4 × (n + 1) bytes at `tail_offset`.
bool write_cu_seqlens_impl(uint8_t* dst, uint64_t tail_offset, const uint64_t* ends, uint64_t n,
                           uint64_t header_len, uint64_t itemsize) {
  if (header_len % kDimensionBytes != 0) {
    return raise_value_error("ragged shape header is not a sequence of uint64 dimensions");
  }
  uint8_t* cu_seqlens = dst + tail_offset;
  const int32_t zero = 0;
  std::memcpy(cu_seqlens, &zero, sizeof(zero));
  uint64_t begin = 0;
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t value_bytes = ends[i] - begin;
    begin = ends[i];
    if (value_bytes % itemsize != 0) {
      return raise_value_error("ragged value bytes are not divisible by dtype itemsize");
    }
    const uint64_t running = ends[i] / itemsize;
    if (running >= kCuSeqlensLimit) {
      return raise_overflow("ragged batch exceeds int32 cu_seqlens capacity");
    }
    if (header_len != 0 && !shape_matches(dst + i * header_len, header_len / kDimensionBytes,
                                          value_bytes / itemsize)) {
      return raise_value_error("stored ragged shape does not match its value length");
    }
    const int32_t entry = static_cast<int32_t>(running);
    std::memcpy(cu_seqlens + (i + 1) * kCuSeqlensEntryBytes, &entry, sizeof(entry));
  }
  return true;
}

bool write_cu_seqlens(uint8_t* dst, uint64_t tail_offset, const uint64_t* ends, uint64_t n,
                      uint64_t header_len, uint64_t itemsize) {
  if (write_cu_seqlens_impl(dst, tail_offset, ends, n, header_len, itemsize)) return true;
  glue::add_traceback("_write_cu_seqlens");
  return false;
}

// Whether a tail of `tail_bytes` holds cu_seqlens for n records.
bool tail_holds_cu_seqlens(uint64_t tail_bytes, uint64_t n) {
  uint64_t needed;
  if (__builtin_add_overflow(n, 1, &needed) ||
      __builtin_mul_overflow(needed, kCuSeqlensEntryBytes, &needed) || tail_bytes < needed) {
    return raise_value_error("ragged tail is too small for cu_seqlens");
  }
  return true;
}

PyObject* build_result(const Destination& destination, uint64_t data_total, uint64_t values_offset,
                       uint64_t tail_offset) {
  return Py_BuildValue("(OOKKK)", destination.allocation.get(), destination.dst.get(),
                       static_cast<unsigned long long>(data_total),
                       static_cast<unsigned long long>(values_offset),
                       static_cast<unsigned long long>(tail_offset));
}

// Zero indices: no engine call, only the tail (and cu_seqlens = [0] when asked).
PyObject* gather_nothing(const GatherArguments& arguments) {
  const Destination destination = acquire_destination(arguments.allocator, arguments.tail_bytes);
  if (!destination) return nullptr;
  if (arguments.itemsize != 0 && (!tail_holds_cu_seqlens(arguments.tail_bytes, 0) ||
                                  !write_cu_seqlens(destination.data(), 0, nullptr, 0,
                                                    arguments.header_len, arguments.itemsize))) {
    return nullptr;
  }
  return build_result(destination, 0, 0, 0);
}

// One plan from create to free. The free runs with the thread detached when the scope ends,
// whichever way it ends; an exception being raised stays set on the thread state meanwhile.
// Declared after the store's lease, so the store is still open when the plan goes.
class PlanOwner final {
 public:
  explicit PlanOwner(RaggedPlan* plan) : plan_(plan) {}
  ~PlanOwner() {
    RaggedPlan* plan = plan_;
    glue::detached([plan] { ragged_plan_free(plan); });
  }
  PlanOwner(const PlanOwner&) = delete;
  PlanOwner& operator=(const PlanOwner&) = delete;

  RaggedPlan* get() const { return plan_; }

 private:
  RaggedPlan* const plan_;
};

// Steps after the plan exists: lay out, acquire, gather, cu_seqlens.
PyObject* gather_planned(RaggedPlan* plan, const GatherArguments& arguments, uint64_t n,
                         uint64_t* ends) {
  const uint64_t data_total = ragged_plan_values_bytes(plan);
  Layout layout;
  if (!lay_out(n, arguments.header_len, data_total, arguments.tail_bytes, &layout)) return nullptr;
  const Destination destination = acquire_destination(arguments.allocator, layout.dst_total);
  if (!destination) return nullptr;
  uint8_t* dst = destination.data();
  const int32_t code = glue::detached(
      [&] { return ragged_plan_gather(plan, dst, layout.values_end, layout.values_offset, ends); });
  if (check(code) < 0) return nullptr;
  if (arguments.itemsize != 0 && (!tail_holds_cu_seqlens(arguments.tail_bytes, n) ||
                                  !write_cu_seqlens(dst, layout.tail_offset, ends, n,
                                                    arguments.header_len, arguments.itemsize))) {
    return nullptr;
  }
  return build_result(destination, data_total, layout.values_offset, layout.tail_offset);
}

PyObject* gather_impl(StoreObject* self, const GatherArguments& arguments) {
  PyArrayObject* idxs = as_array(arguments.idxs);
  const uint64_t n = static_cast<uint64_t>(PyArray_SIZE(idxs));
  glue::Ref count(PyLong_FromUnsignedLongLong(n));
  glue::Ref ends_array(count ? numpy_empty(count.get(), "uint64") : nullptr);
  if (!ends_array) return nullptr;
  if (n == 0) return gather_nothing(arguments);
  HandleLease lease;
  if (!lease.take(self) || !check_indices(arguments.idxs) ||
      !check_ends(as_array(ends_array.get()), n)) {
    return nullptr;
  }
  StoreHandle* handle = lease.handle();
  const uint64_t* indices = static_cast<const uint64_t*>(PyArray_DATA(idxs));
  uint64_t* ends = static_cast<uint64_t*>(PyArray_DATA(as_array(ends_array.get())));
  const uint64_t header_len = arguments.header_len;
  int32_t code = ERR_IO;
  RaggedPlan* created = glue::detached(
      [&] { return ragged_plan_create(handle, indices, n, header_len, ends, &code); });
  if (created == nullptr) {
    raise_quarvel_error(code);
    return nullptr;
  }
  PlanOwner plan(created);
  return gather_planned(plan.get(), arguments, n, ends);
}

}  // namespace

PyObject* store_ragged_append(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  AppendArguments arguments;
  PyObject* result = parse_append(args, nargs, kwnames, &arguments)
                         ? append_impl(as_store(self), arguments)
                         : nullptr;
  return glue::traced(result, "Store.ragged_append");
}

PyObject* store_ragged_gather(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  GatherArguments arguments;
  PyObject* result = parse_gather(args, nargs, kwnames, &arguments)
                         ? gather_impl(as_store(self), arguments)
                         : nullptr;
  return glue::traced(result, "Store.ragged_gather");
}

}  // namespace tavrill::store_module
