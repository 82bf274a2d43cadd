// Batch writes on the API root.
#include "rest/ops.hpp"

namespace qen::rest {

ref root_post(void*, PyObject* const*) {
  PyErr_SetString(PyExc_NotImplementedError, "root_post is not implemented yet");
  fail();
}

}  // namespace qen::rest
