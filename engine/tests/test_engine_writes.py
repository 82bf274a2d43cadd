import pytest

from grants import acl
from qen_engine import (AuthorizationError, BadRequestError, ConflictError, Engine,
                        NotFoundError)
from qen_engine.samples import Order as SampleOrder


def test_save_inserts_by_key_and_returns_document(Order):
    saved = Order.from_display(number="2001", total=5).save(acl=acl("order.write"))
    assert saved.get_id() == "2001"
    assert Order.load("2001").total == 5


def test_save_numbers_documents_without_key(Customer):
    first = Customer.from_display(name="A").save()
    second = Customer.from_display(name="B").save()
    assert (first.get_id(), second.get_id()) == ("1", "2")


def test_insert_of_existing_key_conflicts(Order):
    with pytest.raises(ConflictError):
        Order.from_display(number="1001").save()
    assert Order.load("1001").status == "new"


def test_save_with_id_replaces_whole_document(Order):
    replacement = Order.from_display(number="1001", status="approved")
    replacement._id = "1001"
    replacement.save()
    stored = Order.load("1001")
    assert stored.status == "approved" and stored.address is None and len(stored.lines) == 0


@pytest.mark.parametrize("doc_id, fields, error", [
    ("1001", {"number": "1002"}, BadRequestError),   # id disagrees with the key fields
    (None, {"status": "new"}, BadRequestError),      # required key field missing
    (None, {"number": "1001"}, ConflictError),
])
def test_save_refuses(Order, doc_id, fields, error):
    doc = Order.from_display(**fields)
    doc._id = doc_id
    with pytest.raises(error):
        doc.save()


def test_update_merges_and_returns_updated(Order):
    doc = Order.load("1001")
    updated = doc.update(_acl=acl("order.write"), status="approved", address={"city": "Leeds"})
    assert updated.status == "approved" and updated.address.city == "Leeds"
    assert doc.status == "approved" and doc.address.city == "Leeds"
    stored = Order.load("1001")
    assert stored.status == "approved" and stored.total == 59.5 and len(stored.lines) == 2


@pytest.mark.parametrize("doc_id, fields, error", [
    ("9999", {"status": "x"}, NotFoundError),
    ("1001", {"colour": "x"}, BadRequestError),
    ("1001", {"total": "x"}, BadRequestError),
    ("1001", {"number": "1005"}, BadRequestError),  # the key cannot change
    (None, {"status": "x"}, BadRequestError),
])
def test_update_refuses_and_changes_nothing(Order, doc_id, fields, error):
    blank = Order()
    blank._id = doc_id
    with pytest.raises(error):
        blank.update(**fields)
    assert Order.load("1001").get_display_data(show_hidden=True)["status"] == "new"


def test_delete_returns_results(Order):
    assert Order.load("1002").delete(acl=acl("order.write")) == [
        {"result": 200, "collection": "order", "id": "1002"}]
    assert Order.load("1002") is None


def test_delete_cascades(Customer, Order):
    results = Customer.load("c1").delete(acl=acl("customer.write", "order.write"))
    assert [(r["collection"], r["id"]) for r in results] == [
        ("customer", "c1"), ("order", "1001"), ("order", "1002")]
    assert Order.objects(_id_only=True) == ["1003", "1004"]


def test_refused_cascade_deletes_nothing(Customer, Order):
    with pytest.raises(AuthorizationError):
        Customer.load("c1").delete(acl=acl("customer.write"))
    assert Customer.load("c1") is not None and len(Order.objects()) == 4


def test_delete_missing_document(Order):
    gone = Order()
    gone._id = "9999"
    with pytest.raises(NotFoundError):
        gone.delete()


def test_delete_all_reports_refusals(Customer, Order):
    Customer.from_display(name="No orders").save()
    results = Customer.delete_all(acl=acl("customer.write"))
    assert results == [
        {"result": 403, "collection": "customer", "id": "c1"},
        {"result": 403, "collection": "customer", "id": "c2"},
        {"result": 200, "collection": "customer", "id": "1"},
    ]
    assert Customer.objects(_id_only=True) == ["c1", "c2"]


def test_delete_all_with_cascade(Customer, Order):
    results = Customer.delete_all()
    assert sorted((r["collection"], r["id"]) for r in results) == [
        ("customer", "c1"), ("customer", "c2"),
        ("order", "1001"), ("order", "1002"), ("order", "1003"), ("order", "1004")]
    assert all(r["result"] == 200 for r in results)
    assert Order.objects() == [] and Customer.objects() == []


def test_drop_does_not_cascade(Customer, Order):
    Customer.drop(acl=acl("customer.write"))
    assert Customer.objects() == [] and len(Order.objects()) == 4


@pytest.mark.parametrize("call", [
    lambda O: O.from_display(number="3001").save(acl=acl("order.read")),
    lambda O: O.load("1001").update(_acl=acl("order.read"), status="x"),
    lambda O: O.load("1001").delete(acl=acl("order.read")),
    lambda O: O.delete_all(acl=acl("order.action.*")),
    lambda O: O.drop(acl=acl("customer.write")),
])
def test_writes_need_write_grant(Order, call):
    with pytest.raises(AuthorizationError):
        call(Order)
    assert Order.objects(_id_only=True) == ["1001", "1002", "1003", "1004"]
    assert Order.load("1001").status == "new"


def test_classes_bound_to_separate_engines(Order):
    other = Engine("other").bind(SampleOrder)
    assert other.__name__ == "Order" and other.get_collection_name() == "order"
    assert other.load("1001") is None and Order.load("1001") is not None
    other.from_display(number="1001").save()
    assert Order.load("1001").status == "new"
    assert other._engine is not Order._engine
