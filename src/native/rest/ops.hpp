// Bodies of the RestApi operations. Each receives the bound arguments in
// parameter order, `cls` first, and returns its result or throws py_error.
#pragma once

#include "rest/state.hpp"

namespace qen::rest {

#define QEN_X(e, text) ref e(void* ctx, PyObject* const* args);
QEN_REST_OPS(QEN_X)
#undef QEN_X

// Builds the RestApi class and binds it (module initialisation, last step).
void build_rest_api(State& st);
// Defines error_handle and auth_required and binds them.
void define_wrappers(State& st);

// `cls._get_document_from_path(doc_class, doc_path, acl)`, raising
// NotFoundError("Cannot find the document <class>/<path>") when it finds none.
ref found_document(State& st, PyObject* cls, PyObject* doc_class,
                   PyObject* doc_path, PyObject* acl);

// `self.name(k1=v1, ...)`: `kwnames` names the values, in order.
ref call_method(PyObject* self, PyObject* name, PyObject* kwnames,
                std::initializer_list<PyObject*> values);
// `self.name()`.
ref call_noargs(PyObject* self, PyObject* name);
// `self.name(**mapping)`, with the interpreter's errors for a bad mapping.
ref call_spread(State& st, PyObject* self, PyObject* name, PyObject* mapping);

// Raises `type(message)`; `message` is built from the parts joined.
[[noreturn]] void raise_joined(PyObject* type, std::initializer_list<PyObject*> parts);

}  // namespace qen::rest
