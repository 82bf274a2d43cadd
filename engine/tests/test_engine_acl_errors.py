import pytest

from grants import acl
from qen_engine import (Acl, AuthorizationError, BadRequestError, ConflictError,
                        NotFoundError, QenError)
from qen_engine.acl import allows


@pytest.mark.parametrize("error, status", [
    (QenError, 500), (BadRequestError, 400), (AuthorizationError, 403),
    (NotFoundError, 404), (ConflictError, 409),
])
def test_errors_carry_status_and_message(error, status):
    raised = error("some text")
    assert isinstance(raised, QenError)
    assert raised.status_code == status
    assert raised.args == ("some text",) and raised.message == "some text"


@pytest.mark.parametrize("content, collection, act, allowed", [
    (["*"], "order", "write", True),
    (["order.*"], "order", "action.purge", True),
    (["order.*"], "customer", "read", False),
    (["order.read"], "order", "read", True),
    (["order.read"], "order", "write", False),
    (["order.write"], "order", "read", False),
    (["order.action.approve"], "order", "action.approve", True),
    (["order.action.approve"], "order", "action.purge", False),
    (["order.action.*"], "order", "action.purge", True),
    (["order.action.*"], "order", "write", False),
    ([], "order", "read", False),
    # a lone text is one grant, never matched letter by letter
    ("order.*", "order", "read", True),
    ("order.*", "or", "*", False),
    ([None, 3, "order.read"], "order", "read", True),
])
def test_grants(content, collection, act, allowed):
    assert allows(Acl(content), collection, act) is allowed


def test_none_acl_is_unrestricted():
    assert allows(None, "order", "write")


def test_acl_like_object_without_acl_class():
    class Foreign:
        content = {"order.read": True}
    assert allows(Foreign(), "order", "read")


def test_check_acl_refuses_with_message(Order):
    with pytest.raises(AuthorizationError) as refused:
        Order.check_acl(acl=acl("order.read"), act="action.approve")
    assert refused.value.message == ("Access denied: action.approve on order needs the grant "
                                     "order.action.approve")
    assert Order.check_acl(acl=acl("order.action.approve"), act="action.approve") is None


def test_check_acl_uses_collection_of_doc(Order, Customer):
    customer = Customer.load("c1")
    assert Order.check_acl(acl=acl("customer.write"), act="write", doc=customer) is None
    with pytest.raises(AuthorizationError):
        Order.check_acl(acl=acl("order.write"), act="write", doc=customer)
