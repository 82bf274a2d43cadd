import pytest

from grants import acl
from qen_engine import AuthorizationError, BadRequestError


@pytest.mark.parametrize("args, fields, found", [
    (("1001",), {}, "1001"),
    ((1001,), {}, "1001"),
    (("9999",), {}, None),
    ((), {"number": "1002"}, "1002"),
    ((), {"total": "12"}, "1002"),               # number compared with its text
    ((), {"total": "59.5", "customer": "c1"}, "1001"),
    ((), {"status": "new"}, "1001"),              # several match: the first stored
    ((), {"address.city": "Arlington"}, "1003"),
    ((), {"_id": "1004"}, "1004"),
    ((), {"status": "gone"}, None),
    ((), {}, None),                               # no criteria name no document
    (("1001",), {"status": "cancelled"}, None),   # id and criteria must both hold
])
def test_load(Order, args, fields, found):
    doc = Order.load(*args, _acl=None, **fields)
    assert (doc and doc.get_id()) == found
    if doc:
        assert isinstance(doc, Order)


def test_load_gives_independent_copies(Order):
    first = Order.load("1001")
    first.address.city = "Changed"
    first.lines["L1"].qty = 99
    assert Order.load("1001").address.city == "London"
    assert Order.load("1001").lines["L1"].qty == 2


@pytest.mark.parametrize("ids, kwargs, expected", [
    ((), {}, ["1001", "1002", "1003", "1004"]),
    ((), {"status": "new"}, ["1001", "1004"]),
    ((), {"_limit": 2}, ["1001", "1002"]),
    ((), {"_limit": "1"}, ["1001"]),
    ((), {"_limit": 0}, []),
    (("1003", "1001", "nope", "1003"), {}, ["1003", "1001"]),
    (("1003", "1001"), {"_limit": 1}, ["1003"]),
    (("1003", "1004"), {"status": "new"}, ["1004"]),
    ((), {"customer": "c2", "status": "cancelled"}, ["1003"]),
])
def test_objects(Order, ids, kwargs, expected):
    docs = Order.objects(*ids, _acl=None, **kwargs)
    assert [d.get_id() for d in docs] == expected
    assert list(Order.objects(*ids, _id_only=True, **kwargs)) == expected


@pytest.mark.parametrize("kwargs", [{"_limit": -1}, {"_limit": "x"}, {"_limit": True}, {"colour": "red"}])
def test_objects_refuses(Order, kwargs):
    with pytest.raises(BadRequestError):
        Order.objects(**kwargs)


def test_load_refuses_unknown_field(Order):
    with pytest.raises(BadRequestError) as refused:
        Order.load(ID="42")
    assert refused.value.message == "Unknown field ID for Order"


@pytest.mark.parametrize("request_, answer", [
    (None, {"count": 4}),
    ({}, {"count": 4}),
    ({"filter": {"customer": "c1"}}, {"count": 2}),
    ({"sum": "total"}, {"count": 4, "sum": 177.75}),
    ({"group_by": "status"}, {"count": 4, "groups": [
        {"value": "new", "count": 2}, {"value": "approved", "count": 1},
        {"value": "cancelled", "count": 1}]}),
    ({"group_by": "address.country", "sum": "total", "filter": {"customer": "c1"}},
     {"count": 2, "sum": 71.5, "groups": [{"value": "GB", "count": 2, "sum": 71.5}]}),
    ({"group_by": "address.geo.lat", "filter": {"number": "1002"}},
     {"count": 1, "groups": [{"value": None, "count": 1}]}),
])
def test_analyze(Order, request_, answer):
    assert Order.analyze(analytic_request=request_, acl=acl("order.read")) == answer


@pytest.mark.parametrize("request_", [
    {"count": "status"}, {"group_by": "colour"}, {"group_by": "items"}, {"filter": ["x"]}, ["status"],
])
def test_analyze_refuses(Order, request_):
    with pytest.raises(BadRequestError):
        Order.analyze(analytic_request=request_)


@pytest.mark.parametrize("call", [
    lambda C, a: C.load("1001", _acl=a),
    lambda C, a: C.load(_acl=a, number="1001"),
    lambda C, a: C.objects(_acl=a),
    lambda C, a: C.objects("1001", _acl=a, _limit=1),
    lambda C, a: C.analyze(analytic_request={}, acl=a),
])
@pytest.mark.parametrize("grants, allowed", [
    (("order.read",), True), (("*",), True), (("order.*",), True),
    (("order.write",), False), (("customer.read",), False), ((), False),
])
def test_reads_need_read_grant(Order, call, grants, allowed):
    if allowed:
        call(Order, acl(*grants))
    else:
        with pytest.raises(AuthorizationError):
            call(Order, acl(*grants))


@pytest.mark.parametrize("stored, wanted, equal", [
    ("new", "new", True), (12.0, "12", True), (12.5, "12.5", True), (3, "3.0", True),
    (12, 12.0, True), (True, "true", True), (True, "True", True), (False, "false", True),
    (True, 1, False), (1, True, False), (0, False, False), (None, "None", False),
    (None, None, True), ("7", 7, False), (12, "twelve", False),
])
def test_criteria_compare_with_text_form(stored, wanted, equal):
    from qen_engine.store import matches
    assert matches("id", {"f": stored}, {"f": wanted}) is equal
