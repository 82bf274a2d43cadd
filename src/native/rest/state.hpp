// Module state of qen_api.rest: everything looked up or built once at import.
#pragma once

#include "core/calls.hpp"
#include "core/function.hpp"

namespace qen::rest {

// Attribute and keyword names, interned once. X(field, "text").
#define QEN_REST_NAMES(X)                                   \
  X(load, "load")                                           \
  X(objects, "objects")                                     \
  X(analyze, "analyze")                                     \
  X(from_display, "from_display")                           \
  X(save, "save")                                           \
  X(update, "update")                                       \
  X(delete_, "delete")                                      \
  X(drop, "drop")                                           \
  X(delete_all, "delete_all")                               \
  X(get_collection_name, "get_collection_name")             \
  X(_engine, "_engine")                                     \
  X(get_actions, "get_actions")                             \
  X(check_acl, "check_acl")                                 \
  X(collection_action, "collection_action")                 \
  X(action, "action")                                       \
  X(get_display_data, "get_display_data")                   \
  X(_id, "_id")                                             \
  X(_key_fields, "_key_fields")                             \
  X(calculate_id, "calculate_id")                           \
  X(get_id, "get_id")                                       \
  X(commit, "commit")                                       \
  X(content, "content")                                     \
  X(status_code, "status_code")                             \
  X(acl, "acl")                                             \
  X(get, "get")                                             \
  X(name, "name")                                           \
  X(id, "id")                                               \
  X(op, "op")                                               \
  X(result, "result")                                       \
  X(collection, "collection")                               \
  X(public_, "public")                                      \
  X(empty, "")                                              \
  X(slash, "/")                                             \
  X(id_marker, "_id")                                       \
  X(op_I, "I")                                              \
  X(op_S, "S")                                              \
  X(op_U, "U")                                              \
  X(op_D, "D")                                              \
  X(action_prefix, "action.")                               \
  X(empty_acl, "User has empty ACL")                        \
  X(dunder_name, "__name__")                                \
  X(split, "split")                                         \
  X(msg_not_found, "Cannot find the document ")             \
  X(not_supported, " is not supported")

// Keyword-name tuples of the fixed call shapes. X(field, "a", "b", ...).
#define QEN_REST_KWNAMES(X)                                         \
  X(kw_display, "lazy", "catalog", "show_hidden")                   \
  X(kw_catalog, "catalog")                                          \
  X(kw__acl, "_acl")                                                \
  X(kw_acl, "acl")                                                  \
  X(kw_search, "_acl", "_limit", "_id_only")                        \
  X(kw_search_ids, "_acl", "_limit")                                \
  X(kw_analyze, "analytic_request", "acl")                          \
  X(kw_error, "type", "message", "trace")                           \
  X(kw_batch_acl, "batch", "acl")                                   \
  X(kw__batch__acl, "_batch", "_acl")                               \
  X(kw_engine, "engine")                                            \
  X(kw_check, "acl", "act")                                         \
  X(kw_check_doc, "acl", "act", "doc")                              \
  X(kw_action, "action_name", "acl", "payload")                     \
  X(kw_drop_msg, "collection", "drop")                              \
  X(kw_delete_msg, "collection", "drop", "deleted", "ignored")      \
  X(kw_post, "doc_class", "payload", "doc_path", "acl")             \
  X(kw_collection_post, "doc_class", "payload", "acl")              \
  X(kw_none)

// Names and keyword tuples of each area of operations, kept apart so that
// each area adds its own without touching the others.
#define QEN_REST_NAMES_COLLECTION(X)                              \
  X(msg_id_not_string, "Document ID must be string")              \
  X(msg_payload_form, "payload should be list or dictionary")
#define QEN_REST_KWNAMES_COLLECTION(X)
#define QEN_REST_NAMES_DOCUMENT(X)                                        \
  X(startswith, "startswith")                                             \
  X(underscore, "_")                                                      \
  X(msg_invalid_path, "Invalid document path ")                           \
  X(msg_create_hint, ", set create=True if you need to create a new one") \
  X(msg_type_of, "Document of type ")                                     \
  X(msg_not_type, " is not of type ")                                     \
  X(msg_key_from, "Update primary key from ")                             \
  X(msg_key_to, " to ")                                                   \
  X(msg_exists, "Document already exists ")                               \
  X(msg_empty_payload, "Empty payload")
#define QEN_REST_KWNAMES_DOCUMENT(X)
#define QEN_REST_NAMES_BATCH(X)                                          \
  X(batch_no_class_mapping, "No class mapping found")                     \
  X(batch_wrong_line, "Wrong payload line format, need have name, id, op") \
  X(batch_no_content, "Wrong payload line format, need have content for operation ") \
  X(batch_class_prefix, "Class ")                                         \
  X(batch_not_found_suffix, " not found")                                 \
  X(batch_op_prefix, "Operation ")
#define QEN_REST_KWNAMES_BATCH(X)
#define QEN_REST_NAMES_ACTION(X)                                         \
  X(act_dunder_class, "__class__")                                        \
  X(act_isdigit, "isdigit")                                               \
  X(act_wrong_type, "Parameter has a wrong type: ")                       \
  X(act_wrong_type_suffix, ",should be a document or an embedded document") \
  X(act_field_prefix, "field ")                                           \
  X(act_not_found_for_parsing, " not found for parsing ")                 \
  X(act_cannot_found, "Cannot found ")                                    \
  X(act_in, " in ")
#define QEN_REST_KWNAMES_ACTION(X)

#define QEN_REST_ALL_NAMES(X)                                       \
  QEN_REST_NAMES(X) QEN_REST_NAMES_COLLECTION(X) QEN_REST_NAMES_DOCUMENT(X) \
  QEN_REST_NAMES_BATCH(X) QEN_REST_NAMES_ACTION(X)
#define QEN_REST_ALL_KWNAMES(X)                                     \
  QEN_REST_KWNAMES(X) QEN_REST_KWNAMES_COLLECTION(X)                \
  QEN_REST_KWNAMES_DOCUMENT(X) QEN_REST_KWNAMES_BATCH(X)            \
  QEN_REST_KWNAMES_ACTION(X)

// Operations of RestApi, in class order. X(enum, "name").
#define QEN_REST_OPS(X)                                     \
  X(parse_catalog, "_parse_catalog")                        \
  X(root_post, "root_post")                                 \
  X(collection_get, "collection_get")                       \
  X(collection_analyze, "collection_analyze")               \
  X(collection_post, "collection_post")                     \
  X(collection_delete, "collection_delete")                 \
  X(get_document_from_path, "_get_document_from_path")      \
  X(get_method_from_path, "_get_method_from_path")          \
  X(document_get, "document_get")                           \
  X(document_delete, "document_delete")                     \
  X(document_patch, "document_patch")                       \
  X(document_put, "document_put")                           \
  X(document_post, "document_post")                         \
  X(action_post, "action_post")

enum class Op {
#define QEN_X(e, text) e,
  QEN_REST_OPS(QEN_X)
#undef QEN_X
      count
};
inline constexpr int kOpCount = static_cast<int>(Op::count);

// Objects imported or built at import, besides names. X(field).
#define QEN_REST_OBJECTS(X)                                              \
  X(json_loads) X(format_exc) X(wraps) X(Type) X(Union)                  \
  X(Base) X(Document) X(ListRuntime) X(Batch)                            \
  X(QenError) X(NotFoundError) X(ConflictError) X(BadRequestError)       \
  X(AuthorizationError)                                                  \
  X(QenCollectionDeleteMsg) X(QenDocumentDeleteMsg) X(QenErrorMessage)   \
  X(function_type)                                                       \
  X(caught) /* (ValueError, TypeError, RuntimeError, QenError) */        \
  X(status_200) X(status_204) X(status_400) X(status_500)

struct State {
  PyObject* module = nullptr;  // borrowed: the state lives inside it
  PyTypeObject* own_function_type = nullptr;  // borrowed from function_type
  PyObject* object_class_slot = nullptr;  // object's own __class__ descriptor (static)

#define QEN_X(field) ref field;
  QEN_REST_OBJECTS(QEN_X)
#undef QEN_X

#define QEN_X(field, ...) ref field;
  QEN_REST_ALL_NAMES(QEN_X)
  QEN_REST_ALL_KWNAMES(QEN_X)
#undef QEN_X

  // Per operation: its name, the classmethod stored on RestApi and the
  // callable inside it, so that `cls.op(...)` can skip the bound method when
  // `cls` resolves the name to our own classmethod.
  ref op_name[kOpCount];
  ref op_classmethod[kOpCount];
  ref op_callable[kOpCount];
  // Version tag of the last class seen to resolve each name to our own
  // classmethod. A type's tag changes whenever it or a base is modified, so
  // an equal, valid tag means the lookup would find the same object.
  unsigned int op_tag[kOpCount] = {};

  // Keyword names of recent field-form document paths ("_acl" then the
  // field names, interned), reused while the same fields come back.
  static constexpr int kFieldShapes = 4;
  ref field_kwnames[kFieldShapes];
  int next_field_shape = 0;
};

// Visits every reference the state owns (GC traversal and clearing).
template <typename F>
void for_each_ref(State& st, F&& visit) {
#define QEN_X(field, ...) visit(st.field);
  QEN_REST_OBJECTS(QEN_X)
  QEN_REST_ALL_NAMES(QEN_X)
  QEN_REST_ALL_KWNAMES(QEN_X)
#undef QEN_X
  for (ref& shape : st.field_kwnames) visit(shape);
  for (int i = 0; i < kOpCount; ++i) {
    visit(st.op_name[i]);
    visit(st.op_classmethod[i]);
    visit(st.op_callable[i]);
  }
}

inline State& state_of(void* ctx) { return *static_cast<State*>(ctx); }

// `cls.<op>(*args, **kwargs)` in vectorcall form (`args` without cls).
ref call_op(State& st, Op op, PyObject* cls, PyObject* const* args,
            Py_ssize_t nargs, PyObject* kwnames);

}  // namespace qen::rest
