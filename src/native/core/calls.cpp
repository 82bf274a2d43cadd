#include "core/calls.hpp"

#include <vector>

namespace qen {

void raise(PyObject* type, PyObject* message) {
  ref exc = check(PyObject_CallOneArg(type, message));
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  fail();
}

namespace {

bool same_name(PyObject* a, PyObject* b) {
  return a == b || (PyUnicode_Check(a) && _PyUnicode_EQ(a, b));
}

// The cold path: the message names the callable as the interpreter does.
[[noreturn]] void spread_error(PyObject* self, PyObject* name, const char* fmt,
                               PyObject* detail) {
  ref func = getattr(self, name);
  ref funcstr = check(_PyObject_FunctionStr(func.get()));
  PyErr_Format(PyExc_TypeError, fmt, funcstr.get(), detail);
  fail();
}

// `**mapping` of a non-dict goes through a real dict, as the interpreter's
// own merge does (keys() and subscript).
ref as_dict(PyObject* self, PyObject* name, PyObject* mapping) {
  ref dict = check(PyDict_New());
  if (PyDict_Update(dict.get(), mapping) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
    PyErr_Clear();
    ref func = getattr(self, name);
    ref funcstr = check(_PyObject_FunctionStr(func.get()));
    PyErr_Format(PyExc_TypeError,
                 "%U argument after ** must be a mapping, not %.200s",
                 funcstr.get(), Py_TYPE(mapping)->tp_name);
    fail();
  }
  return dict;
}

}  // namespace

ref call_method_spread(PyObject* self, PyObject* name, PyObject* const* pos,
                       Py_ssize_t npos, Keywords fixed, PyObject* mapping) {
  const Py_ssize_t nfixed = PyTuple_GET_SIZE(fixed.names);
  ref dict_holder;
  if (mapping != nullptr && !PyDict_CheckExact(mapping)) {
    dict_holder = as_dict(self, name, mapping);
    mapping = dict_holder.get();
  }
  const Py_ssize_t nspread = mapping ? PyDict_GET_SIZE(mapping) : 0;
  const Py_ssize_t nargs = 1 + npos;  // self first, as a method call
  const Py_ssize_t total = nargs + nfixed + nspread;

  PyObject* small[16];
  std::vector<PyObject*> large;
  PyObject** stack = small;
  if (total > 16) {
    large.resize(static_cast<size_t>(total));
    stack = large.data();
  }
  stack[0] = self;
  for (Py_ssize_t i = 0; i < npos; ++i) stack[1 + i] = pos[i];
  for (Py_ssize_t i = 0; i < nfixed; ++i) stack[nargs + i] = fixed.values[i];

  if (nspread == 0) {
    return check(PyObject_VectorcallMethod(name, stack, nargs, fixed.names));
  }

  ref kwnames = check(PyTuple_New(nfixed + nspread));
  for (Py_ssize_t i = 0; i < nfixed; ++i) {
    PyObject* n = PyTuple_GET_ITEM(fixed.names, i);
    Py_INCREF(n);
    PyTuple_SET_ITEM(kwnames.get(), i, n);
  }
  Py_ssize_t it = 0, k = nfixed;
  PyObject *key, *value;
  while (PyDict_Next(mapping, &it, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      fail();
    }
    for (Py_ssize_t i = 0; i < nfixed; ++i) {
      if (same_name(key, PyTuple_GET_ITEM(fixed.names, i))) {
        spread_error(self, name,
                     "%U got multiple values for keyword argument '%S'", key);
      }
    }
    Py_INCREF(key);
    PyTuple_SET_ITEM(kwnames.get(), k, key);
    stack[nargs + k] = value;
    ++k;
  }
  // Values are borrowed from the mapping: keep it alive during the call even
  // if the callee empties it.
  ref keep = ref::borrow(mapping);
  return check(PyObject_VectorcallMethod(name, stack, nargs, kwnames.get()));
}

ref tuple_of(std::initializer_list<PyObject*> items) {
  ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (PyObject* item : items) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(item));
  return tuple;
}

std::pair<ref, ref> unpack2(PyObject* value) {
  if (PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == 2) {
    return {ref::borrow(PyTuple_GET_ITEM(value, 0)),
            ref::borrow(PyTuple_GET_ITEM(value, 1))};
  }
  ref it = ref::steal(PyObject_GetIter(value));
  if (!it) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) &&
        Py_TYPE(value)->tp_iter == nullptr && !PySequence_Check(value)) {
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                   Py_TYPE(value)->tp_name);
    }
    fail();
  }
  ref items[2];
  for (int i = 0; i < 2; ++i) {
    items[i] = ref::steal(PyIter_Next(it.get()));
    if (!items[i]) {
      if (PyErr_Occurred()) fail();
      PyErr_Format(PyExc_ValueError,
                   "not enough values to unpack (expected 2, got %d)", i);
      fail();
    }
  }
  ref extra = ref::steal(PyIter_Next(it.get()));
  if (extra) {
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    fail();
  }
  if (PyErr_Occurred()) fail();
  return {std::move(items[0]), std::move(items[1])};
}

}  // namespace qen
