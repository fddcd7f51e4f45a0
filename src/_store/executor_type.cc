// The Executor class: one engine executor (worker threads, codec-context pool, allocator) that
// any number of stores share.
#include <new>

#include "store_module.h"

namespace tavrill::store_module {

PyTypeObject* executor_type = nullptr;

ExecutorHandle* acquire_store_hold(ExecutorObject* executor) {
  ExecutorHandle* handle = executor->owners.acquire_store_hold();
  if (handle == nullptr) PyErr_SetString(PyExc_ValueError, "executor is closed");
  return handle;
}

void release_store_hold(ExecutorObject* executor) {
  if (ExecutorHandle* handle = executor->owners.release_store_hold()) executor_close(handle);
}

namespace {

constexpr const char* kCinitNames[] = {"lanes"};
constexpr glue::Signature kCinit{"__cinit__", kCinitNames, 1, 1};
constexpr glue::Signature kClose{"close", nullptr, 0, 0};
constexpr glue::Signature kReduce{"__reduce__", nullptr, 0, 0};
constexpr const char* kSetStateNames[] = {"state"};
constexpr glue::Signature kSetState{"__setstate__", kSetStateNames, 1, 1};

PyObject* executor_new_impl(PyTypeObject* type, uint32_t lanes) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&as_executor(self)->owners) ExecutorOwners();
  // Creation starts no worker thread, so it runs attached.
  int32_t code = ERR_IO;
  ExecutorHandle* handle = executor_create(lanes, &code);
  if (handle == nullptr) {
    Py_DECREF(self);
    raise_quarvel_error(code);
    return nullptr;
  }
  as_executor(self)->owners.adopt(handle);
  return self;
}

PyObject* executor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* values[1];
  uint32_t lanes = 0;
  PyObject* result = glue::bind(kCinit, args, kwargs, values) && glue::to_uint32(values[0], &lanes)
                         ? executor_new_impl(type, lanes)
                         : nullptr;
  return glue::traced(result, "Executor.__cinit__");
}

PyObject* executor_close_impl(ExecutorObject* self) {
  // Stores still open keep the engine executor; the last of them shuts it down.
  if (ExecutorHandle* handle = self->owners.close()) {
    glue::detached([handle] { executor_close(handle); });
  }
  Py_RETURN_NONE;
}

PyObject* executor_close_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  PyObject* result = glue::bind(kClose, args, nargs, kwnames, nullptr)
                         ? executor_close_impl(as_executor(self))
                         : nullptr;
  return glue::traced(result, "Executor.close");
}

PyObject* refuse_pickling() {
  PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
  return nullptr;
}

PyObject* executor_reduce(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (glue::bind(kReduce, args, nargs, kwnames, nullptr)) refuse_pickling();
  return glue::traced(nullptr, "Executor.__reduce__");
}

PyObject* executor_setstate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* values[1];
  if (glue::bind(kSetState, args, nargs, kwnames, values)) refuse_pickling();
  return glue::traced(nullptr, "Executor.__setstate__");
}

// Shuts the engine executor down with the thread attached: its workers never call into the
// interpreter, so joining them cannot wait on it. No store can hold the executor here, since
// every store keeps a reference to this object until its handle is closed. The pending
// exception is set aside because the shutdown may not run with one set.
void executor_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject* pending = PyErr_GetRaisedException();
  if (ExecutorHandle* handle = as_executor(self)->owners.close()) executor_close(handle);
  PyErr_SetRaisedException(pending);
  as_executor(self)->owners.~ExecutorOwners();
  type->tp_free(self);
  // Instances of heap types hold a reference to their type.
  Py_DECREF(type);
}

// Pickling is refused from the moment the type exists; the other methods arrive with the
// module's statements.
PyMethodDef executor_pickling[] = {
    {"__reduce__", fastcall(executor_reduce), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate__", fastcall(executor_setstate), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef executor_methods[] = {
    {"close", fastcall(executor_close_method), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot executor_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(executor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(executor_dealloc)},
    {0, nullptr},
};

PyType_Spec executor_spec = {
    "tavrill._store.Executor",
    sizeof(ExecutorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    executor_slots,
};

}  // namespace

bool add_executor_type(PyObject* module) {
  PyObject* type = PyType_FromSpec(&executor_spec);
  if (type == nullptr) return false;
  Py_XSETREF(executor_type, reinterpret_cast<PyTypeObject*>(Py_NewRef(type)));
  return glue::add_methods(type, executor_pickling, frame.full_name()) &&
         PyModule_Add(module, "Executor", type) == 0;
}

bool add_executor_methods() {
  return glue::add_methods(reinterpret_cast<PyObject*>(executor_type), executor_methods,
                           frame.full_name());
}

}  // namespace tavrill::store_module
