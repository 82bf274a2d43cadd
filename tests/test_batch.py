"""RestApi.root_post: batch lines, their refusals and the single commit."""

import sys
import types

import pytest

from fake_engine import Acl


@pytest.fixture
def classes(fake):
    """Customer (engine-B, no key fields) and Order (engine-A, key fields)."""
    return types.SimpleNamespace(
        Customer=fake.doc_class("Customer", engine="engine-B"),
        Order=fake.doc_class("Order", key_fields=("number",), engine="engine-A"),
    )


@pytest.fixture
def class_dict(classes):
    return {"customer": classes.Customer, "order": classes.Order}


def shapes(log, *names):
    """(receiver, call name, args, kwargs) of the logged calls named `names`."""
    return [(c.target, c.name, c.args, c.kwargs) for c in log if not names or c.name in names]


def error(result):
    body, status = result
    return body["type"], body["message"], status


class Untouchable(dict):
    """A payload line that must never be read."""

    def __contains__(self, key):
        raise AssertionError("line read after a refusal")

    __getitem__ = __contains__


def test_empty_class_dict_is_refused_before_any_batch(api, log):
    line = {"name": "order", "id": "1", "op": "D"}
    assert api.root_post({}, [line], acl=Acl()) == ("No class mapping found", 400)
    assert api.root_post({}, []) == ("No class mapping found", 400)
    assert log == []


def test_every_code_registers_its_write(api, fake, classes, class_dict, log):
    Customer, Order = classes.Customer, classes.Order
    acl = Acl()
    payload = [
        {"name": "customer", "id": "c1", "op": "I", "content": {"full_name": "Ada", "tier": "gold"}},
        {"name": "customer", "id": "c2", "op": "S", "content": {"full_name": "Grace"}},
        {"name": "order", "id": "ignored", "op": "S", "content": {"number": "7"}},
        {"name": "order", "id": "o1", "op": "U", "content": {"status": "paid", "total": 3}},
        {"name": "customer", "id": "c3", "op": "D"},
    ]
    assert api.root_post(class_dict, payload, acl=acl) == ("", 200)

    [made] = fake.calls("Batch")
    assert made.args == () and made.kwargs == (("engine", "engine-B"),)
    [commit] = fake.calls("commit")
    batch = commit.target
    assert log[-1] is commit

    writes = [c for c in log if c.name in ("from_display", "calculate_id", "save", "update", "delete")]
    inserted, saved, keyed, updated, deleted = (
        c.target for c in writes if c.name in ("save", "update", "delete"))
    assert [(c.target, c.name, c.args, c.kwargs) for c in writes] == [
        (Customer, "from_display", (), (("full_name", "Ada"), ("tier", "gold"))),
        (inserted, "save", (), (("batch", batch), ("acl", acl))),
        (Customer, "from_display", (), (("full_name", "Grace"),)),
        (saved, "save", (), (("batch", batch), ("acl", acl))),
        (Order, "from_display", (), (("number", "7"),)),
        (keyed, "calculate_id", (), ()),
        (keyed, "save", (), (("batch", batch), ("acl", acl))),
        (updated, "update", (), (("_batch", batch), ("_acl", acl), ("status", "paid"), ("total", 3))),
        (deleted, "delete", (), (("batch", batch), ("acl", acl))),
    ]
    assert not hasattr(inserted, "_id")              # "I" never reads "id"
    assert saved._id == "c2"                         # no key fields: the line's id
    assert keyed._id == "calculated"                 # key fields: the computed id
    assert type(updated) is Order and updated._id == "o1" and vars(updated) == {
        "script": {}, "_id": "o1"}                   # a blank document
    assert type(deleted) is Customer and deleted._id == "c3"


@pytest.mark.parametrize("class_dict_of", [
    lambda c: {"customer": c.Customer, "order": c.Order},
    lambda c: types.MappingProxyType({"customer": c.Customer, "order": c.Order}),
], ids=["dict", "mapping"])
def test_batch_is_bound_to_the_first_class_engine(api, fake, classes, class_dict_of, log):
    payload = [{"name": "order", "id": "o1", "op": "D"}, {"name": "order", "id": "o2", "op": "D"}]
    assert api.root_post(class_dict_of(classes), payload) == ("", 200)
    [made] = fake.calls("Batch")
    assert made.kwargs == (("engine", "engine-B"),)
    [commit] = fake.calls("commit")
    assert [c.kw["batch"] for c in fake.calls("delete")] == [commit.target] * 2


def test_empty_payload_commits_an_empty_batch(api, fake, class_dict, log):
    fake.Batch.commit_result = (False, "nothing to do")
    assert api.root_post(class_dict, []) == ("nothing to do", 500)
    assert [c.name for c in log] == ["Batch", "commit"]


@pytest.mark.parametrize("commit_result, answer", [
    ((True, "ok"), ("", 200)),
    (([1], None), ("", 200)),
    ((False, "Batch write 2 failed"), ("Batch write 2 failed", 500)),
    ((0, {"why": "dup"}), ({"why": "dup"}, 500)),
    ([None, "m"], ("m", 500)),
])
def test_commit_flag_decides_the_status(api, fake, class_dict, log, commit_result, answer):
    fake.Batch.commit_result = commit_result
    assert api.root_post(class_dict, [{"name": "order", "id": "1", "op": "D"}]) == answer


@pytest.mark.parametrize("commit_result, kind, message", [
    ((True,), "ValueError", "not enough values to unpack (expected 2, got 1)"),
    ((), "ValueError", "not enough values to unpack (expected 2, got 0)"),
    ((True, "a", "b"), "ValueError", "too many values to unpack (expected 2)"),
    (None, "TypeError", "cannot unpack non-iterable NoneType object"),
    (True, "TypeError", "cannot unpack non-iterable bool object"),
])
def test_commit_must_answer_two_values(api, fake, class_dict, log, commit_result, kind, message):
    fake.Batch.commit_result = commit_result
    assert error(api.root_post(class_dict, [])) == (kind, message, 400)


GOOD = {"name": "order", "id": "o1", "op": "D"}
FORMAT = "Wrong payload line format, need have name, id, op"


@pytest.mark.parametrize("line, message", [
    ({"id": "1", "op": "D"}, FORMAT),
    ({"name": "order", "op": "I", "content": {}}, FORMAT),   # "I" needs "id" although unread
    ({"name": "order", "id": "1"}, FORMAT),
    ({}, FORMAT),
    ({"name": "invoice", "id": "1", "op": "D"}, "Class invoice not found"),
    ({"name": 5, "id": "1", "op": "D"}, "Class 5 not found"),
    ({"name": None, "id": "1", "op": "D"}, "Class None not found"),
    ({"name": "order", "id": "1", "op": "i"}, "Operation i is not supported"),
    ({"name": "order", "id": "1", "op": "X"}, "Operation X is not supported"),
    ({"name": "order", "id": "1", "op": 7}, "Operation 7 is not supported"),
    ({"name": "order", "id": "1", "op": "II"}, "Operation II is not supported"),
    ({"name": "order", "id": "1", "op": "I"},
     "Wrong payload line format, need have content for operation I"),
    ({"name": "order", "id": "1", "op": "S"},
     "Wrong payload line format, need have content for operation S"),
    ({"name": "order", "id": "1", "op": "U"},
     "Wrong payload line format, need have content for operation U"),
])
def test_refused_line_stops_the_batch_uncommitted(api, fake, class_dict, log, line, message):
    acl = Acl()
    result = api.root_post(class_dict, [GOOD, line, Untouchable()], acl=acl)
    assert result == (message, 400)
    assert [c.name for c in log] == ["Batch", "delete"]  # the first line only, no commit
    assert fake.calls("delete")[0].target._id == "o1"


def test_line_keys_are_tested_in_order(api, class_dict, log):
    tested = []

    class Line(dict):
        def __contains__(self, key):
            tested.append(key)
            return super().__contains__(key)

    assert api.root_post(class_dict, [Line(name="order", op="D")]) == (FORMAT, 400)
    assert tested == ["name", "id"]


class LooseOp(str):
    """An op code equal to several codes: the first one compared wins."""

    def __eq__(self, other):
        return other in ("U", "D")

    __hash__ = str.__hash__


def test_codes_are_compared_in_order(api, fake, class_dict, log):
    line = {"name": "order", "id": "o1", "op": LooseOp("?"), "content": {"status": "x"}}
    assert api.root_post(class_dict, [line]) == ("", 200)
    assert [c.name for c in log] == ["Batch", "update", "commit"]


@pytest.mark.parametrize("line, kind, message", [
    ({"name": "order", "id": "1", "op": "I", "content": ["a"]},
     "TypeError", "argument after ** must be a mapping, not list"),
    ({"name": "order", "id": "1", "op": "U", "content": {"_acl": 1}},
     "TypeError", "got multiple values for keyword argument '_acl'"),
    ({"name": "order", "id": "1", "op": "U", "content": {"_batch": 1}},
     "TypeError", "got multiple values for keyword argument '_batch'"),
    ({"name": "order", "id": "1", "op": "U", "content": {1: 1}},
     "TypeError", "keywords must be strings"),
    ({"name": ["unhashable"], "id": "1", "op": "D"}, "TypeError", "unhashable type: 'list'"),
    (5, "TypeError", "argument of type 'int' is not iterable"),
])
def test_malformed_line_is_a_400_error(api, class_dict, log, line, kind, message):
    kind_, text, status = error(api.root_post(class_dict, [GOOD, line]))
    assert (kind_, status) == (kind, 400) and text.endswith(message)
    assert "commit" not in [c.name for c in log]


@pytest.mark.parametrize("failing", ["from_display", "save", "calculate_id"])
def test_engine_errors_end_the_call_uncommitted(api, fake, log, failing):
    script = {"from_display": lambda cls, **k: cls(**k)}
    doc_script = {}
    (script if failing == "from_display" else doc_script)[failing] = fake.ConflictError("taken")
    Order = fake.doc_class("Order", key_fields=("n",), doc_script=doc_script, **script)
    line = {"name": "order", "id": "1", "op": "S", "content": {"n": 1}}
    body, status = api.root_post({"order": Order}, [line])
    assert (body["type"], body["message"], status) == ("ConflictError", "taken", 409)
    assert "commit" not in [c.name for c in log]


def test_commit_error_is_converted(api, fake, class_dict, log):
    fake.Batch.commit_result = fake.NotFoundError("gone")
    assert error(api.root_post(class_dict, [GOOD])) == ("NotFoundError", "gone", 404)


def test_empty_acl_is_refused_by_the_wrapper(api, class_dict, log):
    assert error(api.root_post(class_dict, [GOOD], acl=Acl([])))[1:] == ("User has empty ACL", 403)
    assert log == []


def test_reference_counts_unchanged(api, fake, class_dict, log):
    acl = Acl()
    content = {"number": "9", "status": "x"}
    lines = [
        {"name": "order", "id": "o1", "op": "I", "content": content},
        {"name": "order", "id": "o1", "op": "S", "content": content},
        {"name": "customer", "id": "c1", "op": "S", "content": {}},
        {"name": "order", "id": "o1", "op": "U", "content": content},
        {"name": "customer", "id": "c1", "op": "D"},
    ]
    refused = [GOOD, {"name": "order", "id": "1", "op": "Z"}]
    malformed = [{"name": "order", "id": "1", "op": "U", "content": {"_acl": 1}}]
    # Interned texts such as "order" are shared with the rest of the process:
    # their counts move with unrelated garbage, so they are not watched.
    watched = [acl, content, class_dict, *class_dict.values(), *lines,
               refused, malformed]

    def run():
        api.root_post(class_dict, lines, acl=acl)
        api.root_post(class_dict, refused, acl=acl)
        api.root_post(class_dict, malformed, acl=acl)
        fake.Batch.commit_result = (False, "no")
        api.root_post(class_dict, lines, acl=acl)
        fake.Batch.commit_result = (True, "ok")
        log.clear()

    run()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(200):
        run()
    assert [sys.getrefcount(o) for o in watched] == before
