"""error_handle and auth_required, on their own and on the operations."""

import functools
import inspect
import json
import sys
import threading

import pytest

from fake_engine import Acl


def raising(exc):
    def operation(*args, **kwargs):
        raise exc
    return operation


# ---- error_handle -------------------------------------------------------


@pytest.mark.parametrize("make_exc, type_name, status", [
    (lambda f: ValueError("bad value"), "ValueError", 400),
    (lambda f: TypeError("bad type"), "TypeError", 400),
    (lambda f: RuntimeError("bad run"), "RuntimeError", 400),
    (lambda f: NotImplementedError("later"), "NotImplementedError", 400),
    (lambda f: json.JSONDecodeError("Expecting value", "x", 0), "JSONDecodeError", 400),
    (lambda f: f.NotFoundError("Cannot find"), "NotFoundError", 404),
    (lambda f: f.ConflictError("exists"), "ConflictError", 409),
    (lambda f: f.AuthorizationError("no"), "AuthorizationError", 403),
    (lambda f: type("Teapot", (f.QenError,), {"status_code": 418})("short"), "Teapot", 418),
])
def test_caught_errors_become_pairs(rest, fake, make_exc, type_name, status):
    exc = make_exc(fake)
    body, got_status = rest.error_handle(raising(exc))()
    assert got_status == status
    assert body["type"] == type_name and body["message"] == exc.args[0]
    assert body["trace"].startswith("Traceback (most recent call last):")
    assert body["trace"].rstrip().endswith(f"{type_name}: {exc}")


def test_status_is_the_errors_own_value_unchanged(rest, fake):
    exc = fake.QenError("odd")
    exc.status_code = "499 custom"
    assert rest.error_handle(raising(exc))()[1] == "499 custom"


@pytest.mark.parametrize("exc", [KeyError("k"), AttributeError("a"), IndexError("i"),
                                 SystemExit(3), KeyboardInterrupt(), LookupError("l")])
def test_other_errors_pass_unchanged(rest, exc):
    with pytest.raises(type(exc)) as info:
        rest.error_handle(raising(exc))()
    assert info.value is exc


@pytest.mark.parametrize("length, expected", [(3000, 1024), (500, None)])
def test_trace_is_cut_to_1024_characters(rest, length, expected):
    body, _ = rest.error_handle(raising(ValueError("x" * length)))()
    full = body["trace"]
    if expected is None:
        assert len(full) < 1024 and full.endswith("x" * length + "\n")
    else:
        assert len(full) == expected and full.startswith("Traceback")


@pytest.mark.parametrize("message", [{"field": ["a", 1]}, 42, None, ("t",)])
def test_message_keeps_its_type(rest, message):
    body, status = rest.error_handle(raising(ValueError(message, "second")))()
    assert body["message"] == message and status == 400


def test_error_without_argument_reports_none(rest, fake):
    assert rest.error_handle(raising(ValueError()))()[0]["message"] is None
    body, status = rest.error_handle(raising(fake.NotFoundError()))()
    assert body["message"] is None and status == 404


def test_results_pass_unchanged_and_arguments_are_forwarded(rest):
    seen = []

    def operation(*args, **kwargs):
        seen.append((args, list(kwargs.items())))
        return None
    wrapped = rest.error_handle(operation)
    assert wrapped(1, 2, b=3, a=4) is None
    assert seen == [((1, 2), [("b", 3), ("a", 4)])]
    sentinel = object()
    assert rest.error_handle(lambda: sentinel)() is sentinel


def test_record_failure_carries_the_handled_error_as_context(rest, fake):
    class NoStatus(fake.QenError):
        @property
        def status_code(self):
            raise AttributeError("no status_code")

    original = NoStatus("boom")
    with pytest.raises(AttributeError) as info:
        rest.error_handle(raising(original))()
    assert info.value.__context__ is original


def test_handled_exception_is_restored(rest):
    try:
        raise LookupError("outer")
    except LookupError as outer:
        rest.error_handle(raising(ValueError("inner")))()
        assert sys.exc_info()[1] is outer
    assert sys.exc_info() == (None, None, None)


def test_trace_is_the_interpreters_own(rest):
    def failing_operation():
        raise ValueError("deep")
    trace = rest.error_handle(failing_operation)()[0]["trace"]
    assert "in failing_operation" in trace and "ValueError: deep" in trace


def test_traces_do_not_mix_across_threads(rest):
    results = {}

    def run(tag):
        for _ in range(200):
            body, _ = rest.error_handle(raising(ValueError(tag)))()
            if not body["trace"].rstrip().endswith(f"ValueError: {tag}"):
                results[tag] = body["trace"]
                return
        results.setdefault(tag, "ok")
    threads = [threading.Thread(target=run, args=(f"t{i}",)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert set(results.values()) == {"ok"}


def test_binding_errors_come_back_as_pairs(api, fake):
    body, status = api.document_patch(fake.doc_class("Order"))
    assert status == 400 and body["type"] == "TypeError"
    assert body["message"] == ("RestApi.document_patch() missing 3 required positional arguments: "
                               "'payload', 'catalog', and 'doc_path'")
    body, status = api.document_get(fake.doc_class("Order"), "/_id/1", unexpected=1)
    assert status == 400 and body["message"] == "RestApi.document_get() got an unexpected keyword argument 'unexpected'"
    assert api.collection_get.__func__.__name__ == "collection_get"


def test_wrappers_carry_metadata(rest):
    def operation(a, b=2):
        """Operation doc."""
    operation.extra = "kept"
    for decorator in (rest.error_handle, rest.auth_required):
        wrapped = decorator(operation)
        assert wrapped.__wrapped__ is operation
        assert (wrapped.__name__, wrapped.__qualname__, wrapped.__doc__) == (
            "operation", operation.__qualname__, "Operation doc.")
        assert wrapped.__module__ == __name__ and wrapped.extra == "kept"
        assert str(inspect.signature(wrapped)) == "(a, b=2)"
    # Without a name to take over, the wrapper keeps its own.
    bare = functools.partial(print)
    assert rest.error_handle(bare).__name__ == "handled_error"
    assert rest.auth_required(bare).__name__ == "need_auth"
    assert rest.error_handle(bare).__qualname__ == "error_handle.<locals>.handled_error"


# ---- auth_required ------------------------------------------------------


def recorder():
    calls = []

    def operation(cls, doc_class, acl=None, extra=None):
        calls.append(acl)
        return "ran"
    return operation, calls


@pytest.mark.parametrize("args, kwargs, runs", [
    ((1, 2), {"acl": Acl([])}, False),
    ((1, 2), {"acl": Acl(["order.read"])}, True),
    ((1, 2), {"acl": None}, True),
    ((1, 2), {}, True),
    ((1, 2, Acl([])), {}, False),            # positional acl is examined too
    ((1, 2, Acl(["x"])), {}, True),
    ((1, 2, Acl([])), {"extra": 1}, False),
    ((1, 2), {"acl": Acl(0)}, False),
    ((1, 2), {"acl": Acl("")}, False),
    ((1, 2), {"acl": Acl({})}, False),
])
def test_empty_acl_is_refused(rest, fake, args, kwargs, runs):
    operation, calls = recorder()
    wrapped = rest.auth_required(operation)
    if runs:
        assert wrapped(*args, **kwargs) == "ran" and len(calls) == 1
    else:
        with pytest.raises(fake.AuthorizationError) as info:
            wrapped(*args, **kwargs)
        assert info.value.args == ("User has empty ACL",) and calls == []


def test_keyword_acl_wins_over_the_positional_slot(rest):
    operation, calls = recorder()
    # acl given by keyword: the positional slot is not looked at.
    assert rest.auth_required(lambda *a, **k: "ran")(1, 2, Acl([]), acl=Acl(["x"])) == "ran"


def test_callable_without_acl_parameter_checks_keyword_only(rest, fake):
    wrapped = rest.auth_required(lambda *args, **kwargs: "ran")
    assert wrapped(Acl([])) == "ran"
    with pytest.raises(fake.AuthorizationError):
        wrapped(acl=Acl([]))
    # Not inspectable at all: keyword only, no failure at wrap time.
    assert rest.auth_required(print).__wrapped__ is print


def test_acl_without_content_and_failing_truth(rest, fake):
    wrapped = rest.auth_required(lambda **kwargs: "ran")
    with pytest.raises(AttributeError):
        wrapped(acl=object())

    class Bad:
        def __bool__(self):
            raise RuntimeError("truth failed")
    with pytest.raises(RuntimeError):
        wrapped(acl=Acl(Bad()))
    body, status = rest.error_handle(wrapped)(acl=Acl(Bad()))
    assert status == 400 and body["message"] == "truth failed"


def test_operations_refuse_an_empty_acl_before_the_body(api, fake, log):
    Order = fake.doc_class("Order")
    for acl_kwargs, args in [({"acl": Acl([])}, (Order, "/_id/1")), ({}, (Order, "/_id/1", Acl([])))]:
        body, status = api.document_get(*args, **acl_kwargs)
        assert status == 403 and body["type"] == "AuthorizationError"
        assert body["message"] == "User has empty ACL"
    assert log == []


def test_action_post_has_no_acl_wrapper(api, fake):
    Order = fake.doc_class("Order")
    answer = api.action_post(Order, {}, "", "export", acl=Acl([]))
    refused = isinstance(answer, tuple) and len(answer) == 2 and isinstance(answer[0], dict) \
        and answer[0].get("message") == "User has empty ACL"
    assert not refused


def test_generator_keeps_its_own_handled_exception(rest):
    def gen():
        rest.error_handle(raising(ValueError("inner")))()
        yield
        yield sys.exc_info()[1]

    g = gen()
    try:
        raise LookupError("outer")
    except LookupError:
        next(g)
    # Resumed outside any except block, the generator handles nothing.
    assert next(g) is None
