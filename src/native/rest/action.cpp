// Action path resolution and action invocation on collections and documents.
#include "rest/ops.hpp"

namespace qen::rest {

ref get_method_from_path(void*, PyObject* const*) {
  PyErr_SetString(PyExc_NotImplementedError, "get_method_from_path is not implemented yet");
  fail();
}

ref action_post(void*, PyObject* const*) {
  PyErr_SetString(PyExc_NotImplementedError, "action_post is not implemented yet");
  fail();
}

}  // namespace qen::rest
