"""Sample classes and documents for tests, benchmarks and the demo service.

`Order` (key field `number`) holds an embedded `Address` with an embedded
`Geo`, a plain list `items` of `Item` and a runtime list `lines` of `Line`
keyed by `code`. `Customer` has no key fields; deleting a customer deletes
its orders.
"""

from .document import Base, Document, expose
from .errors import BadRequestError
from .fields import Embedded, Field, ListOf, RuntimeListOf
from .store import Engine


class Geo(Base):
    lat = Field(float)
    lon = Field(float)


class Address(Base):
    street = Field(str)
    city = Field(str)
    country = Field(str)
    geo = Embedded(Geo)


class Item(Base):
    sku = Field(str, required=True)
    name = Field(str)
    qty = Field(int, default=1)


class Line(Base):
    code = Field(str, required=True)
    product = Field(str)
    qty = Field(int, default=1)
    price = Field(float, default=0.0)
    approved = Field(bool, default=False)

    @expose("Approve this order line")
    def approve(self, acl=None, payload=None):
        self.approved = True
        self._persist()
        return self.get_display_data()


class Order(Document):
    _key_fields = ("number",)

    number = Field(str, required=True)
    customer = Field(str)
    status = Field(str, default="new")
    total = Field(float, default=0.0)
    internal_note = Field(str, hidden=True)
    address = Embedded(Address)
    items = ListOf(Item)
    lines = RuntimeListOf(Line, key="code")
    tags = ListOf(str)

    @expose("Approve the order")
    def approve(self, acl=None, payload=None):
        if self.status == "cancelled":
            raise BadRequestError(f"Order {self.number} is cancelled and cannot be approved")
        self.status = "approved"
        self._persist()
        return self.get_display_data()

    @expose("Number, status and total of every order; payload may filter by status", public=True)
    @classmethod
    def export(cls, acl=None, payload=None):
        criteria = {"status": payload["status"]} if payload and payload.get("status") else {}
        return [{"number": o.number, "status": o.status, "total": o.total}
                for o in cls.objects(**criteria)]

    @expose("Delete every cancelled order")
    @classmethod
    def purge(cls, acl=None, payload=None):
        deleted = []
        for order in cls.objects(status="cancelled"):
            deleted.extend(order.delete())
        return deleted


class Customer(Document):
    _cascade = (("order", "customer"),)

    name = Field(str, required=True)
    email = Field(str)
    tier = Field(str, default="standard")
    notes = Field(str, hidden=True)


SAMPLE_CUSTOMERS = [
    {"_id": "c1", "name": "Ada Lovelace", "email": "ada@example.org", "tier": "gold",
     "notes": "prefers email"},
    {"_id": "c2", "name": "Grace Hopper", "email": "grace@example.org"},
]

SAMPLE_ORDERS = [
    {"number": "1001", "customer": "c1", "status": "new", "total": 59.5,
     "internal_note": "gift wrap",
     "address": {"street": "1 Analytical Way", "city": "London", "country": "GB",
                 "geo": {"lat": 51.5072, "lon": -0.1276}},
     "items": [{"sku": "PEN", "name": "Fountain pen", "qty": 2},
               {"sku": "INK", "name": "Ink bottle", "qty": 1}],
     "lines": [{"code": "L1", "product": "PEN", "qty": 2, "price": 22.0},
               {"code": "L2", "product": "INK", "qty": 1, "price": 15.5}],
     "tags": ["stationery"]},
    {"number": "1002", "customer": "c1", "status": "approved", "total": 12.0,
     "address": {"street": "1 Analytical Way", "city": "London", "country": "GB"},
     "lines": [{"code": "L1", "product": "PAD", "qty": 3, "price": 4.0}]},
    {"number": "1003", "customer": "c2", "status": "cancelled", "total": 99.0,
     "address": {"street": "5 Compiler Road", "city": "Arlington", "country": "US",
                 "geo": {"lat": 38.88, "lon": -77.1}}},
    {"number": "1004", "customer": "c2", "status": "new", "total": 7.25,
     "items": [{"sku": "TAPE", "name": "Punched tape", "qty": 5}],
     "lines": [{"code": "T1", "product": "TAPE", "qty": 5, "price": 1.45}]},
]


def load_samples(engine=None):
    """Store the sample documents; returns {collection name: class}. With an engine other
    than the sample classes' own, the classes are bound to it first."""
    classes = {"order": Order, "customer": Customer}
    if engine is not None and engine is not Order._engine:
        classes = {name: engine.bind(cls) for name, cls in classes.items()}
    for data in SAMPLE_CUSTOMERS:
        classes["customer"].from_display(**data).save()
    for data in SAMPLE_ORDERS:
        classes["order"].from_display(**data).save()
    return classes


def make_sample_engine(name="samples"):
    """A new engine holding the sample documents; its `classes` maps collection to class."""
    engine = Engine(name)
    load_samples(engine)
    return engine
