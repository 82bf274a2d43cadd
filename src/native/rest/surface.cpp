// The call surface of RestApi: fourteen operations with their parameters,
// defaults, declared types, documentation and wrappers, and the class itself.
#include <array>

#include "rest/ops.hpp"

namespace qen::rest {
namespace {

enum class Default { required, none, true_, false_ };
enum class Declared { none, type_document, str, dict, list, bool_, base, catalog, none_value };
enum class Wrapping { plain, error_only, both };

struct ParamDef {
  const char* name;
  Default dflt = Default::required;
  Declared declared = Declared::none;
};

struct OpDef {
  Op op;
  Wrapping wrapping;
  std::array<ParamDef, 9> params;  // after cls; unused entries have no name
  const char* doc;                 // nullptr: no documentation string
  Body body;
};

constexpr ParamDef kDocClass{"doc_class", Default::required, Declared::type_document};
constexpr ParamDef kDocPath{"doc_path", Default::required, Declared::str};
constexpr ParamDef kAcl{"acl", Default::none};
constexpr ParamDef kPayloadDict{"payload", Default::required, Declared::dict};

const OpDef kOps[] = {
    {Op::parse_catalog, Wrapping::plain, {{{"catalog", Default::required, Declared::catalog}}},
     nullptr, parse_catalog},
    {Op::root_post, Wrapping::both,
     {{{"class_dict", Default::required, Declared::dict},
       {"payload", Default::required, Declared::list}, kAcl}},
     R"(Batch operation

        Args:
            class_dict: dictionary of document classes
            payload: list of operations to be performed
            acl: Access Control List

        Returns:
            * successful: Empty message, 200
            * failed: error message, 500

        Format of operation (item of payload):
            * name: Name of the document class
            * id: Document ID
            * op: Operation code: I (insert), U (update), D (delete) or S (save)
            * content: content in display format
        )",
     root_post},
    {Op::collection_get, Wrapping::both,
     {{kDocClass, {"payload", Default::none}, kAcl, {"limit", Default::none},
       {"id_only", Default::false_}, {"catalog", Default::none}, {"lazy", Default::true_},
       {"show_hidden", Default::false_, Declared::bool_}}},
     R"(Search Document

        Args:
            lazy: Don't load the reference or external data if they are not loaded
            catalog: Display Catalog
            limit: How many documents should be returned
            id_only: Only return a list of id (Accelerator when there is a search engine)
            acl: Access Control List
            payload: Searching payload
            doc_class: Document Class
            show_hidden: Show hidden field or not

        Returns:
            document_list, or id_list if id_only is True
        )",
     collection_get},
    {Op::collection_analyze, Wrapping::both,
     {{kDocClass, {"analytic_request", Default::none}, kAcl}},
     R"(Analyze Document

        Args:
            doc_class: Document Class
            analytic_request: Analytic Request
            acl: Access Control List

        Returns:
            document_list
        )",
     collection_analyze},
    {Op::collection_post, Wrapping::both,
     {{kDocClass, {"payload", Default::required, Declared::list}, kAcl}},
     R"(Massive document creation

        Args:
            doc_class: Document Class
            payload: list of document to be created
            acl: Access Control List

        Returns:
            Display form of saved document (lazy mode forced to be true, and will return whole documents)
        )",
     collection_post},
    {Op::collection_delete, Wrapping::both,
     {{kDocClass, kAcl, {"drop", Default::false_}}},
     R"(Drop a collection

        Args:
            drop: Using Drop (Not cascade operation in that case)
            acl: Access Control List
            doc_class: Document Class

        Returns:
            document_list
        )",
     collection_delete},
    {Op::get_document_from_path, Wrapping::plain, {{kDocClass, kDocPath, kAcl}},
     R"(Get document from a given path

        Args:
            acl: Access Control List
            doc_class: Document Class
            doc_path: path to document, could be /_id/xxx or /field1/value1/field2/value2
        )",
     get_document_from_path},
    {Op::get_method_from_path, Wrapping::plain,
     {{{"doc", Default::required, Declared::base},
       {"action_path", Default::required, Declared::str}, kAcl}},
     R"(Get method of a document from a given path

        Args:
            acl: Access Control List
            doc: Document object
            action_path: path to document, could be /field1/subfield/action

        Returns:
            document object, action name
        )",
     get_method_from_path},
    {Op::document_get, Wrapping::both,
     {{kDocClass, kDocPath, kAcl, {"catalog", Default::none}, {"lazy", Default::true_},
       {"show_hidden", Default::false_, Declared::bool_}}},
     R"(Get a document

        Args:
            lazy: Don't load the reference or external data if they are not loaded
            doc_path: path to document, could be /_id/xxx or /field1/value1/field2/value2
            catalog: Display Catalog
            acl: Access Control List
            doc_class: Document Class
            show_hidden: Show hidden field or not

        Returns:
            Display form of the document
        )",
     document_get},
    {Op::document_delete, Wrapping::both, {{kDocClass, kDocPath, kAcl}},
     R"(Delete a document

        Args:
            doc_path: path to document, could be /_id/xxx or /field1/value1/field2/value2
            acl: Access Control List
            doc_class: Document Class
        )",
     document_delete},
    {Op::document_patch, Wrapping::both,
     {{kDocClass, kPayloadDict, {"catalog", Default::required, Declared::none_value},
       kDocPath, kAcl}},
     R"(Update some fields of a document

        Args:
            doc_class: Document Class
            catalog: Display Catalog
            payload: Field to be modified and its new value
            doc_path: path to document, could be /_id/xxx or /field1/value1/field2/value2
            acl: Access Control List

        Returns:
            Display form of modified document (lazy mode forced to be true)
        )",
     document_patch},
    {Op::document_put, Wrapping::both,
     {{kDocClass, kPayloadDict, kDocPath, {"create", Default::false_}, kAcl}},
     R"(Update the whole document

        Args:
            doc_class: Document Class
            create: Create the document if not exist
            payload: Field to be modified and its new value
            doc_path: path to document, could be /_id/xxx or /field1/value1/field2/value2
            acl: Access Control List

        Returns:
            Display form of modified document (lazy mode forced to be true, and will return whole document)
        )",
     document_put},
    {Op::document_post, Wrapping::both, {{kDocClass, kPayloadDict, kDocPath, kAcl}},
     R"(Save the new document if not exist

        Args:
            doc_class: Document Class
            payload: Field to be modified and its new value
            doc_path: path to document, could be /_id/xxx or /field1/value1/field2/value2
            acl: Access Control List

        Returns:
            Display form of saved document (lazy mode forced to be true, and will return whole document)
        )",
     document_post},
    {Op::action_post, Wrapping::error_only,
     {{kDocClass, kPayloadDict, kDocPath,
       {"action_path", Default::required, Declared::str}, kAcl}},
     R"(Doing an action of a path

        Args:
            doc_class: Document Class
            action_path: Path to action
            payload: Field to be modified and its new value
            doc_path: path to document, could be /_id/xxx or /field1/value1/field2/value2
            acl: Access Control List

        Returns:
            result of the chosen method
        )",
     action_post},
};

constexpr const char* kClassDoc = R"(Qen REST API: the REST facade of the document store.

    Every operation is a class method; the public ones answer a result pair
    (body, status) that a web layer sends back as it is.

    URL model, after the service location:

        /prefix/resource/path_to_doc/_/field_path/action

        prefix: fixed API prefix, for example /api/v1/
        resource: the document class; matched without regard to case
        path_to_doc: /_id/id_number searches by identifier;
            /field_name/field_value searches by field values (repeatable, as
            in /field1/value1/field2/value2); passed as doc_path
        /_/: separator between the document part and the action part
        field_path: the object below the document whose action is called;
            may have several levels; within a list field, fetching by keyword
            has priority; passed as action_path together with the action
        action: the method to be called

    HTTP verbs:

        /prefix/                          POST: root_post
        /prefix/resource                  GET: collection_get
                                          POST: collection_post
                                          DELETE: collection_delete
        /prefix/resource/path_to_doc      GET: document_get
                                          POST: document_post
                                          DELETE: document_delete
                                          PUT: document_put
                                          PATCH: document_patch
        /prefix/resource/path_to_doc/_/path_to_object/action
                                          POST: action_post
    )";

// Looks a name up in the module namespace as the class body would.
PyObject* global(State& st, const char* name) {
  PyObject* value = PyDict_GetItemString(PyModule_GetDict(st.module), name);
  if (!value) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    fail();
  }
  return value;
}

ref declared_type(State& st, Declared d) {
  switch (d) {
    case Declared::type_document:
      return check(PyObject_GetItem(global(st, "Type"), global(st, "Document")));
    case Declared::str: return ref::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    case Declared::dict: return ref::borrow(reinterpret_cast<PyObject*>(&PyDict_Type));
    case Declared::list: return ref::borrow(reinterpret_cast<PyObject*>(&PyList_Type));
    case Declared::bool_: return ref::borrow(reinterpret_cast<PyObject*>(&PyBool_Type));
    case Declared::base: return ref::borrow(global(st, "Base"));
    case Declared::catalog: {
      ref members = check(PyTuple_Pack(3, &PyUnicode_Type, &PyDict_Type, Py_TYPE(Py_None)));
      return check(PyObject_GetItem(global(st, "Union"), members.get()));
    }
    case Declared::none_value: return ref::borrow(Py_None);
    case Declared::none: break;
  }
  return ref();
}

PyObject* default_value(Default d) {
  switch (d) {
    case Default::none: return Py_None;
    case Default::true_: return Py_True;
    case Default::false_: return Py_False;
    case Default::required: break;
  }
  return nullptr;
}

ref make_operation(State& st, const OpDef& def, PyObject* module_name) {
  const int index = static_cast<int>(def.op);
  ref params = check(PyList_New(0));
  ref defaults = check(PyList_New(0));
  ref annotations = check(PyDict_New());
  check_status(PyList_Append(params.get(), interned("cls").get()));
  for (const ParamDef& p : def.params) {
    if (!p.name) break;
    ref pname = interned(p.name);
    check_status(PyList_Append(params.get(), pname.get()));
    if (PyObject* d = default_value(p.dflt)) check_status(PyList_Append(defaults.get(), d));
    if (ref t = declared_type(st, p.declared)) {
      check_status(PyDict_SetItem(annotations.get(), pname.get(), t.get()));
    }
  }
  ref qualname = check(PyUnicode_FromFormat("RestApi.%U", st.op_name[index].get()));
  ref doc = def.doc ? str(def.doc) : ref::borrow(Py_None);
  ref params_tuple = check(PyList_AsTuple(params.get()));
  ref defaults_tuple = check(PyList_AsTuple(defaults.get()));
  return new_operation(reinterpret_cast<PyTypeObject*>(st.function_type.get()),
                       {st.op_name[index].get(), qualname.get(), module_name,
                        doc.get(), params_tuple.get(), defaults_tuple.get(),
                        annotations.get(), def.body, &st, st.module});
}

ref apply(PyObject* decorator, ref func) {
  return check(PyObject_CallOneArg(decorator, func.get()));
}

}  // namespace

void build_rest_api(State& st) {
  ref module_name = check(PyModule_GetNameObject(st.module));
  ref ns = check(PyDict_New());
  check_status(PyDict_SetItemString(ns.get(), "__module__", module_name.get()));
  check_status(PyDict_SetItemString(ns.get(), "__doc__", str(kClassDoc).get()));
  check_status(PyDict_SetItemString(ns.get(), "__qualname__", str("RestApi").get()));
  for (const OpDef& def : kOps) {
    const int index = static_cast<int>(def.op);
    ref func = make_operation(st, def, module_name.get());
    PyObject* error_handle = global(st, "error_handle");
    PyObject* auth_required = global(st, "auth_required");
    if (def.wrapping == Wrapping::both) func = apply(auth_required, std::move(func));
    if (def.wrapping != Wrapping::plain) func = apply(error_handle, std::move(func));
    ref method = check(PyClassMethod_New(func.get()));
    check_status(PyDict_SetItem(ns.get(), st.op_name[index].get(), method.get()));
    st.op_callable[index] = std::move(func);
    st.op_classmethod[index] = std::move(method);
  }
  ref bases = check(PyTuple_New(0));
  ref cls = check(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type),
                                               str("RestApi").get(), bases.get(),
                                               ns.get(), nullptr));
  check_status(PyModule_AddObjectRef(st.module, "RestApi", cls.get()));
}

}  // namespace qen::rest
