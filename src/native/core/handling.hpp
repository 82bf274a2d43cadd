// Errors taken out of the error indicator and handled as an `except` block
// handles them.
#pragma once

#include <utility>

#include "core/ref.hpp"

namespace qen {

// The raised error, normalized, with its traceback attached; the error
// indicator is cleared.
inline ref fetch_error() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  ref t = ref::steal(type), error = ref::steal(value), trace = ref::steal(tb);
  if (trace && error) check_status(PyException_SetTraceback(error.get(), trace.get()));
  return error;
}

// While alive, `error` is the exception being handled (`sys.exc_info()`),
// as inside `except ... as err:`: traceback.format_exc() sees it, and an
// error raised meanwhile gets it as its __context__. Only the current frame's
// slot is swapped and put back, so a caller's generator keeps its own.
class Handling {
 public:
  explicit Handling(PyObject* error)
      : slot_(PyThreadState_Get()->exc_info),
        previous_(std::exchange(slot_->exc_value, Py_NewRef(error))) {}
  ~Handling() { Py_XSETREF(slot_->exc_value, previous_); }
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;

 private:
  _PyErr_StackItem* slot_;
  PyObject* previous_;  // owned; restored on exit
};

}  // namespace qen
