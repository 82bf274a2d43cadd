// Single-document operations: read, delete, patch, put, post.
#include "rest/ops.hpp"

namespace qen::rest {

ref document_get(void*, PyObject* const*) {
  PyErr_SetString(PyExc_NotImplementedError, "document_get is not implemented yet");
  fail();
}

ref document_delete(void*, PyObject* const*) {
  PyErr_SetString(PyExc_NotImplementedError, "document_delete is not implemented yet");
  fail();
}

ref document_patch(void*, PyObject* const*) {
  PyErr_SetString(PyExc_NotImplementedError, "document_patch is not implemented yet");
  fail();
}

ref document_put(void*, PyObject* const*) {
  PyErr_SetString(PyExc_NotImplementedError, "document_put is not implemented yet");
  fail();
}

ref document_post(void*, PyObject* const*) {
  PyErr_SetString(PyExc_NotImplementedError, "document_post is not implemented yet");
  fail();
}

}  // namespace qen::rest
