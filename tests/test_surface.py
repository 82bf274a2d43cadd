"""The module namespace and the call surface of RestApi."""

import functools
import inspect
import typing

import pytest

E = inspect.Parameter.empty

NAMESPACE = [
    "json", "traceback", "wraps", "Type", "Union",
    "Base", "Document", "ListRuntime", "Batch",
    "QenError", "NotFoundError", "ConflictError", "BadRequestError", "AuthorizationError",
    "QenCollectionDeleteMsg", "QenDocumentDeleteMsg", "QenErrorMessage",
    "error_handle", "auth_required", "RestApi",
]


def surface(fake):
    """Operation -> (wrapping, [(param, default, annotation)], doc first line)."""
    tdoc = typing.Type[fake.Document]
    cls_, path, acl = ("doc_class", E, tdoc), ("doc_path", E, str), ("acl", None, E)
    payload = ("payload", E, dict)
    return {
        "_parse_catalog": ("plain", [("catalog", E, typing.Union[str, dict, None])], None),
        "root_post": ("both", [("class_dict", E, dict), ("payload", E, list), acl], "Batch operation"),
        "collection_get": ("both", [cls_, ("payload", None, E), acl, ("limit", None, E),
                                    ("id_only", False, E), ("catalog", None, E), ("lazy", True, E),
                                    ("show_hidden", False, bool)], "Search Document"),
        "collection_analyze": ("both", [cls_, ("analytic_request", None, E), acl], "Analyze Document"),
        "collection_post": ("both", [cls_, ("payload", E, list), acl], "Massive document creation"),
        "collection_delete": ("both", [cls_, acl, ("drop", False, E)], "Drop a collection"),
        "_get_document_from_path": ("plain", [cls_, path, acl], "Get document from a given path"),
        "_get_method_from_path": ("plain", [("doc", E, fake.Base), ("action_path", E, str), acl],
                                  "Get method of a document from a given path"),
        "document_get": ("both", [cls_, path, acl, ("catalog", None, E), ("lazy", True, E),
                                  ("show_hidden", False, bool)], "Get a document"),
        "document_delete": ("both", [cls_, path, acl], "Delete a document"),
        "document_patch": ("both", [cls_, payload, ("catalog", E, None), path, acl],
                           "Update some fields of a document"),
        "document_put": ("both", [cls_, payload, path, ("create", False, E), acl], "Update the whole document"),
        "document_post": ("both", [cls_, payload, path, acl], "Save the new document if not exist"),
        "action_post": ("error", [cls_, payload, path, ("action_path", E, str), acl],
                        "Doing an action of a path"),
    }


def test_namespace_is_bound_in_order(rest, fake):
    names = [n for n in vars(rest) if not n.startswith("__")]
    assert names == NAMESPACE
    assert rest.Document is fake.Document and rest.json.loads and rest.wraps is functools.wraps
    assert rest.Type is typing.Type and rest.Union is typing.Union


def test_operations_in_class_order(rest, fake):
    ops = [n for n in vars(rest.RestApi) if not n.startswith("__")]
    assert ops == list(surface(fake))
    assert all(isinstance(vars(rest.RestApi)[n], classmethod) for n in ops)
    assert rest.RestApi.__bases__ == (object,) and rest.RestApi.__module__ == "qen_api.rest"


def test_class_doc_describes_url_model(rest):
    doc = rest.RestApi.__doc__
    for text in ("/prefix/resource/path_to_doc/_/field_path/action", "root_post",
                 "collection_delete", "document_patch", "action_post", "without regard to case"):
        assert text in doc


@pytest.mark.parametrize("name", list(surface(__import__("fake_engine").build())))
def test_operation_surface(rest, fake, name):
    wrapping, params, first_line = surface(fake)[name]
    method = getattr(rest.RestApi, name)
    assert method.__self__ is rest.RestApi
    func = method.__func__
    assert (func.__name__, func.__qualname__, func.__module__) == (name, f"RestApi.{name}", "qen_api.rest")

    sig = inspect.signature(method)
    got = [(p.name, p.default, p.annotation) for p in sig.parameters.values()]
    assert got == params
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    assert list(inspect.signature(func).parameters)[0] == "cls"

    expected_ann = {p: a for p, _, a in params if a is not E}
    assert func.__annotations__ == expected_ann

    if first_line is None:
        assert func.__doc__ is None
    else:
        doc = inspect.getdoc(method)
        assert doc.splitlines()[0] == first_line
        assert "Args:" in doc
        documented = [line.split(":")[0].strip() for line in doc.split("Args:")[1].split("Returns:")[0].splitlines()
                      if ":" in line]
        assert sorted(documented) == sorted(p for p, _, _ in params)

    depth = {"plain": 0, "error": 1, "both": 2}[wrapping]
    inner = func
    for _ in range(depth):
        inner = inner.__wrapped__
    assert not hasattr(inner, "__wrapped__")
    assert inner.__name__ == name and inner.__doc__ == func.__doc__


def test_documented_argument_order(rest):
    doc = inspect.getdoc(rest.RestApi.collection_get)
    args = [line.split(":")[0].strip() for line in doc.split("Args:")[1].split("Returns:")[0].splitlines()
            if ":" in line]
    assert args == ["lazy", "catalog", "limit", "id_only", "acl", "payload", "doc_class", "show_hidden"]
    assert "document_list, or id_list if id_only is True" in doc
    root = inspect.getdoc(rest.RestApi.root_post)
    for text in ("* successful: Empty message, 200", "* failed: error message, 500",
                 "Format of operation (item of payload):", "* name: Name of the document class",
                 "* id: Document ID", "* content: content in display format"):
        assert text in root


def test_functions_behave_like_python_functions(rest):
    func = rest.RestApi.document_get.__func__
    assert callable(func) and "RestApi.document_get" in repr(func)
    func.custom = 1
    assert func.__dict__["custom"] == 1
    copy = functools.wraps(func)(lambda *a: a)
    assert copy.__name__ == "document_get" and copy.__wrapped__ is func
    assert inspect.unwrap(func).__defaults__ == (None, None, True, False)
    assert func.__defaults__ is None  # the wrapper takes *args, **kwargs
    help_text = inspect.getdoc(rest.RestApi.document_get)
    assert help_text.startswith("Get a document")


def test_binding_matches_python_functions(rest, fake):
    def reference(cls, catalog):
        pass
    reference.__qualname__ = "RestApi._parse_catalog"
    parse = rest.RestApi._parse_catalog.__func__
    cases = [((), {}), ((1, 2, 3), {}), ((1,), {"nope": 2}), ((1, 2), {"catalog": 3}), ((1,), {"cls": 2})]
    for args, kwargs in cases:
        with pytest.raises(TypeError) as want:
            reference(*args, **kwargs)
        with pytest.raises(TypeError) as got:
            parse(*args, **kwargs)
        assert str(got.value) == str(want.value)


def test_keyword_and_positional_binding_reach_the_body(api, fake):
    Order = fake.doc_class("Order")
    expected = api.document_get(Order, "/x")
    assert api.document_get(doc_path="/x", doc_class=Order) == expected
