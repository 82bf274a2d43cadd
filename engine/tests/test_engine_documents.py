import pytest

from qen_engine import Base, BadRequestError, ListRuntime, NotFoundError
from qen_engine.samples import Address, Geo, Item, Line

ORDER = {
    "number": "7", "status": "new", "total": 3, "internal_note": "secret",
    "address": {"city": "Paris", "geo": {"lat": 48.8, "lon": 2.3}},
    "items": [{"sku": "A"}, {"sku": "B", "qty": 4}],
    "lines": [{"code": "k1"}, {"code": "k2"}, {"code": "7"}],
}


def test_from_display_builds_object_forms(Order):
    order = Order.from_display(**ORDER)
    assert order._id is None and order.get_id() is None
    assert isinstance(order.address, Address) and isinstance(order.address.geo, Geo)
    assert type(order.items) is list and isinstance(order.items[1], Item)
    assert isinstance(order.lines, ListRuntime) and not isinstance(order.lines, list)
    assert order.customer is None and order.tags == []
    assert order.calculate_id() == "7"


def test_blank_document(Order):
    blank = Order()
    assert blank._id is None and blank.number is None and blank.status == "new"
    assert isinstance(blank.lines, ListRuntime) and len(blank.lines) == 0


@pytest.mark.parametrize("fields, message", [
    ({"colour": "red"}, "Unknown field colour for Order"),
    ({"number": "1", "total": "a lot"}, "Field Order.total expects number, got str"),
    ({"number": 1}, "Field Order.number expects text, got int"),
    ({"address": "Paris"}, "Field Order.address expects a Address mapping, got str"),
    ({"address": {"town": "Paris"}}, "Unknown field town for Address"),
    ({"address": {"geo": {"lat": "north"}}}, "Field Geo.lat expects number, got str"),
    ({"items": {"sku": "A"}}, "Field Order.items expects a list, got dict"),
    ({"items": ["A"]}, "Field Order.items expects Item mappings as members, got str"),
    ({"lines": [{"code": "k"}, {"code": "k"}]}, "Duplicate code k in Order.lines"),
    ({"lines": [{"qty": 1}]}, "Member of Order.lines has no code"),
    ({"tags": [1]}, "Field Order.tags expects text, got int"),
    ({"lines": [{"code": "k", "approved": 1}]}, "Field Line.approved expects boolean, got int"),
])
def test_from_display_refuses(Order, fields, message):
    with pytest.raises(BadRequestError) as refused:
        Order.from_display(**fields)
    assert refused.value.message == message


def test_embedded_document_refuses_id():
    with pytest.raises(BadRequestError):
        Address.from_display(_id="x")


@pytest.mark.parametrize("kwargs, expected", [
    ({}, {"_id": None, "number": "7", "status": "new"}),
    ({"catalog": {"status": 1, "total": 0}}, {"_id": None, "status": "new"}),
    ({"catalog": ["status"]}, {"_id": None, "status": "new"}),
    ({"catalog": {"address": {"geo": True}}}, {"_id": None, "address": {"geo": {"lat": 48.8, "lon": 2.3}}}),
    ({"catalog": {"lines": ["code"]}}, {"_id": None, "lines": [{"code": "k1"}, {"code": "k2"}, {"code": "7"}]}),
    ({"catalog": {"internal_note": 1}}, {"_id": None}),
    ({"catalog": {"internal_note": 1}, "show_hidden": True}, {"_id": None, "internal_note": "secret"}),
    ({"catalog": ["_id"]}, {"_id": None}),
])
def test_display_catalog_and_hidden(Order, kwargs, expected):
    shown = Order.from_display(**ORDER).get_display_data(**kwargs)
    assert {k: v for k, v in shown.items() if k in expected} == expected
    if "catalog" in kwargs:
        assert set(shown) == set(expected)


def test_display_is_json_ready_and_hides_by_default(Order):
    import json
    shown = Order.from_display(**ORDER).get_display_data(lazy=False)
    assert "internal_note" not in shown
    assert json.loads(json.dumps(shown)) == shown
    assert Order.from_display(**{k: v for k, v in shown.items() if k != "_id"}).total == 3


@pytest.mark.parametrize("catalog", [{"nope": 1}, 5, "status"])
def test_display_refuses_bad_catalog(Order, catalog):
    with pytest.raises(BadRequestError):
        Order.from_display(**ORDER).get_display_data(catalog=catalog)


def test_display_validates_assigned_values(Order):
    order = Order.from_display(**ORDER)
    order.address = {"city": "Rome"}          # display form assigned later is accepted
    assert order.get_display_data(catalog=["address"])["address"]["city"] == "Rome"
    order.total = "free"
    with pytest.raises(BadRequestError):
        order.get_display_data()


@pytest.mark.parametrize("index, code", [("k1", "k1"), ("7", "7"), (1, "k2"), (-1, "7"), (2, "7")])
def test_runtime_list_lookup(Order, index, code):
    lines = Order.from_display(**ORDER).lines
    assert lines[index].code == code


@pytest.mark.parametrize("text, contained", [("k1", True), ("7", True), ("2", False), ("", False)])
def test_runtime_list_membership(Order, text, contained):
    assert (text in Order.from_display(**ORDER).lines) is contained


@pytest.mark.parametrize("index", ["zz", 3, -4])
def test_runtime_list_missing_member(Order, index):
    with pytest.raises(NotFoundError):
        Order.from_display(**ORDER).lines[index]


def test_runtime_list_append_refuses_duplicate():
    lines = ListRuntime([Line(code="a")], key="code")
    lines.append(Line(code="b"))
    assert lines.keys() == ["a", "b"] and len(lines) == 2
    with pytest.raises(BadRequestError):
        lines.append(Line(code="a"))


def test_calculate_id_needs_key_values(Order, Customer):
    with pytest.raises(BadRequestError):
        Order().calculate_id()
    assert Customer(name="x").calculate_id() is None
    assert Order._key_fields == ("number",) and Customer._key_fields == ()


def test_embedded_classes_are_base_not_document(Order):
    order = Order.from_display(**ORDER)
    assert isinstance(order, Base) and isinstance(order.address, Base)
    assert not hasattr(order.address, "save")


def test_documents_do_not_alias_the_payload(Order):
    payload = {"number": "8", "tags": ["a"], "address": {"city": "Oslo"}}
    order = Order.from_display(**payload)
    order.tags.append("b")
    order.address.city = "Bergen"
    assert payload == {"number": "8", "tags": ["a"], "address": {"city": "Oslo"}}
