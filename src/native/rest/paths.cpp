// Document path resolution: /_id/<id> or /field/value/... to one load().
#include "rest/ops.hpp"

namespace qen::rest {

ref get_document_from_path(void*, PyObject* const*) {
  PyErr_SetString(PyExc_NotImplementedError, "get_document_from_path is not implemented yet");
  fail();
}

}  // namespace qen::rest
