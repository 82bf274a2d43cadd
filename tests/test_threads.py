"""Thread stress: several threads drive mixed operations through the facade
on one stand-in engine at once. Every answer is well formed and nothing is
lost: each thread's documents are there afterwards with their last change,
and the collections hold exactly what was added and not deleted."""

import importlib
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

qen_engine = pytest.importorskip("qen_engine")
from qen_engine import Acl  # noqa: E402
from qen_engine.samples import make_sample_engine  # noqa: E402

THREADS = 8
ROUNDS = 250
ALL = Acl(["*"])
EMPTY = Acl([])


@pytest.fixture(scope="module")
def api():
    if sys.modules.get("qen_engine") is not qen_engine:
        pytest.skip("qen_engine is replaced in this process")
    rest = importlib.import_module("qen_api.rest")
    assert rest.QenError is qen_engine.QenError
    return rest.RestApi


@pytest.fixture
def fast_switching():
    """Threads hand over the interpreter far more often than by default."""
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(saved)


def expect(answer, status):
    assert isinstance(answer, tuple) and len(answer) == 2, answer
    assert answer[1] == status, answer
    return answer[0]


def expect_error(answer, type_name, status):
    body = expect(answer, status)
    assert body["type"] == type_name and isinstance(body["trace"], str), body
    return body


def count(api, cls):
    return len(expect(api.collection_get(cls, acl=ALL, id_only=True, limit=10**6), 200))


def worker(api, Order, Customer, start, t):
    """One thread's share; answers what it left in the store."""
    start.wait()
    kept, customers = {}, 0
    for i in range(ROUNDS):
        number = f"{t}-{i}"
        path = f"/_id/{number}"
        created = expect(api.document_post(Order, {"number": number, "customer": "c1",
                                                   "total": i}, path, acl=ALL), 200)
        assert created["number"] == number
        assert expect(api.document_get(Order, path, acl=ALL, catalog='{"number": 1}'),
                      200)["number"] == number
        patched = expect(api.document_patch(Order, {"status": f"p{t}"}, None, path, acl=ALL), 200)
        assert patched["status"] == f"p{t}"
        ids = expect(api.collection_get(Order, {"customer": "c1"}, acl=ALL, id_only=True,
                                        limit=None), 200)
        assert number in ids
        assert expect(api.root_post({"customer": Customer},
                                    [{"name": "customer", "id": "", "op": "I",
                                      "content": {"name": f"T{t}-{i}"}}], acl=ALL), 200) == ""
        customers += 1
        result, owner, name = api.action_post(Order, {}, "/_id/1001", "lines/L1/approve", acl=ALL)
        assert (name, result["approved"]) == ("approve", True)
        expect_error(api.document_get(Order, f"/_id/none-{t}-{i}", acl=ALL), "NotFoundError", 404)
        expect_error(api.document_get(Order, path, acl=EMPTY), "AuthorizationError", 403)
        expect_error(api.document_post(Order, {"number": number}, path, acl=ALL),
                     "ConflictError", 409)
        if i % 3 == 0:
            deleted = expect(api.document_delete(Order, path, acl=ALL), 200)
            assert [d["id"] for d in deleted] == [number]
        else:
            replaced = expect(api.document_put(Order, {"number": number, "status": "final",
                                                       "total": i}, path, acl=ALL), 200)
            assert replaced["status"] == "final"
            kept[number] = i
    return kept, customers


def test_mixed_operations_from_many_threads(api, fast_switching):
    engine = make_sample_engine()
    Order, Customer = engine.classes["order"], engine.classes["customer"]
    orders_before, customers_before = count(api, Order), count(api, Customer)
    start = threading.Barrier(THREADS)

    with ThreadPoolExecutor(THREADS) as pool:
        futures = [pool.submit(worker, api, Order, Customer, start, t) for t in range(THREADS)]
        shares = [f.result(timeout=300) for f in futures]

    kept = {number: total for share, _ in shares for number, total in share.items()}
    stored = expect(api.collection_get(Order, list(kept), acl=ALL, limit=len(kept)), 200)
    assert {d["number"]: (d["total"], d["status"]) for d in stored} == {
        number: (float(total), "final") for number, total in kept.items()}
    assert count(api, Order) == orders_before + len(kept)
    assert count(api, Customer) == customers_before + sum(n for _, n in shares)
