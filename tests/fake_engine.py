"""A recording stand-in for the document engine, for unit tests.

`build()` returns a fresh module that looks like ``qen_engine`` to the
facade. Every engine call made on its classes, documents and batches is
appended to ``module.LOG`` as a `Call` whose kwargs keep their order, and
each call answers from a per-class or per-document script:

    Order = module.doc_class("Order", load=doc, objects=[doc])

A scripted value that is an exception instance is raised; a function is
called with the receiver and the call's arguments; anything else is returned.
"""

from __future__ import annotations

import types
from typing import Any, NamedTuple


class Call(NamedTuple):
    target: Any
    name: str
    args: tuple
    kwargs: tuple  # ((name, value), ...) in call order

    @property
    def kw(self) -> dict:
        return dict(self.kwargs)


_MISSING = object()


def build() -> types.ModuleType:
    m = types.ModuleType("qen_engine")
    log: list[Call] = []
    m.LOG = log
    m.Call = Call

    def answer(receiver, script, name, default, args, kwargs):
        log.append(Call(receiver, name, args, tuple(kwargs.items())))
        value = script.get(name, _MISSING)
        if value is _MISSING:
            return default(*args, **kwargs) if callable(default) else default
        if isinstance(value, BaseException):
            raise value
        if isinstance(value, types.FunctionType):
            return value(receiver, *args, **kwargs)
        return value

    class QenError(Exception):
        status_code = 500

    class NotFoundError(QenError):
        status_code = 404

    class ConflictError(QenError):
        status_code = 409

    class BadRequestError(QenError):
        status_code = 400

    class AuthorizationError(QenError):
        status_code = 403

    class Base:
        """A document or embedded document; attributes are its fields."""

        script: dict = {}

        def __init__(self, **fields):
            self.script = dict(type(self).doc_script)
            for k, v in fields.items():
                setattr(self, k, v)

        doc_script: dict = {}

        def _call(self, name, default, /, *args, **kwargs):
            return answer(self, self.script, name, default, args, kwargs)

        def get_display_data(self, *args, **kwargs):
            return self._call("get_display_data", {"display": type(self).__name__}, *args, **kwargs)

        def save(self, *args, **kwargs):
            return self._call("save", lambda *a, **k: self, *args, **kwargs)

        def update(self, *args, **kwargs):
            return self._call("update", lambda *a, **k: self, *args, **kwargs)

        def delete(self, *args, **kwargs):
            return self._call("delete", [], *args, **kwargs)

        def calculate_id(self, *args, **kwargs):
            return self._call("calculate_id", "calculated", *args, **kwargs)

        def get_id(self, *args, **kwargs):
            return self._call("get_id", lambda *a, **k: getattr(self, "_id", None), *args, **kwargs)

        def check_acl(self, *args, **kwargs):
            return self._call("check_acl", None, *args, **kwargs)

        def action(self, *args, **kwargs):
            return self._call("action", "action-result", *args, **kwargs)

    class Document(Base):
        class_script: dict = {}
        _key_fields: tuple = ()
        _engine: Any = "engine"

        @classmethod
        def _ccall(cls, name, default, /, *args, **kwargs):
            return answer(cls, cls.class_script, name, default, args, kwargs)

        @classmethod
        def load(cls, *args, **kwargs):
            return cls._ccall("load", None, *args, **kwargs)

        @classmethod
        def objects(cls, *args, **kwargs):
            return cls._ccall("objects", [], *args, **kwargs)

        @classmethod
        def analyze(cls, *args, **kwargs):
            return cls._ccall("analyze", {"analysis": True}, *args, **kwargs)

        @classmethod
        def from_display(cls, *args, **kwargs):
            return cls._ccall("from_display", lambda *a, **k: cls(**k), *args, **kwargs)

        @classmethod
        def drop(cls, *args, **kwargs):
            return cls._ccall("drop", None, *args, **kwargs)

        @classmethod
        def delete_all(cls, *args, **kwargs):
            return cls._ccall("delete_all", [], *args, **kwargs)

        @classmethod
        def get_collection_name(cls, *args, **kwargs):
            return cls._ccall("get_collection_name", cls.__name__.lower(), *args, **kwargs)

        @classmethod
        def get_actions(cls, *args, **kwargs):
            return cls._ccall("get_actions", {}, *args, **kwargs)

        class _CheckAcl:
            """`check_acl` of the class, or of a document when read on one."""

            def __get__(self, obj, cls):
                if obj is not None:
                    return lambda *a, **k: obj._call("check_acl", None, *a, **k)
                return lambda *a, **k: cls._ccall("check_acl", None, *a, **k)

        check_acl = _CheckAcl()

        @classmethod
        def collection_action(cls, *args, **kwargs):
            return cls._ccall("collection_action", "collection-result", *args, **kwargs)

    class ListRuntime:
        """A runtime list field: members found by their `key` attribute
        (`"k1" in lines`, `lines["k1"]`) or by position (`lines[2]`). Like the
        engine's, it is not a `list`. Membership tests and subscripts are
        logged as "__contains__" and "__getitem__"."""

        def __init__(self, members=()):
            self.members = list(members)

        def _keyed(self, key):
            return [m for m in self.members if getattr(m, "key", _MISSING) == key]

        def __contains__(self, key):
            log.append(Call(self, "__contains__", (key,), ()))
            return bool(self._keyed(key))

        def __getitem__(self, index):
            log.append(Call(self, "__getitem__", (index,), ()))
            if isinstance(index, str):
                return self._keyed(index)[0]
            return self.members[index]

        def __iter__(self):
            return iter(self.members)

        def __len__(self):
            return len(self.members)

    class Batch:
        commit_result: Any = (True, "committed")

        def __init__(self, *args, **kwargs):
            log.append(Call(Batch, "Batch", args, tuple(kwargs.items())))
            self.engine = kwargs.get("engine")

        def commit(self, *args, **kwargs):
            log.append(Call(self, "commit", args, tuple(kwargs.items())))
            result = Batch.commit_result
            if isinstance(result, BaseException):
                raise result
            return result

    def doc_class(name, base=Document, key_fields=(), engine="engine", doc_script=None, **class_script):
        """A Document subclass scripted per class operation."""
        return type(name, (base,), {
            "class_script": class_script,
            "doc_script": doc_script or {},
            "_key_fields": key_fields,
            "_engine": engine,
        })

    def document(cls=None, **fields):
        """A document (of `cls`, default a plain Document) with fields."""
        return (cls or Document)(**fields)

    def calls(name=None):
        return [c for c in log if name is None or c.name == name]

    for obj in (QenError, NotFoundError, ConflictError, BadRequestError,
                AuthorizationError, Base, Document, ListRuntime, Batch):
        setattr(m, obj.__name__, obj)
    m.doc_class = doc_class
    m.document = document
    m.calls = calls
    return m


class Acl:
    """An ACL as the engine hands it: only `content` is read by the facade."""

    def __init__(self, content: Any = ("*",)):
        self.content = content

    def __repr__(self) -> str:
        return f"Acl({self.content!r})"
