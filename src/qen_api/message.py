"""Message records in which the REST facade reports errors and deletions.

Each record is built from keywords (directly, or through the class operation
``from_display``) and answers ``get_display_data()`` with a JSON-ready dict of
its fields.
"""

from __future__ import annotations

from typing import Any


class _Record:
    """A plain record: fixed fields, keyword construction, dict display."""

    _fields: tuple[str, ...] = ()
    _defaults: dict[str, Any] = {}

    def __init__(self, **fields: Any) -> None:
        unknown = set(fields) - set(self._fields)
        if unknown:
            raise TypeError(
                f"{type(self).__name__} got unexpected fields: {', '.join(sorted(unknown))}"
            )
        for name in self._fields:
            value = fields[name] if name in fields else self._default(name)
            setattr(self, name, value)

    def _default(self, name: str) -> Any:
        value = self._defaults.get(name)
        # Mutable defaults are made anew for every record.
        return type(value)() if isinstance(value, (list, dict)) else value

    @classmethod
    def from_display(cls, **fields: Any) -> "_Record":
        return cls(**fields)

    def get_display_data(self) -> dict[str, Any]:
        return {name: getattr(self, name) for name in self._fields}

    def __repr__(self) -> str:
        inner = ", ".join(f"{n}={getattr(self, n)!r}" for n in self._fields)
        return f"{type(self).__name__}({inner})"


class QenErrorMessage(_Record):
    """An error answered by the facade: error class name, message, trace."""

    _fields = ("type", "message", "trace")


class QenCollectionDeleteMsg(_Record):
    """Summary of emptying a collection: dropped, or deleted and ignored.

    ``deleted`` lists the successful delete results; ``ignored`` maps a
    collection to a mapping of result code to count of refused deletions.
    A drop record has an empty list and an empty mapping for them.
    """

    _fields = ("collection", "drop", "deleted", "ignored")
    _defaults = {"drop": False, "deleted": [], "ignored": {}}


class QenDocumentDeleteMsg(_Record):
    """One item of a document's delete result (any fields the engine gives)."""

    def __init__(self, **fields: Any) -> None:
        self._data = dict(fields)

    def get_display_data(self) -> dict[str, Any]:
        return dict(self._data)

    def __repr__(self) -> str:
        return f"QenDocumentDeleteMsg({self._data!r})"


__all__ = ["QenErrorMessage", "QenCollectionDeleteMsg", "QenDocumentDeleteMsg"]
