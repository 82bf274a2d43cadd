// Action path resolution and action invocation on collections and documents.
#include <utility>

#include "rest/ops.hpp"

namespace qen::rest {
namespace {

// `isinstance(obj, type)`. A plain class is answered from the MRO when obj
// cannot claim another class through an overridden `__class__`; every other
// case asks isinstance() itself.
bool is_instance(State& st, PyObject* obj, PyObject* type) {
  if (PyType_CheckExact(type)) {
    if (PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type))) return true;
    if (Py_TYPE(obj)->tp_getattro == PyObject_GenericGetAttr &&
        _PyType_Lookup(Py_TYPE(obj), st.act_dunder_class.get()) == st.object_class_slot) {
      return false;  // object's own __class__ (a data descriptor): type(obj)
    }
  }
  return check_status(PyObject_IsInstance(obj, type)) != 0;
}

[[noreturn]] void not_enough_to_unpack() {
  PyErr_SetString(PyExc_ValueError, "not enough values to unpack (expected 2, got 1)");
  fail();
}

// `"/" in path`.
bool has_slash(State& st, PyObject* path) {
  if (PyUnicode_CheckExact(path)) {
    const Py_ssize_t at = PyUnicode_FindChar(path, '/', 0, PyUnicode_GET_LENGTH(path), 1);
    if (at == -2) fail();
    return at >= 0;
  }
  return check_status(PySequence_Contains(path, st.slash.get())) != 0;
}

// `head, rest = path.split("/", 1)`, with the interpreter's unpacking errors.
std::pair<ref, ref> split_first(State& st, PyObject* path) {
  if (PyUnicode_CheckExact(path)) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(path);
    const Py_ssize_t at = PyUnicode_FindChar(path, '/', 0, n, 1);
    if (at == -2) fail();
    if (at < 0) not_enough_to_unpack();
    return {check(PyUnicode_Substring(path, 0, at)),
            check(PyUnicode_Substring(path, at + 1, n))};
  }
  ref one = check(PyLong_FromLong(1));
  PyObject* stack[] = {path, st.slash.get(), one.get()};
  ref parts = check(PyObject_VectorcallMethod(st.split.get(), stack, 3, nullptr));
  return unpack2(parts.get());
}

// `getattr(obj, name, None)`: only AttributeError counts as missing.
ref attribute_or_none(PyObject* obj, PyObject* name) {
  PyObject* value = nullptr;
  if (_PyObject_LookupAttr(obj, name, &value) < 0) fail();
  return value ? ref::steal(value) : ref::borrow(Py_None);
}

// `text.isdigit()`.
bool is_digits(State& st, PyObject* text) {
  if (PyUnicode_CheckExact(text)) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!Py_UNICODE_ISDIGIT(PyUnicode_READ(kind, data, i))) return false;
    }
    return n > 0;
  }
  ref answer = check(PyObject_CallMethodNoArgs(text, st.act_isdigit.get()));
  return truth(answer.get());
}

[[noreturn]] void member_not_found(State& st, PyObject* piece, PyObject* field_name) {
  raise_joined(st.NotFoundError.get(),
               {st.act_cannot_found.get(), piece, st.act_in.get(), field_name});
}

// `list[int(piece)]`; a position outside the list is a member not found.
ref list_member(State& st, PyObject* list, PyObject* piece, PyObject* field_name) {
  ref index = check(PyNumber_Long(piece));
  ref member = ref::steal(PyObject_GetItem(list, index.get()));
  if (!member) {
    if (!PyErr_ExceptionMatches(PyExc_IndexError)) fail();
    PyErr_Clear();
    member_not_found(st, piece, field_name);
  }
  return member;
}

// A runtime list member: by key when the list holds it, else by position.
ref runtime_member(State& st, PyObject* list, PyObject* piece, PyObject* field_name) {
  if (check_status(PySequence_Contains(list, piece))) {
    return check(PyObject_GetItem(list, piece));
  }
  if (!is_digits(st, piece)) member_not_found(st, piece, field_name);
  ref index = check(PyNumber_Long(piece));
  return check(PyObject_GetItem(list, index.get()));
}

// Each level of the walk is a call through the class; a path that loops
// through back-references must end in RecursionError, not a blown C stack.
struct RecursionScope {
  RecursionScope() {
    if (Py_EnterRecursiveCall(" while resolving an action path")) fail();
  }
  ~RecursionScope() { Py_LeaveRecursiveCall(); }
  RecursionScope(const RecursionScope&) = delete;
  RecursionScope& operator=(const RecursionScope&) = delete;
};

ref descend(State& st, PyObject* cls, PyObject* next, PyObject* path, PyObject* acl) {
  RecursionScope scope;
  PyObject* stack[] = {next, path, acl};
  return call_op(st, Op::get_method_from_path, cls, stack, 3, nullptr);
}

// "action." + name, with the interpreter's TypeError for a non-text name.
ref act_of(State& st, PyObject* name) {
  return check(PyNumber_Add(st.action_prefix.get(), name));
}

bool is_public(State& st, PyObject* doc_class, PyObject* action_path) {
  ref actions = check(PyObject_CallMethodNoArgs(doc_class, st.get_actions.get()));
  ref no_description = check(PyDict_New());
  PyObject* lookup[] = {actions.get(), action_path, no_description.get()};
  ref description = check(PyObject_VectorcallMethod(st.get.get(), lookup, 3, nullptr));
  PyObject* flag_lookup[] = {description.get(), st.public_.get(), Py_False};
  ref flag = check(PyObject_VectorcallMethod(st.get.get(), flag_lookup, 3, nullptr));
  return truth(flag.get());
}

ref collection_action(State& st, PyObject* doc_class, PyObject* payload,
                      PyObject* action_path, PyObject* acl) {
  if (!is_public(st, doc_class, action_path)) {
    ref act = act_of(st, action_path);
    PyObject* check_args[] = {doc_class, acl, act.get()};
    check(PyObject_VectorcallMethod(st.check_acl.get(), check_args, 1, st.kw_check.get()));
  }
  PyObject* run[] = {doc_class, action_path, acl, payload};
  ref result = check(PyObject_VectorcallMethod(st.collection_action.get(), run, 1,
                                               st.kw_action.get()));
  return tuple_of({result.get(), doc_class, action_path});
}

ref document_action(State& st, PyObject* cls, PyObject* doc_class, PyObject* payload,
                    PyObject* doc_path, PyObject* action_path, PyObject* acl) {
  ref doc = found_document(st, cls, doc_class, doc_path, acl);
  PyObject* walk[] = {doc.get(), action_path, acl};
  ref reached = call_op(st, Op::get_method_from_path, cls, walk, 3, nullptr);
  auto [target, name] = unpack2(reached.get());

  // The access check is the top-level document's, whatever object runs.
  ref act = act_of(st, name.get());
  PyObject* check_args[] = {doc.get(), acl, act.get(), doc.get()};
  check(PyObject_VectorcallMethod(st.check_acl.get(), check_args, 1, st.kw_check_doc.get()));

  PyObject* run[] = {target.get(), name.get(), acl, payload};
  ref result = check(PyObject_VectorcallMethod(st.action.get(), run, 1, st.kw_action.get()));
  PyObject* target_class = reinterpret_cast<PyObject*>(Py_TYPE(target.get()));
  return tuple_of({result.get(), target_class, name.get()});
}

}  // namespace

// _get_method_from_path(cls, doc, action_path, acl)
ref get_method_from_path(void* ctx, PyObject* const* args) {
  State& st = state_of(ctx);
  PyObject* cls = args[0];
  PyObject* doc = args[1];
  PyObject* action_path = args[2];
  PyObject* acl = args[3];

  if (!is_instance(st, doc, st.Base.get())) {
    raise_joined(st.BadRequestError.get(),
                 {st.act_wrong_type.get(), reinterpret_cast<PyObject*>(Py_TYPE(doc)),
                  st.act_wrong_type_suffix.get()});
  }
  if (!has_slash(st, action_path)) return tuple_of({doc, action_path});

  auto [field_name, sub_path] = split_first(st, action_path);
  if (PyUnicode_CheckExact(field_name.get())) {
    // Attribute names of classes are interned: the interned twin makes the
    // lookup use the type's method cache and pointer-equal dict keys.
    PyObject* name = field_name.release();
    PyUnicode_InternInPlace(&name);
    field_name = ref::steal(name);
  }
  ref sub = attribute_or_none(doc, field_name.get());
  if (sub.get() == Py_None) {
    raise_joined(st.BadRequestError.get(),
                 {st.act_field_prefix.get(), field_name.get(),
                  st.act_not_found_for_parsing.get(), action_path});
  }
  // Kinds are tested in this order: a value that is both a list and a
  // runtime list is walked as a plain list.
  if (is_instance(st, sub.get(), st.Base.get())) {
    return descend(st, cls, sub.get(), sub_path.get(), acl);
  }
  const bool plain_list = is_instance(st, sub.get(), reinterpret_cast<PyObject*>(&PyList_Type));
  if (!plain_list && !is_instance(st, sub.get(), st.ListRuntime.get())) {
    return ref::borrow(Py_None);
  }
  auto [piece, member_path] = split_first(st, sub_path.get());
  ref member = plain_list ? list_member(st, sub.get(), piece.get(), field_name.get())
                          : runtime_member(st, sub.get(), piece.get(), field_name.get());
  return descend(st, cls, member.get(), member_path.get(), acl);
}

// action_post(cls, doc_class, payload, doc_path, action_path, acl)
ref action_post(void* ctx, PyObject* const* args) {
  State& st = state_of(ctx);
  PyObject* cls = args[0];
  PyObject* doc_class = args[1];
  PyObject* payload = args[2];
  PyObject* doc_path = args[3];
  PyObject* action_path = args[4];
  PyObject* acl = args[5];

  if (check_status(PyObject_RichCompareBool(doc_path, st.empty.get(), Py_EQ))) {
    return collection_action(st, doc_class, payload, action_path, acl);
  }
  return document_action(st, cls, doc_class, payload, doc_path, action_path, acl);
}

}  // namespace qen::rest
