// The frame around a module's own initialisation: which interpreter may import it, which module
// object is the module, the version warning, and traceback entries for native helpers.
#include <Python.h>
#include <frameobject.h>

#include <cstring>

#include "pyglue.h"

namespace tavrill::glue {
namespace {

// module.__dict__[to] = spec.<from>; a missing attribute is skipped, and so is None unless
// `allow_none`.
bool copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* from, const char* to,
                         bool allow_none) {
  PyObject* value = PyObject_GetAttrString(spec, from);
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
  }
  const int status =
      allow_none || value != Py_None ? PyDict_SetItemString(module_dict, to, value) : 0;
  Py_DECREF(value);
  return status == 0;
}

// The source file as a path inside the repository, for traceback entries.
const char* repository_path(const char* file) {
  const char* inside = std::strstr(file, "src/");
  return inside != nullptr ? inside : file;
}

// The code objects of traceback entries, one per call site, made on first use and kept for the
// life of the process. The 3.13 free-threaded interpreter makes a code object immortal when it is
// made after a second thread has started, so a fresh one per raised error would grow the process
// with every error; a site's entry never changes, so one object serves all of its raises.
// Thread safety: code() may be called from any attached thread.
class TracebackCodes final {
 public:
  // A new reference to the code object for the entry `function` at `where`, or nullptr with an
  // exception set.
  PyCodeObject* code(const char* function, std::source_location where) {
    PyMutex_Lock(&mutex_);
    PyCodeObject* code = find(function, where);
    if (code == nullptr) {
      code = PyCode_NewEmpty(repository_path(where.file_name()), function,
                             static_cast<int>(where.line()));
      // A full table only loses the reuse, never the entry.
      if (code != nullptr && used_ < kSites) {
        Py_INCREF(code);
        sites_[used_++] = {function, where.file_name(), where.line(), code};
      }
    } else {
      Py_INCREF(code);
    }
    PyMutex_Unlock(&mutex_);
    return code;
  }

 private:
  // Far more than the modules' call sites of add_traceback.
  static constexpr int kSites = 256;

  // Sites are told apart by their string literals' addresses and the line.
  struct Site {
    const char* function;
    const char* file;
    uint_least32_t line;
    PyCodeObject* code;  // owned, one reference for the life of the process
  };

  PyCodeObject* find(const char* function, std::source_location where) const {
    for (int i = 0; i < used_; ++i) {
      const Site& site = sites_[i];
      if (site.function == function && site.file == where.file_name() &&
          site.line == where.line()) {
        return site.code;
      }
    }
    return nullptr;
  }

  PyMutex mutex_{};  // guards used_ and sites_
  int used_ = 0;
  Site sites_[kSites] = {};
};

TracebackCodes traceback_codes;

}  // namespace

bool ModuleFrame::check_interpreter() {
  const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) return false;
  int64_t recorded = -1;
  if (interpreter_id_.compare_exchange_strong(recorded, current, std::memory_order_relaxed) ||
      recorded == current) {
    return true;
  }
  PyErr_SetString(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one "
                  "interpreter per process.");
  return false;
}

PyObject* ModuleFrame::create(PyObject* spec) {
  if (!check_interpreter()) return nullptr;
  if (PyObject* existing = module()) return Py_NewRef(existing);

  PyObject* name = PyObject_GetAttrString(spec, "name");
  if (name == nullptr) return nullptr;
  PyObject* module = PyModule_NewObject(name);
  Py_DECREF(name);
  if (module == nullptr) return nullptr;
  PyObject* dict = PyModule_GetDict(module);
  if (!copy_spec_attribute(spec, dict, "loader", "__loader__", true) ||
      !copy_spec_attribute(spec, dict, "origin", "__file__", true) ||
      !copy_spec_attribute(spec, dict, "parent", "__package__", true) ||
      !copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false)) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

ModuleFrame::ExecStart ModuleFrame::begin_exec(PyObject* module) {
  if (PyObject* initialised = this->module()) {
    if (initialised == module) return ExecStart::kAlreadyDone;
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.",
                 short_name_);
    return ExecStart::kFailed;
  }
  module_.store(Py_NewRef(module), std::memory_order_release);
#ifdef Py_GIL_DISABLED
  if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) {
    abandon();
    return ExecStart::kFailed;
  }
#endif
  const long running = static_cast<long>(Py_Version);
  const int running_major = static_cast<int>((running >> 24) & 0xFF);
  const int running_minor = static_cast<int>((running >> 16) & 0xFF);
  if ((running_major != PY_MAJOR_VERSION || running_minor != PY_MINOR_VERSION) &&
      PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                       "compile time Python version %d.%d of module '%.100s' %s runtime version "
                       "%d.%d",
                       PY_MAJOR_VERSION, PY_MINOR_VERSION, full_name_, "does not match",
                       running_major, running_minor) < 0) {
    abandon();
    return ExecStart::kFailed;
  }
  return ExecStart::kFresh;
}

void ModuleFrame::abandon() { Py_XDECREF(module_.exchange(nullptr, std::memory_order_acq_rel)); }

int ModuleFrame::exec(PyObject* module, bool (*fill)(PyObject* module)) {
  switch (begin_exec(module)) {
    case ExecStart::kAlreadyDone:
      return 0;
    case ExecStart::kFailed:
      return -1;
    case ExecStart::kFresh:
      break;
  }
  if (fill(module)) return 0;
  abandon();
  return -1;
}

void add_traceback(const char* function, std::source_location where) {
  // Making the code and frame objects must not see the exception being raised.
  PyObject* raised = PyErr_GetRaisedException();
  PyCodeObject* code = traceback_codes.code(function, where);
  PyObject* globals = PyDict_New();
  PyFrameObject* frame = code != nullptr && globals != nullptr
                             ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr)
                             : nullptr;
  // A failure here only loses the entry; the original exception goes on.
  PyErr_Clear();
  PyErr_SetRaisedException(raised);
  if (frame != nullptr) PyTraceBack_Here(frame);
  Py_XDECREF(frame);
  Py_XDECREF(globals);
  Py_XDECREF(code);
}

}  // namespace tavrill::glue
