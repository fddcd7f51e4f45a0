// Internal to the tavrill._store module: its objects, the types' registration and the helpers
// that every method shares.
#ifndef TAVRILL_STORE_STORE_MODULE_H_
#define TAVRILL_STORE_STORE_MODULE_H_

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "engine.h"
#include "executor_owners.h"
#include "pyglue.h"

namespace tavrill::store_module {

// The frame of this module (one per process).
extern glue::ModuleFrame frame;

// numpy.ndarray, taken at import.
extern PyTypeObject* ndarray_type;

// A METH_FASTCALL | METH_KEYWORDS function as a method table entry wants it.
template <typename Function>
PyCFunction fastcall(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// ---- Executor ----

// A Python Executor. `owners` decides when the engine executor it made is shut down.
struct ExecutorObject {
  PyObject_HEAD ExecutorOwners owners;
};

extern PyTypeObject* executor_type;
inline ExecutorObject* as_executor(PyObject* object) {
  return reinterpret_cast<ExecutorObject*>(object);
}
// Readies the Executor type and binds it in `module`.
bool add_executor_type(PyObject* module);
// Gives Executor its methods (one of the module's statements).
bool add_executor_methods();

// A hold on the engine executor for a new store, or nullptr with ValueError("executor is
// closed") set once the Executor's close() has run.
ExecutorHandle* acquire_store_hold(ExecutorObject* executor);
// Ends one store's hold; shuts the engine executor down when that was the last hold after
// Executor.close(). Touches no Python object, so it may run detached (the caller keeps
// `executor` alive).
void release_store_hold(ExecutorObject* executor);

// ---- Store ----

// A Python Store. `executor` is the Executor it was made with (None in an object made by
// Store()); it is held as long as the handle is open. `handle`, `codec` and `data_shards` are set
// before the object is handed out. `uses` says whether the handle is open (kOpen) and how many
// method calls are using it right now; the handle is released by whoever ends the last use after
// the open bit was cleared, so a close() racing a gather on another thread never frees the
// handle under it.
struct StoreObject {
  static constexpr uint64_t kOpen = uint64_t{1} << 63;

  PyObject_HEAD StoreHandle* handle;
  std::atomic<uint64_t> uses;
  PyObject* executor;
  uint8_t codec;
  uint8_t data_shards;
};

extern PyTypeObject* store_type;
inline StoreObject* as_store(PyObject* object) { return reinterpret_cast<StoreObject*>(object); }
// Readies the Store type and binds it in `module`.
bool add_store_type(PyObject* module);
// Gives Store its methods, open and create as class methods (one of the module's statements).
bool add_store_methods();

// One method call's use of a store's open handle, from take() to the end of its scope. The
// handle stays open while any lease is held; a close() meanwhile defers the release to the last
// lease. One thread per lease.
class HandleLease final {
 public:
  HandleLease() = default;
  ~HandleLease();
  HandleLease(const HandleLease&) = delete;
  HandleLease& operator=(const HandleLease&) = delete;

  // False with ValueError("store is closed") set when `store` has no open handle.
  bool take(StoreObject* store);
  StoreHandle* handle() const { return store_->handle; }

 private:
  StoreObject* store_ = nullptr;
};

// Methods of Store defined in their own files, listed in the type's method table.
PyObject* store_dense_gather(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* store_dense_append(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* store_ragged_append(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);
PyObject* store_ragged_gather(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);

// Gathers hand the engine the data pointer of `idxs` (an ndarray) as n native uint64 indices:
// false with ValueError("idxs must be a C-contiguous uint64 array") when it is anything else.
bool check_indices(PyObject* idxs);

// ---- module helpers ----

// A new reference to the module global `name`, falling back to builtins like a Python global
// lookup; NameError when neither has it.
PyObject* module_global(const char* name);

// A new reference to np.empty(count, dtype=np.<dtype_name>), through the module's `np`; the result
// must be an ndarray.
PyObject* numpy_empty(PyObject* count, const char* dtype_name);

// Raises QuarvelError(code), the class looked up by name in the module. Always returns -1.
int raise_quarvel_error(int64_t code);

// Raises QuarvelError(code) for a negative code (the class looked up by name at the call) and
// returns -1; 0 otherwise. The exception carries a traceback entry named "_check".
int check(int64_t code);

}  // namespace tavrill::store_module

#endif  // TAVRILL_STORE_STORE_MODULE_H_
