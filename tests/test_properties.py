"""Property tests over what callers send: document paths, action paths,
search payloads, catalogs and batch lines. Whatever the input, the facade
answers a result pair (or an action triple) or lets through only the errors
its rules do not convert, and the engine calls it makes follow small models
of the rules written here."""

import json

import pytest
from hypothesis import event, given, settings
from hypothesis import strategies as st

from fake_engine import Acl

SETTINGS = settings(max_examples=200, deadline=None)
ACL = Acl(["*"])

# Texts from every plane, surrogates included; and pieces that mean something.
ANY_CHAR = st.characters(blacklist_categories=())
TEXT = st.text(ANY_CHAR, max_size=8)
MEANINGFUL = st.sampled_from(["", "", "_id", "_x", "_", "name", "ID", "7", "-1", "0",
                              "é", "名前", "😀", "\udc80", " ", "a b"])
PIECE = MEANINGFUL | TEXT


def joined(pieces, lead, trail):
    return lead + "/".join(pieces) + trail


SLASHES = st.sampled_from(["", "/", "//"])
DOC_PATHS = (st.builds(joined, st.lists(PIECE, max_size=8), SLASHES, SLASHES)
             | st.builds(joined, st.lists(PIECE, max_size=3).map(lambda p: ["_id", *p]),
                         SLASHES, SLASHES)
             | TEXT)


def answer(call):
    """("pair", body, status), ("triple", ...) or ("raised", error class)."""
    try:
        result = call()
    except Exception as error:  # what the facade lets through, checked by callers
        return ("raised", type(error))
    assert isinstance(result, tuple) and len(result) in (2, 3), result
    return ("pair" if len(result) == 2 else "triple", *result)


def error_of(result):
    kind, body, status = result
    assert kind == "pair"
    return body["type"], body["message"], status


# ------------------------------------------------------------ document paths

def load_model(path, acl):
    """(positional args, keywords) of the one `load` a path makes, or None
    for a path that names no document at all."""
    pieces = [p for p in path.split("/") if p]
    if not pieces or (pieces[0] == "_id" and len(pieces) < 2):
        return None
    if pieces[0] == "_id":
        return (pieces[1],), (("_acl", acl),)
    criteria = {}
    for k in range(len(pieces) // 2):
        if not pieces[2 * k].startswith("_"):
            criteria[pieces[2 * k]] = pieces[2 * k + 1]
    return (), (("_acl", acl), *criteria.items())


DOC_OPERATIONS = {
    "get": lambda api, C, path: api.document_get(C, path, acl=ACL, catalog="{}"),
    "delete": lambda api, C, path: api.document_delete(C, path, acl=ACL),
    "patch": lambda api, C, path: api.document_patch(C, {"a": 1}, None, path, acl=ACL),
    "put": lambda api, C, path: api.document_put(C, {"a": 1}, path, acl=ACL),
    "post": lambda api, C, path: api.document_post(C, {"a": 1}, path, acl=ACL),
    "action": lambda api, C, path: api.action_post(C, {}, path, "approve", acl=ACL),
}
# The ACL the path is resolved with: put and post look without it.
LOAD_ACL = {"put": None, "post": None}


@SETTINGS
@given(path=DOC_PATHS, operation=st.sampled_from(sorted(DOC_OPERATIONS)))
def test_document_path_makes_the_modelled_load(rest, fake, path, operation):
    Missing = fake.doc_class("Missing", load=None)
    fake.LOG.clear()
    result = answer(lambda: DOC_OPERATIONS[operation](rest.RestApi, Missing, path))
    model = load_model(path, LOAD_ACL.get(operation, ACL))
    event("path: " + ("invalid" if model is None else "id" if model[0] else "fields"))
    loads = [(c.args, c.kwargs) for c in fake.calls("load")]
    if operation == "action" and path == "":  # the collection's own action
        assert result[0] == "triple" and loads == []
        return
    if model is None:
        assert error_of(result) == ("ValueError", "Invalid document path " + path, 400)
        assert loads == []
        return
    assert loads == [model]
    if operation == "put":
        assert error_of(result)[2] == 400  # missing, and not asked to create
    elif operation == "post":
        assert result[0] == "pair" and result[2] == 200  # created at a free path
    else:
        assert error_of(result) == (
            "NotFoundError", "Cannot find the document Missing/" + path, 404)


# ------------------------------------------------------------- action paths

ACTION_PIECE = st.sampled_from(["address", "geo", "items", "lines", "title", "count",
                                "empty", "missing", "nothing", "0", "1", "-1", "9",
                                "k1", "x", "", "approve", "²", "01"]) | TEXT
ACTION_PATHS = st.builds("/".join, st.lists(ACTION_PIECE, max_size=6)) | TEXT


@pytest.fixture(scope="module")
def tree(fake):
    """A document with embedded documents, a plain list, a runtime list and
    fields of kinds the walk does not enter."""
    Order = fake.doc_class("Order")
    geo = fake.Base(lat=1.0)
    doc = fake.document(
        Order, _id="7", title="text", count=0, empty=[], nothing=None,
        address=fake.Base(city="London", geo=geo),
        items=[fake.Base(sku="PEN"), "not a document", fake.Base(sku="INK")],
        lines=fake.ListRuntime([fake.Base(key="k1"), fake.Base(key="1"), fake.Base(key="k3")]))
    Order.class_script["load"] = doc
    return doc


def walk_model(fake, doc, path):
    """("ok", object reached, action name), ("error", type name) for an error
    the wrapper answers, or ("raised", error class)."""
    if not isinstance(doc, fake.Base):
        return ("error", "BadRequestError")
    if "/" not in path:
        return ("ok", doc, path)
    field, sub = path.split("/", 1)
    value = getattr(doc, field, None)
    if value is None:
        return ("error", "BadRequestError")
    if isinstance(value, fake.Base):
        return walk_model(fake, value, sub)
    if not isinstance(value, (list, fake.ListRuntime)):
        return ("error", "TypeError")  # nothing to unpack into object and name
    if "/" not in sub:
        return ("error", "ValueError")
    piece, rest = sub.split("/", 1)
    if isinstance(value, list):
        try:
            member = value[int(piece)]
        except ValueError:
            return ("error", "ValueError")
        except IndexError:
            return ("error", "NotFoundError")
    elif piece in value:
        member = value[piece]
    elif piece.isdigit():
        try:
            member = value[int(piece)]
        except ValueError:
            return ("error", "ValueError")
        except IndexError:
            return ("raised", IndexError)
    else:
        return ("error", "NotFoundError")
    return walk_model(fake, member, rest)


@SETTINGS
@given(path=ACTION_PATHS)
def test_action_path_walk_follows_the_model(rest, fake, tree, path):
    fake.LOG.clear()
    result = answer(lambda: rest.RestApi.action_post(type(tree), {"p": 1}, "/_id/7", path,
                                                     acl=ACL))
    model = walk_model(fake, tree, path)
    event(f"walk: {model[0]} {model[1] if model[0] == 'error' else ''}")
    if model[0] == "ok":
        _, target, name = model
        assert result == ("triple", "action-result", type(target), name)
        [check] = fake.calls("check_acl")
        assert check.target is tree and check.kw == {"acl": ACL, "act": "action." + name,
                                                    "doc": tree}
        [action] = fake.calls("action")
        assert action.target is target
    elif model[0] == "raised":
        assert result == model
    else:
        assert error_of(result)[::2] == (model[1], 400 if model[1] != "NotFoundError" else 404)
        assert fake.calls("action") == []


# ------------------------------------------------------------------ catalogs

JSON_VALUES = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | TEXT,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(TEXT, inner, max_size=3),
    max_leaves=8)
# Bytes too, surrogates kept: not always valid UTF-8.
RAW_BYTES = TEXT.map(lambda t: t.encode("utf-8", "surrogatepass"))
CATALOGS = (st.none() | st.dictionaries(TEXT, JSON_VALUES, max_size=3)
            | JSON_VALUES.map(json.dumps) | TEXT | RAW_BYTES
            | st.integers() | st.lists(TEXT, max_size=2))


def catalog_model(catalog):
    """The parsed catalog, or the class of the error parsing raises."""
    if catalog is None or isinstance(catalog, dict):
        return catalog
    try:
        return json.loads(catalog)
    except Exception as error:
        return type(error)


@SETTINGS
@given(catalog=CATALOGS)
def test_catalog_parses_as_the_decoder_does(rest, catalog):
    model = catalog_model(catalog)
    try:
        parsed = rest.RestApi._parse_catalog(catalog)
    except Exception as error:
        assert type(error) is model
        return
    if catalog is None or isinstance(catalog, dict):
        assert parsed is catalog
    else:
        assert parsed == model or (parsed != parsed and model != model)


# ----------------------------------------------------------- search payloads

PAYLOADS = (st.none() | st.just("") | st.just(0) | TEXT | st.integers()
            | st.dictionaries(st.sampled_from(["status", "_acl", "_limit", "_id_only", "name"])
                              | TEXT, JSON_VALUES, max_size=3)
            | st.lists(TEXT | st.integers(), max_size=4))


def search_model(payload, id_only, limit, catalog):
    """("answer", body, status) or ("error", type name), and the keywords and
    positional ids of the one `objects` call (None when none is made)."""
    if isinstance(payload, list) and id_only:
        return ("answer", payload, 204), None
    payload = payload or {}
    parsed = catalog_model(catalog)
    if isinstance(parsed, type):
        return ("error", parsed.__name__), None
    limit = (1000 if id_only else 50) if limit is None else limit
    if isinstance(payload, dict):
        if {"_acl", "_limit", "_id_only"} & set(payload):
            return ("error", "TypeError"), None
        call = ((), (("_acl", ACL), ("_limit", limit), ("_id_only", id_only), *payload.items()))
    elif isinstance(payload, list):
        if not all(isinstance(i, str) for i in payload):
            return ("answer", "Document ID must be string", 400), None
        call = (tuple(payload), (("_acl", ACL), ("_limit", limit)))
    else:
        return ("answer", "payload should be list or dictionary", 400), None
    return ("found", parsed), call


@SETTINGS
@given(payload=PAYLOADS, id_only=st.booleans(), limit=st.none() | st.integers(-1, 5000),
       catalog=st.none() | st.just('{"a": 1}') | st.just("[1]") | st.just("{bad"))
def test_search_payload_follows_the_model(rest, fake, payload, id_only, limit, catalog):
    docs = [fake.document(n=1), fake.document(n=2)]
    Order = fake.doc_class("Order", objects=docs)
    fake.LOG.clear()
    result = answer(lambda: rest.RestApi.collection_get(
        Order, payload, acl=ACL, limit=limit, id_only=id_only, catalog=catalog))
    model, call = search_model(payload, id_only, limit, catalog)
    event(f"search: {model[0]} {model[-1] if model[0] != 'found' else ''}")
    searches = [(c.args, c.kwargs) for c in fake.calls("objects")]
    if model[0] == "error":
        assert error_of(result)[::2] == (model[1], 400)
        assert searches == []
        return
    assert searches == ([call] if call else [])
    if model[0] == "answer":
        assert result[0] == "pair" and result[1:] == model[1:]
        if isinstance(payload, list) and id_only:
            assert result[1] is payload
        return
    displays = [c for c in fake.calls("get_display_data")]
    if id_only:
        assert result == ("pair", docs, 200) and displays == []
    else:
        assert result == ("pair", [{"display": "Document"}] * 2, 200)
        assert [c.kwargs for c in displays] == [
            (("lazy", True), ("catalog", model[1]), ("show_hidden", False))] * 2


# --------------------------------------------------------------- batch lines

LINE_KEYS = st.sampled_from(["name", "id", "op", "content"])
LINES = st.dictionaries(
    LINE_KEYS,
    st.sampled_from(["order", "nope", "I", "S", "U", "D", "i", "X", 5, None])
    | st.dictionaries(st.sampled_from(["number", "_acl", "_batch", "status"]) | TEXT,
                      JSON_VALUES, max_size=3)
    | st.lists(TEXT, max_size=2) | TEXT,
    max_size=4)
# Lines that pass the checks more often: every key present, known names and codes.
GOOD_LINES = st.fixed_dictionaries(
    {"name": st.just("order"), "id": TEXT, "op": st.sampled_from(["I", "S", "U", "D"]),
     "content": st.dictionaries(st.sampled_from(["number", "status", "_batch"]) | TEXT,
                                JSON_VALUES, max_size=3)})


def batch_model(lines):
    """("answer", body, status) or ("error", type name) for a batch of lines
    on {"order": Order}, with a commit that succeeds."""
    for line in lines:
        if not all(key in line for key in ("name", "id", "op")):
            return ("answer", "Wrong payload line format, need have name, id, op", 400)
        try:
            known = line["name"] in {"order": None}
        except TypeError:  # an unhashable name
            return ("error", "TypeError")
        if not known:
            return ("answer", f"Class {line['name']} not found", 400)
        op = line["op"]
        if op not in ("I", "S", "U", "D"):
            return ("answer", f"Operation {op} is not supported", 400)
        if op == "D":
            continue
        if "content" not in line:
            return ("answer", f"Wrong payload line format, need have content for operation {op}",
                    400)
        content = line["content"]
        if not isinstance(content, dict) or not all(isinstance(k, str) for k in content):
            return ("error", "TypeError")
        if op == "U" and {"_acl", "_batch"} & set(content):
            return ("error", "TypeError")
    return ("answer", "", 200)


@SETTINGS
@given(lines=st.lists(LINES | GOOD_LINES, max_size=5))
def test_batch_lines_follow_the_model(rest, fake, lines):
    Order = fake.doc_class("Order")
    fake.LOG.clear()
    fake.Batch.commit_result = (True, "committed")
    result = answer(lambda: rest.RestApi.root_post({"order": Order}, lines, acl=ACL))
    model = batch_model(lines)
    event(f"batch: {model[0]} {model[-1]}")
    commits = fake.calls("commit")
    if model[0] == "error":
        assert error_of(result)[::2] == (model[1], 400)
    else:
        assert result[0] == "pair" and result[1:] == model[1:]
    assert len(commits) == (1 if model == ("answer", "", 200) else 0)
