// Document and action path resolution.
#include "rest/ops.hpp"

namespace qen::rest {

ref get_document_from_path(void*, PyObject* const*) {
  PyErr_SetString(PyExc_NotImplementedError, "get_document_from_path is not implemented yet");
  fail();
}

ref get_method_from_path(void*, PyObject* const*) {
  PyErr_SetString(PyExc_NotImplementedError, "get_method_from_path is not implemented yet");
  fail();
}

}  // namespace qen::rest
