// What tavrill's extension modules share: argument binding with the module family's exact
// messages, integer conversions, type tests, NumPy's C interface, the module frame (one
// interpreter per process, one module object, the version warning) and traceback entries for
// native helpers. Everything here runs with the calling thread attached to the interpreter.
//
// Convention: functions that can fail return false (or nullptr) with a Python exception set.
//
// A module function reads like this (parsing apart from the work, one traceback entry per exit):
//
//   constexpr const char* kNames[] = {"length", "indices"};
//   constexpr glue::Signature kFill{"fill", kNames, 2, 2};
//   PyObject* fill(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
//     PyObject* values[2];
//     uint64_t length;
//     PyObject* result =
//         glue::bind(kFill, args, nargs, kwnames, values) &&
//                 glue::to_uint64(values[0], "uint64_t", &length) &&
//                 glue::check_argument_type(values[1], &PyArray_Type, "indices")
//             ? fill_impl(length, values[1])
//             : nullptr;
//     return glue::traced(result, "fill");
//   }
//
// and the module's Py_mod_create / Py_mod_exec slots go through one static ModuleFrame:
// `frame.create(spec)` and `frame.exec(module, fill)`; import_numpy_api() belongs in `fill`.
#ifndef TAVRILL_PYGLUE_PYGLUE_H_
#define TAVRILL_PYGLUE_PYGLUE_H_

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <source_location>
#include <type_traits>

namespace tavrill::glue {

// ---- references ------------------------------------------------------------------------------

// Owns one reference (or none) and drops it when it goes out of scope.
class Ref final {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : object_(owned) {}
  Ref(Ref&& other) noexcept : object_(other.release()) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref& operator=(Ref&&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }

 private:
  PyObject* object_ = nullptr;
};

// ---- argument binding ----------------------------------------------------------------------

// The parameters of one function. Arguments bind by position, then by keyword.
struct Signature {
  const char* function;      // the name in messages, e.g. "close" or "__cinit__"
  const char* const* names;  // `count` parameter names, in order
  Py_ssize_t count;
  Py_ssize_t required;      // the first `required` parameters have no default
  Py_ssize_t prebound = 0;  // leading parameters the caller already holds (a Python-level
                            // method's `self`); they count in messages but are not bound here
};

// METH_FASTCALL | METH_KEYWORDS form. `values` has room for `count` entries (nullptr when count
// is 0). On success values[i] (i >= prebound) is a borrowed reference, or nullptr for an optional
// parameter that was not given; the caller converts it or applies its default. Errors are
// TypeErrors:
//   "%.200s() takes %.8s %zd positional argument%.1s (%zd given)" (exactly / at least / at most;
//     a required parameter left unset reports its position as the count given),
//   "%s() got an unexpected keyword argument '%U'",
//   "%s() got multiple values for keyword argument '%U'",
//   "%.200s() keywords must be strings".
bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** values);
// The same rules for a tuple and an optional dict (tp_new).
bool bind(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** values);

// ---- integer conversion ----------------------------------------------------------------------

// An int (or subclass) converts by value; anything else through its __int__ (a float truncates
// toward zero). Negative values raise OverflowError("can't convert negative value to <type>"),
// 8-bit values above 255 OverflowError("value too large to convert to uint8_t"), 32- and 64-bit
// values above the maximum the interpreter's own OverflowError.
bool to_uint8(PyObject* object, uint8_t* out);
bool to_uint32(PyObject* object, uint32_t* out);
// `type_name` names the C type in the negative-value message: "size_t" or "uint64_t".
bool to_uint64(PyObject* object, const char* type_name, uint64_t* out);

// ---- type tests ------------------------------------------------------------------------------

// Argument test: `object` is an instance of `expected` (or of a subclass unless `exact`), or
// None when `none_allowed`. Else TypeError("Argument '%.200s' has incorrect type (expected
// %.200s, got %.200s)") with the argument's name and both types' names.
bool check_argument_type(PyObject* object, PyTypeObject* expected, const char* argument,
                         bool none_allowed = false, bool exact = false);
// Result test for a value our code goes on to use as `expected` (None refused):
// TypeError("Cannot convert %.200s to %.200s").
bool check_result_type(PyObject* object, PyTypeObject* expected);

// ---- NumPy -----------------------------------------------------------------------------------

// Takes NumPy's C interface from the `_ARRAY_API` capsule (numpy._core._multiarray_umath, or
// numpy.core._multiarray_umath when the first is missing) and checks its ABI (at most NumPy 2),
// feature level (at least 1.25) and byte order (little). Any failure becomes the one ImportError
// of a missing `numpy.import_array()`. Include "numpy_api.h" to use the interface afterwards.
bool import_numpy_api();
// `numpy.<name>`, which must be a type of at least `declared_size` bytes. nullptr on failure
// (the attribute's own error, "%.200s.%.200s is not a type object" or the size-changed error).
PyTypeObject* import_numpy_type(const char* name, size_t declared_size);

// ---- module frame ----------------------------------------------------------------------------

// The per-process frame of one multi-phase module without module state: the first importing
// interpreter is the only one allowed, and there is at most one module object. Safe to keep as
// a namespace-scope constant-initialised object.
class ModuleFrame final {
 public:
  // `short_name` is used in the re-initialisation message ("_store"), `full_name` in the
  // version warning ("tavrill._store").
  constexpr ModuleFrame(const char* short_name, const char* full_name)
      : short_name_(short_name), full_name_(full_name) {}
  ModuleFrame(const ModuleFrame&) = delete;
  ModuleFrame& operator=(const ModuleFrame&) = delete;

  // Py_mod_create: the interpreter check, then the existing module object when there is one,
  // else a new module named after the spec with its loader, origin, parent (and search
  // locations) copied in.
  PyObject* create(PyObject* spec);

  // Py_mod_exec: 0 at once for the module object already initialised; otherwise `module`
  // becomes the frame's module, declares that it runs without the interpreter lock, passes the
  // version check and is filled by `fill` (which sets an exception and returns false on
  // failure). -1 with an exception set when any of that fails (a second module object included);
  // a failed module is dropped, so a later import starts afresh.
  int exec(PyObject* module, bool (*fill)(PyObject* module));

  // Borrowed; valid after a successful exec (for the life of the process).
  PyObject* module() const { return module_.load(std::memory_order_acquire); }
  constexpr const char* short_name() const { return short_name_; }
  constexpr const char* full_name() const { return full_name_; }

 private:
  enum class ExecStart { kFresh, kAlreadyDone, kFailed };
  bool check_interpreter();
  ExecStart begin_exec(PyObject* module);
  void abandon();

  const char* short_name_;
  const char* full_name_;
  // Set once by the first creation, never cleared. Relaxed: imports of this module are
  // serialised by the import machinery; the atomic only keeps concurrent readers well defined.
  std::atomic<int64_t> interpreter_id_{-1};
  // Owned (one reference) from begin_exec to abandon. Release/acquire so that a thread that
  // finds the module also finds it filled in.
  std::atomic<PyObject*> module_{nullptr};
};

// The multi-phase definition of a module made through `kFrame` and filled by `kFill`: no
// docstring, no module state, every function added while it executes, no interpreter lock, and
// one interpreter per process (the frame refuses a second at creation). PyInit returns init().
template <ModuleFrame& kFrame, bool (*kFill)(PyObject* module)>
class ModuleDefinition final {
 public:
  static PyObject* init() { return PyModuleDef_Init(&definition_); }

 private:
  static PyObject* create(PyObject* spec, PyModuleDef*) { return kFrame.create(spec); }
  static int exec(PyObject* module) { return kFrame.exec(module, kFill); }

  static inline PyModuleDef_Slot slots_[] = {
      {Py_mod_create, reinterpret_cast<void*>(create)},
      {Py_mod_exec, reinterpret_cast<void*>(exec)},
      // Other interpreters may ask; the frame tells them no at creation, in its own words.
      {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
      {Py_mod_gil, Py_MOD_GIL_NOT_USED},
      {0, nullptr},
  };
  static inline PyModuleDef definition_ = {
      PyModuleDef_HEAD_INIT,
      kFrame.short_name(),
      nullptr,
      0,
      nullptr,
      slots_,
      nullptr,
      nullptr,
      nullptr,
  };
};

// Adds a traceback entry named `function` (for example "_check", or "Store.close") to the
// exception being raised, so native helpers show in tracebacks under their own names.
void add_traceback(const char* function,
                   std::source_location where = std::source_location::current());
// `result`, after adding a traceback entry named `function` when it is null (an exception set).
inline PyObject* traced(PyObject* result, const char* function,
                        std::source_location where = std::source_location::current()) {
  if (result == nullptr) add_traceback(function, where);
  return result;
}

// ---- functions and methods -----------------------------------------------------------------

// Function objects with __module__ and __qualname__, for a module's functions and its types'
// methods (entries are METH_FASTCALL | METH_KEYWORDS; METH_CLASS makes a class method). A method
// receives the instance (or class) as `self`, its arguments after it.
enum class FunctionKind : uint8_t { kFunction, kMethod, kClassMethod };
PyObject* new_function(const PyMethodDef* def, FunctionKind kind, PyObject* owner,
                       const char* qualname, const char* module_name);
// Sets every entry of `defs` (terminated by a null name) as an attribute of the class `cls`, one
// of the module's own classes while it sets it up: qualified "<Class>.<name>", class methods
// wrapped in classmethod. On an immutable type the names must not be slots (__init__, __call__):
// those are only updated for classes that take setattr.
bool add_methods(PyObject* cls, const PyMethodDef* defs, const char* module_name);
// Binds every entry of `defs` in `module` as a function of that name; `self` is the module.
bool add_functions(PyObject* module, const PyMethodDef* defs, const char* module_name);

// ---- detaching around native work ------------------------------------------------------------

// Runs `work` with the thread detached from the interpreter (the interpreter lock released on
// builds that have one) and returns its result. `work` must not touch Python objects.
template <typename Work>
auto detached(Work&& work) {
  PyThreadState* state = PyEval_SaveThread();
  if constexpr (std::is_void_v<decltype(work())>) {
    work();
    PyEval_RestoreThread(state);
  } else {
    auto result = work();
    PyEval_RestoreThread(state);
    return result;
  }
}

}  // namespace tavrill::glue

#endif  // TAVRILL_PYGLUE_PYGLUE_H_
