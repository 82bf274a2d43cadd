import pytest

from grants import acl
from qen_engine import AuthorizationError, BadRequestError, NotFoundError
from qen_engine.samples import Line


def test_get_actions(Order):
    actions = Order.get_actions()
    assert actions["export"]["public"] is True
    assert actions["purge"]["public"] is False and actions["approve"]["public"] is False
    assert {n: a["scope"] for n, a in actions.items()} == {
        "approve": "document", "export": "collection", "purge": "collection"}
    actions["export"]["public"] = False
    assert Order.get_actions()["export"]["public"] is True     # a copy is handed out
    assert set(Line.get_actions()) == {"approve"}


def test_document_action_persists(Order):
    shown = Order.load("1001").action(action_name="approve", acl=acl("order.action.approve"))
    assert shown["status"] == "approved" and "internal_note" not in shown
    assert Order.load("1001").status == "approved"
    assert Order.load("1001").internal_note == "gift wrap"


def test_embedded_action_persists_owner(Order):
    line = Order.load("1001").lines["L2"]
    assert line.action(action_name="approve", acl=None, payload={})["approved"] is True
    stored = Order.load("1001")
    assert stored.lines["L2"].approved is True and stored.lines["L1"].approved is False


@pytest.mark.parametrize("path", [lambda o: o, lambda o: o.lines["L1"]])
def test_actions_checked_against_owning_document(Order, path):
    target = path(Order.load("1001"))
    with pytest.raises(AuthorizationError):
        target.action(action_name="approve", acl=acl("order.read", "order.write"))
    assert Order.load("1001").status == "new" and not Order.load("1001").lines["L1"].approved


@pytest.mark.parametrize("name", ["missing", "", None, "save", "export"])
def test_unknown_document_action(Order, name):
    with pytest.raises(NotFoundError):
        Order.load("1001").action(action_name=name, acl=None, payload=None)


def test_action_refusal_of_its_own(Order):
    with pytest.raises(BadRequestError) as refused:
        Order.load("1003").action(action_name="approve")
    assert refused.value.message == "Order 1003 is cancelled and cannot be approved"


def test_embedded_action_outside_document():
    with pytest.raises(BadRequestError):
        Line(code="x").action(action_name="approve")


@pytest.mark.parametrize("grants, payload, expected", [
    ((), None, ["1001", "1002", "1003", "1004"]),          # public: no grant needed
    (("order.read",), {"status": "new"}, ["1001", "1004"]),
])
def test_public_collection_action(Order, grants, payload, expected):
    result = Order.collection_action(action_name="export", acl=acl(*grants), payload=payload)
    assert [row["number"] for row in result] == expected


def test_private_collection_action(Order):
    with pytest.raises(AuthorizationError):
        Order.collection_action(action_name="purge", acl=acl("order.write"))
    deleted = Order.collection_action(action_name="purge", acl=acl("order.action.purge"))
    assert deleted == [{"result": 200, "collection": "order", "id": "1003"}]
    assert Order.load("1003") is None


@pytest.mark.parametrize("name", ["missing", "approve", None])
def test_unknown_collection_action(Order, name):
    with pytest.raises(NotFoundError):
        Order.collection_action(action_name=name, acl=None, payload=None)
