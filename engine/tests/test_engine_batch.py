import pytest

from grants import acl
from qen_engine import AuthorizationError, BadRequestError, Batch, Engine
from qen_engine.samples import Customer as SampleCustomer


def blank(cls, doc_id):
    doc = cls()
    doc._id = doc_id
    return doc


def snapshot(engine):
    return {c: {i: dict(d) for i, d in engine.rows(c).items()} for c in engine.collections()}


def test_commit_applies_every_write_in_order(engine, Order, Customer):
    batch = Batch(engine=engine)
    assert Order.from_display(number="2001").save(batch=batch, acl=None) is None
    assert blank(Order, "2001").update(_batch=batch, _acl=None, status="approved") is None
    assert blank(Order, "1003").delete(batch=batch, acl=None) is None
    new_customer = Customer.from_display(name="Linus")
    new_customer.save(batch=batch)
    assert len(batch) == 4 and Order.load("2001") is None      # nothing before commit
    result = batch.commit()
    assert type(result) is tuple and result == (True, "Committed 4 writes")
    assert Order.load("2001").status == "approved" and Order.load("1003") is None
    assert new_customer.get_id() == "1" and Customer.load("1").name == "Linus"


@pytest.mark.parametrize("register, why", [
    (lambda O, C, b: blank(O, "9999").update(_batch=b, status="x"),
     "Batch write 2 of 2 failed: Cannot update order/9999: no such document"),
    (lambda O, C, b: blank(O, "9999").delete(batch=b),
     "Batch write 2 of 2 failed: Cannot delete order/9999: no such document"),
    (lambda O, C, b: O.from_display(number="1001").save(batch=b),
     "Batch write 2 of 2 failed: Document order/1001 already exists"),
    (lambda O, C, b: blank(O, "1001").update(_batch=b, number="1002"),
     "Batch write 2 of 2 failed: Cannot change the key fields of order/1001"),
    (lambda O, C, b: blank(C, "c1").delete(batch=b, acl=acl("customer.write")),
     "Batch write 2 of 2 failed: Access denied: write on order needs the grant order.write"),
])
def test_failed_commit_changes_nothing(engine, Order, Customer, register, why):
    before = snapshot(engine)
    batch = Batch(engine=engine)
    blank(Order, "1001").update(_batch=batch, status="approved")
    register(Order, Customer, batch)
    assert batch.commit() == (False, why)
    assert snapshot(engine) == before


def test_writes_see_earlier_writes_of_the_batch(engine, Order):
    batch = Batch(engine=engine)
    blank(Order, "1002").delete(batch=batch)
    blank(Order, "1002").delete(batch=batch)
    assert batch.commit()[0] is False
    assert Order.load("1002") is not None


def test_refusals_at_registration(engine, Order):
    batch = Batch(engine=engine)
    with pytest.raises(AuthorizationError):
        Order.from_display(number="2002").save(batch=batch, acl=acl("order.read"))
    with pytest.raises(BadRequestError):
        blank(Order, "1001").update(_batch=batch, colour="red")
    with pytest.raises(BadRequestError):
        Order.from_display(status="new").save(batch=batch)     # key field missing
    assert len(batch) == 0


def test_batch_holds_only_its_engine_classes(engine, Order):
    foreign = Engine("other").bind(SampleCustomer)
    batch = Batch(engine=engine)
    with pytest.raises(BadRequestError) as refused:
        foreign.from_display(name="x").save(batch=batch)
    assert refused.value.message == ("Batch of engine test cannot hold writes of Customer, "
                                     "stored in engine other")


def test_batch_commits_once(engine, Order):
    batch = Batch(engine=engine)
    assert batch.commit() == (True, "Committed 0 writes")
    assert batch.commit() == (False, "Batch already committed")
    with pytest.raises(BadRequestError):
        blank(Order, "1001").delete(batch=batch)
