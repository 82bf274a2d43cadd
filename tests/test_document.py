"""Single-document operations against the recording fake engine: read, delete,
patch, put and post."""

import sys

import pytest

from fake_engine import Acl

ACL = Acl(["order.*"])
EMPTY = Acl([])


def error(pair):
    body, status = pair
    return body["type"], body["message"], status


def names(fake):
    return [c.name for c in fake.calls()]


@pytest.fixture
def stored(fake):
    """A stored document of Order (id 7) that `load` finds."""
    Order = fake.doc_class("Order")
    doc = fake.document(Order, _id="7")
    Order.class_script["load"] = doc
    return doc


@pytest.fixture
def Order(stored):
    return type(stored)


@pytest.fixture
def Missing(fake):
    """A class named Order whose `load` finds nothing."""
    return fake.doc_class("Order")


# ---------------------------------------------------------------- not found

@pytest.mark.parametrize("path", ["/_id/7", "_id/7", "/name/x/"])
@pytest.mark.parametrize("call", [
    lambda api, cls, path: api.document_get(cls, path, acl=ACL, catalog="not json"),
    lambda api, cls, path: api.document_delete(cls, path, acl=ACL),
    lambda api, cls, path: api.document_patch(cls, {"a": 1}, "not json", path, acl=ACL),
], ids=["get", "delete", "patch"])
def test_missing_document_is_not_found(api, fake, Missing, path, call):
    # the catalog is parsed only once the document is found
    assert error(call(api, Missing, path)) == (
        "NotFoundError", "Cannot find the document Order/" + path, 404)
    assert names(fake) == ["load"]
    assert fake.calls("load")[0].kw["_acl"] is ACL


def test_put_of_missing_document_without_create(api, fake, Missing):
    for create in (False, 0, "", None):
        assert error(api.document_put(Missing, {"a": 1}, "/_id/7", create, acl=ACL)) == (
            "ValueError",
            "Cannot find the document Order//_id/7, set create=True if you need to create a new one",
            400)
    assert names(fake) == ["load"] * 4


def test_post_at_a_taken_path_conflicts_before_the_payload_is_looked_at(api, fake, Order):
    for payload in ({"a": 1}, {}, None):
        assert error(api.document_post(Order, payload, "/_id/7", acl=ACL)) == (
            "ConflictError", "Document already exists Order//_id/7", 409)
    assert names(fake) == ["load"] * 3


@pytest.mark.parametrize("payload", [{}, None])
def test_post_of_empty_payload(api, fake, Missing, payload):
    assert error(api.document_post(Missing, payload, "/_id/7", acl=ACL)) == (
        "ValueError", "Empty payload", 400)
    assert error(api.document_put(Missing, payload, "/_id/7", True, acl=ACL)) == (
        "ValueError", "Empty payload", 400)
    assert names(fake) == ["load", "load", "load"]


@pytest.mark.parametrize("call", [
    lambda api, cls: api.document_get(cls, "/_id/7", acl=EMPTY),
    lambda api, cls: api.document_delete(cls, "/_id/7", acl=EMPTY),
    lambda api, cls: api.document_patch(cls, {"a": 1}, None, "/_id/7", acl=EMPTY),
    lambda api, cls: api.document_put(cls, {"a": 1}, "/_id/7", True, acl=EMPTY),
    lambda api, cls: api.document_post(cls, {"a": 1}, "/_id/7", acl=EMPTY),
], ids=["get", "delete", "patch", "put", "post"])
def test_empty_acl_is_refused_before_the_path_is_resolved(api, fake, Order, call):
    assert error(call(api, Order)) == ("AuthorizationError", "User has empty ACL", 403)
    assert fake.calls() == []


# ---------------------------------------------------------------- read

def test_get_displays_the_document(api, fake, stored, Order):
    stored.script["get_display_data"] = {"shown": 7}
    catalog = {"a": True}
    assert api.document_get(Order, "/_id/7", acl=ACL, catalog=catalog, lazy=0,
                            show_hidden="yes") == ({"shown": 7}, 200)
    load, display = fake.calls()
    assert (load.target, load.args, load.kwargs) == (Order, ("7",), (("_acl", ACL),))
    assert (display.target, display.args) == (stored, ())
    assert display.kwargs == (("lazy", 0), ("catalog", catalog), ("show_hidden", "yes"))
    assert display.kw["catalog"] is catalog


def test_get_defaults_and_catalog_text(api, fake, stored, Order):
    api.document_get(Order, "/name/x")
    api.document_get(Order, "/name/x", catalog='["a", "b"]')
    first, second = fake.calls("get_display_data")
    assert first.kwargs == (("lazy", True), ("catalog", None), ("show_hidden", False))
    assert second.kw["catalog"] == ["a", "b"]


def test_get_of_bad_catalog_text_is_400(api, stored, Order):
    body, status = api.document_get(Order, "/_id/7", catalog="{not json")
    assert (body["type"], status) == ("JSONDecodeError", 400)


def test_get_does_not_test_the_class(api, fake):
    other = fake.document(fake.doc_class("Other"))
    Order = fake.doc_class("Order", load=other)
    assert api.document_get(Order, "/_id/7") == ({"display": "Other"}, 200)


def test_get_passes_engine_errors_through_the_wrapper(api, fake, stored, Order):
    stored.script["get_display_data"] = fake.AuthorizationError("no")
    assert error(api.document_get(Order, "/_id/7")) == ("AuthorizationError", "no", 403)
    stored.script["get_display_data"] = KeyError("raw")
    with pytest.raises(KeyError):
        api.document_get(Order, "/_id/7")


# ---------------------------------------------------------------- delete

def test_delete_reports_one_message_per_result(api, fake, stored, Order):
    results = [{"result": 200, "collection": "order", "id": "7"},
               {"result": 200, "collection": "line", "id": "x", "extra": [1]}]
    stored.script["delete"] = iter(results)
    assert api.document_delete(Order, "/_id/7", acl=ACL) == (results, 200)
    load, delete = fake.calls()
    assert (delete.target, delete.name, delete.args, delete.kwargs) == (
        stored, "delete", (), (("acl", ACL),))


def test_delete_with_no_results(api, stored, Order):
    assert api.document_delete(Order, "/_id/7") == ([], 200)


def test_delete_of_another_class_is_refused(api, fake):
    Other = fake.doc_class("Other")
    Order = fake.doc_class("Order", load=fake.document(Other))
    assert error(api.document_delete(Order, "/_id/7", acl=ACL)) == (
        "BadRequestError", "Document of type Other is not of type Order", 400)
    assert names(fake) == ["load"]
    # a document of a derived class counts as one of the class
    Derived = fake.doc_class("Derived", base=Order)
    Order.class_script["load"] = fake.document(Derived)
    assert api.document_delete(Order, "/_id/7") == ([], 200)


def test_delete_result_items_must_be_mappings(api, fake, rest, stored, Order):
    stored.script["delete"] = [{"result": 200}, 3]
    with pytest.raises(TypeError) as python:
        rest.QenDocumentDeleteMsg.from_display(**3)
    assert error(api.document_delete(Order, "/_id/7")) == ("TypeError", str(python.value), 400)


# ---------------------------------------------------------------- patch

def test_patch_updates_and_displays_the_updated_document(api, fake, stored, Order):
    updated = fake.document(Order, _id="7")
    updated.script["get_display_data"] = {"patched": True}
    stored.script["update"] = updated
    payload = {"status": "done", "count": 2}
    assert api.document_patch(Order, payload, '{"status": 1}', "/_id/7", acl=ACL) == (
        {"patched": True}, 200)
    load, update, display = fake.calls()
    assert load.kwargs == (("_acl", ACL),)
    assert (update.target, update.args, update.kwargs) == (
        stored, (), (("_acl", ACL), ("status", "done"), ("count", 2)))
    assert (display.target, display.args, display.kwargs) == (
        updated, (), (("catalog", {"status": 1}),))


@pytest.mark.parametrize("payload", [{"_acl": 1, "a": 2}, [1], None, {1: 2}])
def test_patch_payload_errors_read_as_the_interpreters(api, fake, stored, Order, payload):
    with pytest.raises(TypeError) as python:
        stored.update(_acl=ACL, **payload)
    fake.LOG.clear()
    assert error(api.document_patch(Order, payload, None, "/_id/7", acl=ACL)) == (
        "TypeError", str(python.value), 400)
    assert names(fake) == ["load"]


def test_patch_of_bad_catalog_text_is_400_before_update(api, fake, stored, Order):
    body, status = api.document_patch(Order, {"a": 1}, "{", "/_id/7")
    assert (body["type"], status) == ("JSONDecodeError", 400)
    assert names(fake) == ["load"]


# ---------------------------------------------------------------- put

def test_put_replaces_the_stored_document_keeping_its_id(api, fake, stored, Order):
    payload = {"name": "new", "_id": "99"}
    assert api.document_put(Order, payload, "/_id/7", acl=ACL) == ({"display": "Order"}, 200)
    load, build, get_id, save, display = fake.calls()
    assert (load.target, load.args, load.kwargs) == (Order, ("7",), (("_acl", None),))
    assert (build.target, build.name, build.kwargs) == (Order, "from_display", tuple(payload.items()))
    replacement = save.target
    assert replacement is not stored and get_id.target is stored
    assert (save.name, save.args, save.kwargs) == ("save", (), (("acl", ACL),))
    assert (display.target, display.args, display.kwargs) == (replacement, (), ())
    # no key fields: whatever id the payload gives is overridden by the stored one
    assert replacement._id == "7"


def test_put_displays_what_save_returns(api, fake, stored, Order):
    saved = fake.document(Order)
    saved.script["get_display_data"] = "saved display"
    Order.doc_script = {"save": saved}
    try:
        assert api.document_put(Order, {"a": 1}, "/_id/7") == ("saved display", 200)
    finally:
        Order.doc_script = {}


def keyed_order(fake, computed, stored_id):
    Order = fake.doc_class("Order", key_fields=("number",), doc_script={"calculate_id": computed})
    stored = fake.document(Order)
    stored.script["get_id"] = stored_id
    Order.class_script["load"] = stored
    return Order, stored


def test_put_refuses_to_change_the_primary_key(api, fake):
    Order, stored = keyed_order(fake, 8, 7)
    assert error(api.document_put(Order, {"number": 8}, "/_id/7", acl=ACL)) == (
        "ValueError", "Update primary key from 7 to 8 is not supported", 400)
    load, build, *checks = fake.calls()
    assert (load.name, build.name) == ("load", "from_display")
    assert [(c.name, c.target is stored) for c in checks] == [
        ("calculate_id", False), ("get_id", True), ("get_id", True), ("calculate_id", False)]


def test_put_with_matching_key_saves(api, fake):
    Order, stored = keyed_order(fake, "7", "7")
    assert api.document_put(Order, {"number": "7"}, "/_id/7", acl=ACL)[1] == 200
    assert names(fake) == ["load", "from_display", "calculate_id", "get_id", "get_id",
                           "save", "get_display_data"]


def test_put_compares_with_the_interpreters_inequality(api, fake):
    Order, stored = keyed_order(fake, 7.0, 7)  # 7.0 != 7 is false
    assert api.document_put(Order, {}, "/_id/7")[1] == 200


@pytest.mark.parametrize("payload", [[1], None, {1: 2}])
def test_put_payload_errors_read_as_the_interpreters(api, fake, stored, Order, payload):
    with pytest.raises(TypeError) as python:
        Order.from_display(**payload)
    assert error(api.document_put(Order, payload, "/_id/7")) == (
        "TypeError", str(python.value), 400)


def test_put_with_create_hands_over_to_post(api, fake, Missing):
    Missing.doc_script = {"get_display_data": {"created": 1}}
    payload = {"name": "x"}
    put = api.document_put(Missing, payload, "/_id/7", "yes", acl=ACL)
    put_calls = [(c.name, c.args, c.kwargs) for c in fake.calls()]
    fake.LOG.clear()
    post = api.document_post(Missing, payload, "/_id/7", acl=ACL)
    assert put == post == ({"created": 1}, 200)
    # put's own lookup, then exactly what post does
    assert put_calls == [("load", ("7",), (("_acl", None),))] + [
        (c.name, c.args, c.kwargs) for c in fake.calls()]


# ---------------------------------------------------------------- post

def test_post_creates_through_collection_post(api, fake, Missing):
    Missing.doc_script = {"get_display_data": {"created": 1}}
    assert api.document_post(Missing, {"name": "x", "n": 1}, "/name/y", acl=ACL) == (
        {"created": 1}, 200)
    load, build, save, display = fake.calls()
    assert (load.args, load.kwargs) == ((), (("_acl", None), ("name", "y")))
    assert (build.target, build.name, build.kwargs) == (
        Missing, "from_display", (("name", "x"), ("n", 1)))
    assert (save.name, save.kwargs) == ("save", (("acl", ACL),))
    assert (display.name, display.target, display.kwargs) == ("get_display_data", save.target, ())


# ------------------------------------------------ calls through the class

@pytest.fixture
def traced(rest):
    """A RestApi subclass whose private methods and inner operations record how
    they are reached, answering from `answers`."""
    seen = []
    answers = {}

    def recorder(name):
        def method(cls, *args, **kwargs):
            seen.append((name, cls, args, tuple(kwargs.items())))
            answer = answers[name]
            return answer(*args, **kwargs) if callable(answer) else answer
        return classmethod(method)

    class Traced(rest.RestApi):
        _get_document_from_path = recorder("_get_document_from_path")
        _parse_catalog = recorder("_parse_catalog")
        collection_post = recorder("collection_post")

    Traced.seen, Traced.answers = seen, answers
    return Traced


def test_operations_resolve_through_the_class(traced, fake, stored):
    Order = type(stored)
    traced.answers.update(_get_document_from_path=stored, _parse_catalog="parsed")
    traced.document_get(Order, "/p", acl=ACL, catalog="c")
    traced.document_delete(Order, "/p", acl=ACL)
    traced.document_patch(Order, {}, "c", "/p", acl=ACL)
    traced.document_put(Order, {}, "/p", acl=ACL)
    traced.document_post(Order, {}, "/p", acl=ACL)
    by_path = [(name, args, kw) for name, cls, args, kw in traced.seen]
    assert all(cls is traced for _, cls, _, _ in traced.seen)
    assert by_path == [
        ("_get_document_from_path", (Order, "/p", ACL), ()),
        ("_parse_catalog", ("c",), ()),
        ("_get_document_from_path", (Order, "/p", ACL), ()),
        ("_get_document_from_path", (Order, "/p", ACL), ()),
        ("_parse_catalog", ("c",), ()),
        ("_get_document_from_path", (Order, "/p"), ()),   # put: no ACL
        ("_get_document_from_path", (Order, "/p"), ()),   # post: no ACL
    ]
    assert fake.calls("get_display_data")[0].kw["catalog"] == "parsed"


def test_post_hands_a_one_item_list_to_collection_post(traced, fake, Missing):
    payload = {"name": "x"}
    traced.answers.update(_get_document_from_path=None,
                          collection_post=(["first", "second"], 200))
    assert traced.document_post(Missing, payload, "/_id/7", acl=ACL) == ("first", 200)
    [(name, cls, args, kwargs)] = traced.seen[1:]
    assert (name, args) == ("collection_post", ())
    assert [k for k, _ in kwargs] == ["doc_class", "payload", "acl"]
    doc_class, items, acl = (v for _, v in kwargs)
    assert doc_class is Missing and acl is ACL
    assert type(items) is list and len(items) == 1 and items[0] is payload


@pytest.mark.parametrize("answer", [
    ({"type": "QenError", "message": "disk"}, 500),
    ({"type": "TypeError"}, 400),
    ("anything", 201),
], ids=["engine-error", "type-error", "other-status"])
def test_post_returns_a_failed_inner_pair_unchanged(traced, Missing, answer):
    traced.answers.update(_get_document_from_path=None, collection_post=answer)
    assert traced.document_post(Missing, {"a": 1}, "/_id/7") is answer


def test_post_of_a_non_pair_answer_unpacks_as_the_interpreter(traced, Missing):
    traced.answers.update(_get_document_from_path=None, collection_post=None)
    assert error(traced.document_post(Missing, {"a": 1}, "/_id/7")) == (
        "TypeError", "cannot unpack non-iterable NoneType object", 400)


def test_put_create_calls_document_post_through_the_class(rest, fake, Missing):
    seen = []

    class Traced(rest.RestApi):
        @classmethod
        def document_post(cls, *args, **kwargs):
            seen.append((cls, args, list(kwargs.items())))
            return "post answer"

    payload = {"a": 1}
    assert Traced.document_put(Missing, payload, "/_id/7", True, acl=ACL) == "post answer"
    [(cls, args, kwargs)] = seen
    assert (cls, args) == (Traced, ())
    assert kwargs == [("doc_class", Missing), ("payload", payload), ("doc_path", "/_id/7"),
                      ("acl", ACL)]
    assert kwargs[1][1] is payload


# ---------------------------------------- wrappers of the inner call run again

class Revoked:
    """An ACL that is emptied once its first check has passed."""

    def __init__(self):
        self.checks = 0

    @property
    def content(self):
        self.checks += 1
        return ["*"] if self.checks == 1 else []


@pytest.mark.parametrize("call", [
    lambda api, cls, acl: api.document_put(cls, {"a": 1}, "/_id/7", True, acl=acl),
    lambda api, cls, acl: api.document_post(cls, {"a": 1}, "/_id/7", acl=acl),
    lambda api, cls, acl: api.document_put(cls, {"a": 1}, "/_id/7", True, acl),
], ids=["put-post", "post-collection_post", "put-positional"])
def test_inner_operation_refuses_an_empty_acl(api, fake, Missing, call):
    # the outer check passes; the inner operation's own wrapper checks again
    acl = Revoked()
    assert error(call(api, Missing, acl)) == ("AuthorizationError", "User has empty ACL", 403)
    assert acl.checks == 2
    assert names(fake) == ["load"]


def test_inner_errors_come_back_as_pairs(api, fake, Missing):
    Missing.doc_script = {"save": fake.ConflictError("taken")}
    assert error(api.document_post(Missing, {"a": 1}, "/_id/7", acl=ACL)) == (
        "ConflictError", "taken", 409)
    assert error(api.document_put(Missing, {"a": 1}, "/_id/7", True, acl=ACL)) == (
        "ConflictError", "taken", 409)
    # a payload that is not a mapping is refused by collection_post itself
    with pytest.raises(TypeError) as python:
        Missing.from_display(**[1])
    assert error(api.document_post(Missing, [1], "/_id/7", acl=ACL)) == (
        "TypeError", str(python.value), 400)


def test_uncaught_inner_errors_propagate(api, fake, Missing):
    Missing.doc_script = {"save": KeyError("raw")}
    with pytest.raises(KeyError):
        api.document_put(Missing, {"a": 1}, "/_id/7", True, acl=ACL)


# ---------------------------------------------------------------- references

class Plain:
    """An engine class that records nothing, for reference counting."""

    found = None

    def __init__(self, **fields):
        self._id = fields.get("_id")

    @classmethod
    def load(cls, *args, **kwargs):
        return cls.found

    @classmethod
    def from_display(cls, **fields):
        return cls(**fields)

    _key_fields = ("k",)

    def calculate_id(self):
        return "7"

    def get_id(self):
        return "7"

    def get_display_data(self, **kwargs):
        return "shown"

    def update(self, **kwargs):
        return self

    def save(self, **kwargs):
        return self

    def delete(self, **kwargs):
        return [{"result": 200}]


def test_references_are_kept_balanced(rest):
    api = rest.RestApi
    Plain.found = stored = Plain(_id="7")
    payload, catalog, acl = {"k": "7"}, {"a": 1}, Acl(["*"])
    path = "/name/abc/age/7"
    watched = (Plain, stored, payload, catalog, acl, path, EMPTY)

    def run():
        Plain.found = stored
        api.document_get(Plain, path, acl=acl, catalog=catalog)
        api.document_delete(Plain, path, acl=acl)
        api.document_patch(Plain, payload, catalog, path, acl=acl)
        api.document_put(Plain, payload, path, acl=acl)
        api.document_post(Plain, payload, path, acl=acl)       # conflict
        api.document_patch(Plain, {"_acl": 1}, None, path, acl=acl)
        Plain.found = None
        api.document_post(Plain, payload, path, acl=acl)       # created
        api.document_put(Plain, payload, path, True, EMPTY)     # refused inside
        api.document_get(Plain, path, acl=acl)                 # not found

    run()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(500):
        run()
    assert [sys.getrefcount(o) for o in watched] == before
