// Action invocation on collections and documents.
#include "rest/ops.hpp"

namespace qen::rest {

ref action_post(void*, PyObject* const*) {
  PyErr_SetString(PyExc_NotImplementedError, "action_post is not implemented yet");
  fail();
}

}  // namespace qen::rest
