from concurrent.futures import ThreadPoolExecutor

from qen_engine import Batch, ConflictError


def test_concurrent_inserts_of_one_key_conflict(Order):
    def insert(n):
        try:
            Order.from_display(number="5000", total=n).save()
            return "saved"
        except ConflictError:
            return "conflict"

    with ThreadPoolExecutor(8) as pool:
        outcomes = list(pool.map(insert, range(64)))
    assert outcomes.count("saved") == 1 and outcomes.count("conflict") == 63


def test_concurrent_batches_and_reads(engine, Order, Customer):
    def work(n):
        batch = Batch(engine=engine)
        Order.from_display(number=f"6{n:03}", customer="c1").save(batch=batch)
        Customer.from_display(name=f"C{n}").save(batch=batch)
        assert batch.commit()[0]
        assert Order.load(f"6{n:03}") is not None
        return len(Order.objects(_id_only=True, _limit=None))

    with ThreadPoolExecutor(8) as pool:
        list(pool.map(work, range(200)))
    assert len(Order.objects()) == 204
    assert sorted(int(c.get_id()) for c in Customer.objects(tier="standard", _limit=1000)
                  if c.get_id().isdigit()) == list(range(1, 201))
