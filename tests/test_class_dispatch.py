"""Operations reach each other through the class they are called on: a
subclass of RestApi that overrides an internal method is always heard, also
when its override comes after calls were made, when classes come and go, and
after the interpreter's type cache is cleared."""

import sys

import pytest

from fake_engine import Acl

ACL = Acl(["*"])


def overriding(api, marker):
    """A subclass whose path resolution answers `marker`."""
    class Sub(api):
        @classmethod
        def _get_document_from_path(cls, doc_class, doc_path, acl=None):
            return marker
    return Sub


@pytest.fixture
def Order(fake):
    return fake.doc_class("Order", load=None)


def resolved(api, cls, Order):
    """The document that document_get displays, through `cls`."""
    body, status = cls.document_get(Order, "/_id/7", acl=ACL)
    return body if status == 200 else None


def test_override_heard_before_and_after_the_plain_class_is_used(api, fake, Order):
    marker = fake.document(display="override")
    marker.script["get_display_data"] = "override"
    assert resolved(api, api, Order) is None           # the plain class: not found
    assert resolved(api, overriding(api, marker), Order) == "override"
    assert resolved(api, api, Order) is None


def test_override_added_after_calls(api, fake, Order):
    class Late(api):
        pass
    for _ in range(3):
        assert resolved(api, Late, Order) is None
    marker = fake.document()
    marker.script["get_display_data"] = "late"
    Late._get_document_from_path = classmethod(lambda cls, c, p, acl=None: marker)
    assert resolved(api, Late, Order) == "late"
    del Late._get_document_from_path
    assert resolved(api, Late, Order) is None


@pytest.mark.parametrize("clear_cache", [False, True])
def test_classes_coming_and_going(api, fake, Order, clear_cache):
    """Plain and overriding subclasses made in turn, each used and dropped:
    every call follows its own class."""
    for n in range(300):
        if clear_cache:
            sys._clear_type_cache()
        marker = fake.document()
        marker.script["get_display_data"] = n
        checks = [lambda: resolved(api, type(f"Plain{n}", (api,), {}), Order) is None,
                  lambda: resolved(api, overriding(api, marker), Order) == n]
        # Both orders: a class made after another must not pass for it.
        for check in checks[:: 1 if n % 2 else -1]:
            assert check()
        fake.LOG.clear()
