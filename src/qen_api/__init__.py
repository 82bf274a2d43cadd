"""qen_api: the programmatic face of a document store.

Two native modules, imported on demand:

* ``qen_api.rest``: ``RestApi``, the REST facade over the document engine
  ``qen_engine``, with the wrappers ``error_handle`` and ``auth_required``;
* ``qen_api.permgate``: ``Permgate``, the client of the authorization service.

``qen_api.message`` holds the records in which errors and deletions are
reported.
"""

__version__ = "0.1.0"
