// error_handle and auth_required: the two wrappers of the public operations.
//
// Each returns a pass-through wrapper (`handled_error`, `need_auth`) made with
// functools.wraps, so it carries the wrapped function's metadata and
// `__wrapped__`. The wrapper forwards its vectorcall arguments untouched.
#include <utility>

#include "core/handling.hpp"
#include "rest/ops.hpp"

namespace qen::rest {
namespace {

constexpr size_t kTraceLimit = 1024;

// The error record's pair for a caught error, or the error re-raised.
ref answer_error(State& st) {
  ref exc = fetch_error();
  if (!exc || !PyErr_GivenExceptionMatches(exc.get(), st.caught.get())) {
    // Not ours to answer: raised again as it was.
    PyObject* error = exc.release();
    PyObject* type = error ? Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(error))) : nullptr;
    PyObject* trace = error ? PyException_GetTraceback(error) : nullptr;
    PyErr_Restore(type, error, trace);
    fail();
  }
  Handling handling(exc.get());

  ref name = check(PyType_GetName(Py_TYPE(exc.get())));
  PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(exc.get())->args;
  PyObject* message = args && PyTuple_Check(args) && PyTuple_GET_SIZE(args) > 0
                          ? PyTuple_GET_ITEM(args, 0)
                          : Py_None;  // an error raised without argument
  ref text = check(PyObject_CallNoArgs(st.format_exc.get()));
  if (PyUnicode_Check(text.get()) &&
      PyUnicode_GET_LENGTH(text.get()) > static_cast<Py_ssize_t>(kTraceLimit)) {
    text = check(PyUnicode_Substring(text.get(), 0, kTraceLimit));
  }
  PyObject* fields[] = {name.get(), message, text.get()};
  ref record = check(PyObject_Vectorcall(st.QenErrorMessage.get(), fields, 0,
                                         st.kw_error.get()));
  PyObject* self[] = {record.get()};
  ref display = check(PyObject_VectorcallMethod(
      st.get_display_data.get(), self, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
      nullptr));
  ref status = check_status(PyObject_IsInstance(exc.get(), st.QenError.get()))
                   ? getattr(exc.get(), st.status_code.get())
                   : ref::borrow(st.status_400.get());
  return tuple_of({display.get(), status.get()});
}

PyObject* handled_error(PyObject* self, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames) {
  Function* f = as_function(self);
  State& st = state_of(f->ctx);
  PyObject* result = vectorcall(st.own_function_type, f->target, args, nargsf, kwnames);
  if (result) return result;
  return guard([&] { return answer_error(st).release(); },
               nullptr);
}

// The ACL a call carries: the keyword `acl`, else the argument in the slot of
// the wrapped function's `acl` parameter.
PyObject* find_acl(State& st, const Function* f, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames) {
  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      if (key == st.acl.get() || _PyUnicode_EQ(key, st.acl.get())) {
        return args[nargs + k];
      }
    }
  }
  return f->slot >= 0 && f->slot < nargs ? args[f->slot] : nullptr;
}

void refuse_empty_acl(State& st, PyObject* acl) {
  if (!acl || acl == Py_None) return;
  ref content = getattr(acl, st.content.get());
  if (!truth(content.get())) raise(st.AuthorizationError.get(), st.empty_acl.get());
}

PyObject* need_auth(PyObject* self, PyObject* const* args, size_t nargsf,
                    PyObject* kwnames) {
  Function* f = as_function(self);
  State& st = state_of(f->ctx);
  PyObject* acl = find_acl(st, f, args, PyVectorcall_NARGS(nargsf), kwnames);
  if (!guard([&] {
        refuse_empty_acl(st, acl);
        return true;
      }, false)) {
    return nullptr;
  }
  return vectorcall(st.own_function_type, f->target, args, nargsf, kwnames);
}

// Position of the `acl` parameter of any callable, or -1: read from our own
// parameter table, else from inspect.signature().
Py_ssize_t acl_position(State& st, PyObject* func) {
  if (Py_IS_TYPE(func, reinterpret_cast<PyTypeObject*>(st.function_type.get()))) {
    Py_ssize_t i = param_index(as_function(func), st.acl.get());
    if (i >= 0 || as_function(func)->params) return i;
  }
  ref inspect = check(PyImport_ImportModule("inspect"));
  ref signature_of = getattr(inspect.get(), str("signature").get());
  ref sig = ref::steal(PyObject_CallOneArg(signature_of.get(), func));
  if (!sig) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError) &&
        !PyErr_ExceptionMatches(PyExc_TypeError)) {
      fail();
    }
    PyErr_Clear();  // no signature to read: the keyword alone is examined
    return -1;
  }
  ref parameter = getattr(inspect.get(), str("Parameter").get());
  ref positional_only = getattr(parameter.get(), str("POSITIONAL_ONLY").get());
  ref positional = getattr(parameter.get(), str("POSITIONAL_OR_KEYWORD").get());
  ref params = getattr(sig.get(), str("parameters").get());
  ref values = check(PyMapping_Values(params.get()));
  const Py_ssize_t n = PyList_GET_SIZE(values.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* p = PyList_GET_ITEM(values.get(), i);
    ref kind = getattr(p, str("kind").get());
    if (kind.get() != positional_only.get() && kind.get() != positional.get()) break;
    ref pname = getattr(p, st.name.get());
    if (check_status(PyObject_RichCompareBool(pname.get(), st.acl.get(), Py_EQ))) return i;
  }
  return -1;
}

ref make_wrapper(State& st, PyObject* func, const char* name,
                 const char* qualname, vectorcallfunc call) {
  ref wrapper_name = str(name), wrapper_qualname = str(qualname);
  ref module_name = check(PyModule_GetNameObject(st.module));
  ref wrapper = new_wrapper(
      reinterpret_cast<PyTypeObject*>(st.function_type.get()),
      {wrapper_name.get(), wrapper_qualname.get(), module_name.get(), call, func,
       &st, st.module});
  ref decorator = check(PyObject_CallOneArg(st.wraps.get(), func));
  return check(PyObject_CallOneArg(decorator.get(), wrapper.get()));
}

ref error_handle(void* ctx, PyObject* const* args) {
  return make_wrapper(state_of(ctx), args[0], "handled_error",
                      "error_handle.<locals>.handled_error", handled_error);
}

ref auth_required(void* ctx, PyObject* const* args) {
  State& st = state_of(ctx);
  const Py_ssize_t slot = acl_position(st, args[0]);
  ref wrapper = make_wrapper(st, args[0], "need_auth",
                             "auth_required.<locals>.need_auth", need_auth);
  if (Py_IS_TYPE(wrapper.get(), reinterpret_cast<PyTypeObject*>(st.function_type.get()))) {
    as_function(wrapper.get())->slot = slot;
  }
  return wrapper;
}

void define(State& st, const char* name, Body body, const char* doc) {
  ref fname = str(name);
  ref module_name = check(PyModule_GetNameObject(st.module));
  ref params = check(PyTuple_Pack(1, interned("func").get()));
  ref defaults = check(PyTuple_New(0));
  ref annotations = check(PyDict_New());
  ref docstring = str(doc);
  ref fn = new_operation(
      reinterpret_cast<PyTypeObject*>(st.function_type.get()),
      {fname.get(), fname.get(), module_name.get(), docstring.get(), params.get(),
       defaults.get(), annotations.get(), body, &st, st.module});
  check_status(PyModule_AddObjectRef(st.module, name, fn.get()));
}

}  // namespace

void define_wrappers(State& st) {
  define(st, "error_handle", error_handle,
         "Wrap func so that the errors it raises come back as result pairs.\n\n"
         "ValueError, TypeError, RuntimeError and the engine's QenError family\n"
         "are answered with (display of a QenErrorMessage, status): the error's\n"
         "own status_code for QenError, 400 otherwise. Other errors propagate.");
  define(st, "auth_required", auth_required,
         "Wrap func so that a call whose ACL is present but empty is refused.\n\n"
         "The ACL is the keyword argument acl (or, without that keyword, the\n"
         "argument in the position of func's acl parameter). When its content\n"
         "is false, AuthorizationError(\"User has empty ACL\") is raised and func\n"
         "is not called.");
}

}  // namespace qen::rest
