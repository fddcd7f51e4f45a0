// Function objects for the modules' functions and their types' methods. A method-table entry
// would give a method descriptor without __module__; these carry __module__ and __qualname__ like
// functions written in Python, bind to instances as methods, and are called with the instance (or,
// inside a classmethod, the class) as their first argument.
#include <structmember.h>

#include <cstddef>
#include <cstring>

#include "pyglue.h"

namespace tavrill::glue {
namespace {

// Owned by its type, its owner (class or module) and whatever refers to it. `owner`, `qualname`
// and `module_name` are set at creation and never change.
struct FunctionObject {
  PyObject_HEAD vectorcallfunc vectorcall;
  const PyMethodDef* def;
  FunctionKind kind;
  PyObject* owner;  // the defining class (methods) or module (functions)
  PyObject* qualname;
  PyObject* module_name;
};

FunctionObject* as_function(PyObject* object) { return reinterpret_cast<FunctionObject*>(object); }

// Methods refuse a first argument of another class, as built-in method descriptors do.
bool accepts_self(const FunctionObject* function, PyObject* self) {
  PyTypeObject* owner = reinterpret_cast<PyTypeObject*>(function->owner);
  if (function->kind == FunctionKind::kClassMethod) {
    if (PyType_Check(self) && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(self), owner)) {
      return true;
    }
  } else if (PyObject_TypeCheck(self, owner)) {
    return true;
  }
  PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%s' objects doesn't apply to a '%s' object",
               function->def->ml_name, owner->tp_name, Py_TYPE(self)->tp_name);
  return false;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  FunctionObject* function = as_function(callable);
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  const auto body = reinterpret_cast<PyCFunctionFastWithKeywords>(
      reinterpret_cast<void (*)()>(function->def->ml_meth));
  if (function->kind == FunctionKind::kFunction) return body(function->owner, args, nargs, kwnames);
  if (nargs < 1) {
    PyErr_Format(PyExc_TypeError, "unbound method %U() needs an argument", function->qualname);
    return nullptr;
  }
  if (!accepts_self(function, args[0])) return nullptr;
  return body(args[0], args + 1, nargs - 1, kwnames);
}

// Instance methods bind like Python functions; module functions and class methods (which sit
// inside a classmethod) come back as they are.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
  if (as_function(self)->kind != FunctionKind::kMethod || instance == nullptr ||
      instance == Py_None) {
    return Py_NewRef(self);
  }
  return PyMethod_New(self, instance);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyObject* get_name(PyObject* self, void*) {
  return PyUnicode_FromString(as_function(self)->def->ml_name);
}
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
PyObject* get_module(PyObject* self, void*) { return Py_NewRef(as_function(self)->module_name); }
PyObject* get_doc(PyObject*, void*) { Py_RETURN_NONE; }

// Pickled by reference, as module-level functions and methods are: pickle looks the qualified
// name up in __module__.
PyObject* function_reduce(PyObject* self, PyObject*) {
  return Py_NewRef(as_function(self)->qualname);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_function(self)->owner);
  return 0;
}

int function_clear(PyObject* self) {
  Py_CLEAR(as_function(self)->owner);
  return 0;
}

void function_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  function_clear(self);
  Py_CLEAR(as_function(self)->qualname);
  Py_CLEAR(as_function(self)->module_name);
  type->tp_free(self);
  Py_DECREF(type);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {0, nullptr},
};

// METHOD_DESCRIPTOR lets `obj.method(...)` call us with `obj` first, without a bound method.
PyType_Spec function_spec = {
    "tavrill.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// One type per module that links this library, made by its first import and kept for good.
PyTypeObject* function_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
  return type;
}

// A class made by a class statement takes attributes like any: setattr also updates the type's
// slots (an __init__ must reach tp_init). Our immutable types refuse setattr, so their methods go
// straight into the type's own dict while we set the type up; none of those names is a slot.
bool set_class_attribute(PyObject* cls, const char* name, PyObject* value) {
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
  if ((type->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) == 0) {
    return PyObject_SetAttrString(cls, name, value) == 0;
  }
  return PyDict_SetItemString(type->tp_dict, name, value) == 0;
}

}  // namespace

PyObject* new_function(const PyMethodDef* def, FunctionKind kind, PyObject* owner,
                       const char* qualname, const char* module_name) {
  PyTypeObject* type = function_type();
  if (type == nullptr) return nullptr;
  Ref qualified(PyUnicode_FromString(qualname));
  Ref module(qualified ? PyUnicode_FromString(module_name) : nullptr);
  if (!module) return nullptr;
  FunctionObject* function = PyObject_GC_New(FunctionObject, type);
  if (function == nullptr) return nullptr;
  function->vectorcall = function_vectorcall;
  function->def = def;
  function->kind = kind;
  function->owner = Py_NewRef(owner);
  function->qualname = qualified.release();
  function->module_name = module.release();
  PyObject_GC_Track(function);
  return reinterpret_cast<PyObject*>(function);
}

bool add_methods(PyObject* cls, const PyMethodDef* defs, const char* module_name) {
  const char* class_name = reinterpret_cast<PyTypeObject*>(cls)->tp_name;
  if (const char* dot = std::strrchr(class_name, '.')) class_name = dot + 1;
  for (const PyMethodDef* def = defs; def->ml_name != nullptr; ++def) {
    const bool class_method = (def->ml_flags & METH_CLASS) != 0;
    Ref qualname(PyUnicode_FromFormat("%s.%s", class_name, def->ml_name));
    Ref function(
        qualname
            ? new_function(def, class_method ? FunctionKind::kClassMethod : FunctionKind::kMethod,
                           cls, PyUnicode_AsUTF8(qualname.get()), module_name)
            : nullptr);
    Ref attribute(class_method && function ? PyClassMethod_New(function.get())
                                           : function.release());
    if (!attribute || !set_class_attribute(cls, def->ml_name, attribute.get())) return false;
  }
  PyType_Modified(reinterpret_cast<PyTypeObject*>(cls));
  return true;
}

bool add_functions(PyObject* module, const PyMethodDef* defs, const char* module_name) {
  for (const PyMethodDef* def = defs; def->ml_name != nullptr; ++def) {
    Ref function(new_function(def, FunctionKind::kFunction, module, def->ml_name, module_name));
    if (!function || PyModule_AddObjectRef(module, def->ml_name, function.get()) < 0) {
      return false;
    }
  }
  return true;
}

}  // namespace tavrill::glue
