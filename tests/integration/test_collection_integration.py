"""Collection operations through the in-memory stand-in engine."""

import gc
import sys

import pytest

qen_engine = pytest.importorskip("qen_engine")
from qen_engine import Acl  # noqa: E402

ALL = Acl(["*"])


def ids_of(body):
    return [doc["_id"] for doc in body]


# ----- search

@pytest.mark.parametrize("kwargs, ids", [
    ({}, ["1001", "1002", "1003", "1004"]),
    ({"payload": {"status": "new"}}, ["1001", "1004"]),
    ({"payload": {"customer": "c2", "status": "new"}}, ["1004"]),
    ({"payload": ["1003", "1001", "nope"]}, ["1003", "1001"]),
    ({"payload": []}, ["1001", "1002", "1003", "1004"]),
    ({"limit": 2}, ["1001", "1002"]),
    ({"limit": 0}, []),
    ({"payload": ["1004", "1002", "1001"], "limit": 2}, ["1004", "1002"]),
])
def test_search_by_filters_and_ids(api, Order, kwargs, ids):
    body, status = api.collection_get(Order, acl=ALL, **kwargs)
    assert (ids_of(body), status) == (ids, 200)


def test_search_display_follows_catalog_and_hidden_flag(api, Order):
    body, _ = api.collection_get(Order, ["1001"], acl=ALL, catalog='{"status": true}')
    assert body == [{"_id": "1001", "status": "new"}]
    body, _ = api.collection_get(Order, ["1001"], acl=ALL, catalog='["internal_note"]',
                                 show_hidden=True)
    assert body == [{"_id": "1001", "internal_note": "gift wrap"}]
    body, _ = api.collection_get(Order, ["1001"], acl=ALL)
    assert "internal_note" not in body[0] and body[0]["total"] == 59.5


def test_search_for_ids_only(api, Order):
    assert api.collection_get(Order, {"status": "new"}, acl=ALL, id_only=True) == (
        ["1001", "1004"], 200)
    ids = ["1004", "zzz"]
    body, status = api.collection_get(Order, ids, acl=ALL, id_only=True)
    assert body is ids and status == 204


@pytest.mark.parametrize("kwargs, answer", [
    ({"payload": ["1001", 1001]}, ("Document ID must be string", 400)),
    ({"payload": "1001"}, ("payload should be list or dictionary", 400)),
])
def test_search_refusals(api, Order, kwargs, answer):
    assert api.collection_get(Order, acl=ALL, **kwargs) == answer


@pytest.mark.parametrize("kwargs, error, status", [
    ({"payload": {"colour": "red"}}, "BadRequestError", 400),
    ({"limit": -1}, "BadRequestError", 400),
    ({"catalog": "{oops"}, "JSONDecodeError", 400),
    ({"catalog": '{"nope": 1}'}, "BadRequestError", 400),
    ({"payload": {"_limit": 3}}, "TypeError", 400),
    ({"acl": Acl(["customer.read"])}, "AuthorizationError", 403),
    ({"acl": Acl([])}, "AuthorizationError", 403),
])
def test_search_errors_become_pairs(api, Order, kwargs, error, status):
    body, code = api.collection_get(Order, **{"acl": ALL, **kwargs})
    assert (body["type"], code) == (error, status)


def test_search_collision_message_names_the_engine_method(api, Order):
    body, _ = api.collection_get(Order, {"_acl": None}, acl=ALL)
    with pytest.raises(TypeError) as expected:
        Order.objects(_acl=ALL, _limit=50, _id_only=False, **{"_acl": None})
    assert body["message"] == str(expected.value)


# ----- analysis

def test_analyze_answers_the_engine_s_tally(api, Order):
    request = {"filter": {"customer": "c1"}, "group_by": "status", "sum": "total"}
    assert api.collection_analyze(Order, request, acl=Acl(["order.read"])) == (
        {"count": 2, "sum": 71.5, "groups": [
            {"value": "new", "count": 1, "sum": 59.5},
            {"value": "approved", "count": 1, "sum": 12.0}]}, 200)
    assert api.collection_analyze(Order, None, acl=ALL) == ({"count": 4}, 200)


def test_analyze_refused_by_the_engine(api, Order):
    body, status = api.collection_analyze(Order, {"bogus": 1}, acl=ALL)
    assert (body["type"], status) == ("BadRequestError", 400)


# ----- creation

def test_post_creates_and_answers_saved_display_forms(api, Order):
    body, status = api.collection_post(
        Order, [{"number": "2001", "total": 5}, {"number": "2002", "status": "approved"}],
        acl=Acl(["order.write"]))
    assert status == 200
    assert ids_of(body) == ["2001", "2002"]
    assert [(d["total"], d["status"]) for d in body] == [(5.0, "new"), (0.0, "approved")]
    found, _ = api.collection_get(Order, ["2001", "2002"], acl=ALL)
    assert found == body


@pytest.mark.parametrize("bad, error", [
    ({"total": 1}, "BadRequestError"),          # required key field missing
    ({"number": "2002", "colour": "red"}, "BadRequestError"),
    ({"number": "1001"}, "ConflictError"),      # key already stored
    (["number", "2002"], "TypeError"),
])
def test_post_stops_at_the_first_failure_keeping_earlier_saves(api, Order, bad, error):
    body, status = api.collection_post(
        Order, [{"number": "2001"}, bad, {"number": "2003"}], acl=ALL)
    assert body["type"] == error and status == {"ConflictError": 409}.get(error, 400)
    stored, _ = api.collection_get(Order, ["2001", "2002", "2003"], acl=ALL)
    assert ids_of(stored) == ["2001"]


def test_post_without_write_grant_is_refused(api, Order):
    body, status = api.collection_post(Order, [{"number": "3001"}], acl=Acl(["order.read"]))
    assert (body["type"], status) == ("AuthorizationError", 403)
    assert api.collection_get(Order, ["3001"], acl=ALL) == ([], 200)


# ----- emptying and dropping

def test_delete_reports_deleted_documents_and_cascades(api, Customer, Order):
    body, status = api.collection_delete(Customer, acl=ALL)
    assert status == 200
    assert (body["collection"], body["drop"], body["ignored"]) == ("customer", False, {})
    assert sorted((d["collection"], d["id"]) for d in body["deleted"]) == [
        ("customer", "c1"), ("customer", "c2"),
        ("order", "1001"), ("order", "1002"), ("order", "1003"), ("order", "1004")]
    assert all(d["result"] == 200 for d in body["deleted"])
    assert api.collection_get(Order, acl=ALL) == ([], 200)


def test_delete_counts_refusals_by_collection_and_status(api, Customer, Order):
    body, status = api.collection_delete(Customer, acl=Acl(["customer.write"]))
    assert status == 200
    assert (body["deleted"], body["ignored"]) == ([], {"customer": {403: 2}})
    assert ids_of(api.collection_get(Customer, acl=ALL)[0]) == ["c1", "c2"]


def test_drop_removes_the_collection_only(api, Customer, Order):
    body, status = api.collection_delete(Customer, acl=ALL, drop=True)
    assert (body, status) == (
        {"collection": "customer", "drop": True, "deleted": [], "ignored": {}}, 200)
    assert api.collection_get(Customer, acl=ALL) == ([], 200)
    assert len(api.collection_get(Order, acl=ALL)[0]) == 4


@pytest.mark.parametrize("drop", [False, True])
def test_delete_without_write_grant_is_refused(api, Customer, drop):
    body, status = api.collection_delete(Customer, acl=Acl(["customer.read"]), drop=drop)
    assert (body["type"], status) == ("AuthorizationError", 403)
    assert len(api.collection_get(Customer, acl=ALL)[0]) == 2


def test_delete_of_an_empty_collection(api, Customer):
    api.collection_delete(Customer, acl=ALL, drop=True)
    assert api.collection_delete(Customer, acl=ALL) == (
        {"collection": "customer", "drop": False, "deleted": [], "ignored": {}}, 200)


# ----- reference counts through the real engine

def test_arguments_keep_their_reference_counts(api, Order):
    acl, filters, ids, catalog = Acl(["*"]), {"status": "new"}, ["1001", "1003"], '["total"]'
    items = [{"number": "x"}]
    held = (Order, acl, filters, ids, catalog, items, items[0])

    def once():
        api.collection_get(Order, filters, acl=acl, catalog=catalog)
        api.collection_get(Order, ids, acl=acl)
        api.collection_get(Order, {"colour": 1}, acl=acl)
        api.collection_analyze(Order, filters, acl=acl)
        api.collection_post(Order, items, acl=acl)
        api.collection_post(Order, items, acl=acl)  # conflict
        api.collection_delete(Order, acl=acl, drop=True)

    once()
    gc.collect()  # instances of Order in garbage cycles also count for the class
    before = [sys.getrefcount(o) for o in held]
    for _ in range(300):
        once()
    gc.collect()
    assert [sys.getrefcount(o) for o in held] == before
