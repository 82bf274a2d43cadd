"""The wrappers own no reference to what passes through them."""

import sys

import pytest

from fake_engine import Acl


def counts(*objects):
    return [sys.getrefcount(o) for o in objects]


@pytest.mark.parametrize("outcome", ["ok", "value", "qen", "key", "refused", "binding"])
def test_wrapped_calls_keep_reference_counts(rest, fake, outcome):
    payload, catalog, acl, marker = {"a": [1]}, {"b": 1}, Acl(["x"]), object()
    errors = {"value": ValueError, "qen": fake.NotFoundError, "key": KeyError}

    def operation(cls, payload, catalog, acl=None):
        if outcome in errors:
            raise errors[outcome](outcome)  # a new error each time, as in real use
        return marker

    cls = fake.doc_class("Counted")
    wrapped = rest.error_handle(rest.auth_required(operation))
    empty = Acl([])
    call_acl = empty if outcome == "refused" else acl
    extra = {"nope": 1} if outcome == "binding" else {}
    if outcome == "binding":
        wrapped = rest.error_handle(rest.RestApi.document_patch.__func__)

    def run():
        try:
            wrapped(cls, payload, catalog, acl=call_acl, **extra)
        except KeyError:
            pass

    run()
    before = counts(payload, catalog, acl, empty, cls, marker)
    for _ in range(2000):
        run()
    assert counts(payload, catalog, acl, empty, cls, marker) == before
