// Collection operations: catalog, search, analysis, creation, deletion.
#include "rest/ops.hpp"

namespace qen::rest {

ref parse_catalog(void*, PyObject* const*) {
  PyErr_SetString(PyExc_NotImplementedError, "parse_catalog is not implemented yet");
  fail();
}

ref collection_get(void*, PyObject* const*) {
  PyErr_SetString(PyExc_NotImplementedError, "collection_get is not implemented yet");
  fail();
}

ref collection_analyze(void*, PyObject* const*) {
  PyErr_SetString(PyExc_NotImplementedError, "collection_analyze is not implemented yet");
  fail();
}

ref collection_post(void*, PyObject* const*) {
  PyErr_SetString(PyExc_NotImplementedError, "collection_post is not implemented yet");
  fail();
}

ref collection_delete(void*, PyObject* const*) {
  PyErr_SetString(PyExc_NotImplementedError, "collection_delete is not implemented yet");
  fail();
}

}  // namespace qen::rest
