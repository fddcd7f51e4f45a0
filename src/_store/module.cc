// The tavrill._store module: its import steps, constants and tables, QuarvelError and _check.
#include "build_dict.h"
#include "numpy_api.h"
#include "store_module.h"

namespace tavrill::store_module {

glue::ModuleFrame frame("_store", "tavrill._store");
PyTypeObject* ndarray_type = nullptr;

namespace {

constexpr uint64_t kMaxRecordLen = uint64_t{1} << 31;
constexpr long kMaxSchemaLen = 2040;
constexpr long kMaxDataShards = 255;

// The class QuarvelError was made as: its __init__ calls super() with this class, as a method
// defined in the class body would, whatever the module name is rebound to later.
PyObject* quarvel_error_class = nullptr;

// _ERRORS in its order; -4 is formatted at import from MAX_RECORD_LEN.
struct ErrorMessage {
  int32_t code;
  const char* message;
};
constexpr ErrorMessage kErrorMessages[] = {
    {ERR_OUT_OF_MEMORY, "out of memory"},
    {ERR_IO, "file I/O failed"},
    {ERR_RECORD_TOO_LARGE, nullptr},
    {ERR_STORE_FULL, "store is full"},
    {ERR_BUFFER_TOO_SMALL, "buffer too small"},
    {ERR_DECODE_FAILED, "stored record failed to decode"},
    {ERR_INVALID_FORMAT, "invalid or unsupported quarvel store format"},
    {ERR_DICT_TRAINING_FAILED, "zstd dictionary training failed (too few or too small samples)"},
    {ERR_NOT_FOUND, "store not found"},
    {ERR_ALREADY_EXISTS, "store already exists"},
    {ERR_BUSY, "store is busy (already open by another native handle or process)"},
};

// dict[key] = value, taking the references to key and value.
bool set_item_stealing(PyObject* dict, PyObject* key, PyObject* value) {
  const int status = key != nullptr && value != nullptr ? PyDict_SetItem(dict, key, value) : -1;
  Py_XDECREF(key);
  Py_XDECREF(value);
  return status == 0;
}

// module.name = value, taking the reference to value.
bool bind_global(PyObject* module, const char* name, PyObject* value) {
  return PyModule_Add(module, name, value) == 0;
}

PyObject* make_codecs() {
  PyObject* codecs = PyDict_New();
  if (codecs == nullptr) return nullptr;
  if (!set_item_stealing(codecs, PyUnicode_FromString("raw"), PyLong_FromLong(CODEC_RAW)) ||
      !set_item_stealing(codecs, PyUnicode_FromString("zstd"), PyLong_FromLong(CODEC_ZSTD)) ||
      !set_item_stealing(codecs, PyUnicode_FromString("zstd_dict"),
                         PyLong_FromLong(CODEC_ZSTD_DICT))) {
    Py_DECREF(codecs);
    return nullptr;
  }
  return codecs;
}

// {number: name for name, number in CODECS.items()}, with CODECS read back from the module.
PyObject* make_tags() {
  PyObject* codecs = module_global("CODECS");
  if (codecs == nullptr) return nullptr;
  PyObject* items = PyObject_CallMethod(codecs, "items", nullptr);
  Py_DECREF(codecs);
  PyObject* iterator = items != nullptr ? PyObject_GetIter(items) : nullptr;
  Py_XDECREF(items);
  PyObject* tags = iterator != nullptr ? PyDict_New() : nullptr;
  if (tags == nullptr) {
    Py_XDECREF(iterator);
    return nullptr;
  }
  while (PyObject* item = PyIter_Next(iterator)) {
    PyObject* name = nullptr;
    PyObject* number = nullptr;
    const bool unpacked = PyArg_ParseTuple(item, "OO", &name, &number);
    const bool added = unpacked && PyDict_SetItem(tags, number, name) == 0;
    Py_DECREF(item);
    if (!added) break;
  }
  Py_DECREF(iterator);
  if (PyErr_Occurred()) Py_CLEAR(tags);
  return tags;
}

PyObject* make_errors() {
  PyObject* errors = PyDict_New();
  if (errors == nullptr) return nullptr;
  for (const ErrorMessage& entry : kErrorMessages) {
    PyObject* message;
    if (entry.message != nullptr) {
      message = PyUnicode_FromString(entry.message);
    } else {
      PyObject* limit = module_global("MAX_RECORD_LEN");
      message = limit != nullptr ? PyUnicode_FromFormat("record exceeds the %S byte limit", limit)
                                 : nullptr;
      Py_XDECREF(limit);
    }
    if (!set_item_stealing(errors, PyLong_FromLong(entry.code), message)) {
      Py_DECREF(errors);
      return nullptr;
    }
  }
  return errors;
}

// ---- QuarvelError ----

constexpr const char* kQuarvelErrorInitNames[] = {"self", "code"};
constexpr glue::Signature kQuarvelErrorInit{"__init__", kQuarvelErrorInitNames, 2, 2, 1};

PyObject* quarvel_error_init_impl(PyObject* self, PyObject* code) {
  PyObject* fallback = nullptr;
  PyObject* message = nullptr;
  PyObject* parent = nullptr;
  PyObject* result = nullptr;
  if (PyObject* digits = PyObject_Format(code, nullptr)) {
    fallback = PyUnicode_FromFormat("unknown quarvel error %U", digits);
    Py_DECREF(digits);
  }
  if (fallback != nullptr) {
    if (PyObject* errors = module_global("_ERRORS")) {
      message = PyObject_CallMethod(errors, "get", "OO", code, fallback);
      Py_DECREF(errors);
    }
  }
  if (message != nullptr) {
    parent = PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type),
                                          quarvel_error_class, self, nullptr);
  }
  if (parent != nullptr) result = PyObject_CallMethod(parent, "__init__", "O", message);
  if (result != nullptr && PyObject_SetAttrString(self, "code", code) < 0) Py_CLEAR(result);
  if (result != nullptr) Py_SETREF(result, Py_None);
  Py_XDECREF(parent);
  Py_XDECREF(message);
  Py_XDECREF(fallback);
  return result;
}

PyObject* quarvel_error_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  PyObject* values[2];
  PyObject* result = glue::bind(kQuarvelErrorInit, args, nargs, kwnames, values)
                         ? quarvel_error_init_impl(self, values[1])
                         : nullptr;
  return glue::traced(result, "QuarvelError.__init__");
}

PyMethodDef quarvel_error_methods[] = {
    {"__init__", fastcall(quarvel_error_init), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// class QuarvelError(RuntimeError), with __init__(self, code) as its only own function.
PyObject* make_quarvel_error() {
  PyObject* namespace_dict = PyDict_New();
  if (namespace_dict == nullptr) return nullptr;
  PyObject* cls = nullptr;
  if (set_item_stealing(namespace_dict, PyUnicode_FromString("__module__"),
                        PyUnicode_FromString(frame.full_name())) &&
      set_item_stealing(namespace_dict, PyUnicode_FromString("__qualname__"),
                        PyUnicode_FromString("QuarvelError"))) {
    cls = PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", "QuarvelError",
                                PyExc_RuntimeError, namespace_dict);
  }
  Py_DECREF(namespace_dict);
  if (cls == nullptr) return nullptr;
  if (!glue::add_methods(cls, quarvel_error_methods, frame.full_name())) Py_CLEAR(cls);
  return cls;
}

// ---- import ----

// Step 8 of the import: the module-level statements, in order.
bool run_module_statements(PyObject* module) {
  PyObject* numpy = PyImport_ImportModule("numpy");
  if (numpy == nullptr || !bind_global(module, "np", numpy)) return false;
  if (!bind_global(module, "MAX_RECORD_LEN", PyLong_FromUnsignedLongLong(kMaxRecordLen)) ||
      !bind_global(module, "MAX_SCHEMA_LEN", PyLong_FromLong(kMaxSchemaLen)) ||
      !bind_global(module, "MAX_DATA_SHARDS", PyLong_FromLong(kMaxDataShards)) ||
      !bind_global(module, "CODECS", make_codecs()) || !bind_global(module, "_TAGS", make_tags()) ||
      !bind_global(module, "_ERRORS", make_errors())) {
    return false;
  }
  PyObject* error_class = make_quarvel_error();
  if (error_class == nullptr) return false;
  Py_XSETREF(quarvel_error_class, Py_NewRef(error_class));
  return bind_global(module, "QuarvelError", error_class) && add_executor_methods() &&
         add_store_methods();
}

// Bound after the module-level statements, so build_dict is the namespace's last name.
PyMethodDef module_functions[] = {
    {"build_dict", fastcall(build_dict), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

bool fill_module(PyObject* module) {
  if (!glue::import_numpy_api()) return false;
  if (!add_executor_type(module) || !add_store_type(module)) return false;
  PyTypeObject* ndarray = glue::import_numpy_type("ndarray", sizeof(PyArrayObject_fields));
  if (ndarray == nullptr) return false;
  Py_XSETREF(ndarray_type, ndarray);
  return run_module_statements(module) &&
         glue::add_functions(module, module_functions, frame.full_name());
}

}  // namespace

PyObject* module_global(const char* name) {
  PyObject* module = frame.module();
  PyObject* value = nullptr;
  if (module != nullptr && PyDict_GetItemStringRef(PyModule_GetDict(module), name, &value) != 0) {
    return value;
  }
  if (PyDict_GetItemStringRef(PyEval_GetBuiltins(), name, &value) != 0) return value;
  PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
  return nullptr;
}

PyObject* numpy_empty(PyObject* count, const char* dtype_name) {
  PyObject* numpy = module_global("np");
  if (numpy == nullptr) return nullptr;
  PyObject* empty = PyObject_GetAttrString(numpy, "empty");
  PyObject* dtype = empty != nullptr ? PyObject_GetAttrString(numpy, dtype_name) : nullptr;
  Py_DECREF(numpy);
  PyObject* keywords = dtype != nullptr ? Py_BuildValue("{sO}", "dtype", dtype) : nullptr;
  PyObject* positional = keywords != nullptr ? PyTuple_Pack(1, count) : nullptr;
  PyObject* array = positional != nullptr ? PyObject_Call(empty, positional, keywords) : nullptr;
  Py_XDECREF(positional);
  Py_XDECREF(keywords);
  Py_XDECREF(dtype);
  Py_XDECREF(empty);
  if (array != nullptr && !glue::check_result_type(array, ndarray_type)) Py_CLEAR(array);
  return array;
}

int raise_quarvel_error(int64_t code) {
  PyObject* cls = module_global("QuarvelError");
  if (cls == nullptr) return -1;
  PyObject* number = PyLong_FromLongLong(code);
  PyObject* error = number != nullptr ? PyObject_CallOneArg(cls, number) : nullptr;
  Py_XDECREF(number);
  Py_DECREF(cls);
  if (error == nullptr) return -1;
  if (PyExceptionInstance_Check(error)) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
  Py_DECREF(error);
  return -1;
}

int check(int64_t code) {
  if (code >= 0) return 0;
  raise_quarvel_error(code);
  glue::add_traceback("_check");
  return -1;
}

}  // namespace tavrill::store_module

PyMODINIT_FUNC PyInit__store() {
  return tavrill::glue::ModuleDefinition<tavrill::store_module::frame,
                                         tavrill::store_module::fill_module>::init();
}
