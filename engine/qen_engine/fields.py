"""Field declarations of document classes and the runtime list type.

A field turns a value given in display form (text, numbers, nested dicts for
embedded documents, lists of dicts for lists) into its object form, refusing
values of the wrong kind, and turns the object form back into display form.
"""

import copy

from .errors import BadRequestError, NotFoundError

_TYPE_NAMES = {str: "text", int: "integer", float: "number", bool: "boolean",
               dict: "mapping", list: "list"}


class Field:
    """A plain value: `type` (str, int, float, bool, dict, list or None for any)."""

    def __init__(self, type=None, *, default=None, required=False, hidden=False):
        self.type = type
        self.default = default
        self.required = required
        self.hidden = hidden
        self.name = None
        self.owner = None

    def __set_name__(self, owner, name):
        self.name = name
        self.owner = owner.__name__

    def blank(self):
        return copy.deepcopy(self.default)

    def refuse(self, value, wanted):
        return BadRequestError(f"Field {self.owner}.{self.name} expects {wanted}, "
                               f"got {type(value).__name__}")

    def convert(self, value):
        if value is not None and self.type is not None:
            check_scalar(self, self.type, value)
        return copy.deepcopy(value) if isinstance(value, (dict, list)) else value

    def dump(self, value, catalog, show_hidden):
        return copy.deepcopy(value)


def check_scalar(field, kind, value):
    """Check one plain value against `kind`; ints are accepted (and kept whole) as numbers."""
    if kind is float:
        if isinstance(value, (int, float)) and not isinstance(value, bool):
            return value
    elif kind is int:
        if isinstance(value, int) and not isinstance(value, bool):
            return value
    elif isinstance(value, kind):
        return value
    raise field.refuse(value, _TYPE_NAMES.get(kind, kind.__name__))


class Embedded(Field):
    """One embedded document of class `cls` (a Base subclass), given as a mapping."""

    def __init__(self, cls, *, required=False, hidden=False):
        super().__init__(cls, required=required, hidden=hidden)

    def convert(self, value):
        if value is None or isinstance(value, self.type):
            return value
        if isinstance(value, dict):
            return self.type.from_display(**value)
        raise self.refuse(value, f"a {self.type.__name__} mapping")

    def dump(self, value, catalog, show_hidden):
        return None if value is None else value.dump(catalog, show_hidden)


class ListOf(Field):
    """A plain Python list of embedded documents (`member` a Base subclass) or of plain values."""

    def __init__(self, member=None, *, hidden=False):
        super().__init__(list, hidden=hidden)
        self.member = member

    def blank(self):
        return []

    def is_doc_list(self):
        return isinstance(self.member, type) and hasattr(self.member, "_fields")

    def convert_member(self, value):
        if self.is_doc_list():
            if isinstance(value, self.member):
                return value
            if isinstance(value, dict):
                return self.member.from_display(**value)
            raise self.refuse(value, f"{self.member.__name__} mappings as members")
        return value if self.member is None else check_scalar(self, self.member, value)

    def convert(self, value):
        if value is None:
            return []
        if not isinstance(value, (list, tuple, ListRuntime)):
            raise self.refuse(value, "a list")
        return [self.convert_member(v) for v in value]

    def dump(self, value, catalog, show_hidden):
        if self.is_doc_list():
            return [m.dump(catalog, show_hidden) for m in value]
        return copy.deepcopy(value)


class RuntimeListOf(ListOf):
    """A list of `member` documents that can also be looked up by their `key` field."""

    def __init__(self, member, key, *, hidden=False):
        super().__init__(member, hidden=hidden)
        self.key = key

    def blank(self):
        return ListRuntime(key=self.key)

    def convert(self, value):
        members = super().convert(value)
        runtime = ListRuntime(members, key=self.key)
        runtime.check_keys(f"{self.owner}.{self.name}")
        return runtime


class ListRuntime:
    """Members looked up by key text (`"L1" in lines`, `lines["L1"]`) or by position (`lines[2]`).

    It is deliberately not a `list`: callers tell the two kinds of list field apart.
    """

    def __init__(self, members=(), key="code"):
        self.key = key
        self._members = list(members)

    def key_of(self, member):
        value = getattr(member, self.key, None)
        return None if value is None else str(value)

    def check_keys(self, where):
        seen = set()
        for member in self._members:
            k = self.key_of(member)
            if k is None:
                raise BadRequestError(f"Member of {where} has no {self.key}")
            if k in seen:
                raise BadRequestError(f"Duplicate {self.key} {k} in {where}")
            seen.add(k)

    def keys(self):
        return [self.key_of(m) for m in self._members]

    def get(self, key, default=None):
        text = str(key)
        return next((m for m in self._members if self.key_of(m) == text), default)

    def append(self, member):
        k = self.key_of(member)
        if k is None or k in self:
            raise BadRequestError(f"Member needs a new {self.key}, got {k}")
        self._members.append(member)

    def __contains__(self, key):
        return self.get(key) is not None

    def __getitem__(self, index):
        if isinstance(index, int):
            try:
                return self._members[index]
            except IndexError:
                raise NotFoundError(f"No member at position {index}") from None
        member = self.get(index)
        if member is None:
            raise NotFoundError(f"No member with {self.key} {index}")
        return member

    def __iter__(self):
        return iter(self._members)

    def __len__(self):
        return len(self._members)

    def __eq__(self, other):
        if isinstance(other, ListRuntime):
            return self.key == other.key and self._members == other._members
        return NotImplemented

    def __repr__(self):
        return f"ListRuntime({self._members!r}, key={self.key!r})"
