// The native function object: a C++ callable that Python treats as a function.
//
// It carries `__name__`, `__qualname__`, `__module__`, `__doc__`,
// `__annotations__`, `__defaults__`, a `__dict__` (so `functools.wraps` and
// `__wrapped__` work) and `__signature__` for `inspect`. It enters through
// vectorcall. Two flavours share one layout:
//  * an operation binds its arguments from a parameter table exactly as a
//    Python function with the same parameter list would, then runs a C++ body
//    on the bound values (in parameter order);
//  * a pass-through wrapper (`*args, **kwargs`) hands its arguments unchanged
//    to its own vectorcall routine, which usually calls `target`.
#pragma once

#include "core/ref.hpp"

namespace qen {

// Body of an operation: `args` holds one borrowed value per parameter.
using Body = ref (*)(void* ctx, PyObject* const* args);

inline constexpr Py_ssize_t kMaxParams = 12;

struct Function {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;       // value of __module__
  PyObject* doc;
  PyObject* annotations;  // dict or NULL
  PyObject* dict;         // __dict__ or NULL
  PyObject* params;       // tuple of interned names; NULL for a wrapper
  PyObject* defaults;     // tuple of trailing defaults; NULL for none
  PyObject* target;       // the wrapped callable of a wrapper, else NULL
  PyObject* owner;        // keeps the module (and so `ctx`) alive
  PyObject* weakrefs;
  void* ctx;              // the owning module's state
  Body body;
  Py_ssize_t slot;        // free for the wrapper's own use (-1 when unused)
};

// Creates the function type of one module. With `bind_as_method`, instances
// are descriptors that bind to instances like Python functions do (used for
// methods of ordinary classes); without it they have no `__get__`, so that
// `classmethod` binds them to the class.
ref make_function_type(PyObject* module, const char* qualified_name,
                       bool bind_as_method);

struct OperationDef {
  PyObject* name;
  PyObject* qualname;
  PyObject* module;       // __module__ value
  PyObject* doc;          // may be None
  PyObject* params;       // tuple of interned str, at most kMaxParams
  PyObject* defaults;     // tuple (may be empty)
  PyObject* annotations;  // dict
  Body body;
  void* ctx;
  PyObject* owner;
};

ref new_operation(PyTypeObject* type, const OperationDef& def);

struct WrapperDef {
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  vectorcallfunc call;
  PyObject* target;
  void* ctx;
  PyObject* owner;
};

ref new_wrapper(PyTypeObject* type, const WrapperDef& def);

inline Function* as_function(PyObject* o) {
  return reinterpret_cast<Function*>(o);
}

// PyObject_Vectorcall, entering functions of `own` type straight through
// their vectorcall slot (they keep the result/error contract themselves).
inline PyObject* vectorcall(PyTypeObject* own, PyObject* callable,
                            PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
  if (Py_IS_TYPE(callable, own)) {
    return as_function(callable)->vectorcall(callable, args, nargsf, kwnames);
  }
  return PyObject_Vectorcall(callable, args, nargsf, kwnames);
}

// Calls a function with positional arguments only. An operation whose
// parameters they fill (trailing defaults aside) runs its body at once;
// anything else binds as usual.
PyObject* call_positional(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

// Position of the parameter `name` of an operation, or -1.
Py_ssize_t param_index(const Function* f, PyObject* name);

}  // namespace qen
