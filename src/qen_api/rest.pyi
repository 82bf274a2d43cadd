"""REST facade of the document store: RestApi, error_handle, auth_required."""

from collections.abc import Callable, Iterable, Mapping
from typing import Any, ParamSpec, Protocol, TypeVar

from qen_engine import Base, Document

_P = ParamSpec("_P")
_R = TypeVar("_R")

# (JSON-ready body, HTTP status): the answer of every public operation.
_ResultPair = tuple[Any, int]
# A display catalog: JSON text (or bytes), a mapping, a decoded JSON value, or none.
_Catalog = str | bytes | dict[str, Any] | list[Any] | None

class _Acl(Protocol):
    """The engine's ACL: an object whose `content` holds the grants."""

    @property
    def content(self) -> Any: ...

def error_handle(func: Callable[_P, _R]) -> Callable[_P, _R | _ResultPair]:
    """Wrap func so that the errors it raises come back as result pairs."""

def auth_required(func: Callable[_P, _R]) -> Callable[_P, _R]:
    """Wrap func so that an empty ACL given by keyword is refused."""

class RestApi:
    """The REST facade: every operation is a class method; see the URL model in
    the class documentation at run time (help(RestApi))."""

    @classmethod
    def root_post(
        cls,
        class_dict: Mapping[str, type[Document]],
        payload: Iterable[Mapping[str, Any]],
        acl: _Acl | None = None,
    ) -> _ResultPair:
        """Batch operation"""

    @classmethod
    def collection_get(
        cls,
        doc_class: type[Document],
        payload: dict[str, Any] | list[str] | None = None,
        acl: _Acl | None = None,
        limit: int | None = None,
        id_only: bool = False,
        catalog: _Catalog = None,
        lazy: bool = True,
        show_hidden: bool = False,
    ) -> _ResultPair:
        """Search Document"""

    @classmethod
    def collection_analyze(
        cls,
        doc_class: type[Document],
        analytic_request: dict[str, Any] | None = None,
        acl: _Acl | None = None,
    ) -> _ResultPair:
        """Analyze Document"""

    @classmethod
    def collection_post(
        cls,
        doc_class: type[Document],
        payload: Iterable[Mapping[str, Any]],
        acl: _Acl | None = None,
    ) -> _ResultPair:
        """Massive document creation"""

    @classmethod
    def collection_delete(
        cls,
        doc_class: type[Document],
        acl: _Acl | None = None,
        drop: bool = False,
    ) -> _ResultPair:
        """Drop a collection"""

    @classmethod
    def _parse_catalog(cls, catalog: _Catalog) -> Any: ...

    @classmethod
    def _get_document_from_path(
        cls,
        doc_class: type[Document],
        doc_path: str,
        acl: _Acl | None = None,
    ) -> Document | None:
        """Get document from a given path"""

    @classmethod
    def _get_method_from_path(
        cls,
        doc: Base,
        action_path: str,
        acl: _Acl | None = None,
    ) -> tuple[Base, str] | None:
        """Get method of a document from a given path"""

    @classmethod
    def document_get(
        cls,
        doc_class: type[Document],
        doc_path: str,
        acl: _Acl | None = None,
        catalog: _Catalog = None,
        lazy: bool = True,
        show_hidden: bool = False,
    ) -> _ResultPair:
        """Get a document"""

    @classmethod
    def document_delete(
        cls,
        doc_class: type[Document],
        doc_path: str,
        acl: _Acl | None = None,
    ) -> _ResultPair:
        """Delete a document"""

    # `catalog` has no default: a caller always gives it, None when no catalog applies.
    @classmethod
    def document_patch(
        cls,
        doc_class: type[Document],
        payload: Mapping[str, Any],
        catalog: _Catalog,
        doc_path: str,
        acl: _Acl | None = None,
    ) -> _ResultPair:
        """Update some fields of a document"""

    @classmethod
    def document_put(
        cls,
        doc_class: type[Document],
        payload: Mapping[str, Any],
        doc_path: str,
        create: bool = False,
        acl: _Acl | None = None,
    ) -> _ResultPair:
        """Update the whole document"""

    @classmethod
    def document_post(
        cls,
        doc_class: type[Document],
        payload: Mapping[str, Any],
        doc_path: str,
        acl: _Acl | None = None,
    ) -> _ResultPair:
        """Save the new document if not exist"""

    # Success is the action triple (result, owning class, action name); failure a pair.
    @classmethod
    def action_post(
        cls,
        doc_class: type[Document],
        payload: Mapping[str, Any] | None,
        doc_path: str,
        action_path: str,
        acl: _Acl | None = None,
    ) -> tuple[Any, type[Base], str] | _ResultPair:
        """Doing an action of a path"""
