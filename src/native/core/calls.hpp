// Calls whose failures must read exactly as the interpreter's own: spreading
// a caller's mapping as keywords (`f(*pos, k=v, **mapping)`) and unpacking a
// pair (`a, b = value`). Every operation goes through these helpers so that
// all of them report such errors the same way.
#pragma once

#include <initializer_list>
#include <utility>

#include "core/ref.hpp"

namespace qen {

// Fixed keywords of one call shape: a prebuilt tuple of names plus values.
struct Keywords {
  PyObject* names;  // tuple of str, built once
  PyObject* const* values;
};

// `getattr(self, name)(*pos, **fixed, **mapping)` without a bound method on the
// fast path. `mapping` may be NULL (no spread). Raises the interpreter's
// TypeError for a non-mapping, a non-string key or a key that collides with a
// fixed keyword.
ref call_method_spread(PyObject* self, PyObject* name, PyObject* const* pos,
                       Py_ssize_t npos, Keywords fixed, PyObject* mapping);

// A new tuple of the given items (cheaper than the varargs PyTuple_Pack).
ref tuple_of(std::initializer_list<PyObject*> items);

// `a, b = value`, with the interpreter's ValueError/TypeError texts.
std::pair<ref, ref> unpack2(PyObject* value);

}  // namespace qen
