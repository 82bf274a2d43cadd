// Single-document operations: read, delete, patch, put, post.
//
// Operations reach each other and the private methods through `cls`
// (call_op), so a callee's own wrappers run again: its ACL check repeats and
// its errors come back as result pairs.
#include "rest/ops.hpp"

namespace qen::rest {
namespace {

// `cls._get_document_from_path(doc_class, doc_path[, acl])`; `acl` NULL
// leaves the resolution's default (no ACL).
ref find_document(State& st, PyObject* cls, PyObject* doc_class,
                  PyObject* doc_path, PyObject* acl) {
  PyObject* args[] = {doc_class, doc_path, acl};
  return call_op(st, Op::get_document_from_path, cls, args, acl ? 3 : 2, nullptr);
}

ref class_name(State& st, PyObject* cls) { return getattr(cls, st.dunder_name.get()); }

// "<prefix><class name>/<doc_path><suffix>", raised as `type`.
[[noreturn]] void raise_for_path(State& st, PyObject* type, PyObject* prefix,
                                 PyObject* doc_class, PyObject* doc_path,
                                 PyObject* suffix = nullptr) {
  ref name = class_name(st, doc_class);
  if (suffix) raise_joined(type, {prefix, name.get(), st.slash.get(), doc_path, suffix});
  raise_joined(type, {prefix, name.get(), st.slash.get(), doc_path});
}

[[noreturn]] void not_found(State& st, PyObject* doc_class, PyObject* doc_path) {
  raise_for_path(st, st.NotFoundError.get(), st.msg_not_found.get(), doc_class, doc_path);
}

ref parse_catalog(State& st, PyObject* cls, PyObject* catalog) {
  return call_op(st, Op::parse_catalog, cls, &catalog, 1, nullptr);
}

ref ok(PyObject* body, State& st) {
  return tuple_of({body, st.status_200.get()});
}

// `QenDocumentDeleteMsg.from_display(**item).get_display_data()` per item.
ref delete_messages(State& st, PyObject* delete_results) {
  ref out = check(PyList_New(0));
  ref iter = check(PyObject_GetIter(delete_results));
  while (ref item = ref::steal(PyIter_Next(iter.get()))) {
    ref record = call_spread(st, st.QenDocumentDeleteMsg.get(), st.from_display.get(),
                             item.get());
    ref display = call_noargs(record.get(), st.get_display_data.get());
    check_status(PyList_Append(out.get(), display.get()));
  }
  if (PyErr_Occurred()) fail();
  return out;
}

// The stored id must be what the replacement's key fields give.
void check_primary_key(State& st, PyObject* stored, PyObject* replacement) {
  ref key_fields = getattr(replacement, st._key_fields.get());
  if (!truth(key_fields.get())) return;
  ref computed = call_noargs(replacement, st.calculate_id.get());
  ref stored_id = call_noargs(stored, st.get_id.get());
  ref differ = check(PyObject_RichCompare(computed.get(), stored_id.get(), Py_NE));
  if (!truth(differ.get())) return;
  // The message asks both documents again, as the check's own text does.
  ref from = call_noargs(stored, st.get_id.get());
  ref to = call_noargs(replacement, st.calculate_id.get());
  raise_joined(PyExc_ValueError,
               {st.msg_key_from.get(), from.get(), st.msg_key_to.get(), to.get(),
                st.not_supported.get()});
}

}  // namespace

ref found_document(State& st, PyObject* cls, PyObject* doc_class,
                   PyObject* doc_path, PyObject* acl) {
  ref doc = find_document(st, cls, doc_class, doc_path, acl);
  if (doc.get() == Py_None) not_found(st, doc_class, doc_path);
  return doc;
}

// args: cls, doc_class, doc_path, acl, catalog, lazy, show_hidden
ref document_get(void* ctx, PyObject* const* args) {
  State& st = state_of(ctx);
  ref doc = found_document(st, args[0], args[1], args[2], args[3]);
  ref catalog = parse_catalog(st, args[0], args[4]);
  ref display = call_method(doc.get(), st.get_display_data.get(), st.kw_display.get(),
                            {args[5], catalog.get(), args[6]});
  return ok(display.get(), st);
}

// args: cls, doc_class, doc_path, acl
ref document_delete(void* ctx, PyObject* const* args) {
  State& st = state_of(ctx);
  PyObject* doc_class = args[1];
  ref doc = found_document(st, args[0], doc_class, args[2], args[3]);
  if (!check_status(PyObject_IsInstance(doc.get(), doc_class))) {
    ref own = class_name(st, reinterpret_cast<PyObject*>(Py_TYPE(doc.get())));
    ref wanted = class_name(st, doc_class);
    raise_joined(st.BadRequestError.get(),
                 {st.msg_type_of.get(), own.get(), st.msg_not_type.get(), wanted.get()});
  }
  ref results = call_method(doc.get(), st.delete_.get(), st.kw_acl.get(), {args[3]});
  ref body = delete_messages(st, results.get());
  return ok(body.get(), st);
}

// args: cls, doc_class, payload, catalog, doc_path, acl
ref document_patch(void* ctx, PyObject* const* args) {
  State& st = state_of(ctx);
  PyObject* acl = args[5];
  ref doc = found_document(st, args[0], args[1], args[4], acl);
  ref catalog = parse_catalog(st, args[0], args[3]);
  ref updated = call_method_spread(doc.get(), st.update.get(), nullptr, 0,
                                   Keywords{st.kw__acl.get(), &acl}, args[2]);
  ref display = call_method(updated.get(), st.get_display_data.get(), st.kw_catalog.get(),
                            {catalog.get()});
  return ok(display.get(), st);
}

// args: cls, doc_class, payload, doc_path, create, acl
ref document_put(void* ctx, PyObject* const* args) {
  State& st = state_of(ctx);
  PyObject *cls = args[0], *doc_class = args[1], *payload = args[2], *doc_path = args[3];
  PyObject* acl = args[5];
  // Looked up without the caller's ACL: it applies to the save below.
  ref stored = find_document(st, cls, doc_class, doc_path, nullptr);
  if (stored.get() == Py_None) {
    if (truth(args[4])) {
      PyObject* post_args[] = {doc_class, payload, doc_path, acl};
      return call_op(st, Op::document_post, cls, post_args, 0, st.kw_post.get());
    }
    raise_for_path(st, PyExc_ValueError, st.msg_not_found.get(), doc_class, doc_path,
                   st.msg_create_hint.get());
  }
  ref replacement = call_spread(st, doc_class, st.from_display.get(), payload);
  check_primary_key(st, stored.get(), replacement.get());
  ref stored_id = call_noargs(stored.get(), st.get_id.get());
  check_status(PyObject_SetAttr(replacement.get(), st._id.get(), stored_id.get()));
  ref saved = call_method(replacement.get(), st.save.get(), st.kw_acl.get(), {acl});
  ref display = call_noargs(saved.get(), st.get_display_data.get());
  return ok(display.get(), st);
}

// args: cls, doc_class, payload, doc_path, acl
ref document_post(void* ctx, PyObject* const* args) {
  State& st = state_of(ctx);
  PyObject *cls = args[0], *doc_class = args[1], *payload = args[2], *doc_path = args[3];
  ref existing = find_document(st, cls, doc_class, doc_path, nullptr);
  if (existing.get() != Py_None) {
    raise_for_path(st, st.ConflictError.get(), st.msg_exists.get(), doc_class, doc_path);
  }
  if (!truth(payload)) raise(PyExc_ValueError, st.msg_empty_payload.get());

  ref one = check(PyList_New(1));
  Py_INCREF(payload);
  PyList_SET_ITEM(one.get(), 0, payload);
  PyObject* post_args[] = {doc_class, one.get(), args[4]};
  ref result = call_op(st, Op::collection_post, cls, post_args, 0,
                       st.kw_collection_post.get());
  // A refusal or an error of the inner call is already a pair: hand it on.
  auto [body, status] = unpack2(result.get());
  ref failed = check(PyObject_RichCompare(status.get(), st.status_200.get(), Py_NE));
  if (truth(failed.get())) return result;
  ref zero = check(PyLong_FromLong(0));
  ref created = check(PyObject_GetItem(body.get(), zero.get()));
  return ok(created.get(), st);
}

}  // namespace qen::rest
