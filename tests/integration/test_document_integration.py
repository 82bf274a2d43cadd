"""Single-document operations through the facade on the stand-in engine."""

import pytest

qen_engine = pytest.importorskip("qen_engine")
from qen_engine import Acl  # noqa: E402

ALL = Acl(["*"])


def error(pair):
    body, status = pair
    return body["type"], body["message"], status


def test_read_by_id_and_by_fields(api, Order):
    body, status = api.document_get(Order, "/_id/1001", acl=Acl(["order.read"]))
    assert status == 200
    assert (body["_id"], body["number"], body["address"]["city"]) == ("1001", "1001", "London")
    assert "internal_note" not in body
    # field values are text; the engine compares them with the stored values' text
    body, _ = api.document_get(Order, "/customer/c2/status/new/total/7.25", acl=ALL,
                               catalog='{"number": true}', show_hidden=True)
    assert body == {"_id": "1004", "number": "1004"}
    body, _ = api.document_get(Order, "_id/1001", catalog={"internal_note": True},
                               show_hidden=True)
    assert body == {"_id": "1001", "internal_note": "gift wrap"}


def test_read_failures(api, Order):
    assert error(api.document_get(Order, "/_id/9999", acl=ALL)) == (
        "NotFoundError", "Cannot find the document Order//_id/9999", 404)
    assert error(api.document_get(Order, "/_id/1001", acl=Acl(["customer.read"])))[::2] == (
        "AuthorizationError", 403)
    assert error(api.document_get(Order, "/_id/1001", acl=Acl([]))) == (
        "AuthorizationError", "User has empty ACL", 403)
    assert error(api.document_get(Order, "///", acl=ALL)) == (
        "ValueError", "Invalid document path ///", 400)
    assert error(api.document_get(Order, "/nosuch/1", acl=ALL))[::2] == ("BadRequestError", 400)


def test_patch(api, Order):
    body, status = api.document_patch(Order, {"status": "approved", "total": 60},
                                      '["status", "total"]', "/number/1001",
                                      acl=Acl(["order.read", "order.write"]))
    assert (body, status) == ({"_id": "1001", "status": "approved", "total": 60.0}, 200)
    assert Order.load("1001").status == "approved"
    # the ACL is applied to the lookup and to the update
    assert error(api.document_patch(Order, {"status": "x"}, None, "/_id/1001",
                                    acl=Acl(["order.read"])))[::2] == ("AuthorizationError", 403)
    assert Order.load("1001").status == "approved"


def test_put_replaces_the_whole_document(api, Customer):
    body, status = api.document_put(Customer, {"name": "G. Hopper", "_id": "other"}, "/_id/c2",
                                    acl=Acl(["customer.write"]))
    assert status == 200
    assert body == {"_id": "c2", "name": "G. Hopper", "email": None, "tier": "standard"}
    assert Customer.load("c2").email is None
    assert Customer.load("other") is None


def test_put_guards_the_primary_key(api, Order):
    assert error(api.document_put(Order, {"number": "2000"}, "/_id/1004", acl=ALL)) == (
        "ValueError", "Update primary key from 1004 to 2000 is not supported", 400)
    assert Order.load("2000") is None and Order.load("1004").total == 7.25
    body, status = api.document_put(Order, {"number": "1004", "total": 1}, "/_id/1004", acl=ALL)
    assert (status, body["total"], Order.load("1004").total) == (200, 1.0, 1.0)


def test_put_of_a_missing_document(api, Order):
    assert error(api.document_put(Order, {"number": "1005"}, "/_id/1005", acl=ALL)) == (
        "ValueError",
        "Cannot find the document Order//_id/1005, set create=True if you need to create a new one",
        400)
    body, status = api.document_put(Order, {"number": "1005", "total": 3}, "/_id/1005",
                                    create=True, acl=ALL)
    assert (status, body["_id"], body["total"]) == (200, "1005", 3.0)
    assert Order.load("1005").total == 3.0


def test_post(api, Order, Customer):
    body, status = api.document_post(Order, {"number": "1005"}, "/_id/1005",
                                     acl=Acl(["order.write"]))
    assert (status, body["_id"], body["status"]) == (200, "1005", "new")
    assert error(api.document_post(Order, {}, "/_id/1005", acl=ALL)) == (
        "ConflictError", "Document already exists Order//_id/1005", 409)
    # the path only guards existence: the new document's id comes from the payload
    body, status = api.document_post(Customer, {"name": "Alan"}, "/name/Alan", acl=ALL)
    assert status == 200 and Customer.load(body["_id"]).name == "Alan"
    assert error(api.document_post(Customer, {}, "/_id/c9", acl=ALL)) == (
        "ValueError", "Empty payload", 400)


def test_post_failures_of_the_creation_come_back_as_pairs(api, Order):
    # a missing required field: the engine refuses the save inside collection_post
    assert error(api.document_post(Order, {"status": "new"}, "/_id/1005", acl=ALL)) == (
        "BadRequestError", "Field Order.number is required", 400)
    # a key that is already taken under another path
    assert error(api.document_post(Order, {"number": "1001"}, "/_id/x", acl=ALL))[::2] == (
        "ConflictError", 409)
    assert error(api.document_post(Order, {"number": "1005"}, "/_id/1005",
                                   acl=Acl(["order.read"])))[::2] == ("AuthorizationError", 403)
    assert Order.load("1005") is None


def test_delete_with_cascade(api, Order, Customer):
    # deleting a customer deletes its orders too, and needs write on both
    assert error(api.document_delete(Customer, "/_id/c1", acl=Acl(["customer.*"])))[::2] == (
        "AuthorizationError", 403)
    assert Order.load("1001") is not None
    body, status = api.document_delete(Customer, "/name/Ada Lovelace", acl=ALL)
    assert status == 200
    assert body == [{"result": 200, "collection": "customer", "id": "c1"},
                    {"result": 200, "collection": "order", "id": "1001"},
                    {"result": 200, "collection": "order", "id": "1002"}]
    assert error(api.document_delete(Customer, "/_id/c1", acl=ALL)) == (
        "NotFoundError", "Cannot find the document Customer//_id/c1", 404)
    assert Order.load("1001") is None and Order.load("1003") is not None


def test_delete_of_a_document_of_another_class(api, Order, Customer):
    # a class whose load finds documents of another class
    class Mixed(Order):
        @classmethod
        def load(cls, *args, **kwargs):
            return Customer.load("c1")

    assert error(api.document_delete(Mixed, "/_id/1", acl=ALL)) == (
        "BadRequestError", "Document of type Customer is not of type Mixed", 400)
    assert api.document_get(Mixed, "/_id/1", acl=ALL)[1] == 200
    assert Customer.load("c1") is not None
