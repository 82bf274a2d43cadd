"""Collection operations against the recording fake engine: the exact engine
calls (positional ids, keyword names and order), the answered pairs, the
returned refusals and the interpreter's own errors."""

import json
import sys

import pytest

from fake_engine import Acl
import qen_api.message as message

ACL = Acl(("*",))


@pytest.fixture
def Order(fake):
    docs = []
    cls = fake.doc_class("Order", objects=docs,
                         doc_script={"get_display_data": lambda d, *a, **k: {"n": d.n}})
    docs += [fake.document(cls, n=1), fake.document(cls, n=2)]
    return cls


def engine_calls(log, name):
    return [(c.args, c.kwargs) for c in log if c.name == name]


def python_error(call):
    """The TypeError text the interpreter gives for the equivalent Python call."""
    with pytest.raises(TypeError) as info:
        call()
    return str(info.value)


def assert_error(answer, type_name, message_text, status=400):
    body, code = answer
    assert (body["type"], body["message"], code) == (type_name, message_text, status)


# ----- _parse_catalog

@pytest.mark.parametrize("catalog, expected", [
    ('{"a": 1, "b": {"c": true}}', {"a": 1, "b": {"c": True}}),
    ('["a", "b"]', ["a", "b"]),
    (b'{"a": 1}', {"a": 1}),
    (bytearray(b'[1]'), [1]),
    ("3", 3),
    ('"text"', "text"),
    ("null", None),
    ("false", False),
])
def test_parse_catalog_decodes_anything_but_none_and_dicts(api, catalog, expected):
    assert api._parse_catalog(catalog) == expected


@pytest.mark.parametrize("catalog", [None, {}, {"a": 1}, type("Sub", (dict,), {})(a=1)])
def test_parse_catalog_keeps_none_and_dicts_as_they_are(api, catalog):
    assert api._parse_catalog(catalog) is catalog


@pytest.mark.parametrize("catalog", ["not json", "", "{", 5, [1], ("a",), object()])
def test_parse_catalog_raises_what_json_loads_raises(api, catalog):
    with pytest.raises(Exception) as expected:
        json.loads(catalog)
    with pytest.raises(type(expected.value)) as got:
        api._parse_catalog(catalog)
    assert str(got.value) == str(expected.value)


# ----- collection_get: the search call

SEARCH_ALL = ((), (("_acl", ACL), ("_limit", 50), ("_id_only", False)))


class StrId(str):
    pass


class Filters(dict):
    pass


@pytest.mark.parametrize("kwargs, call", [
    ({}, SEARCH_ALL),
    ({"payload": None}, SEARCH_ALL),
    ({"payload": {}}, SEARCH_ALL),
    ({"payload": []}, SEARCH_ALL),
    ({"payload": ""}, SEARCH_ALL),
    ({"payload": 0}, SEARCH_ALL),
    ({"limit": 0}, ((), (("_acl", ACL), ("_limit", 0), ("_id_only", False)))),
    ({"limit": 5000}, ((), (("_acl", ACL), ("_limit", 5000), ("_id_only", False)))),
    ({"limit": "7"}, ((), (("_acl", ACL), ("_limit", "7"), ("_id_only", False)))),
    ({"id_only": True}, ((), (("_acl", ACL), ("_limit", 1000), ("_id_only", True)))),
    ({"id_only": 1, "limit": 3}, ((), (("_acl", ACL), ("_limit", 3), ("_id_only", 1)))),
    ({"payload": {"status": "new", "total": 3}},
     ((), (("_acl", ACL), ("_limit", 50), ("_id_only", False), ("status", "new"), ("total", 3)))),
    ({"payload": Filters(city="Oslo")},
     ((), (("_acl", ACL), ("_limit", 50), ("_id_only", False), ("city", "Oslo")))),
    ({"payload": ["b", "a", "c"]}, (("b", "a", "c"), (("_acl", ACL), ("_limit", 50)))),
    ({"payload": ["a", "a"], "limit": 1}, (("a", "a"), (("_acl", ACL), ("_limit", 1)))),
    ({"payload": [StrId("x")]}, ((StrId("x"),), (("_acl", ACL), ("_limit", 50)))),
    ({"payload": [f"id{i}" for i in range(40)]},
     (tuple(f"id{i}" for i in range(40)), (("_acl", ACL), ("_limit", 50)))),
], ids=lambda v: repr(v)[:40])
def test_collection_get_search_call(api, log, Order, kwargs, call):
    body, status = api.collection_get(Order, acl=ACL, **kwargs)
    assert status == 200
    assert engine_calls(log, "objects") == [call]
    assert log[0].target is Order


def test_collection_get_passes_acl_and_filter_values_unchanged(api, log, Order):
    value = object()
    api.collection_get(Order, {"owner": value}, acl=ACL)
    kw = log[0].kw
    assert kw["_acl"] is ACL and kw["owner"] is value


def test_collection_get_displays_every_document_with_the_three_flags(api, log, Order):
    body, status = api.collection_get(Order, acl=ACL, catalog='{"n": 1}', lazy=0,
                                      show_hidden=True)
    assert (body, status) == ([{"n": 1}, {"n": 2}], 200)
    displays = [c for c in log if c.name == "get_display_data"]
    assert [c.target.n for c in displays] == [1, 2]
    assert [c.args for c in displays] == [(), ()]
    assert [c.kwargs for c in displays] == [
        (("lazy", 0), ("catalog", {"n": 1}), ("show_hidden", True))] * 2
    # One decoded catalog for the whole search.
    assert displays[0].kw["catalog"] is displays[1].kw["catalog"]


def test_collection_get_hands_a_dict_catalog_over_unchanged(api, log, Order):
    catalog = {"n": True}
    api.collection_get(Order, acl=ACL, catalog=catalog)
    displays = [c for c in log if c.name == "get_display_data"]
    assert all(c.kw["catalog"] is catalog for c in displays)
    assert [c.kw["lazy"] for c in displays] == [True, True]
    assert [c.kw["show_hidden"] for c in displays] == [False, False]


@pytest.mark.parametrize("payload", [{"a": 1}, None])
def test_collection_get_id_only_lists_what_the_engine_yields(api, fake, payload):
    ids = ("7", "3", "9")
    Order = fake.doc_class("Order", objects=lambda cls, *a, **k: (i for i in ids))
    body, status = api.collection_get(Order, payload, acl=ACL, id_only=True)
    assert (body, status) == (["7", "3", "9"], 200)
    assert type(body) is list


@pytest.mark.parametrize("payload", [["a", "b"], [], [1, None], ["a", 2]])
def test_collection_get_ids_asked_as_ids_come_back_at_once(api, log, Order, payload):
    body, status = api.collection_get(Order, payload, acl=ACL, id_only=True,
                                      catalog="not json")
    assert body is payload and status == 204
    assert log == []


# ----- collection_get: refusals and errors

@pytest.mark.parametrize("payload, refusal", [
    (["a", 1], "Document ID must be string"),
    ([1, "a"], "Document ID must be string"),
    (["a", b"b"], "Document ID must be string"),
    (["a", None, "c"], "Document ID must be string"),
    ("abc", "payload should be list or dictionary"),
    (5, "payload should be list or dictionary"),
    (("a", "b"), "payload should be list or dictionary"),
    ({"a"}, "payload should be list or dictionary"),
    (object(), "payload should be list or dictionary"),
])
def test_collection_get_refusals_are_returned(api, log, Order, payload, refusal):
    assert api.collection_get(Order, payload, acl=ACL) == (refusal, 400)
    assert log == []


@pytest.mark.parametrize("payload", [["a", 1], "abc"])
def test_collection_get_bad_catalog_is_reported_before_a_refusal(api, log, Order, payload):
    body, status = api.collection_get(Order, payload, acl=ACL, catalog="{bad")
    assert (body["type"], status) == ("JSONDecodeError", 400)
    assert log == []


@pytest.mark.parametrize("catalog, type_name", [
    ("{bad", "JSONDecodeError"), (5, "TypeError"), (["a"], "TypeError")])
def test_collection_get_catalog_errors_answer_400(api, log, Order, catalog, type_name):
    body, status = api.collection_get(Order, {"a": 1}, acl=ACL, catalog=catalog)
    assert (body["type"], status) == (type_name, 400)
    assert log == []


@pytest.mark.parametrize("payload", [
    {"_acl": 1}, {"x": 1, "_limit": 2}, {"_id_only": True}, {1: "a"}, {("a",): 1}])
def test_collection_get_spread_errors_read_as_the_interpreter_s(api, log, Order, payload):
    expected = python_error(
        lambda: Order.objects(_acl=ACL, _limit=50, _id_only=False, **payload))
    log.clear()
    assert_error(api.collection_get(Order, payload, acl=ACL), "TypeError", expected)
    assert log == []


def test_collection_get_engine_errors_go_through_error_handle(api, fake):
    Order = fake.doc_class("Order", objects=fake.NotFoundError("nothing here"))
    assert_error(api.collection_get(Order, acl=ACL), "NotFoundError", "nothing here", 404)
    broken = fake.doc_class("Broken", objects=lambda cls, *a, **k: [fake.document(cls)],
                            doc_script={"get_display_data": KeyError("gone")})
    with pytest.raises(KeyError):
        api.collection_get(broken, acl=ACL)


def test_collection_get_documents_iterated_once_in_order(api, fake):
    Order = fake.doc_class("Order",
                           objects=lambda cls, *a, **k: (fake.document(cls, n=i) for i in range(5)),
                           doc_script={"get_display_data": lambda d, *a, **k: d.n})
    assert api.collection_get(Order, acl=ACL) == ([0, 1, 2, 3, 4], 200)


def test_collection_get_ids_survive_an_engine_that_empties_the_list(api, fake):
    ids = [f"{i}-{'x' * 20}" for i in range(20)]
    seen = []

    def search(cls, *args, **kwargs):
        ids.clear()
        seen.extend(a.upper() for a in args)  # the ids must still be alive
        return []
    Order = fake.doc_class("Order", objects=search)
    assert api.collection_get(Order, ids, acl=ACL) == ([], 200)
    assert seen == [f"{i}-{'X' * 20}" for i in range(20)]


# ----- collection_analyze

@pytest.mark.parametrize("request_", [None, {}, "", 0, []])
def test_collection_analyze_false_request_becomes_a_new_dict(api, log, Order, request_):
    api.collection_analyze(Order, request_, acl=ACL)
    (call,) = log
    assert (call.target, call.name, call.args) == (Order, "analyze", ())
    assert call.kwargs == (("analytic_request", {}), ("acl", ACL))
    assert call.kw["analytic_request"] is not request_


def test_collection_analyze_answers_the_engine_s_result_unchanged(api, log, fake):
    answer = {"count": 3}
    request_ = {"group_by": "status"}
    Order = fake.doc_class("Order", analyze=answer)
    body, status = api.collection_analyze(Order, request_, acl=ACL)
    assert body is answer and status == 200
    assert log[0].kwargs == (("analytic_request", request_), ("acl", ACL))
    assert log[0].kw["analytic_request"] is request_


def test_collection_analyze_without_acl_passes_none(api, log, Order):
    api.collection_analyze(Order)
    assert log[0].kwargs == (("analytic_request", {}), ("acl", None))


# ----- collection_post

@pytest.fixture
def Saving(fake):
    """A class whose save returns a distinct 'stored' object."""
    class Stored:
        def __init__(self, doc):
            self.doc = doc

        def get_display_data(self, *args, **kwargs):
            fake.LOG.append(fake.Call(self, "get_display_data", args, tuple(kwargs.items())))
            return {"stored": getattr(self.doc, "title", None)}
    return fake.doc_class("Item", doc_script={"save": lambda d, *a, **k: Stored(d)})


def test_collection_post_saves_each_at_once_and_displays_what_save_returned(api, log, Saving):
    payload = [{"title": "a", "qty": 1}, {"title": "b"}]
    body, status = api.collection_post(Saving, payload, acl=ACL)
    assert (body, status) == ([{"stored": "a"}, {"stored": "b"}], 200)
    assert [(c.name, c.args, c.kwargs) for c in log] == [
        ("from_display", (), (("title", "a"), ("qty", 1))),
        ("save", (), (("acl", ACL),)),
        ("from_display", (), (("title", "b"),)),
        ("save", (), (("acl", ACL),)),
        ("get_display_data", (), ()),
        ("get_display_data", (), ()),
    ]
    assert log[0].target is Saving and log[1].target.title == "a"
    assert log[4].target.doc is log[1].target  # the value save returned


XY = [{"stored": "x"}, {"stored": "y"}]


@pytest.mark.parametrize("payload, expected", [
    ((), []), (iter([]), []), (({"title": n} for n in "xy"), XY),
    (({"title": "x"}, {"title": "y"}), XY), ({"k": {}}.values(), [{"stored": None}])])
def test_collection_post_takes_any_iterable(api, Saving, payload, expected):
    assert api.collection_post(Saving, payload, acl=ACL) == (expected, 200)


def test_collection_post_empty_list_calls_nothing(api, log, Saving):
    assert api.collection_post(Saving, [], acl=ACL) == ([], 200)
    assert log == []


def test_collection_post_spreads_mapping_subclasses_and_empty_items(api, log, Saving):
    api.collection_post(Saving, [Filters(title="s"), {}], acl=ACL)
    assert [c.kwargs for c in log if c.name == "from_display"] == [(("title", "s"),), ()]


@pytest.mark.parametrize("bad_item", [["title", "b"], 5, "ab", None, {1: "x"}])
def test_collection_post_bad_item_reads_as_the_interpreter_s(api, log, Saving, bad_item):
    expected = python_error(lambda: Saving.from_display(**bad_item))
    log.clear()
    answer = api.collection_post(Saving, [{"title": "a"}, bad_item, {"title": "c"}], acl=ACL)
    assert_error(answer, "TypeError", expected)
    # The first item stays saved; nothing after the failure runs.
    assert [c.name for c in log] == ["from_display", "save"]


@pytest.mark.parametrize("payload", [5, None])
def test_collection_post_payload_not_iterable(api, log, Saving, payload):
    with pytest.raises(TypeError) as expected:
        iter(payload)
    assert_error(api.collection_post(Saving, payload, acl=ACL), "TypeError",
                 str(expected.value))


def test_collection_post_engine_failure_ends_the_call(api, log, fake):
    saves = iter([None, fake.ConflictError("exists")])

    def save(doc, *a, **k):
        failure = next(saves)
        if failure:
            raise failure
        return doc
    Item = fake.doc_class("Item", doc_script={"save": save})
    answer = api.collection_post(Item, [{"n": 1}, {"n": 2}, {"n": 3}], acl=ACL)
    assert_error(answer, "ConflictError", "exists", 409)
    assert [c.name for c in log] == ["from_display", "save", "from_display", "save"]


# ----- collection_delete

@pytest.fixture
def msg_calls(monkeypatch):
    """Keywords, in order, of every QenCollectionDeleteMsg.from_display call."""
    calls = []
    original = message.QenCollectionDeleteMsg.from_display.__func__

    def from_display(cls, *args, **kwargs):
        calls.append((args, tuple(kwargs.items())))
        return original(cls, *args, **kwargs)
    monkeypatch.setattr(message.QenCollectionDeleteMsg, "from_display",
                        classmethod(from_display))
    return calls


@pytest.mark.parametrize("drop", [True, 1, "yes", [0]])
def test_collection_delete_drop_path(api, log, fake, msg_calls, drop):
    Order = fake.doc_class("Order", drop={"ignored": "result"}, get_collection_name="orders")
    body, status = api.collection_delete(Order, acl=ACL, drop=drop)
    assert [(c.target, c.name, c.args, c.kwargs) for c in log] == [
        (Order, "drop", (), (("acl", ACL),)),
        (Order, "get_collection_name", (), ()),
    ]
    assert msg_calls == [((), (("collection", "orders"), ("drop", True)))]
    assert (body, status) == (
        {"collection": "orders", "drop": True, "deleted": [], "ignored": {}}, 200)


def ok(collection="a", **extra):
    return {"result": 200, "collection": collection, **extra}


def refused(result, collection):
    return {"result": result, "collection": collection}


@pytest.mark.parametrize("results, deleted_at, ignored", [
    ([], [], {}),
    ([ok(id=1), refused(404, "A"), ok(id=2), refused(403, "B"), refused(404, "A"), ok(id=3)],
     [0, 2, 5], {"A": {404: 2}, "B": {403: 1}}),
    ([refused("200", "A"), refused(200.0, "A"), ok()], [1, 2], {"A": {"200": 1}}),
    ([refused(True, "A"), refused(1, "A")], [], {"A": {True: 2}}),
    ([refused(500, None), refused(500, ("x", 1)), refused(404, None)], [],
     {None: {500: 1, 404: 1}, ("x", 1): {500: 1}}),
    ([{"result": 200}], [0], {}),  # a success is kept whole; its collection is not read
])
def test_collection_delete_sorts_results_into_deleted_and_ignored(
        api, log, fake, msg_calls, results, deleted_at, ignored):
    Order = fake.doc_class("Order", delete_all=lambda cls, *a, **k: iter(results))
    body, status = api.collection_delete(Order, acl=ACL)
    assert [(c.name, c.args, c.kwargs) for c in log] == [
        ("delete_all", (), (("acl", ACL),)), ("get_collection_name", (), ())]
    assert [name for name, _ in msg_calls[0][1]] == ["collection", "drop", "deleted", "ignored"]
    assert status == 200
    assert body["collection"] == "order" and body["drop"] is False
    assert body["ignored"] == ignored
    assert list(map(type, body["ignored"])) == list(map(type, ignored))
    assert len(body["deleted"]) == len(deleted_at)
    assert all(got is results[i] for got, i in zip(body["deleted"], deleted_at))


@pytest.mark.parametrize("item, key", [
    ({"collection": "a"}, "result"), ({"result": 404}, "collection")])
def test_collection_delete_missing_key_raises_the_interpreter_s_keyerror(
        api, log, fake, item, key):
    Order = fake.doc_class("Order", delete_all=[ok(), item])
    with pytest.raises(KeyError) as info:
        api.collection_delete(Order, acl=ACL)
    assert type(info.value) is KeyError and info.value.args == (key,)
    assert [c.name for c in log] == ["delete_all"]


@pytest.mark.parametrize("results", [[5], [None], [refused(404, ["unhashable"])], 7])
def test_collection_delete_bad_results_answer_the_interpreter_s_typeerror(
        api, fake, results):
    def python_sorting():
        ignored = {}
        for item in results:
            if item["result"] != 200:
                errors = ignored.get(item["collection"], {})
                errors[item["result"]] = errors.get(item["result"], 0) + 1
    expected = python_error(python_sorting)
    Order = fake.doc_class("Order", delete_all=results)
    assert_error(api.collection_delete(Order, acl=ACL), "TypeError", expected)


@pytest.mark.parametrize("drop, failing", [(True, "drop"), (False, "delete_all")])
def test_collection_delete_engine_failure_builds_no_summary(api, log, fake, msg_calls,
                                                             drop, failing):
    Order = fake.doc_class("Order", **{failing: fake.AuthorizationError("no")})
    assert_error(api.collection_delete(Order, acl=ACL, drop=drop),
                 "AuthorizationError", "no", 403)
    assert [c.name for c in log] == [failing]
    assert msg_calls == []


# ----- the wrappers around the four operations

@pytest.mark.parametrize("call", [
    lambda api, cls, acl: api.collection_get(cls, acl=acl),
    lambda api, cls, acl: api.collection_get(cls, ["a"], id_only=True, acl=acl),
    lambda api, cls, acl: api.collection_analyze(cls, acl=acl),
    lambda api, cls, acl: api.collection_post(cls, [{"a": 1}], acl=acl),
    lambda api, cls, acl: api.collection_delete(cls, acl=acl),
    lambda api, cls, acl: api.collection_delete(cls, acl=acl, drop=True),
])
def test_empty_acl_is_refused_before_the_engine(api, log, Order, call):
    assert_error(call(api, Order, Acl([])), "AuthorizationError", "User has empty ACL", 403)
    assert log == []


# ----- reference counts

class Item(dict):
    pass


def leak_scenarios(fake):
    """The objects handed in, and calls on them by name (success and error paths)."""
    docs = [fake.document(fake.Document, n=i) for i in range(3)]
    Order = fake.doc_class("Order", objects=docs)
    def not_found(cls, *args, **kwargs):
        raise fake.NotFoundError("no")  # a new error each time: a reused one keeps its tracebacks
    Broken = fake.doc_class("Broken", objects=not_found,
                            delete_all=[ok(), {"collection": "a"}])
    Deleting = fake.doc_class("Deleting", delete_all=[ok(), refused(404, "A"),
                                                      refused(403, "B")])
    acl = Acl(["x"])
    filters, ids, catalog_text, catalog = {"status": "new"}, ["1", "2"], '{"n": 1}', {"n": 1}
    items = [{"title": "a"}, Item(title="b")]
    held = (Order, Broken, Deleting, acl, filters, ids, catalog_text, catalog, items, *items)
    return held, {
        "get-filters": lambda api: api.collection_get(Order, filters, acl=acl,
                                                      catalog=catalog_text),
        "get-ids": lambda api: api.collection_get(Order, ids, acl=acl, catalog=catalog, limit=2),
        "get-204": lambda api: api.collection_get(Order, ids, acl=acl, id_only=True),
        "get-id-only": lambda api: api.collection_get(Order, filters, acl=acl, id_only=True),
        "get-not-string": lambda api: api.collection_get(Order, ["1", 2], acl=acl),
        "get-bad-form": lambda api: api.collection_get(Order, "x", acl=acl, catalog=catalog),
        "get-collision": lambda api: api.collection_get(Order, {"_acl": 1}, acl=acl),
        "get-bad-catalog": lambda api: api.collection_get(Order, filters, acl=acl,
                                                          catalog="{bad"),
        "get-engine-error": lambda api: api.collection_get(Broken, ids, acl=acl),
        "parse-catalog": lambda api: api._parse_catalog(catalog),
        "analyze": lambda api: api.collection_analyze(Order, filters, acl=acl),
        "post": lambda api: api.collection_post(Order, items, acl=acl),
        "post-bad-item": lambda api: api.collection_post(Order, items + [[1]], acl=acl),
        "delete": lambda api: api.collection_delete(Deleting, acl=acl),
        "drop": lambda api: api.collection_delete(Order, acl=acl, drop=True),
        "delete-keyerror": lambda api: api.collection_delete(Broken, acl=acl),
        "empty-acl": lambda api: api.collection_get(Order, filters, acl=Acl([])),
    }


LEAK_CASES = ["get-filters", "get-ids", "get-204", "get-id-only", "get-not-string",
              "get-bad-form", "get-collision", "get-bad-catalog", "get-engine-error",
              "parse-catalog", "analyze", "post", "post-bad-item", "delete", "drop",
              "delete-keyerror", "empty-acl"]


@pytest.mark.parametrize("case", LEAK_CASES)
def test_arguments_keep_their_reference_counts(api, log, fake, case):
    held, scenarios = leak_scenarios(fake)
    assert sorted(scenarios) == sorted(LEAK_CASES)
    run = scenarios[case]

    def once():
        try:
            run(api)
        except KeyError:
            pass
        log.clear()

    once()
    before = [sys.getrefcount(o) for o in held]
    for _ in range(1000):
        once()
    assert [sys.getrefcount(o) for o in held] == before
