"""RestApi.action_post: collection actions and document actions."""

import sys

import pytest

from fake_engine import Acl


def error(result):
    body, status = result
    return body["type"], body["message"], status


@pytest.fixture
def Order(fake):
    return fake.doc_class("Order")


@pytest.fixture
def Api(rest, fake):
    """RestApi whose document resolution answers `Api.found` and records its calls."""

    class Api(rest.RestApi):
        found = None
        resolved = []

        @classmethod
        def _get_document_from_path(cls, *args, **kwargs):
            cls.resolved.append((args, kwargs))
            return cls.found

    return Api


class Recording(dict):
    """A mapping that records its `get` calls."""

    gets = []

    def get(self, *args, **kwargs):
        Recording.gets.append((args, kwargs))
        return super().get(*args, **kwargs)


# ----- collection actions

@pytest.mark.parametrize("actions, public", [
    ({"export": {"public": True}}, True),
    ({"export": {"public": 1}}, True),
    ({"export": {"public": False}}, False),
    ({"export": {"public": ""}}, False),
    ({"export": {"description": "all orders"}}, False),
    ({"purge": {"public": True}}, False),
    ({}, False),
])
def test_public_flag_decides_the_check(api, fake, log, actions, public):
    Order = fake.doc_class("Order", get_actions=actions)
    acl = Acl()
    payload = {"status": "new"}
    result = api.action_post(Order, payload, "", "export", acl=acl)
    assert result == ("collection-result", Order, "export") and result[1] is Order
    check = [] if public else [("check_acl", (), (("acl", acl), ("act", "action.export")))]
    assert [(c.name, c.args, c.kwargs) for c in log] == [
        ("get_actions", (), ()),
        *check,
        ("collection_action", (), (("action_name", "export"), ("acl", acl), ("payload", payload))),
    ]
    assert all(c.target is Order for c in log)


def test_description_lookups_are_positional(api, fake, log):
    Recording.gets = []
    Order = fake.doc_class("Order", get_actions=Recording(export=Recording(public=True)))
    api.action_post(Order, None, "", "export")
    assert Recording.gets == [(("export", {}), {}), (("public", False), {})]


def test_collection_refusal_stops_the_action(api, fake, log):
    Order = fake.doc_class("Order", check_acl=fake.AuthorizationError("no grant"))
    assert error(api.action_post(Order, {}, "", "purge", acl=Acl())) == (
        "AuthorizationError", "no grant", 403)
    assert "collection_action" not in [c.name for c in log]


@pytest.mark.parametrize("action_path, kind", [(5, "int"), (None, "NoneType")])
def test_act_needs_a_text_action_name(api, Order, log, action_path, kind):
    assert error(api.action_post(Order, {}, "", action_path)) == (
        "TypeError", f'can only concatenate str (not "{kind}") to str', 400)


def test_empty_acl_reaches_the_engine(api, fake, log):
    Order = fake.doc_class("Order", get_actions={"export": {"public": True}})
    empty = Acl([])
    assert api.action_post(Order, {}, "", "export", acl=empty)[0] == "collection-result"
    assert fake.calls("collection_action")[0].kw["acl"] is empty


def test_engine_errors_pass_to_the_wrapper(api, fake, log):
    Order = fake.doc_class("Order", get_actions=KeyError("boom"))
    with pytest.raises(KeyError):
        api.action_post(Order, {}, "", "export")
    Order = fake.doc_class("Order", collection_action=fake.ConflictError("busy"))
    assert error(api.action_post(Order, {}, "", "export")) == ("ConflictError", "busy", 409)


# ----- document actions

@pytest.fixture
def order(fake, Order):
    Address = fake.doc_class("Address", base=fake.Base, doc_script={"action": "address-result"})
    return Order(address=Address(), title="T")


def test_document_action_on_an_embedded_object(Api, fake, Order, order, log):
    Api.found = order
    acl = Acl()
    payload = {"note": "ok"}
    result = Api.action_post(Order, payload, "/_id/7", "address/approve", acl=acl)
    assert result == ("address-result", type(order.address), "approve")
    assert Api.resolved == [((Order, "/_id/7", acl), {})]
    assert [(c.target, c.name, c.args, c.kwargs) for c in log] == [
        (order, "check_acl", (), (("acl", acl), ("act", "action.approve"), ("doc", order))),
        (order.address, "action", (),
         (("action_name", "approve"), ("acl", acl), ("payload", payload))),
    ]


def test_document_action_on_the_document(Api, fake, Order, order, log):
    Api.found = order
    assert Api.action_post(Order, {}, "/_id/7", "approve") == ("action-result", Order, "approve")


def test_document_action_is_checked_even_when_public(Api, fake, order, log):
    Order = fake.doc_class("Order", get_actions={"approve": {"public": True}})
    Api.found = order
    Api.action_post(Order, {}, "/_id/7", "approve", acl=Acl([]))
    assert [c.name for c in log] == ["check_acl", "action"]


def test_missing_document(Api, Order, log):
    Api.found = None
    assert error(Api.action_post(Order, {}, "/_id/7", "approve")) == (
        "NotFoundError", "Cannot find the document Order//_id/7", 404)
    assert log == []


def test_only_the_empty_text_selects_a_collection_action(Api, Order, order, log):
    Api.found = order
    Api.action_post(Order, {}, None, "approve")
    assert Api.resolved == [((Order, None, None), {})]
    assert "collection_action" not in [c.name for c in log]


def test_walk_is_a_call_through_the_class(rest, Api, Order, order, log):
    walked = []

    class Walking(Api):
        @classmethod
        def _get_method_from_path(cls, *args, **kwargs):
            walked.append((args, kwargs))
            return rest.RestApi._get_method_from_path.__func__(cls, *args, **kwargs)

    Walking.found = order
    acl = Acl()
    Walking.action_post(Order, {}, "/_id/7", "address/approve", acl=acl)
    assert walked == [((order, "address/approve", acl), {}),
                      ((order.address, "approve", acl), {})]


@pytest.mark.parametrize("reached, kind, message", [
    (None, "TypeError", "cannot unpack non-iterable NoneType object"),
    (("only",), "ValueError", "not enough values to unpack (expected 2, got 1)"),
    ((1, 2, 3), "ValueError", "too many values to unpack (expected 2)"),
])
def test_walk_result_is_unpacked_as_a_pair(Api, Order, order, log, reached, kind, message):
    class Walking(Api):
        @classmethod
        def _get_method_from_path(cls, *args):
            return reached

    Walking.found = order
    assert error(Walking.action_post(Order, {}, "/_id/7", "x")) == (kind, message, 400)
    assert log == []


@pytest.mark.parametrize("action_path, kind, message, status", [
    ("title/approve", "TypeError", "cannot unpack non-iterable NoneType object", 400),
    ("missing/approve", "BadRequestError",
     "field missing not found for parsing missing/approve", 400),
])
def test_walk_failures_come_back_as_pairs(Api, Order, order, log, action_path, kind, message,
                                          status):
    Api.found = order
    assert error(Api.action_post(Order, {}, "/_id/7", action_path)) == (kind, message, status)
    assert log == []


def test_document_refusal_stops_the_action(Api, fake, Order, log):
    Api.found = Order(title="T")
    Api.found.script["check_acl"] = fake.AuthorizationError("denied")
    assert error(Api.action_post(Order, {}, "/_id/7", "approve")) == (
        "AuthorizationError", "denied", 403)
    assert [c.name for c in log] == ["check_acl"]


def test_reference_counts_unchanged(Api, fake, Order, order, log):
    acl = Acl()
    payload = {"a": 1}
    Public = fake.doc_class("Public", get_actions={"export": {"public": True}})
    Api.found = order
    watched = [acl, payload, Order, Public, order, order.address]

    def run():
        Api.action_post(Order, payload, "", "export", acl=acl)
        Api.action_post(Public, payload, "", "export", acl=acl)
        Api.action_post(Order, payload, "/_id/7", "address/approve", acl=acl)
        Api.action_post(Order, payload, "/_id/7", "title/approve", acl=acl)
        Api.action_post(Order, payload, "/_id/7", "missing/approve", acl=acl)
        Api.resolved.clear()
        log.clear()

    run()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(200):
        run()
    assert [sys.getrefcount(o) for o in watched] == before
