"""Document path resolution: RestApi._get_document_from_path."""

import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from fake_engine import Acl

ACL = Acl(["order.read"])


@pytest.fixture
def Order(fake):
    return fake.doc_class("Order")


def load_call(fake):
    [call] = fake.calls("load")
    return call.args, call.kwargs


# path -> (positional args of load, keywords of load after _acl, in order)
PATH_TABLE = [
    ("/_id/42", ("42",), ()),
    ("_id/42", ("42",), ()),
    ("//_id//42/", ("42",), ()),
    ("/_id/42/name/abc", ("42",), ()),
    ("/_id/_x", ("_x",), ()),
    ("/name/abc/age/7", (), (("name", "abc"), ("age", "7"))),
    ("/name/abc/extra", (), (("name", "abc"),)),
    ("/name/a/name/b", (), (("name", "b"),)),
    # a later duplicate keeps the place of the first occurrence
    ("/a/1/b/2/a/3", (), (("a", "3"), ("b", "2"))),
    ("/_hidden/x/name/abc", (), (("name", "abc"),)),
    ("/name/abc/_id/42", (), (("name", "abc"),)),
    ("/_acl/mine/name/abc", (), (("name", "abc"),)),
    ("/ID/42", (), (("ID", "42"),)),
    ("/_ID/42", (), ()),
    ("/name", (), ()),
    ("/_id_/3", (), ()),
    ("/_i/3", (), ()),
    ("/name/%20a+b/age/007", (), (("name", "%20a+b"), ("age", "007"))),
    ("/Name/Ab", (), (("Name", "Ab"),)),
    ("/名前/値/emoji/😀", (), (("名前", "値"), ("emoji", "😀"))),
    ("/_id/é😀", ("é😀",), ()),
    ("/_id/\udc80", ("\udc80",), ()),
    ("/x y/1.5/with space/ ", (), (("x y", "1.5"), ("with space", " "))),
]


@pytest.mark.parametrize("path, args, criteria", PATH_TABLE)
def test_path_table(api, fake, path, args, criteria):
    found = fake.document()
    Order = fake.doc_class("Order", load=found)
    assert api._get_document_from_path(Order, path, ACL) is found
    got_args, got_kwargs = load_call(fake)
    assert got_args == args
    assert got_kwargs == (("_acl", ACL), *criteria)
    # texts are passed as plain str, never converted
    assert all(type(v) is str for v in got_args + tuple(v for _, v in got_kwargs[1:]))
    assert all(type(k) is str for k, _ in got_kwargs)


def test_acl_defaults_to_none_and_none_is_returned(api, fake, Order):
    assert api._get_document_from_path(Order, "/_id/1") is None
    assert api._get_document_from_path(doc_path="/a/b", doc_class=Order) is None
    assert [c.kwargs for c in fake.calls("load")] == [(("_acl", None),),
                                                      (("_acl", None), ("a", "b"))]


def test_many_pairs(api, fake, Order):
    names = [f"f{i}" for i in range(40)]
    path = "".join(f"/{n}/{i}" for i, n in enumerate(names))
    path += "/_skip/x/f3/last/f39/end/tail"
    api._get_document_from_path(Order, path, ACL)
    expected = {n: str(i) for i, n in enumerate(names)}
    expected.update(f3="last", f39="end")
    assert load_call(fake) == ((), (("_acl", ACL), *expected.items()))


INVALID_PATHS = ["", "/", "///", "/_id", "_id", "//_id//"]


@pytest.mark.parametrize("path", INVALID_PATHS)
def test_malformed_path_is_a_value_error(api, fake, Order, path):
    with pytest.raises(ValueError) as caught:
        api._get_document_from_path(Order, path, ACL)
    assert caught.value.args == ("Invalid document path " + path,)
    assert fake.calls() == []


@pytest.mark.parametrize("path", INVALID_PATHS)
@pytest.mark.parametrize("operation, extra", [
    ("document_get", {}),
    ("document_delete", {}),
    ("document_patch", {"payload": {"a": 1}, "catalog": None}),
    ("document_put", {"payload": {"a": 1}, "create": True}),
    ("document_post", {"payload": {"a": 1}}),
])
def test_public_operations_answer_400_for_a_malformed_path(api, fake, Order, path,
                                                           operation, extra):
    body, status = getattr(api, operation)(doc_class=Order, doc_path=path, acl=ACL, **extra)
    assert status == 400
    assert (body["type"], body["message"]) == ("ValueError", "Invalid document path " + path)
    assert fake.calls() == []


def test_non_text_paths_behave_as_their_split(api, fake, Order):
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'split'"):
        api._get_document_from_path(Order, None)
    with pytest.raises(TypeError, match="a bytes-like object is required, not 'str'"):
        api._get_document_from_path(Order, b"/_id/1")
    # the error wrapper does not convert AttributeError
    with pytest.raises(AttributeError):
        api.document_get(Order, None)

    class Routed(str):
        def split(self, sep):
            assert sep == "/"
            return ["", "code", "A", "", "_id", "1", "kind", "B"]

    api._get_document_from_path(Order, Routed("ignored"), ACL)
    assert load_call(fake) == ((), (("_acl", ACL), ("code", "A"), ("kind", "B")))


def test_non_text_pieces_go_through_their_own_methods(api, fake, Order):
    class Pieces:
        def split(self, sep):
            return [0, "_id", "9", "", "x"]

    api._get_document_from_path(Order, Pieces(), ACL)
    assert load_call(fake) == (("9",), (("_acl", ACL),))
    fake.LOG.clear()

    class Keys:
        def split(self, sep):
            return [1, "v"]

    with pytest.raises(AttributeError, match="'int' object has no attribute 'startswith'"):
        api._get_document_from_path(Order, Keys(), ACL)
    assert fake.calls() == []


def test_errors_of_load_pass_through(api, fake):
    Order = fake.doc_class("Order", load=fake.NotFoundError("gone"))
    with pytest.raises(fake.NotFoundError, match="gone"):
        api._get_document_from_path(Order, "/name/x")


def reference_load(path, acl):
    """The resolution written plainly: what `load` must receive."""
    paths = [p for p in path.split("/") if p]
    if not paths or (paths[0] == "_id" and len(paths) < 2):
        return "invalid"
    if paths[0] == "_id":
        return (paths[1],), (("_acl", acl),)
    criteria = {}
    for k in range(len(paths) // 2):
        if not paths[2 * k].startswith("_"):
            criteria[paths[2 * k]] = paths[2 * k + 1]
    return (), (("_acl", acl), *criteria.items())


@settings(max_examples=400, deadline=None)
@given(st.lists(st.sampled_from(["/", "/", "_", "id", "_id", "a", "b", "é", "名", "😀", "7"]),
                max_size=40).map("".join))
def test_paths_resolve_as_the_plain_reading(rest, fake, path):
    Order = fake.doc_class("Order")
    fake.LOG.clear()
    expected = reference_load(path, ACL)
    if expected == "invalid":
        with pytest.raises(ValueError):
            rest.RestApi._get_document_from_path(Order, path, ACL)
        assert fake.calls() == []
    else:
        rest.RestApi._get_document_from_path(Order, path, ACL)
        assert load_call(fake) == expected


def test_references_are_kept_balanced(rest):
    doc = object()

    class Plain:
        @classmethod
        def load(cls, *args, **kwargs):
            return doc

    api = rest.RestApi
    path_id, path_fields, path_bad = "/_id/7", "/name/abc/age/7/name/x", "/_id"
    acl = Acl(["x"])
    watched = (Plain, doc, acl, path_id, path_fields, path_bad)
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(2000):
        api._get_document_from_path(Plain, path_id, acl)
        api._get_document_from_path(Plain, path_fields, acl=acl)
        api.document_get(Plain, path_bad, acl=acl)
    assert [sys.getrefcount(o) for o in watched] == before
