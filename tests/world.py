"""A small scripted world on the recording fake engine in which every public
operation of RestApi can be driven down its success path and each of its
error paths, with the objects handed in kept apart so that their reference
counts can be watched.

`CASES` maps a case name to (expected outcome, call). The outcome is a status
for a result pair, "triple" for an action's answer, or the class of an error
that the facade lets through. Each call takes (api, world).
"""

import types

from fake_engine import Acl
from leak_probe import fresh_text


def raising(make):
    """A fake-engine script that raises a new error on every call (an error
    instance raised again would carry an ever longer traceback)."""
    def script(receiver, *args, **kwargs):
        raise make()
    return script


def errors_of(fake):
    """The injected error kinds: name -> (factory, outcome)."""
    return {
        "engine": (lambda: fake.NotFoundError("injected"), 404),
        "value": (lambda: ValueError("injected"), 400),
        "key": (lambda: KeyError("injected"), KeyError),
        "memory": (lambda: MemoryError("injected"), MemoryError),
    }


CLASS_OPS = ("load", "objects", "analyze", "from_display", "drop", "delete_all",
             "get_collection_name", "get_actions", "check_acl", "collection_action")


def build_world(fake):
    w = types.SimpleNamespace()
    w.acl, w.empty_acl = Acl(["*"]), Acl([])
    w.path = fresh_text("/_id/7")
    w.field_path = fresh_text("/number/7/status/new")
    w.catalog = {"number": 1}
    w.catalog_text = fresh_text('{"number": 1, "status": 1}')
    w.content = {"number": "7", "status": fresh_text("new")}
    w.documents = [w.content, {"number": "8"}]
    w.search = {"status": fresh_text("new")}
    w.ids = [fresh_text("id-1"), fresh_text("id-2")]
    w.request = {"group_by": fresh_text("status")}
    w.lines = [
        {"name": "order", "id": "o1", "op": "I", "content": w.content},
        {"name": "order", "id": "o2", "op": "S", "content": w.content},
        {"name": "order", "id": "o3", "op": "U", "content": w.content},
        {"name": "order", "id": "o4", "op": "D"},
    ]
    w.action_path = fresh_text("address/approve")
    w.line_path = fresh_text("lines/k2/approve")

    delete_results = [{"result": 200, "collection": "order", "id": "7"},
                      {"result": 404, "collection": "order", "id": "8"},
                      {"result": 403, "collection": "customer", "id": "c1"}]
    w.Order = fake.doc_class(
        "Order", get_actions={"export": {"public": True}, "purge": {}},
        delete_all=delete_results,
        doc_script={"delete": [{"result": 200, "id": "7"}],
                    "get_display_data": lambda d, *a, **k: {"id": getattr(d, "_id", None)}})
    w.doc = fake.document(w.Order, _id="7", title="text",
                          address=fake.Base(city="London"),
                          lines=fake.ListRuntime([fake.Base(key="k1"), fake.Base(key="k2")]))
    w.Order.class_script.update(load=w.doc, objects=[w.doc, w.doc])
    w.Missing = fake.doc_class("Missing", load=None)
    w.Keyed = fake.doc_class("Keyed", key_fields=("number",), load=w.doc,
                             doc_script={"calculate_id": "8"})
    w.Other = fake.doc_class("Other", load=fake.document(w.Missing))
    w.Refusing = fake.doc_class(
        "Refusing", check_acl=raising(lambda: fake.AuthorizationError("refused")))
    w.Stale = fake.doc_class("Stale", delete_all=[{"result": 404}])

    # Per error kind: a class whose every class operation raises it.
    w.failing = {
        kind: fake.doc_class(f"Failing{kind}", **{op: raising(make) for op in CLASS_OPS})
        for kind, (make, _) in errors_of(fake).items()}
    w.classes = [w.Order, w.Missing, w.Keyed, w.Other, w.Refusing, w.Stale,
                 *w.failing.values()]
    return w


def watched(w):
    """Everything handed to the facade whose count must not move."""
    return [w.acl, w.empty_acl, w.path, w.field_path, w.catalog, w.catalog_text,
            w.content, w.documents, w.search, w.ids, *w.ids, w.request, w.lines,
            *w.lines, w.action_path, w.line_path, w.doc, *w.classes]


# One success call per operation, on a class of choice: (api, w, cls, **extra).
OPERATIONS = {
    "root_post": lambda api, w, C, **kw: api.root_post({"order": C}, w.lines, acl=w.acl, **kw),
    "collection_get": lambda api, w, C, **kw: api.collection_get(
        C, w.search, acl=w.acl, catalog=w.catalog_text, **kw),
    "collection_get_ids": lambda api, w, C, **kw: api.collection_get(
        C, w.ids, acl=w.acl, catalog=w.catalog, **kw),
    "collection_analyze": lambda api, w, C, **kw: api.collection_analyze(
        C, w.request, acl=w.acl, **kw),
    "collection_post": lambda api, w, C, **kw: api.collection_post(C, w.documents, acl=w.acl, **kw),
    "collection_delete": lambda api, w, C, **kw: api.collection_delete(C, acl=w.acl, **kw),
    "collection_drop": lambda api, w, C, **kw: api.collection_delete(C, acl=w.acl, drop=True, **kw),
    "document_get": lambda api, w, C, **kw: api.document_get(
        C, w.path, acl=w.acl, catalog=w.catalog_text, **kw),
    "document_get_fields": lambda api, w, C, **kw: api.document_get(
        C, w.field_path, acl=w.acl, **kw),
    "document_delete": lambda api, w, C, **kw: api.document_delete(C, w.path, acl=w.acl, **kw),
    "document_patch": lambda api, w, C, **kw: api.document_patch(
        C, w.content, w.catalog, w.path, acl=w.acl, **kw),
    "document_put": lambda api, w, C, **kw: api.document_put(C, w.content, w.path, acl=w.acl, **kw),
    "document_post": lambda api, w, C, **kw: api.document_post(C, w.content, w.path, acl=w.acl, **kw),
    "action_collection": lambda api, w, C, **kw: api.action_post(
        C, w.content, "", "purge", acl=w.acl, **kw),
    "action_document": lambda api, w, C, **kw: api.action_post(
        C, w.content, w.path, w.action_path, acl=w.acl, **kw),
    "action_runtime_list": lambda api, w, C, **kw: api.action_post(
        C, w.content, w.field_path, w.line_path, acl=w.acl, **kw),
}

# The class on which each operation succeeds (a post needs a free path).
SUCCESS_CLASS = {"document_post": "Missing"}
SUCCESS_OUTCOME = {"action_collection": "triple", "action_document": "triple",
                   "action_runtime_list": "triple"}


def _own_error_cases():
    """Errors the facade raises or refuses itself: name -> (outcome, call)."""
    return {
        "root_post:unknown_class": (400, lambda api, w: api.root_post(
            {"order": w.Order}, [{"name": "nope", "id": "1", "op": "I"}], acl=w.acl)),
        "root_post:unsupported_op": (400, lambda api, w: api.root_post(
            {"order": w.Order}, [{"name": "order", "id": "1", "op": "X"}], acl=w.acl)),
        "root_post:content_not_mapping": (400, lambda api, w: api.root_post(
            {"order": w.Order}, [{"name": "order", "id": "1", "op": "I", "content": w.ids}],
            acl=w.acl)),
        "collection_get:id_not_text": (400, lambda api, w: api.collection_get(
            w.Order, [w.ids[0], 5], acl=w.acl)),
        "collection_get:bad_catalog": (400, lambda api, w: api.collection_get(
            w.Order, w.search, acl=w.acl, catalog="{not json")),
        "collection_get:colliding_key": (400, lambda api, w: api.collection_get(
            w.Order, {"_acl": 1}, acl=w.acl)),
        "collection_get:wrong_payload": (400, lambda api, w: api.collection_get(
            w.Order, w.path, acl=w.acl)),
        "collection_post:item_not_mapping": (400, lambda api, w: api.collection_post(
            w.Order, [w.content, w.ids], acl=w.acl)),
        "collection_delete:result_without_collection": (KeyError, lambda api, w:
            api.collection_delete(w.Stale, acl=w.acl)),
        "document_get:missing": (404, lambda api, w: api.document_get(
            w.Missing, w.path, acl=w.acl)),
        "document_get:empty_path": (400, lambda api, w: api.document_get(
            w.Order, "//", acl=w.acl)),
        "document_get:id_without_id": (400, lambda api, w: api.document_get(
            w.Order, "/_id", acl=w.acl)),
        "document_delete:wrong_class": (400, lambda api, w: api.document_delete(
            w.Other, w.path, acl=w.acl)),
        "document_patch:colliding_key": (400, lambda api, w: api.document_patch(
            w.Order, {"_acl": 1}, None, w.path, acl=w.acl)),
        "document_patch:no_catalog": (400, lambda api, w: api.document_patch(
            w.Order, w.content, doc_path=w.path, acl=w.acl)),
        "document_put:key_changed": (400, lambda api, w: api.document_put(
            w.Keyed, w.content, w.path, acl=w.acl)),
        "document_put:missing": (400, lambda api, w: api.document_put(
            w.Missing, w.content, w.path, acl=w.acl)),
        "document_put:create": (200, lambda api, w: api.document_put(
            w.Missing, w.content, w.path, create=True, acl=w.acl)),
        "document_post:exists": (409, lambda api, w: api.document_post(
            w.Order, w.content, w.path, acl=w.acl)),
        "document_post:empty_payload": (400, lambda api, w: api.document_post(
            w.Missing, {}, w.path, acl=w.acl)),
        "action:refused": (403, lambda api, w: api.action_post(
            w.Refusing, w.content, "", "purge", acl=w.acl)),
        "action:missing_document": (404, lambda api, w: api.action_post(
            w.Missing, w.content, w.path, w.action_path, acl=w.acl)),
        "action:missing_field": (400, lambda api, w: api.action_post(
            w.Order, w.content, w.path, "nope/approve", acl=w.acl)),
        "action:not_walkable": (400, lambda api, w: api.action_post(
            w.Order, w.content, w.path, "title/approve", acl=w.acl)),
    }


def _cases():
    cases = {}
    for name, call in OPERATIONS.items():
        def success(api, w, call=call, cls=SUCCESS_CLASS.get(name, "Order")):
            return call(api, w, getattr(w, cls))
        cases[f"{name}:ok"] = (SUCCESS_OUTCOME.get(name, 200), success)
        cases[f"{name}:binding"] = (
            400, lambda api, w, call=call: call(api, w, w.Order, unexpected=1))
        if not name.startswith("action"):
            def refused(api, w, call=call):
                saved, w.acl = w.acl, w.empty_acl
                try:
                    return call(api, w, w.Order)
                finally:
                    w.acl = saved
            cases[f"{name}:empty_acl"] = (403, refused)
        for kind in ("engine", "value", "key"):
            cases[f"{name}:{kind}_error"] = (
                kind, lambda api, w, call=call, kind=kind: call(api, w, w.failing[kind]))
    cases.update(_own_error_cases())
    return cases


CASES = _cases()
# Outcome of the injected error kinds, whatever the operation.
KIND_OUTCOME = {"engine": 404, "value": 400, "key": KeyError, "memory": MemoryError}


def outcome(call):
    """What a call came to: a status, "triple", or the class of the error raised."""
    try:
        answer = call()
    except (KeyError, IndexError, AttributeError, MemoryError) as error:
        return type(error)
    if isinstance(answer, tuple) and len(answer) == 3:
        return "triple"
    body, status = answer
    return status


def expected(case_outcome):
    return KIND_OUTCOME.get(case_outcome, case_outcome)
