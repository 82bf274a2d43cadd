"""The in-memory store: engines, write operations and batches.

An engine keeps, per collection, a mapping id -> stored data (the full display
form of a document, hidden fields included, without "_id"). Stored data is
never changed in place: every write puts a new mapping, so documents built
from it share nothing mutable with the store.

Every write runs inside a transaction (`Txn`) under the engine's lock: it sees
its own earlier changes and reaches the store only when every write of it has
passed. A direct save/update/delete is a transaction of one write; a `Batch`
is a transaction of all the writes registered in it.
"""

import threading

from .acl import require
from .errors import BadRequestError, ConflictError, NotFoundError, QenError


class Engine:
    """One store of collections, with one re-entrant lock for all its operations."""

    def __init__(self, name="engine"):
        self.name = name
        self.lock = threading.RLock()
        self.classes = {}      # collection name -> document class bound to this engine
        self._data = {}        # collection name -> {id: stored data}
        self._last_id = {}     # collection name -> last generated number

    def register(self, cls):
        with self.lock:
            self.classes[cls.get_collection_name()] = cls

    def bind(self, cls):
        """A subclass of `cls` with the same name and collection, stored in this engine."""
        return type(cls.__name__, (cls,), {
            "_engine": self, "_collection": cls.get_collection_name(),
            "__module__": cls.__module__, "__qualname__": cls.__qualname__})

    def collections(self):
        with self.lock:
            return sorted(self._data)

    def rows(self, collection):
        """The live id -> data mapping of a collection; hold the lock while using it."""
        return self._data.get(collection, {})

    def drop(self, collection):
        with self.lock:
            return len(self._data.pop(collection, {}))

    def run(self, ops):
        """Apply `ops` all or none; return their results or raise the first refusal."""
        with self.lock:
            txn = Txn(self)
            results = [op.apply(txn) for op in ops]
            txn.commit()
        for op in ops:
            op.done()
        return results

    def __repr__(self):
        return f"Engine({self.name!r})"


class Txn:
    """Pending changes over an engine's store; `commit` writes them all."""

    def __init__(self, engine):
        self.engine = engine
        self.changes = {}      # collection -> {id: data, or None for deleted}

    def get(self, collection, doc_id):
        pending = self.changes.get(collection, {})
        if doc_id in pending:
            return pending[doc_id]
        return self.engine.rows(collection).get(doc_id)

    def items(self, collection):
        pending = self.changes.get(collection, {})
        for doc_id, data in self.engine.rows(collection).items():
            data = pending.get(doc_id, data)
            if data is not None:
                yield doc_id, data
        for doc_id, data in pending.items():
            if data is not None and doc_id not in self.engine.rows(collection):
                yield doc_id, data

    def put(self, collection, doc_id, data):
        self.changes.setdefault(collection, {})[doc_id] = data

    def remove(self, collection, doc_id):
        self.changes.setdefault(collection, {})[doc_id] = None

    def new_id(self, collection):
        number = self.engine._last_id.get(collection, 0) + 1
        while self.get(collection, str(number)) is not None:
            number += 1
        self.engine._last_id[collection] = number
        return str(number)

    def commit(self):
        for collection, pending in self.changes.items():
            rows = self.engine._data.setdefault(collection, {})
            for doc_id, data in pending.items():
                if data is None:
                    rows.pop(doc_id, None)
                else:
                    rows[doc_id] = data


class SaveOp:
    """Store a document's data; an insert (document without `_id`) refuses an existing id."""

    def __init__(self, doc, doc_id, data, insert):
        self.doc, self.doc_id, self.data, self.insert = doc, doc_id, data, insert
        self.collection = type(doc).get_collection_name()

    def apply(self, txn):
        if self.doc_id is None:
            self.doc_id = txn.new_id(self.collection)
        elif self.insert and txn.get(self.collection, self.doc_id) is not None:
            raise ConflictError(f"Document {self.collection}/{self.doc_id} already exists")
        txn.put(self.collection, self.doc_id, self.data)
        return self.doc

    def done(self):
        self.doc._id = self.doc_id


class UpdateOp:
    """Apply converted field values to the stored document `doc_id` of `cls`."""

    def __init__(self, cls, doc_id, values):
        self.cls, self.doc_id, self.values = cls, doc_id, values
        self.collection = cls.get_collection_name()

    def apply(self, txn):
        data = txn.get(self.collection, self.doc_id)
        if data is None:
            raise NotFoundError(f"Cannot update {self.collection}/{self.doc_id}: no such document")
        doc = self.cls.build(self.doc_id, data)
        for name, value in self.values.items():
            setattr(doc, name, value)
        new_data = doc.stored_data()
        if self.cls._key_fields and doc.calculate_id() != self.doc_id:
            raise BadRequestError(f"Cannot change the key fields of {self.collection}/{self.doc_id}")
        txn.put(self.collection, self.doc_id, new_data)
        return doc

    def done(self):
        pass


class DeleteOp:
    """Delete a stored document and, through the class's `_cascade`, the documents that name it."""

    def __init__(self, cls, doc_id, acl):
        self.cls, self.doc_id, self.acl = cls, doc_id, acl

    def apply(self, txn):
        collection = self.cls.get_collection_name()
        if txn.get(collection, self.doc_id) is None:
            raise NotFoundError(f"Cannot delete {collection}/{self.doc_id}: no such document")
        results = []
        delete_tree(txn, self.cls, collection, self.doc_id, self.acl, results)
        return results

    def done(self):
        pass


def delete_tree(txn, cls, collection, doc_id, acl, results):
    require(acl, collection, "write")
    txn.remove(collection, doc_id)
    results.append({"result": 200, "collection": collection, "id": doc_id})
    for target, field in getattr(cls, "_cascade", ()):
        target_cls = txn.engine.classes.get(target)
        named = [i for i, data in txn.items(target) if text_equal(data.get(field), doc_id)]
        for target_id in named:
            if txn.get(target, target_id) is not None:
                delete_tree(txn, target_cls, target, target_id, acl, results)


class Batch:
    """Writes registered by save(batch=)/update(_batch=)/delete(batch=), applied all or none.

    A batch holds writes for classes of its own engine only; registering a write
    of another engine's class is refused with BadRequestError.
    """

    def __init__(self, engine=None):
        if engine is None:
            from .document import Document
            engine = Document._engine
        self.engine = engine
        self._ops = []
        self._closed = False

    def register(self, cls, op):
        if cls._engine is not self.engine:
            raise BadRequestError(f"Batch of engine {self.engine.name} cannot hold writes "
                                  f"of {cls.__name__}, stored in engine {cls._engine.name}")
        if self._closed:
            raise BadRequestError("Batch already committed")
        self._ops.append(op)

    def __len__(self):
        return len(self._ops)

    def commit(self):
        """Apply every registered write, or none: returns (True, message) or (False, why)."""
        if self._closed:
            return False, "Batch already committed"
        self._closed = True
        count = len(self._ops)
        with self.engine.lock:
            txn = Txn(self.engine)
            for number, op in enumerate(self._ops, 1):
                try:
                    op.apply(txn)
                except QenError as error:
                    return False, f"Batch write {number} of {count} failed: {error.message}"
            txn.commit()
        for op in self._ops:
            op.done()
        return True, f"Committed {count} writes"


def value_at(data, path):
    """The value under a dotted field path of stored data, None when absent."""
    value = data
    for part in path.split("."):
        if not isinstance(value, dict):
            return None
        value = value.get(part)
    return value


def text_equal(value, wanted):
    """Equal, or equal to the text form of the value (criteria often arrive as URL text)."""
    if value == wanted and type(value) is not bool and type(wanted) is not bool:
        return True
    if isinstance(value, bool) or isinstance(wanted, bool):
        return value is wanted or wanted == ("true" if value else "false") or wanted == str(value)
    if not isinstance(wanted, str) or value is None or isinstance(value, str):
        return False
    if isinstance(value, (int, float)):
        try:
            return float(wanted) == value
        except ValueError:
            return False
    return str(value) == wanted


def matches(doc_id, data, criteria):
    for name, wanted in criteria.items():
        if name == "_id":
            value = doc_id
        elif "." in name:
            value = value_at(data, name)
        else:
            value = data.get(name)
        if not (value == wanted and type(value) is type(wanted)) and not text_equal(value, wanted):
            return False
    return True
