"""Documents, embedded documents and their actions.

Fields are declared as class attributes (see fields.py); an instance holds the
object form of every field as a plain attribute, so reading a field by name
gives its value. Documents (`Document` subclasses) live in a collection of
their class's engine (`_engine`); embedded documents (`Base` subclasses) live
inside a document.
"""

import copy

from . import acl as acl_rules
from .errors import BadRequestError, NotFoundError, QenError
from .fields import Field, ListRuntime
from .store import DeleteOp, Engine, SaveOp, UpdateOp, matches, value_at

default_engine = Engine("default")


def expose(description="", *, public=False):
    """Declare a method as an action: on a method a document action, on a classmethod a
    collection action. `public` collection actions run without an access check."""
    def mark(method):
        target = method.__func__ if isinstance(method, classmethod) else method
        target._qen_action = {"description": description, "public": bool(public)}
        return method
    return mark


def _action_mark(value):
    target = value.__func__ if isinstance(value, classmethod) else value
    return getattr(target, "_qen_action", None)


class Base:
    """A document or embedded document: built from display form, shown in display form."""

    _fields = {}
    _doc_actions = {}
    _coll_actions = {}
    _root = None          # the document that holds this embedded document

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        cls._fields, cls._doc_actions, cls._coll_actions = {}, {}, {}
        for klass in reversed(cls.__mro__):
            for name, value in vars(klass).items():
                if isinstance(value, Field):
                    cls._fields[name] = value
                cls._doc_actions.pop(name, None)
                cls._coll_actions.pop(name, None)
                mark = _action_mark(value)
                if mark is not None:
                    scope = "collection" if isinstance(value, classmethod) else "document"
                    actions = cls._coll_actions if scope == "collection" else cls._doc_actions
                    actions[name] = {**mark, "scope": scope}

    def __init__(self, **fields):
        unknown = [name for name in fields if name not in self._fields and name != "_id"]
        if unknown or ("_id" in fields and not isinstance(self, Document)):
            name = (unknown or ["_id"])[0]
            raise BadRequestError(f"Unknown field {name} for {type(self).__name__}")
        for name, field in self._fields.items():
            value = fields[name] if name in fields else field.blank()
            setattr(self, name, field.convert(value))
        if "_id" in fields:
            self._id = None if fields["_id"] is None else str(fields["_id"])
        if isinstance(self, Document):
            _adopt(self, self)

    @classmethod
    def from_display(cls, **fields):
        """An unsaved document built from display form; unknown fields are refused."""
        return cls(**fields)

    @classmethod
    def get_actions(cls):
        """Action name -> {"description", "public", "scope"} for the class's actions."""
        actions = {**cls._doc_actions, **cls._coll_actions}
        return {name: dict(description) for name, description in actions.items()}

    def dump(self, catalog=None, show_hidden=False):
        """The fields in display form, restricted by `catalog`."""
        selected = _select(type(self), catalog)
        shown = {}
        for name, field in self._fields.items():
            if (field.hidden and not show_hidden) or (selected is not None and name not in selected):
                continue
            value = field.convert(getattr(self, name, None))
            shown[name] = field.dump(value, None if selected is None else selected[name], show_hidden)
        return shown

    def get_display_data(self, lazy=True, catalog=None, show_hidden=False):
        """JSON-ready display form. `lazy` is accepted for callers; nothing here loads lazily."""
        return self.dump(catalog, show_hidden)

    def action(self, action_name=None, acl=None, payload=None):
        """Run the document action `action_name` after checking it against the owning document."""
        if action_name not in self._doc_actions:
            raise NotFoundError(f"Action {action_name} not found for {type(self).__name__}")
        owner = self if isinstance(self, Document) else self._root
        if owner is not None:
            owner.check_acl(acl=acl, act=f"action.{action_name}", doc=owner)
        return getattr(self, action_name)(acl=acl, payload=payload)

    def _persist(self):
        """Save the stored document this object belongs to (for actions, after their check)."""
        owner = self if isinstance(self, Document) else self._root
        if owner is None:
            raise BadRequestError(f"{type(self).__name__} is not part of a stored document")
        owner.save()

    def __eq__(self, other):
        if type(other) is not type(self):
            return NotImplemented
        return (getattr(self, "_id", None) == getattr(other, "_id", None)
                and self.dump(None, True) == other.dump(None, True))

    __hash__ = None

    def __repr__(self):
        return f"{type(self).__name__}({self.dump(None, True)!r})"


class Document(Base):
    """A top-level document, stored in the collection of its class in `_engine`.

    `_key_fields` names the fields whose values make the id; without key
    fields the engine numbers new documents "1", "2", ... Ids are text.
    """

    _engine = default_engine
    _collection = None
    _key_fields = ()
    _cascade = ()         # (collection, field): deleting me deletes documents whose field names my id
    _id = None

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        if "_collection" not in cls.__dict__:
            cls._collection = cls.__name__.lower()
        cls._engine.register(cls)

    # ----- identity
    @classmethod
    def get_collection_name(cls):
        return cls._collection

    def get_id(self):
        return self._id

    def calculate_id(self):
        """The id that the key fields give: their values' text joined by "-" (None without keys)."""
        if not self._key_fields:
            return None
        parts = []
        for name in self._key_fields:
            value = getattr(self, name, None)
            if value is None or value == "":
                raise BadRequestError(f"Key field {name} of {type(self).__name__} has no value")
            parts.append(str(value))
        return "-".join(parts)

    def get_display_data(self, lazy=True, catalog=None, show_hidden=False):
        return {"_id": self._id, **self.dump(catalog, show_hidden)}

    @classmethod
    def build(cls, doc_id, data):
        doc = cls(**data)             # conversion copies: nothing mutable is shared with the store
        doc._id = doc_id
        return doc

    def stored_data(self):
        """The full display form to store; refuses missing required fields."""
        for name, field in self._fields.items():
            if field.required and getattr(self, name, None) in (None, ""):
                raise BadRequestError(f"Field {type(self).__name__}.{name} is required")
        return self.dump(None, True)

    # ----- access
    @classmethod
    def check_acl(cls, acl=None, act=None, doc=None):
        """Raise AuthorizationError unless `acl` grants `act` (default "read") on the collection
        of `doc` (when given) or of this class; return None when allowed."""
        owner = type(doc) if isinstance(doc, Document) else cls
        acl_rules.require(acl, owner.get_collection_name(), act or "read")

    # ----- reads
    @classmethod
    def load(cls, id=None, /, _acl=None, **fields):
        """The document with id `id`, or the first whose fields equal `fields`; None if none."""
        cls.check_acl(acl=_acl, act="read")
        cls._check_names(fields)
        with cls._engine.lock:
            rows = cls._engine.rows(cls._collection)
            if id is not None:
                doc_id, data = str(id), rows.get(str(id))
                found = data is not None and matches(doc_id, data, fields)
            elif fields:
                hits = ((i, d) for i, d in rows.items() if matches(i, d, fields))
                doc_id, data = next(hits, (None, None))
                found = data is not None
            else:
                found = False             # no criteria name no document
            return cls.build(doc_id, data) if found else None

    @classmethod
    def objects(cls, *ids, _acl=None, _limit=None, _id_only=False, **filters):
        """Documents with the given ids (in that order) or all, those matching `filters`,
        at most `_limit` of them; their ids only when `_id_only`."""
        cls.check_acl(acl=_acl, act="read")
        cls._check_names(filters)
        limit = _whole_number(_limit)
        with cls._engine.lock:
            rows = cls._engine.rows(cls._collection)
            if ids:
                wanted = dict.fromkeys(str(i) for i in ids)
                candidates = ((i, rows[i]) for i in wanted if i in rows)
            else:
                candidates = iter(rows.items())
            found = []
            for doc_id, data in candidates:
                if limit is not None and len(found) >= limit:
                    break
                if matches(doc_id, data, filters):
                    found.append(doc_id if _id_only else cls.build(doc_id, data))
            return found

    @classmethod
    def analyze(cls, analytic_request=None, acl=None):
        """Counts over the collection. Request keys, all optional: "filter" (field -> value, as
        for objects), "group_by" (field name), "sum" (numeric field name). Answer:
        {"count": n, "sum": s, "groups": [{"value": v, "count": n, "sum": s}, ...]}, with "sum"
        only when asked and "groups" (in order of first appearance) only with "group_by"."""
        cls.check_acl(acl=acl, act="read")
        request = analytic_request or {}
        if not isinstance(request, dict) or set(request) - {"filter", "group_by", "sum"}:
            raise BadRequestError('Analytic request takes a mapping with "filter", "group_by", "sum"')
        criteria = request.get("filter") or {}
        if not isinstance(criteria, dict):
            raise BadRequestError("Analytic filter must be a mapping")
        group_by, summed = request.get("group_by"), request.get("sum")
        cls._check_names({**criteria, **{name: 1 for name in (group_by, summed) if name}})
        with cls._engine.lock:
            rows = [d for i, d in cls._engine.rows(cls._collection).items() if matches(i, d, criteria)]
        answer = _tally(rows, summed)
        if group_by:
            groups = {}
            for data in rows:
                value = value_at(data, group_by)
                if not isinstance(value, (str, int, float, bool, type(None))):
                    raise BadRequestError(f"Cannot group {cls.__name__} by {group_by}: not a plain value")
                groups.setdefault((type(value), value), []).append(data)
            answer["groups"] = [{"value": key[1], **_tally(members, summed)}
                                for key, members in groups.items()]
        return answer

    # ----- writes
    def save(self, batch=None, acl=None):
        """Store the document: a document without `_id` is inserted (an existing key id is a
        conflict), one with `_id` replaces the stored one. Returns the document, or None when
        the write is registered in `batch`."""
        cls = type(self)
        cls.check_acl(acl=acl, act="write")
        data = self.stored_data()
        if self._id is None:
            doc_id, insert = self.calculate_id(), True
        else:
            doc_id, insert = str(self._id), False
            if self._key_fields and self.calculate_id() != doc_id:
                raise BadRequestError(f"Id {doc_id} of {cls.__name__} does not match its key "
                                      f"fields, which give {self.calculate_id()}")
        op = SaveOp(self, doc_id, data, insert)
        if batch is not None:
            batch.register(cls, op)
            return None
        cls._engine.run([op])
        _adopt(self, self)
        return self

    def update(self, _batch=None, _acl=None, **fields):
        """Apply `fields` to the stored document with this `_id`; returns the updated document,
        or None when the write is registered in `_batch`."""
        cls = type(self)
        cls.check_acl(acl=_acl, act="write")
        if self._id is None:
            raise BadRequestError(f"{cls.__name__} without _id cannot be updated")
        unknown = [name for name in fields if name not in self._fields]
        if unknown:
            raise BadRequestError(f"Unknown field {unknown[0]} for {cls.__name__}")
        values = {name: self._fields[name].convert(value) for name, value in fields.items()}
        op = UpdateOp(cls, str(self._id), values)
        if _batch is not None:
            _batch.register(cls, op)
            return None
        [updated] = cls._engine.run([op])
        for name in values:
            setattr(self, name, copy.deepcopy(getattr(updated, name)))
        _adopt(self, self)
        return updated

    def delete(self, batch=None, acl=None):
        """Delete the stored document with this `_id` and what cascades from it. Returns the
        list of {"result": 200, "collection", "id"} for every document deleted, or None when
        the write is registered in `batch`."""
        cls = type(self)
        cls.check_acl(acl=acl, act="write")
        if self._id is None:
            raise BadRequestError(f"{cls.__name__} without _id cannot be deleted")
        op = DeleteOp(cls, str(self._id), acl)
        if batch is not None:
            batch.register(cls, op)
            return None
        [results] = cls._engine.run([op])
        return results

    @classmethod
    def delete_all(cls, acl=None):
        """Delete every document one by one (with cascades). A document whose deletion is
        refused stays, reported with the refusal's status (e.g. 403) as "result"."""
        cls.check_acl(acl=acl, act="write")
        results = []
        with cls._engine.lock:
            for doc_id in list(cls._engine.rows(cls._collection)):
                if doc_id not in cls._engine.rows(cls._collection):
                    continue            # gone with an earlier cascade
                try:
                    [done] = cls._engine.run([DeleteOp(cls, doc_id, acl)])
                    results.extend(done)
                except QenError as error:
                    results.append({"result": error.status_code,
                                    "collection": cls._collection, "id": doc_id})
        return results

    @classmethod
    def drop(cls, acl=None):
        """Remove the whole collection at once; nothing cascades."""
        cls.check_acl(acl=acl, act="write")
        count = cls._engine.drop(cls._collection)
        return {"result": 200, "collection": cls._collection, "count": count}

    # ----- collection actions
    @classmethod
    def collection_action(cls, action_name=None, acl=None, payload=None):
        """Run the collection action `action_name`; a non-public one needs its grant."""
        description = cls._coll_actions.get(action_name)
        if description is None:
            raise NotFoundError(f"Collection action {action_name} not found for {cls.__name__}")
        if not description["public"]:
            cls.check_acl(acl=acl, act=f"action.{action_name}")
        return getattr(cls, action_name)(acl=acl, payload=payload)

    @classmethod
    def _check_names(cls, criteria):
        for name in criteria:
            if name.split(".")[0] not in cls._fields and name != "_id":
                raise BadRequestError(f"Unknown field {name} for {cls.__name__}")


def _adopt(doc, root):
    """Point every embedded document below `doc` at the stored document `root`."""
    for name in doc._fields:
        value = getattr(doc, name, None)
        members = value if isinstance(value, (list, ListRuntime)) else (value,)
        for member in members:
            if isinstance(member, Base):
                member._root = root
                _adopt(member, root)


def _select(cls, catalog):
    """Catalog -> {field: sub-catalog or None}, or None for every field."""
    if catalog is None:
        return None
    if isinstance(catalog, (list, tuple)):
        catalog = dict.fromkeys(catalog, True)
    if not isinstance(catalog, dict):
        raise BadRequestError("Catalog must be a mapping or a list of field names")
    selected = {}
    for name, wanted in catalog.items():
        if name == "_id":
            continue
        if name not in cls._fields:
            raise BadRequestError(f"Unknown field {name} for {cls.__name__}")
        if wanted:
            selected[name] = wanted if isinstance(wanted, (dict, list)) else None
    return selected


def _whole_number(limit):
    if limit is None:
        return None
    if isinstance(limit, str) and limit.isdigit():
        return int(limit)
    if isinstance(limit, int) and not isinstance(limit, bool) and limit >= 0:
        return limit
    raise BadRequestError(f"_limit must be a whole number not below 0, got {limit!r}")


def _tally(rows, summed):
    answer = {"count": len(rows)}
    if summed:
        numbers = (value_at(d, summed) for d in rows)
        answer["sum"] = sum(n for n in numbers if isinstance(n, (int, float)) and not isinstance(n, bool))
    return answer
