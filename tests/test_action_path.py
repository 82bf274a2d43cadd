"""RestApi._get_method_from_path: the walk from a document to (object, action name)."""

import sys
import types

import pytest

from fake_engine import Acl


@pytest.fixture
def tree(fake):
    """An order with an embedded address/geo, a plain list of items and a
    runtime list of lines, plus a few fields of kinds that are not walked."""
    Geo = fake.doc_class("Geo", base=fake.Base)
    Address = fake.doc_class("Address", base=fake.Base)
    Item = fake.doc_class("Item", base=fake.Base)
    Line = fake.doc_class("Line", base=fake.Base)
    Order = fake.doc_class("Order")
    t = types.SimpleNamespace()
    t.geo = Geo(lat=1.5)
    t.address = Address(geo=t.geo, nothing=None)
    t.items = [Item(n=0), Item(n=1), Item(n=2)]
    # Key "1" sits at position 0: a key wins over a position.
    t.lines = fake.ListRuntime([Line(key="1"), Line(key="k7"), Line(key="k2"), Line(key="x")])
    t.order = Order(address=t.address, items=t.items, lines=t.lines, title="T",
                    count=0, empty_text="", tags=[], names=["a"], nothing=None)
    return t


def wrong_type(name):
    return f"Parameter has a wrong type: <class '{name}'>,should be a document or an embedded document"


UNPACK = "not enough values to unpack (expected 2, got 1)"

# path -> (object reached, action name), None, or (error class name, message)
TABLE = [
    ("approve", lambda t: (t.order, "approve")),
    ("", lambda t: (t.order, "")),
    ("address/geo/approve", lambda t: (t.geo, "approve")),
    ("address/", lambda t: (t.address, "")),
    ("items/1/approve", lambda t: (t.items[1], "approve")),
    ("items/-1/approve", lambda t: (t.items[2], "approve")),
    ("items/+0/", lambda t: (t.items[0], "")),
    ("items/x/approve", ("ValueError", "invalid literal for int() with base 10: 'x'")),
    ("items//approve", ("ValueError", "invalid literal for int() with base 10: ''")),
    ("items/9/approve", ("NotFoundError", "Cannot found 9 in items")),
    ("items/-4/approve", ("NotFoundError", "Cannot found -4 in items")),
    ("items/99999999999999999999999/approve",
     ("NotFoundError", "Cannot found 99999999999999999999999 in items")),
    ("tags/0/approve", ("NotFoundError", "Cannot found 0 in tags")),
    ("items/1", ("ValueError", UNPACK)),
    ("lines/k7/approve", lambda t: (t.lines.members[1], "approve")),
    ("lines/1/approve", lambda t: (t.lines.members[0], "approve")),
    ("lines/2/approve", lambda t: (t.lines.members[2], "approve")),
    ("lines/k2/key/approve", None),
    ("lines/-1/approve", ("NotFoundError", "Cannot found -1 in lines")),
    ("lines//approve", ("NotFoundError", "Cannot found  in lines")),
    ("lines/9/approve", ("IndexError", "list index out of range")),
    ("lines/k7", ("ValueError", UNPACK)),
    ("title/approve", None),
    ("count/approve", None),
    ("empty_text/approve", None),
    ("save/approve", None),
    ("address/geo/lat/approve", None),
    ("missing/approve", ("BadRequestError", "field missing not found for parsing missing/approve")),
    ("nothing/approve", ("BadRequestError", "field nothing not found for parsing nothing/approve")),
    ("address/missing/approve",
     ("BadRequestError", "field missing not found for parsing missing/approve")),
    ("address/nothing/x/y", ("BadRequestError", "field nothing not found for parsing nothing/x/y")),
    ("/approve", ("BadRequestError", "field  not found for parsing /approve")),
    ("names/0/approve", ("BadRequestError", wrong_type("str"))),
]


@pytest.mark.parametrize("path, expected", TABLE, ids=[row[0] or "<empty>" for row in TABLE])
def test_walk(api, tree, path, expected):
    acl = Acl()
    if isinstance(expected, tuple):
        with pytest.raises(Exception) as raised:
            api._get_method_from_path(tree.order, path, acl)
        assert type(raised.value).__name__ == expected[0]
        assert raised.value.args == (expected[1],)
    elif expected is None:
        assert api._get_method_from_path(tree.order, path, acl) is None
    else:
        obj, name = expected(tree)
        result = api._get_method_from_path(tree.order, path, acl=acl)
        assert type(result) is tuple and result[0] is obj and result[1] == name


@pytest.mark.parametrize("doc, type_name", [("text", "str"), (None, "NoneType"), ([], "list")])
def test_first_level_must_be_a_document(api, fake, doc, type_name):
    with pytest.raises(fake.BadRequestError) as raised:
        api._get_method_from_path(doc, "a/b")
    assert raised.value.args == (wrong_type(type_name),)


def test_runtime_list_is_asked_with_text_then_position(api, tree, log):
    api._get_method_from_path(tree.order, "lines/2/approve")
    asked = [(c.name, c.args) for c in log if c.target is tree.lines]
    assert asked == [("__contains__", ("2",)), ("__getitem__", (2,))]
    assert type(asked[1][1][0]) is int


def test_runtime_list_key_lookup(api, tree, log):
    api._get_method_from_path(tree.order, "lines/k7/approve")
    assert [(c.name, c.args) for c in log if c.target is tree.lines] == [
        ("__contains__", ("k7",)), ("__getitem__", ("k7",))]


def test_plain_list_test_comes_before_runtime_list(api, fake, tree):
    # A runtime list that is also a list is walked as a plain list.
    class ListAndRuntime(fake.ListRuntime, list):
        pass

    tree.order.lines = ListAndRuntime(tree.lines.members)
    with pytest.raises(ValueError, match="invalid literal for int"):
        api._get_method_from_path(tree.order, "lines/k7/approve")


def test_kind_tests_honour_a_claimed_class(api, fake, tree):
    """An object that claims another class through __class__ is walked as
    isinstance() sees it, e.g. a proxy standing for an embedded document."""
    class Proxy:
        def __init__(self, target):
            self._target = target

        @property
        def __class__(self):
            return type(self._target)

        def __getattr__(self, name):
            return getattr(self._target, name)

    proxy = Proxy(tree.order)
    assert api._get_method_from_path(proxy, "address/geo/approve") == (tree.geo, "approve")
    holder = fake.doc_class("Holder", base=fake.Base)(inner=Proxy(tree.address))
    assert api._get_method_from_path(holder, "inner/approve")[1] == "approve"


def test_attribute_errors_other_than_missing_pass_through(api, fake):
    class Touchy(fake.Base):
        @property
        def broken(self):
            raise KeyError("broken")

    with pytest.raises(KeyError):
        api._get_method_from_path(Touchy(), "broken/approve")


@pytest.mark.parametrize("path, message", [
    (5, "argument of type 'int' is not iterable"),
    (None, "argument of type 'NoneType' is not iterable"),
])
def test_path_must_be_text(api, tree, path, message):
    with pytest.raises(TypeError) as raised:
        api._get_method_from_path(tree.order, path)
    assert str(raised.value) == message


def test_each_level_is_a_call_through_the_class(rest, tree, log):
    class Spy(rest.RestApi):
        seen = []

        @classmethod
        def _get_method_from_path(cls, *args, **kwargs):
            cls.seen.append((args, kwargs))
            return rest.RestApi._get_method_from_path.__func__(cls, *args, **kwargs)

    acl = Acl()
    result = Spy._get_method_from_path(tree.order, "address/geo/approve", acl=acl)
    assert result == (tree.geo, "approve")
    assert Spy.seen == [
        ((tree.order, "address/geo/approve"), {"acl": acl}),
        ((tree.address, "geo/approve", acl), {}),
        ((tree.geo, "approve", acl), {}),
    ]


def test_looping_path_ends_in_recursion_error(api, fake):
    doc = fake.Base()
    doc.me = doc
    with pytest.raises(RecursionError):
        api._get_method_from_path(doc, "me/" * 5000 + "approve")


def test_reference_counts_unchanged(api, tree, log):
    acl = Acl()
    paths = ["lines/k7/approve", "items/-1/approve", "address/geo/approve",
             "title/approve", "missing/approve", "lines/-1/approve", "items/9/x"]
    watched = [tree.order, tree.address, tree.geo, tree.lines, acl, *tree.items,
               *tree.lines.members, *paths]

    def run():
        for path in paths:
            try:
                api._get_method_from_path(tree.order, path, acl)
            except Exception:
                pass
        log.clear()  # the fake's log holds the runtime list

    run()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(300):
        run()
    assert [sys.getrefcount(o) for o in watched] == before
