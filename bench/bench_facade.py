"""Facade overhead: RestApi operations against the bare engine calls they make.

Each case is timed twice in one process and one run: through `RestApi`, and
as the engine calls the operation must make anyway, written directly in
Python with the same keywords. The engine is a minimal fake whose calls
return prebuilt objects, so the difference is the facade's own cost.

    python bench/bench_facade.py [--repeat 7] [--scale 1.0]

Prints ns/call for both and their ratio (best of the repeats).
"""

from __future__ import annotations

import argparse
import sys
import timeit
import traceback
import types


# ---- a minimal engine: every call answers a prebuilt object -------------

def build_engine() -> types.ModuleType:
    m = types.ModuleType("qen_engine")

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

    display = {"_id": "7", "name": "abc"}

    class Base:
        def get_display_data(self, lazy=True, catalog=None, show_hidden=False):
            return display

        def action(self, action_name=None, acl=None, payload=None):
            return "done"

        def check_acl(self, acl=None, act=None, doc=None):
            return None

    class ListRuntime:
        def __init__(self, members):
            self._members = members

        def __contains__(self, key):
            return key in self._members

        def __getitem__(self, key):
            return self._members[key]

    class Document(Base):
        _key_fields = ()
        _engine = "engine"

        def save(self, batch=None, acl=None):
            return self

        def update(self, _batch=None, _acl=None, **fields):
            return self

        def delete(self, batch=None, acl=None):
            return None

        def calculate_id(self):
            return "7"

        def get_id(self):
            return "7"

    class Batch:
        def __init__(self, engine=None):
            self.engine = engine

        def commit(self):
            return True, ""

    class Line(Base):
        pass

    class Order(Document):
        @classmethod
        def load(cls, *ids, _acl=None, **fields):
            return None if ids and ids[0] == "missing" else ORDER

        @classmethod
        def objects(cls, *ids, _acl=None, _limit=None, _id_only=False, **filters):
            return DOCS

        @classmethod
        def from_display(cls, **fields):
            return NEW

        @classmethod
        def check_acl(cls, acl=None, act=None, doc=None):
            return None

    ORDER = Order()
    ORDER.lines = ListRuntime({"k1": Line()})
    NEW = Order()
    DOCS = [Order() for _ in range(50)]

    for obj in (QenError, NotFoundError, ConflictError, BadRequestError,
                AuthorizationError, Base, Document, ListRuntime, Batch, Order):
        setattr(m, obj.__name__, obj)
    m.ORDER = ORDER
    return m


class Acl:
    content = ("*",)


# ---- the cases ------------------------------------------------------------

def cases(engine, RestApi):
    Order, Batch = engine.Order, engine.Batch
    NotFoundError = engine.NotFoundError
    acl = Acl()
    filters = {"status": "new"}
    patch = {"status": "paid"}
    docs10 = [{"number": str(i), "status": "new"} for i in range(10)]
    lines = [{"name": "order", "id": str(i), "op": "IUSD"[i % 4], "content": {"status": "x"}}
             for i in range(100)]
    class_dict = {"order": Order}
    payload = {"note": "ok"}

    def get_id():
        return RestApi.document_get(Order, "/_id/7", acl=acl)

    def get_id_bare():
        doc = Order.load("7", _acl=acl)
        return doc.get_display_data(lazy=True, catalog=None, show_hidden=False), 200

    def get_fields():
        return RestApi.document_get(Order, "/name/abc/age/7", acl=acl)

    def get_fields_bare():
        doc = Order.load(_acl=acl, name="abc", age="7")
        return doc.get_display_data(lazy=True, catalog=None, show_hidden=False), 200

    def search():
        return RestApi.collection_get(Order, filters, acl=acl)

    def search_bare():
        found = Order.objects(_acl=acl, _limit=50, _id_only=False, **filters)
        return [d.get_display_data(lazy=True, catalog=None, show_hidden=False) for d in found], 200

    def patch_doc():
        return RestApi.document_patch(Order, patch, None, "/_id/7", acl=acl)

    def patch_doc_bare():
        doc = Order.load("7", _acl=acl)
        doc = doc.update(_acl=acl, **patch)
        return doc.get_display_data(catalog=None), 200

    def batch():
        return RestApi.root_post(class_dict, lines, acl=acl)

    def batch_bare():
        b = Batch(engine=Order._engine)
        for line in lines:
            op = line["op"]
            if op == "I":
                Order.from_display(**line["content"]).save(batch=b, acl=acl)
            elif op == "S":
                doc = Order.from_display(**line["content"])
                doc._id = doc.calculate_id() if doc._key_fields else line["id"]
                doc.save(batch=b, acl=acl)
            elif op == "U":
                doc = Order()
                doc._id = line["id"]
                doc.update(_batch=b, _acl=acl, **line["content"])
            else:
                doc = Order()
                doc._id = line["id"]
                doc.delete(batch=b, acl=acl)
        ok, message = b.commit()
        return ("", 200) if ok else (message, 500)

    def action():
        return RestApi.action_post(Order, payload, "/_id/7", "lines/k1/approve", acl=acl)

    def action_bare():
        doc = Order.load("7", _acl=acl)
        lines_field = doc.lines
        member = lines_field["k1"] if "k1" in lines_field else None
        doc.check_acl(acl=acl, act="action.approve", doc=doc)
        return member.action(action_name="approve", acl=acl, payload=payload), type(member), "approve"

    def create():
        return RestApi.collection_post(Order, docs10, acl=acl)

    def create_bare():
        saved = [Order.from_display(**item).save(acl=acl) for item in docs10]
        return [doc.get_display_data() for doc in saved], 200

    def missing():
        return RestApi.document_get(Order, "/_id/missing", acl=acl)

    def format_exc_bare():
        try:
            raise NotFoundError("Cannot find the document Order//_id/missing")
        except NotFoundError:
            return traceback.format_exc()

    return [
        ("document_get /_id/7", get_id, get_id_bare, 20000),
        ("document_get /name/abc/age/7", get_fields, get_fields_bare, 20000),
        ("collection_get 1 filter, 50 docs", search, search_bare, 2000),
        ("document_patch 1 field", patch_doc, patch_doc_bare, 20000),
        ("root_post 100 lines I/U/S/D", batch, batch_bare, 300),
        ("action_post lines/k1/approve", action, action_bare, 20000),
        ("collection_post 10 docs", create, create_bare, 5000),
        ("error path vs format_exc()", missing, format_exc_bare, 3000),
    ]


def best_ns(fn, number, repeat):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number * 1e9


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies the call counts")
    args = parser.parse_args(argv)

    engine = build_engine()
    sys.modules["qen_engine"] = engine
    from qen_api.rest import RestApi

    print(f"{'case':34} {'bare ns':>10} {'facade ns':>10} {'ratio':>7}")
    for name, facade, bare, number in cases(engine, RestApi):
        answer = facade()
        if isinstance(answer, tuple) and len(answer) == 2 and answer[1] not in (200, 404):
            print(f"{name:34} facade answered {answer!r}")
            continue
        n = max(1, int(number * args.scale))
        bare_ns = best_ns(bare, n, args.repeat)
        facade_ns = best_ns(facade, n, args.repeat)
        print(f"{name:34} {bare_ns:10.0f} {facade_ns:10.0f} {facade_ns / bare_ns:7.2f}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
