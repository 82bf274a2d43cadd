#include "core/function.hpp"

#include <structmember.h>

namespace qen {
namespace {

// ---- argument binding, with the interpreter's own error texts -------------

Py_ssize_t find_param(const Function* f, PyObject* key) {
  PyObject* const* names = &PyTuple_GET_ITEM(f->params, 0);
  const Py_ssize_t n = PyTuple_GET_SIZE(f->params);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (names[i] == key) return i;  // interned names: the usual hit
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    int eq = PyObject_RichCompareBool(key, names[i], Py_EQ);
    if (eq < 0) return -2;
    if (eq) return i;
  }
  return -1;
}

void too_many_positional(const Function* f, Py_ssize_t given) {
  const Py_ssize_t n = PyTuple_GET_SIZE(f->params);
  const Py_ssize_t ndef = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
  ref sig;
  bool plural;
  if (ndef) {
    plural = true;
    sig = ref::steal(PyUnicode_FromFormat("from %zd to %zd", n - ndef, n));
  } else {
    plural = n != 1;
    sig = ref::steal(PyUnicode_FromFormat("%zd", n));
  }
  if (!sig) return;
  PyErr_Format(PyExc_TypeError,
               "%U() takes %U positional argument%s but %zd %s given",
               f->qualname, sig.get(), plural ? "s" : "", given,
               given == 1 ? "was" : "were");
}

void missing_arguments(const Function* f, PyObject* const* bound,
                       Py_ssize_t nrequired) {
  ref names = ref::steal(PyList_New(0));
  if (!names) return;
  for (Py_ssize_t i = 0; i < nrequired; ++i) {
    if (bound[i]) continue;
    ref r = ref::steal(PyObject_Repr(PyTuple_GET_ITEM(f->params, i)));
    if (!r || PyList_Append(names.get(), r.get()) < 0) return;
  }
  const Py_ssize_t len = PyList_GET_SIZE(names.get());
  ref text;
  if (len == 1) {
    text = ref::borrow(PyList_GET_ITEM(names.get(), 0));
  } else if (len == 2) {
    text = ref::steal(PyUnicode_FromFormat("%U and %U",
                                           PyList_GET_ITEM(names.get(), 0),
                                           PyList_GET_ITEM(names.get(), 1)));
  } else {
    ref tail = ref::steal(PyUnicode_FromFormat(
        ", %U, and %U", PyList_GET_ITEM(names.get(), len - 2),
        PyList_GET_ITEM(names.get(), len - 1)));
    if (!tail || PyList_SetSlice(names.get(), len - 2, len, nullptr) < 0)
      return;
    ref comma = ref::steal(PyUnicode_FromString(", "));
    if (!comma) return;
    ref head = ref::steal(PyUnicode_Join(comma.get(), names.get()));
    if (!head) return;
    text = ref::steal(PyUnicode_Concat(head.get(), tail.get()));
  }
  if (!text) return;
  PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U",
               f->qualname, len, len == 1 ? "" : "s", text.get());
}

// Fills `bound` (borrowed values, parameter order) as CPython binds the
// arguments of a function with positional-or-keyword parameters.
bool bind(const Function* f, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, PyObject** bound) {
  const Py_ssize_t n = PyTuple_GET_SIZE(f->params);
  const Py_ssize_t npos = nargs < n ? nargs : n;
  for (Py_ssize_t i = 0; i < npos; ++i) bound[i] = args[i];
  for (Py_ssize_t i = npos; i < n; ++i) bound[i] = nullptr;

  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%U() keywords must be strings",
                     f->qualname);
        return false;
      }
      const Py_ssize_t i = find_param(f, key);
      if (i == -2) return false;
      if (i < 0) {
        PyErr_Format(PyExc_TypeError,
                     "%U() got an unexpected keyword argument '%S'",
                     f->qualname, key);
        return false;
      }
      if (bound[i]) {
        PyErr_Format(PyExc_TypeError,
                     "%U() got multiple values for argument '%S'", f->qualname,
                     key);
        return false;
      }
      bound[i] = args[nargs + k];
    }
  }
  if (nargs > n) {
    too_many_positional(f, nargs);
    return false;
  }
  if (nargs < n) {
    const Py_ssize_t ndef = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    const Py_ssize_t nrequired = n - ndef;
    for (Py_ssize_t i = nargs; i < nrequired; ++i) {
      if (!bound[i]) {
        missing_arguments(f, bound, nrequired);
        return false;
      }
    }
    for (Py_ssize_t i = nrequired > nargs ? nrequired : nargs; i < n; ++i) {
      if (!bound[i]) bound[i] = PyTuple_GET_ITEM(f->defaults, i - nrequired);
    }
  }
  return true;
}

PyObject* operation_vectorcall(PyObject* self, PyObject* const* args,
                               size_t nargsf, PyObject* kwnames) {
  const Function* f = as_function(self);
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (!kwnames && nargs == PyTuple_GET_SIZE(f->params)) {
    return guard([&] { return f->body(f->ctx, args).release(); }, nullptr);
  }
  PyObject* bound[kMaxParams];
  if (!bind(f, args, nargs, kwnames, bound)) return nullptr;
  return guard([&] { return f->body(f->ctx, bound).release(); }, nullptr);
}

// ---- object protocol -------------------------------------------------------

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
  Function* f = as_function(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->annotations);
  Py_VISIT(f->dict);
  Py_VISIT(f->params);
  Py_VISIT(f->defaults);
  Py_VISIT(f->target);
  Py_VISIT(f->owner);
  return 0;
}

int fn_clear(PyObject* self) {
  Function* f = as_function(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->params);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->target);
  Py_CLEAR(f->owner);
  return 0;
}

void fn_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (as_function(self)->weakrefs) PyObject_ClearWeakRefs(self);
  fn_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* fn_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname,
                              self);
}

PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* get_text(PyObject* self, void* field) {
  return Py_NewRef(*reinterpret_cast<PyObject**>(
      reinterpret_cast<char*>(self) + reinterpret_cast<Py_ssize_t>(field)));
}

int set_text(PyObject* self, PyObject* value, void* field) {
  const char* attr = field == reinterpret_cast<void*>(offsetof(Function, name))
                         ? "__name__"
                         : "__qualname__";
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attr);
    return -1;
  }
  PyObject** slot = reinterpret_cast<PyObject**>(
      reinterpret_cast<char*>(self) + reinterpret_cast<Py_ssize_t>(field));
  Py_SETREF(*slot, Py_NewRef(value));
  return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
  Function* f = as_function(self);
  if (!f->annotations) {
    f->annotations = PyDict_New();
    if (!f->annotations) return nullptr;
  }
  return Py_NewRef(f->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError,
                    "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
  return 0;
}

PyObject* get_defaults(PyObject* self, void*) {
  Function* f = as_function(self);
  if (!f->defaults || PyTuple_GET_SIZE(f->defaults) == 0) Py_RETURN_NONE;
  return Py_NewRef(f->defaults);
}

PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

// inspect.signature() support. A wrapper made with functools.wraps answers
// AttributeError, so that inspect follows `__wrapped__` to the operation.
ref build_signature(Function* f) {
  if (f->dict) {
    PyObject* own = PyDict_GetItemString(f->dict, "__signature__");
    if (own) return ref::borrow(own);
  }
  if (!f->params && f->dict && PyDict_GetItemString(f->dict, "__wrapped__")) {
    PyErr_SetString(PyExc_AttributeError, "__signature__");
    fail();
  }
  ref inspect = check(PyImport_ImportModule("inspect"));
  ref parameter = getattr(inspect.get(), str("Parameter").get());
  ref params = check(PyList_New(0));
  auto add = [&](PyObject* name, const char* kind, PyObject* dflt) {
    ref kind_value = getattr(parameter.get(), str(kind).get());
    ref kwargs = check(PyDict_New());
    if (dflt) check_status(PyDict_SetItemString(kwargs.get(), "default", dflt));
    if (f->annotations) {
      PyObject* ann = PyDict_GetItemWithError(f->annotations, name);
      if (!ann && PyErr_Occurred()) fail();
      if (ann) check_status(PyDict_SetItemString(kwargs.get(), "annotation", ann));
    }
    ref args = check(PyTuple_Pack(2, name, kind_value.get()));
    ref p = check(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
    check_status(PyList_Append(params.get(), p.get()));
  };
  if (!f->params) {
    add(str("args").get(), "VAR_POSITIONAL", nullptr);
    add(str("kwargs").get(), "VAR_KEYWORD", nullptr);
  } else {
    const Py_ssize_t n = PyTuple_GET_SIZE(f->params);
    const Py_ssize_t ndef = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* dflt = i >= n - ndef ? PyTuple_GET_ITEM(f->defaults, i - (n - ndef)) : nullptr;
      add(PyTuple_GET_ITEM(f->params, i), "POSITIONAL_OR_KEYWORD", dflt);
    }
  }
  ref signature = getattr(inspect.get(), str("Signature").get());
  return check(PyObject_CallOneArg(signature.get(), params.get()));
}

PyObject* get_signature(PyObject* self, void*) {
  return guard([&] { return build_signature(as_function(self)).release(); },
               nullptr);
}

int set_signature(PyObject* self, PyObject* value, void*) {
  Function* f = as_function(self);
  if (!f->dict && !(f->dict = PyDict_New())) return -1;
  if (value) return PyDict_SetItemString(f->dict, "__signature__", value);
  return PyDict_DelItemString(f->dict, "__signature__");
}

PyGetSetDef fn_getset[] = {
    {"__name__", get_text, set_text, nullptr,
     reinterpret_cast<void*>(offsetof(Function, name))},
    {"__qualname__", get_text, set_text, nullptr,
     reinterpret_cast<void*>(offsetof(Function, qualname))},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMemberDef fn_members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Function, weakrefs), READONLY,
     nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall),
     READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

ref alloc(PyTypeObject* type, PyObject* name, PyObject* qualname,
          PyObject* module, void* ctx, PyObject* owner) {
  ref self = check(type->tp_alloc(type, 0));
  Function* f = as_function(self.get());
  f->name = Py_NewRef(name);
  f->qualname = Py_NewRef(qualname);
  f->module = Py_NewRef(module);
  f->doc = Py_NewRef(Py_None);
  f->ctx = ctx;
  f->owner = Py_XNewRef(owner);
  f->slot = -1;
  return self;
}

}  // namespace

ref make_function_type(PyObject* module, const char* qualified_name,
                       bool bind_as_method) {
  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(fn_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(fn_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(fn_clear)},
      {Py_tp_repr, reinterpret_cast<void*>(fn_repr)},
      {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
      {Py_tp_getset, fn_getset},
      {Py_tp_members, fn_members},
      {bind_as_method ? Py_tp_descr_get : 0,
       reinterpret_cast<void*>(fn_descr_get)},
      {0, nullptr}};
  unsigned flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                   Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                   Py_TPFLAGS_IMMUTABLETYPE;
  if (bind_as_method) flags |= Py_TPFLAGS_METHOD_DESCRIPTOR;
  PyType_Spec type_def = {qualified_name, sizeof(Function), 0, flags, slots};
  return check(PyType_FromModuleAndSpec(module, &type_def, nullptr));
}

ref new_operation(PyTypeObject* type, const OperationDef& def) {
  ref self = alloc(type, def.name, def.qualname, def.module, def.ctx, def.owner);
  Function* f = as_function(self.get());
  f->vectorcall = operation_vectorcall;
  Py_SETREF(f->doc, Py_NewRef(def.doc));
  f->params = Py_NewRef(def.params);
  f->defaults = Py_NewRef(def.defaults);
  f->annotations = Py_NewRef(def.annotations);
  f->body = def.body;
  return self;
}

ref new_wrapper(PyTypeObject* type, const WrapperDef& def) {
  ref self = alloc(type, def.name, def.qualname, def.module, def.ctx, def.owner);
  Function* f = as_function(self.get());
  f->vectorcall = def.call;
  f->target = Py_NewRef(def.target);
  return self;
}

PyObject* call_positional(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  const Function* f = as_function(self);
  const Py_ssize_t n = f->params ? PyTuple_GET_SIZE(f->params) : 0;
  const Py_ssize_t ndef = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
  if (!f->body || nargs > n || nargs < n - ndef) {
    return f->vectorcall(self, args, static_cast<size_t>(nargs), nullptr);
  }
  PyObject* bound[kMaxParams];
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
  for (Py_ssize_t i = nargs; i < n; ++i) bound[i] = PyTuple_GET_ITEM(f->defaults, i - (n - ndef));
  return guard([&] { return f->body(f->ctx, bound).release(); }, nullptr);
}

Py_ssize_t param_index(const Function* f, PyObject* name) {
  if (!f->params) return -1;
  Py_ssize_t i = find_param(f, name);
  if (i == -2) PyErr_Clear();
  return i < 0 ? -1 : i;
}

}  // namespace qen
