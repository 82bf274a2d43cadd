// qen_api.rest: module initialisation.
//
// The namespace is bound in a fixed order (json, traceback, wraps, Type,
// Union, the engine names, the message records, error_handle, auth_required,
// RestApi). The first failing step fails the import; importlib then drops the
// half-made module, so a later import starts again from the first step.
#include "core/module_state.hpp"
#include "rest/ops.hpp"

namespace qen::rest {
namespace {

void bind(State& st, const char* name, PyObject* value) {
  check_status(PyModule_AddObjectRef(st.module, name, value));
}

// `from <module> import <name>`, with the interpreter's ImportError.
ref import_from(PyObject* module, const char* name) {
  ref value = ref::steal(PyObject_GetAttrString(module, name));
  if (value) return value;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
  PyErr_Clear();
  ref pkgname = check(PyObject_GetAttrString(module, "__name__"));
  ref full = check(PyUnicode_FromFormat("%U.%s", pkgname.get(), name));
  PyObject* sub = PyImport_GetModule(full.get());
  if (sub) return ref::steal(sub);
  if (PyErr_Occurred()) fail();
  ref pkgpath = ref::steal(PyModule_GetFilenameObject(module));
  if (!pkgpath) PyErr_Clear();
  ref name_obj = str(name);
  ref msg = pkgpath ? check(PyUnicode_FromFormat("cannot import name %R from %R (%S)",
                                                 name_obj.get(), pkgname.get(), pkgpath.get()))
                    : check(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                                 name_obj.get(), pkgname.get()));
  PyErr_SetImportError(msg.get(), pkgname.get(), pkgpath.get());
  fail();
}

// Imports `module_name` and binds each of `names` in order.
void bind_from(State& st, const char* module_name,
               std::initializer_list<std::pair<const char*, ref*>> names) {
  ref module = check(PyImport_ImportModule(module_name));
  for (auto& [name, slot] : names) {
    *slot = import_from(module.get(), name);
    bind(st, name, slot->get());
  }
}

ref make_kwnames(std::initializer_list<const char*> names) {
  ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  Py_ssize_t i = 0;
  for (const char* n : names) PyTuple_SET_ITEM(tuple.get(), i++, interned(n).release());
  return tuple;
}

void init_constants(State& st) {
#define QEN_X(field, text) st.field = interned(text);
  QEN_REST_ALL_NAMES(QEN_X)
#undef QEN_X
#define QEN_X(field, ...) st.field = make_kwnames({__VA_ARGS__});
  QEN_REST_ALL_KWNAMES(QEN_X)
#undef QEN_X
  int i = 0;
#define QEN_X(e, text) st.op_name[i++] = interned(text);
  QEN_REST_OPS(QEN_X)
#undef QEN_X
  st.status_200 = check(PyLong_FromLong(200));
  st.status_204 = check(PyLong_FromLong(204));
  st.status_400 = check(PyLong_FromLong(400));
  st.status_500 = check(PyLong_FromLong(500));
  st.function_type = make_function_type(st.module, "qen_api.rest.function", false);
  st.own_function_type = reinterpret_cast<PyTypeObject*>(st.function_type.get());
  st.object_class_slot = _PyType_Lookup(&PyBaseObject_Type, st.act_dunder_class.get());
}

void exec(State& st) {
  init_constants(st);

  // 1-2: json and traceback.
  ref json = check(PyImport_ImportModule("json"));
  bind(st, "json", json.get());
  st.json_loads = getattr(json.get(), str("loads").get());
  ref traceback = check(PyImport_ImportModule("traceback"));
  bind(st, "traceback", traceback.get());
  st.format_exc = getattr(traceback.get(), str("format_exc").get());
  // 3-4: wraps, Type, Union.
  bind_from(st, "functools", {{"wraps", &st.wraps}});
  bind_from(st, "typing", {{"Type", &st.Type}, {"Union", &st.Union}});
  // 5: the engine.
  bind_from(st, "qen_engine",
            {{"Base", &st.Base},
             {"Document", &st.Document},
             {"ListRuntime", &st.ListRuntime},
             {"Batch", &st.Batch},
             {"QenError", &st.QenError},
             {"NotFoundError", &st.NotFoundError},
             {"ConflictError", &st.ConflictError},
             {"BadRequestError", &st.BadRequestError},
             {"AuthorizationError", &st.AuthorizationError}});
  // 6: the message records.
  bind_from(st, "qen_api.message",
            {{"QenCollectionDeleteMsg", &st.QenCollectionDeleteMsg},
             {"QenDocumentDeleteMsg", &st.QenDocumentDeleteMsg},
             {"QenErrorMessage", &st.QenErrorMessage}});
  st.caught = check(PyTuple_Pack(4, PyExc_ValueError, PyExc_TypeError,
                                 PyExc_RuntimeError, st.QenError.get()));
  // 7-8: the wrappers; 9-10: the class.
  define_wrappers(st);
  build_rest_api(st);
}

using Slots = ModuleState<State, exec>;

PyModuleDef_Slot rest_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(Slots::exec)},
    {0, nullptr}};

PyModuleDef rest_def = {
    PyModuleDef_HEAD_INIT,
    "qen_api.rest",
    "REST facade of the document store: RestApi and its two wrappers.",
    sizeof(State),
    nullptr,
    rest_slots,
    Slots::traverse,
    Slots::clear,
    Slots::free,
};

}  // namespace

namespace {

// Whether `cls.<op name>` finds our own classmethod (cls being a plain class).
bool resolves_to_ours(State& st, int i, PyObject* cls) {
  if (!Py_IS_TYPE(cls, &PyType_Type)) return false;
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
  const bool tagged = PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
  if (tagged && type->tp_version_tag == st.op_tag[i] && st.op_tag[i] != 0) return true;
  if (_PyType_Lookup(type, st.op_name[i].get()) != st.op_classmethod[i].get()) return false;
  if (PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) st.op_tag[i] = type->tp_version_tag;
  return true;
}

}  // namespace

ref call_op(State& st, Op op, PyObject* cls, PyObject* const* args,
            Py_ssize_t nargs, PyObject* kwnames) {
  const int i = static_cast<int>(op);
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  // `cls.name` for a plain class finds our classmethod, whose binding would
  // only put `cls` in front: call the callable inside directly.
  if (nargs + nkw + 1 <= kMaxParams + 1 && resolves_to_ours(st, i, cls)) {
    PyObject* stack[kMaxParams + 1];
    stack[0] = cls;
    for (Py_ssize_t k = 0; k < nargs + nkw; ++k) stack[k + 1] = args[k];
    PyObject* callable = st.op_callable[i].get();
    if (!kwnames) return check(call_positional(callable, stack, nargs + 1));
    return check(vectorcall(st.own_function_type, callable, stack,
                            static_cast<size_t>(nargs + 1), kwnames));
  }
  ref method = getattr(cls, st.op_name[i].get());
  return check(PyObject_Vectorcall(method.get(), args,
                                   static_cast<size_t>(nargs), kwnames));
}

ref call_method(PyObject* self, PyObject* name, PyObject* kwnames,
                std::initializer_list<PyObject*> values) {
  PyObject* stack[kMaxParams + 1];
  stack[0] = self;
  Py_ssize_t n = 1;
  for (PyObject* v : values) stack[n++] = v;
  return check(PyObject_VectorcallMethod(name, stack, 1, kwnames));
}

ref call_noargs(PyObject* self, PyObject* name) {
  return check(PyObject_VectorcallMethod(name, &self, 1, nullptr));
}

ref call_spread(State& st, PyObject* self, PyObject* name, PyObject* mapping) {
  return call_method_spread(self, name, nullptr, 0, Keywords{st.kw_none.get(), nullptr},
                            mapping);
}

void raise_joined(PyObject* type, std::initializer_list<PyObject*> parts) {
  ref message = check(PyUnicode_FromString(""));
  for (PyObject* part : parts) {
    ref text = check(PyObject_Str(part));
    ref joined = check(PyUnicode_Concat(message.get(), text.get()));
    message = std::move(joined);
  }
  raise(type, message.get());
}

}  // namespace qen::rest

PyMODINIT_FUNC PyInit_rest(void) {
  return PyModuleDef_Init(&qen::rest::rest_def);
}
