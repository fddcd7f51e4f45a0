// The Store class: one store directory opened through the engine, its lifecycle and accessors.
// The dense and ragged methods live in files of their own and are listed in the table below.
#include <new>

#include "numpy_api.h"
#include "store_module.h"

namespace tavrill::store_module {

PyTypeObject* store_type = nullptr;

namespace {

// Closes the handle without sync and lets go of the executor hold it had; the caller keeps
// `store` (and so its executor) alive. Touches no Python object.
void release_handle(StoreObject* store) {
  store_close(store->handle);
  release_store_hold(as_executor(store->executor));
}

// Ends one use. The use that brings the word to 0 (closed, nobody else inside) releases.
void end_use(StoreObject* store) {
  // acq_rel: the releasing thread must see every other use's work on the handle finished.
  if (store->uses.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    glue::detached([store] { release_handle(store); });
  }
}

}  // namespace

bool HandleLease::take(StoreObject* store) {
  // Acquire pairs with the release that published the handle at open or create.
  uint64_t uses = store->uses.load(std::memory_order_acquire);
  do {
    if ((uses & StoreObject::kOpen) == 0) {
      PyErr_SetString(PyExc_ValueError, "store is closed");
      return false;
    }
  } while (!store->uses.compare_exchange_weak(uses, uses + 1, std::memory_order_acq_rel,
                                              std::memory_order_acquire));
  store_ = store;
  return true;
}

HandleLease::~HandleLease() {
  if (store_ != nullptr) end_use(store_);
}

namespace {

constexpr const char* kOpenNames[] = {"executor", "path"};
constexpr glue::Signature kOpen{"open", kOpenNames, 2, 2};
constexpr const char* kCreateNames[] = {"executor",    "path",      "codec",
                                        "data_shards", "dict_data", "schema"};
constexpr glue::Signature kCreate{"create", kCreateNames, 6, 6};
constexpr glue::Signature kLength{"length", nullptr, 0, 0};
constexpr glue::Signature kCodec{"codec", nullptr, 0, 0};
constexpr glue::Signature kDataShards{"data_shards", nullptr, 0, 0};
constexpr const char* kCloseNames[] = {"sync"};
constexpr glue::Signature kClose{"close", kCloseNames, 1, 1};
constexpr glue::Signature kReduce{"__reduce__", nullptr, 0, 0};
constexpr const char* kSetStateNames[] = {"state"};
constexpr glue::Signature kSetState{"__setstate__", kSetStateNames, 1, 1};

// A new object of `type` in the empty state: no handle, executor None, codec raw, no shards.
PyObject* new_store(PyTypeObject* type) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  StoreObject* store = as_store(self);
  store->handle = nullptr;
  new (&store->uses) std::atomic<uint64_t>(0);
  store->executor = Py_NewRef(Py_None);
  return self;
}

PyObject* store_new(PyTypeObject* type, PyObject*, PyObject*) { return new_store(type); }

// Arguments the engine reads as bytes must lie back to back from their data pointer: a view
// with other strides would have the engine read outside the array.
bool contiguous_bytes(PyObject* array, const char* name, const uint8_t** data, uint64_t* size) {
  PyArrayObject* view = reinterpret_cast<PyArrayObject*>(array);
  if (!PyArray_IS_C_CONTIGUOUS(view) || PyArray_NBYTES(view) < PyArray_SIZE(view)) {
    PyErr_Format(PyExc_ValueError, "%s must be a C-contiguous array", name);
    return false;
  }
  *data = static_cast<const uint8_t*>(PyArray_DATA(view));
  *size = static_cast<uint64_t>(PyArray_SIZE(view));
  return true;
}

// Makes `store` hold `executor` (kept until destruction) and takes a hold on its engine
// executor for the handle about to be made.
ExecutorHandle* attach_executor(StoreObject* store, PyObject* executor) {
  Py_SETREF(store->executor, Py_NewRef(executor));
  return acquire_store_hold(as_executor(executor));
}

// Publishes a new handle in `store`. Release: a thread that finds the store open finds the
// object filled in.
void publish_handle(StoreObject* store, StoreHandle* handle, uint8_t codec, uint8_t data_shards) {
  store->handle = handle;
  store->codec = codec;
  store->data_shards = data_shards;
  store->uses.store(StoreObject::kOpen, std::memory_order_release);
}

// ---- open ----

struct OpenArguments {
  PyObject* executor;
  PyObject* path;
};

bool parse_open(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, OpenArguments* out) {
  PyObject* values[2];
  if (!glue::bind(kOpen, args, nargs, kwnames, values)) return false;
  *out = {values[0], values[1]};
  return glue::check_argument_type(out->executor, executor_type, "executor") &&
         glue::check_argument_type(out->path, &PyBytes_Type, "path", true, true);
}

PyObject* open_impl(PyTypeObject* cls, const OpenArguments& arguments) {
  glue::Ref self(new_store(cls));
  if (!self) return nullptr;
  glue::Ref capacity(module_global("MAX_SCHEMA_LEN"));
  glue::Ref schema(capacity ? numpy_empty(capacity.get(), "uint8") : nullptr);
  if (!schema) return nullptr;
  const Py_ssize_t path_len = PyObject_Length(arguments.path);
  if (path_len < 0) return nullptr;
  PyArrayObject* schema_array = reinterpret_cast<PyArrayObject*>(schema.get());
  if (!PyArray_IS_C_CONTIGUOUS(schema_array) || !PyArray_ISWRITEABLE(schema_array)) {
    PyErr_SetString(PyExc_ValueError, "schema buffer must be a writable C-contiguous array");
    return nullptr;
  }
  StoreObject* store = as_store(self.get());
  ExecutorHandle* executor = attach_executor(store, arguments.executor);
  if (executor == nullptr) return nullptr;

  const uint8_t* path = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(arguments.path));
  uint8_t* schema_data = static_cast<uint8_t*>(PyArray_DATA(schema_array));
  const uint64_t schema_capacity = static_cast<uint64_t>(PyArray_NBYTES(schema_array));
  uint64_t schema_len = 0;
  int32_t code = ERR_IO;
  StoreHandle* handle = glue::detached([&] {
    return store_open(executor, path, static_cast<uint64_t>(path_len), schema_data, schema_capacity,
                      &schema_len, &code);
  });
  if (handle == nullptr) {
    ExecutorObject* owner = as_executor(arguments.executor);
    glue::detached([owner] { release_store_hold(owner); });
    if (code == ERR_NOT_FOUND) {
      PyErr_SetString(PyExc_FileNotFoundError, "native store not found");
    } else {
      raise_quarvel_error(code);
    }
    return nullptr;
  }
  publish_handle(store, handle, store_codec(handle), store_data_shards(handle));
  glue::Ref schema_bytes(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(schema_data),
                                                   static_cast<Py_ssize_t>(schema_len)));
  if (!schema_bytes) return nullptr;
  return PyTuple_Pack(2, self.get(), schema_bytes.get());
}

PyObject* store_open_method(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  OpenArguments arguments;
  PyObject* result = parse_open(args, nargs, kwnames, &arguments)
                         ? open_impl(reinterpret_cast<PyTypeObject*>(cls), arguments)
                         : nullptr;
  return glue::traced(result, "Store.open");
}

// ---- create ----

struct CreateArguments {
  PyObject* executor;
  PyObject* path;
  uint8_t codec;
  uint8_t data_shards;
  PyObject* dict_data;
  PyObject* schema;
};

bool parse_create(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  CreateArguments* out) {
  PyObject* values[6];
  if (!glue::bind(kCreate, args, nargs, kwnames, values)) return false;
  out->executor = values[0];
  out->path = values[1];
  out->dict_data = values[4];
  out->schema = values[5];
  return glue::to_uint8(values[2], &out->codec) && glue::to_uint8(values[3], &out->data_shards) &&
         glue::check_argument_type(out->executor, executor_type, "executor") &&
         glue::check_argument_type(out->path, &PyBytes_Type, "path", true, true) &&
         glue::check_argument_type(out->dict_data, ndarray_type, "dict_data") &&
         glue::check_argument_type(out->schema, ndarray_type, "schema");
}

PyObject* create_impl(PyTypeObject* cls, const CreateArguments& arguments) {
  glue::Ref self(new_store(cls));
  if (!self) return nullptr;
  const Py_ssize_t path_len = PyObject_Length(arguments.path);
  if (path_len < 0) return nullptr;
  const uint8_t* dict_data;
  uint64_t dict_len;
  const uint8_t* schema;
  uint64_t schema_len;
  if (!contiguous_bytes(arguments.dict_data, "dict_data", &dict_data, &dict_len) ||
      !contiguous_bytes(arguments.schema, "schema", &schema, &schema_len)) {
    return nullptr;
  }
  StoreObject* store = as_store(self.get());
  ExecutorHandle* executor = attach_executor(store, arguments.executor);
  if (executor == nullptr) return nullptr;

  const uint8_t* path = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(arguments.path));
  int32_t code = ERR_IO;
  StoreHandle* handle = glue::detached([&] {
    return store_create(executor, path, static_cast<uint64_t>(path_len), arguments.codec,
                        arguments.data_shards, dict_data, dict_len, schema, schema_len, &code);
  });
  if (handle == nullptr) {
    ExecutorObject* owner = as_executor(arguments.executor);
    glue::detached([owner] { release_store_hold(owner); });
    raise_quarvel_error(code);
    return nullptr;
  }
  publish_handle(store, handle, arguments.codec, arguments.data_shards);
  return self.release();
}

PyObject* store_create_method(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  CreateArguments arguments;
  PyObject* result = parse_create(args, nargs, kwnames, &arguments)
                         ? create_impl(reinterpret_cast<PyTypeObject*>(cls), arguments)
                         : nullptr;
  return glue::traced(result, "Store.create");
}

// ---- accessors ----

PyObject* length_impl(StoreObject* self) {
  HandleLease lease;
  if (!lease.take(self)) return nullptr;
  return PyLong_FromUnsignedLongLong(store_length(lease.handle()));
}

PyObject* store_length_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  PyObject* result =
      glue::bind(kLength, args, nargs, kwnames, nullptr) ? length_impl(as_store(self)) : nullptr;
  return glue::traced(result, "Store.length");
}

PyObject* codec_impl(StoreObject* self) {
  glue::Ref tags(module_global("_TAGS"));
  glue::Ref number(tags ? PyLong_FromLong(self->codec) : nullptr);
  return number ? PyObject_GetItem(tags.get(), number.get()) : nullptr;
}

PyObject* store_codec_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  PyObject* result =
      glue::bind(kCodec, args, nargs, kwnames, nullptr) ? codec_impl(as_store(self)) : nullptr;
  return glue::traced(result, "Store.codec");
}

PyObject* store_data_shards_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  PyObject* result = glue::bind(kDataShards, args, nargs, kwnames, nullptr)
                         ? PyLong_FromLong(as_store(self)->data_shards)
                         : nullptr;
  return glue::traced(result, "Store.data_shards");
}

// ---- close ----

PyObject* close_impl(StoreObject* self, bool sync) {
  // One step clears the open bit and takes a use of our own, so concurrent close() calls close
  // once and the handle stays valid through our sync even if every other use ends meanwhile.
  uint64_t uses = self->uses.load(std::memory_order_acquire);
  do {
    if ((uses & StoreObject::kOpen) == 0) Py_RETURN_NONE;
  } while (!self->uses.compare_exchange_weak(uses, (uses + 1) & ~StoreObject::kOpen,
                                             std::memory_order_acq_rel, std::memory_order_acquire));
  StoreHandle* handle = self->handle;
  int32_t code = 0;
  if (sync) code = glue::detached([handle] { return store_sync(handle); });
  // The store is closed whatever the sync returned: now, or when the last call still using the
  // handle on another thread ends.
  end_use(self);
  if (code < 0) {
    raise_quarvel_error(code);
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* store_close_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  PyObject* values[1];
  int sync = -1;
  if (glue::bind(kClose, args, nargs, kwnames, values)) sync = PyObject_IsTrue(values[0]);
  PyObject* result = sync >= 0 ? close_impl(as_store(self), sync != 0) : nullptr;
  return glue::traced(result, "Store.close");
}

// ---- pickling ----

PyObject* refuse_pickling() {
  PyErr_SetString(PyExc_TypeError,
                  "self.handle cannot be converted to a Python object for pickling");
  return nullptr;
}

PyObject* store_reduce(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (glue::bind(kReduce, args, nargs, kwnames, nullptr)) refuse_pickling();
  return glue::traced(nullptr, "Store.__reduce__");
}

PyObject* store_setstate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* values[1];
  if (glue::bind(kSetState, args, nargs, kwnames, values)) refuse_pickling();
  return glue::traced(nullptr, "Store.__setstate__");
}

// ---- garbage collection and destruction ----

int store_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_store(self)->executor);
  return 0;
}

// The handle is freed through its executor's allocator, so an open store keeps its executor
// whatever the collector clears; the cycle breaks at the other objects in it.
int store_clear(PyObject* self) {
  StoreObject* store = as_store(self);
  if (store->uses.load(std::memory_order_acquire) == 0) Py_CLEAR(store->executor);
  return 0;
}

// A subclass's finaliser has run before we get here. The handle is closed (without sync) before
// the executor reference goes, because the handle lives in that executor's memory; the pending
// exception is set aside so that neither step sees it.
void store_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  StoreObject* store = as_store(self);
  PyObject_GC_UnTrack(self);
  PyObject* pending = PyErr_GetRaisedException();
  // No call can be using the handle any more (each holds a reference to the object), so an
  // open handle is released here, with the thread attached.
  if (store->uses.load(std::memory_order_acquire) & StoreObject::kOpen) {
    store->uses.store(0, std::memory_order_relaxed);
    release_handle(store);
  }
  PyErr_SetRaisedException(pending);
  Py_CLEAR(store->executor);
  type->tp_free(self);
  // Instances of heap types hold a reference to their type.
  Py_DECREF(type);
}

// Pickling is refused from the moment the type exists; the other methods arrive with the
// module's statements.
PyMethodDef store_pickling[] = {
    {"__reduce__", fastcall(store_reduce), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate__", fastcall(store_setstate), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef store_methods[] = {
    {"open", fastcall(store_open_method), METH_FASTCALL | METH_KEYWORDS | METH_CLASS, nullptr},
    {"create", fastcall(store_create_method), METH_FASTCALL | METH_KEYWORDS | METH_CLASS, nullptr},
    {"length", fastcall(store_length_method), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"codec", fastcall(store_codec_method), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"data_shards", fastcall(store_data_shards_method), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"close", fastcall(store_close_method), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"dense_gather", fastcall(store_dense_gather), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"dense_append", fastcall(store_dense_append), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"ragged_append", fastcall(store_ragged_append), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"ragged_gather", fastcall(store_ragged_gather), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot store_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(store_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(store_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(store_clear)},
    {0, nullptr},
};

PyType_Spec store_spec = {
    "tavrill._store.Store",
    sizeof(StoreObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    store_slots,
};

}  // namespace

bool add_store_type(PyObject* module) {
  PyObject* type = PyType_FromSpec(&store_spec);
  if (type == nullptr) return false;
  Py_XSETREF(store_type, reinterpret_cast<PyTypeObject*>(Py_NewRef(type)));
  return glue::add_methods(type, store_pickling, frame.full_name()) &&
         PyModule_Add(module, "Store", type) == 0;
}

bool add_store_methods() {
  return glue::add_methods(reinterpret_cast<PyObject*>(store_type), store_methods,
                           frame.full_name());
}

}  // namespace tavrill::store_module
