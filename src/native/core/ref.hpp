// Owning references and the error idiom shared by every native module.
//
// Rules of the house:
//  * `ref` owns exactly one reference (or nothing); it is move-only and
//    releases in its destructor. It is built explicitly: `ref::steal` for a
//    new reference, `ref::borrow` to take a reference of our own.
//  * A plain `PyObject*` is always a borrowed view: never released by hand.
//  * A failed C-API call throws `py_error`; the Python error indicator stays
//    set. Every entry point from CPython catches it (see `guard`) and
//    returns NULL / -1. No C++ exception ever crosses into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <utility>

namespace qen {

// Marker: a Python error is set and the current call must unwind.
struct py_error {};

[[noreturn]] inline void fail() { throw py_error{}; }

class ref {
 public:
  ref() noexcept = default;
  ref(const ref&) = delete;
  ref& operator=(const ref&) = delete;
  ref(ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ref& operator=(ref&& other) noexcept {
    PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  ~ref() { Py_XDECREF(p_); }

  // Takes over a new reference (which may be NULL).
  static ref steal(PyObject* p) noexcept { return ref(p); }
  // Takes a reference of its own to a borrowed object (which may be NULL).
  static ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return ref(p);
  }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset() noexcept { Py_CLEAR(p_); }
  // A new reference for a caller that returns it to CPython.
  PyObject* new_ref() const noexcept {
    Py_XINCREF(p_);
    return p_;
  }

 private:
  explicit ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// Result of a C-API call returning a new reference or NULL on error.
inline ref check(PyObject* p) {
  if (p == nullptr) fail();
  return ref::steal(p);
}

// Result of a C-API call returning -1 on error.
inline int check_status(int status) {
  if (status < 0) fail();
  return status;
}

// Truth value, as Python's `if x:`.
inline bool truth(PyObject* o) { return check_status(PyObject_IsTrue(o)) != 0; }

inline ref getattr(PyObject* o, PyObject* name) {
  return check(PyObject_GetAttr(o, name));
}

inline ref str(const char* text) { return check(PyUnicode_FromString(text)); }

inline ref interned(const char* text) {
  return check(PyUnicode_InternFromString(text));
}

// Raises `type(message)` as Python's `raise type(message)` would.
[[noreturn]] void raise(PyObject* type, PyObject* message);

// Runs `body` at a boundary with CPython: C++ exceptions become Python errors.
template <typename F>
auto guard(F&& body, decltype(body()) on_error) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const py_error&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
  }
  return on_error;
}

}  // namespace qen
