// qen_api.permgate: module initialisation and the class Permgate.
//
// Importing the module imports `requests` first; if that fails, the import
// fails with the interpreter's ImportError and importlib drops the half-made
// module. The class is then built as a class statement would build it: a
// namespace with `__init__` and `get_api_acl` handed to the type constructor.
#include "core/module_state.hpp"
#include "permgate/state.hpp"

namespace qen::permgate {
namespace {

// Placeholder root: a deployment passes the root of its own service.
constexpr const char* kDefaultApiRoot = "https://auth.example.com/api/";
constexpr const char* kDefaultAppName = "qen-auth";

constexpr const char* kClassDoc = R"(Client of the authorization service.

    Asks the service for the access control list (ACL) of an API, identified
    by the API's key, with one HTTP POST per lookup, and can check that the
    answer belongs to the API the caller expects. Every lookup answers a pair
    (body, status): the service's JSON answer with its status, or an error
    body built by the client.

    Args:
        api_root: root URL of the authorization-service API. The default,
            "https://auth.example.com/api/", is a placeholder that a
            deployment replaces with the root of its own service.
        app_name: the application name sent with every lookup

    Attributes:
        app_name: the application name
        api_root: the root URL as given
        user_root: api_root joined with "user"
        role_root: api_root joined with "role"; the base of the lookup URL
        matrix_root: api_root joined with "matrix"
    )";

constexpr const char* kGetApiAclDoc = R"(Get Access Control List of API

        Args:
            api_key: API Key
            api_id: API ID

        Returns:
            API Detail or Error Message
        )";

struct MethodDef {
  const char* name;
  const char* qualname;
  std::initializer_list<const char*> params;  // after self, all declared str
  std::initializer_list<const char*> defaults;
  const char* doc;  // nullptr: none
  Body body;
};

ref tuple_of(std::initializer_list<ref> items) {
  ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (const ref& item : items) PyTuple_SET_ITEM(tuple.get(), i++, item.new_ref());
  return tuple;
}

ref make_method(State& st, const MethodDef& def, PyObject* module_name) {
  ref params = check(PyTuple_New(static_cast<Py_ssize_t>(def.params.size()) + 1));
  ref annotations = check(PyDict_New());
  PyTuple_SET_ITEM(params.get(), 0, interned("self").release());
  Py_ssize_t i = 1;
  for (const char* p : def.params) {
    ref name = interned(p);
    check_status(PyDict_SetItem(annotations.get(), name.get(),
                                reinterpret_cast<PyObject*>(&PyUnicode_Type)));
    PyTuple_SET_ITEM(params.get(), i++, name.release());
  }
  ref defaults = check(PyTuple_New(static_cast<Py_ssize_t>(def.defaults.size())));
  i = 0;
  for (const char* d : def.defaults) PyTuple_SET_ITEM(defaults.get(), i++, str(d).release());
  ref doc = def.doc ? str(def.doc) : ref::borrow(Py_None);
  return new_operation(reinterpret_cast<PyTypeObject*>(st.function_type.get()),
                       {interned(def.name).get(), str(def.qualname).get(), module_name,
                        doc.get(), params.get(), defaults.get(), annotations.get(),
                        def.body, &st, st.module});
}

void build_permgate(State& st) {
  const MethodDef methods[] = {
      {"__init__", "Permgate.__init__", {"api_root", "app_name"},
       {kDefaultApiRoot, kDefaultAppName}, nullptr, permgate_init},
      {"get_api_acl", "Permgate.get_api_acl", {"api_key", "api_id"}, {""},
       kGetApiAclDoc, get_api_acl},
  };
  ref module_name = check(PyModule_GetNameObject(st.module));
  ref ns = check(PyDict_New());
  check_status(PyDict_SetItemString(ns.get(), "__module__", module_name.get()));
  check_status(PyDict_SetItemString(ns.get(), "__qualname__", str("Permgate").get()));
  check_status(PyDict_SetItemString(ns.get(), "__doc__", str(kClassDoc).get()));
  for (const MethodDef& def : methods) {
    ref method = make_method(st, def, module_name.get());
    check_status(PyDict_SetItemString(ns.get(), def.name, method.get()));
  }
  ref args = tuple_of({str("Permgate"), check(PyTuple_New(0)), std::move(ns)});
  ref cls = check(PyObject_Call(reinterpret_cast<PyObject*>(&PyType_Type), args.get(), nullptr));
  check_status(PyModule_AddObjectRef(st.module, "Permgate", cls.get()));
}

void init_constants(State& st) {
#define QEN_X(field, text) st.field = interned(text);
  QEN_PERMGATE_NAMES(QEN_X)
#undef QEN_X
  st.kw_json = tuple_of({ref::borrow(st.json.get())});
  st.status_200 = check(PyLong_FromLong(200));
  st.status_300 = check(PyLong_FromLong(300));
  st.status_401 = check(PyLong_FromLong(401));
}

void exec(State& st) {
  st.requests = check(PyImport_ImportModule("requests"));
  check_status(PyModule_AddObjectRef(st.module, "requests", st.requests.get()));
  init_constants(st);
  st.function_type = make_function_type(st.module, "qen_api.permgate.function", true);
  build_permgate(st);
}

using Slots = ModuleState<State, exec>;

PyModuleDef_Slot permgate_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(Slots::exec)},
    {0, nullptr}};

PyModuleDef permgate_def = {
    PyModuleDef_HEAD_INIT,
    "qen_api.permgate",
    "Client of the authorization service: Permgate.",
    sizeof(State),
    nullptr,
    permgate_slots,
    Slots::traverse,
    Slots::clear,
    Slots::free,
};

}  // namespace
}  // namespace qen::permgate

PyMODINIT_FUNC PyInit_permgate(void) {
  return PyModuleDef_Init(&qen::permgate::permgate_def);
}
