// The two methods of Permgate: the constructor and the ACL lookup.
#include <initializer_list>
#include <iterator>
#include <utility>

#include "core/calls.hpp"
#include "core/handling.hpp"
#include "permgate/state.hpp"

namespace qen::permgate {
namespace {

void setattr(PyObject* o, PyObject* name, PyObject* value) {
  check_status(PyObject_SetAttr(o, name, value));
}

ref call_method(PyObject* name, std::initializer_list<PyObject*> args) {
  return check(PyObject_VectorcallMethod(name, std::data(args), args.size(), nullptr));
}

bool compare(PyObject* a, PyObject* b, int op) {
  ref result = check(PyObject_RichCompare(a, b, op));
  return truth(result.get());
}

ref pair(PyObject* body, PyObject* status) { return tuple_of({body, status}); }

// A JSON-ready mapping with its members in the given order.
ref mapping(std::initializer_list<std::pair<PyObject*, PyObject*>> members) {
  ref d = check(PyDict_New());
  for (auto [key, value] : members) check_status(PyDict_SetItem(d.get(), key, value));
  return d;
}

// The answer body as text. Invalid UTF-8 becomes replacement characters: a
// broken body must still be reported, not turn into a decoding error.
ref body_text(State& st, PyObject* response) {
  ref content = getattr(response, st.content.get());
  return call_method(st.decode.get(), {content.get(), st.utf_8.get(), st.replace.get()});
}

// `err.args[0]`, or None for an error raised without arguments.
ref first_arg(State& st, PyObject* error) {
  ref args = getattr(error, st.args.get());
  if (!PyTuple_Check(args.get())) return check(PySequence_GetItem(args.get(), 0));
  if (PyTuple_GET_SIZE(args.get()) == 0) return ref::borrow(Py_None);
  return ref::borrow(PyTuple_GET_ITEM(args.get(), 0));
}

// The answer to a body that is not JSON; called with the parsing error raised.
ref parse_error_answer(State& st, PyObject* response) {
  ref error = fetch_error();
  Handling handling(error.get());
  ref message = first_arg(st, error.get());
  ref trace = body_text(st, response);
  ref status = getattr(response, st.status_code.get());
  ref body = mapping({{st.message.get(), message.get()}, {st.trace.get(), trace.get()}});
  return pair(body.get(), status.get());
}

// The "id" of the answer; None when the answer is not an object or has no
// "id", so that such an answer counts as a mismatch.
ref answer_id(State& st, PyObject* answer) {
  if (!PyDict_Check(answer)) return ref::borrow(Py_None);
  PyObject* id = PyDict_GetItemWithError(answer, st.id.get());
  if (!id && PyErr_Occurred()) fail();
  return ref::borrow(id ? id : Py_None);
}

// A member test on a JSON object; anything else has no members.
bool has_member(PyObject* answer, PyObject* name) {
  return PyDict_Check(answer) && check_status(PyDict_Contains(answer, name));
}

ref post_lookup(State& st, PyObject* self, PyObject* api_key) {
  ref post = getattr(st.requests.get(), st.post.get());  // at call time: patchable
  ref role_root = getattr(self, st.role_root.get());
  ref url = check(PyNumber_Add(role_root.get(), st.lookup_path.get()));
  ref app_name = getattr(self, st.app_name.get());
  ref payload = mapping({{st.api_key.get(), api_key}, {st.app_name.get(), app_name.get()}});
  PyObject* args[] = {url.get(), payload.get()};
  return check(PyObject_Vectorcall(post.get(), args, 1, st.kw_json.get()));
}

}  // namespace

ref permgate_init(void* ctx, PyObject* const* args) {
  State& st = state_of(ctx);
  PyObject* self = args[0];
  PyObject* api_root = args[1];
  setattr(self, st.app_name.get(), args[2]);
  setattr(self, st.api_root.get(), api_root);
  // Only the last character counts: a root ending in "//" keeps both.
  ref ends = call_method(st.endswith.get(), {api_root, st.slash.get()});
  const bool slash = truth(ends.get());
  const std::pair<PyObject*, PyObject*> roots[] = {
      {st.user_root.get(), (slash ? st.user : st.slash_user).get()},
      {st.role_root.get(), (slash ? st.role : st.slash_role).get()},
      {st.matrix_root.get(), (slash ? st.matrix : st.slash_matrix).get()}};
  for (auto [attr, word] : roots) {
    ref joined = check(PyNumber_Add(api_root, word));
    setattr(self, attr, joined.get());
  }
  return ref::borrow(Py_None);
}

ref get_api_acl(void* ctx, PyObject* const* args) {
  State& st = state_of(ctx);
  PyObject* api_id = args[2];
  ref response = post_lookup(st, args[0], args[1]);

  ref answer = ref::steal(PyObject_CallMethodNoArgs(response.get(), st.json.get()));
  if (!answer) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) fail();
    return parse_error_answer(st, response.get());
  }
  ref status = getattr(response.get(), st.status_code.get());

  if (compare(status.get(), st.status_200.get(), Py_EQ) && truth(api_id)) {
    ref id = answer_id(st, answer.get());
    if (compare(id.get(), api_id, Py_NE)) {
      ref text = check(PyUnicode_FromFormat("API ID %S and %S don't match", api_id, id.get()));
      ref body = mapping({{st.message.get(), text.get()}});
      return pair(body.get(), st.status_401.get());
    }
  }
  if (compare(status.get(), st.status_300.get(), Py_GE) &&
      !has_member(answer.get(), st.message.get())) {
    ref text = check(PyUnicode_FromFormat("API Endpoint returns code %S", status.get()));
    ref trace = body_text(st, response.get());
    ref body = mapping({{st.message.get(), text.get()}, {st.trace.get(), trace.get()}});
    return pair(body.get(), status.get());
  }
  // The service's own answer, parsed afresh.
  ref again = check(PyObject_CallMethodNoArgs(response.get(), st.json.get()));
  return pair(again.get(), status.get());
}

}  // namespace qen::permgate
