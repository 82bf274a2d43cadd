"""root_post and action_post through the stand-in engine qen_engine."""

import pytest

from qen_engine import Acl
from qen_engine.samples import Line, make_sample_engine

ALL = Acl(["*"])


def stored(cls):
    with cls._engine.lock:
        return {i: dict(d) for i, d in cls._engine.rows(cls.get_collection_name()).items()}


def error(result):
    body, status = result
    return body["type"], body["message"], status


# ----- batches

def test_multi_class_batch_commits_every_write(api, Order, Customer):
    payload = [
        {"name": "customer", "id": "unused", "op": "I", "content": {"name": "Alan", "tier": "gold"}},
        {"name": "order", "id": "ignored", "op": "S",
         "content": {"number": "1005", "customer": "c1", "total": 3.5}},
        {"name": "customer", "id": "c2", "op": "S", "content": {"name": "Grace M. Hopper"}},
        {"name": "order", "id": "1001", "op": "U", "content": {"status": "shipped"}},
        {"name": "order", "id": "1003", "op": "D"},
    ]
    assert api.root_post({"order": Order, "customer": Customer}, payload, acl=ALL) == ("", 200)

    orders, customers = stored(Order), stored(Customer)
    assert sorted(orders) == ["1001", "1002", "1004", "1005"]
    assert orders["1005"]["total"] == 3.5 and orders["1001"]["status"] == "shipped"
    assert [c["name"] for i, c in customers.items() if i not in ("c1", "c2")] == ["Alan"]
    assert customers["c2"]["name"] == "Grace M. Hopper"
    assert customers["c2"]["email"] is None      # "S" replaces the whole document


@pytest.mark.parametrize("bad_line, message", [
    ({"name": "order", "id": "4242", "op": "U", "content": {"status": "x"}},
     "Batch write 3 of 3 failed: Cannot update order/4242: no such document"),
    ({"name": "order", "id": "x", "op": "I", "content": {"number": "1002"}},
     "Batch write 3 of 3 failed: Document order/1002 already exists"),
])
def test_failed_commit_changes_nothing(api, Order, Customer, bad_line, message):
    before = stored(Order), stored(Customer)
    payload = [
        {"name": "customer", "id": "c9", "op": "S", "content": {"name": "Edsger"}},
        {"name": "order", "id": "1004", "op": "D"},
        bad_line,
    ]
    assert api.root_post({"customer": Customer, "order": Order}, payload, acl=ALL) == (message, 500)
    assert (stored(Order), stored(Customer)) == before


@pytest.mark.parametrize("bad_line, answer", [
    ({"name": "invoice", "id": "1", "op": "D"}, ("Class invoice not found", 400)),
    ({"name": "order", "id": "1", "op": "U"},
     ("Wrong payload line format, need have content for operation U", 400)),
])
def test_refused_batch_changes_nothing(api, Order, Customer, bad_line, answer):
    before = stored(Order), stored(Customer)
    payload = [{"name": "order", "id": "1004", "op": "D"}, bad_line]
    assert api.root_post({"order": Order, "customer": Customer}, payload, acl=ALL) == answer
    assert (stored(Order), stored(Customer)) == before


def test_batch_belongs_to_the_first_class_engine(api, Order, Customer):
    other = make_sample_engine("other").classes["customer"]
    payload = [{"name": "order", "id": "1004", "op": "D"},
               {"name": "customer", "id": "c1", "op": "D"}]
    kind, message, status = error(api.root_post({"order": Order, "customer": other}, payload))
    assert (kind, status) == ("BadRequestError", 400)
    assert message == ("Batch of engine integration cannot hold writes of Customer, "
                       "stored in engine other")
    assert "1004" in stored(Order)


def test_batch_writes_are_checked_against_the_acl(api, Order):
    kind, _, status = error(api.root_post(
        {"order": Order}, [{"name": "order", "id": "1004", "op": "D"}], acl=Acl(["order.read"])))
    assert (kind, status) == ("AuthorizationError", 403)
    assert "1004" in stored(Order)


# ----- collection actions

def test_public_collection_action_runs_with_an_empty_acl(api, Order):
    result, cls, name = api.action_post(Order, {"status": "new"}, "", "export", acl=Acl([]))
    assert (cls, name) == (Order, "export")
    assert [o["number"] for o in result] == ["1001", "1004"]


def test_collection_action_needs_its_grant(api, Order):
    kind, _, status = error(api.action_post(Order, None, "", "purge", acl=Acl(["order.read"])))
    assert (kind, status) == ("AuthorizationError", 403)
    assert "1003" in stored(Order)
    result, cls, name = api.action_post(Order, None, "", "purge",
                                        acl=Acl(["order.action.purge", "order.write"]))
    assert (cls, name) == (Order, "purge") and [r["id"] for r in result] == ["1003"]
    assert "1003" not in stored(Order)


# ----- document actions

def test_document_action(api, Order):
    result, cls, name = api.action_post(Order, {}, "/_id/1001", "approve",
                                        acl=Acl(["order.read", "order.action.approve"]))
    assert (cls, name) == (Order, "approve") and result["status"] == "approved"
    assert stored(Order)["1001"]["status"] == "approved"


@pytest.mark.parametrize("action_path, code", [("lines/L2/approve", "L2"), ("lines/0/approve", "L1")])
def test_action_on_a_runtime_list_member(api, Order, action_path, code):
    result, cls, name = api.action_post(Order, {}, "/number/1001", action_path, acl=ALL)
    assert issubclass(cls, Line) and name == "approve"
    assert result["code"] == code and result["approved"] is True
    assert [(l["code"], l["approved"]) for l in stored(Order)["1001"]["lines"]] == [
        ("L1", code == "L1"), ("L2", code == "L2")]


@pytest.mark.parametrize("doc_path, action_path, acl, kind, message, status", [
    ("/_id/1001", "approve", Acl(["order.read"]), "AuthorizationError",
     "Access denied: action.approve on order needs the grant order.action.approve", 403),
    ("/_id/9999", "approve", ALL, "NotFoundError", "Cannot find the document Order//_id/9999", 404),
    ("/_id/1001", "items/5/approve", ALL, "NotFoundError", "Cannot found 5 in items", 404),
    ("/_id/1001", "lines/L9/approve", ALL, "NotFoundError", "Cannot found L9 in lines", 404),
    ("/_id/1001", "status/approve", ALL, "TypeError", "cannot unpack non-iterable NoneType object",
     400),
    ("/_id/1001", "owner/approve", ALL, "BadRequestError",
     "field owner not found for parsing owner/approve", 400),
])
def test_document_action_failures(api, Order, doc_path, action_path, acl, kind,
                                  message, status):
    before = stored(Order)
    assert error(api.action_post(Order, {}, doc_path, action_path, acl=acl)) == (
        kind, message, status)
    assert stored(Order) == before
