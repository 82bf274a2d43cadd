"""The demo web service end to end: real HTTP on loopback, through Permgate and RestApi,
to the stand-in engine with sample data. Every test gets fresh servers and data."""

import json
import sys
from pathlib import Path

import pytest

requests = pytest.importorskip("requests")
pytest.importorskip("flask")
pytest.importorskip("qen_engine")

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
from qen_demo.servers import DemoServers  # noqa: E402


class Client:
    """Calls on the demo's API root with an API key (None sends no key header)."""

    def __init__(self, base_url):
        self.base_url = base_url

    def __call__(self, verb, path, key="admin-key", body=None, raw=None, **params):
        headers = {} if key is None else {"X-API-Key": key}
        return requests.request(verb, self.base_url + path, headers=headers, params=params,
                                json=body, data=raw, timeout=10)

    def ok(self, verb, path, key="admin-key", body=None, **params):
        """The JSON body of a call that must answer 200."""
        answer = self(verb, path, key, body, **params)
        assert answer.status_code == 200, answer.text
        return answer.json()


@pytest.fixture
def servers():
    running = DemoServers()
    yield running
    running.stop()


@pytest.fixture
def api(servers):
    return Client(servers.base_url)


def numbers(docs):
    return [doc["number"] for doc in docs]


# ----- collection level

@pytest.mark.parametrize("params, expected", [
    ({}, {"numbers": ["1001", "1002", "1003", "1004"]}),
    ({"q": json.dumps({"status": "new"})}, {"numbers": ["1001", "1004"]}),
    ({"q": json.dumps({"address.city": "London"}), "limit": "1"}, {"numbers": ["1001"]}),
    ({"q": json.dumps(["1004", "1002"])}, {"numbers": ["1004", "1002"]}),
    ({"catalog": json.dumps(["number"]), "limit": "2"},
     {"docs": [{"_id": "1001", "number": "1001"}, {"_id": "1002", "number": "1002"}]}),
    ({"q": json.dumps({"status": "new"}), "id_only": "yes"}, {"body": ["1001", "1004"]}),
])
def test_collection_get(api, params, expected):
    body = api.ok("GET", "/order", **params)
    if "numbers" in expected:
        assert numbers(body) == expected["numbers"]
    else:
        assert body == expected.get("docs", expected.get("body"))


def test_hidden_fields_only_on_request(api):
    plain = api.ok("GET", "/order", q=json.dumps(["1001"]))
    shown = api.ok("GET", "/order", q=json.dumps(["1001"]), show_hidden="true")
    assert "internal_note" not in plain[0]
    assert shown[0]["internal_note"] == "gift wrap"


def test_id_list_with_id_only_answers_204_without_body(api):
    answer = api("GET", "/order", q=json.dumps(["1001", "9999"]), id_only="1")
    assert answer.status_code == 204
    assert answer.content == b""


def test_collection_post_then_delete_and_drop(api):
    created = api.ok("POST", "/customer", body=[{"name": "Alan Turing"}, {"name": "Kurt Gödel"}])
    assert [c["name"] for c in created] == ["Alan Turing", "Kurt Gödel"]
    assert all(c["_id"] for c in created)

    summary = api.ok("DELETE", "/customer")
    assert (summary["collection"], summary["drop"], summary["ignored"]) == ("customer", False, {})
    deleted = {(d["collection"], d["id"]) for d in summary["deleted"]}
    assert ("customer", "c1") in deleted and ("order", "1001") in deleted   # cascade
    assert api.ok("GET", "/customer") == []
    assert numbers(api.ok("GET", "/order")) == []

    api.ok("POST", "/order", body=[{"number": "7"}])
    dropped = api.ok("DELETE", "/order", drop="1")
    assert (dropped["collection"], dropped["drop"]) == ("order", True)
    assert api.ok("GET", "/order") == []


def test_analyze_route(api):
    body = api.ok("POST", "/order/_analyze", body={"group_by": "status", "sum": "total"})
    assert body["count"] == 4 and body["sum"] == pytest.approx(177.75)
    assert {g["value"]: g["count"] for g in body["groups"]} == {
        "new": 2, "approved": 1, "cancelled": 1}
    assert api.ok("POST", "/order/_analyze") == {"count": 4}


# ----- document level

@pytest.mark.parametrize("path", ["/order/_id/1001", "/ORDER/number/1001", "/Order/_id/1001/"])
def test_document_get_by_id_or_field_any_case(api, path):
    doc = api.ok("GET", path, catalog=json.dumps({"number": True, "address": ["city"]}))
    assert doc == {"_id": "1001", "number": "1001", "address": {"city": "London"}}


def test_document_patch_put_post_delete(api):
    patched = api.ok("PATCH", "/order/_id/1004", body={"status": "shipped"},
                     catalog=json.dumps(["status"]))
    assert patched == {"_id": "1004", "status": "shipped"}

    replaced = api.ok("PUT", "/order/number/1002", body={"number": "1002", "total": 1.5})
    assert (replaced["_id"], replaced["total"], replaced["lines"]) == ("1002", 1.5, [])

    created = api.ok("PUT", "/order/_id/3001", body={"number": "3001"}, create="1")
    assert created["_id"] == "3001"
    posted = api.ok("POST", "/order/number/3002", body={"number": "3002", "customer": "c2"})
    assert posted["_id"] == "3002"
    assert api.ok("GET", "/order/_id/3002")["customer"] == "c2"

    removed = api.ok("DELETE", "/customer/_id/c2")
    assert {(d["collection"], d["id"]) for d in removed} == {
        ("customer", "c2"), ("order", "1003"), ("order", "1004"), ("order", "3002")}
    assert api("GET", "/customer/_id/c2").status_code == 404


# ----- actions

def test_action_on_document_and_on_embedded_line(api):
    done = api.ok("POST", "/order/_id/1004/_/approve", key="clerk-key")
    assert (done["class"], done["action"], done["result"]["status"]) == ("Order", "approve", "approved")

    line = api.ok("POST", "/order/_id/1001/_/lines/L2/approve")
    assert (line["class"], line["action"]) == ("Line", "approve")
    assert line["result"]["code"] == "L2" and line["result"]["approved"] is True
    stored = api.ok("GET", "/order/_id/1001")["lines"]
    assert [(l["code"], l["approved"]) for l in stored] == [("L1", False), ("L2", True)]


def test_collection_actions(api):
    # export is public: it runs even for a key whose ACL is empty
    exported = api.ok("POST", "/order/_/export", key="empty-key", body={"status": "new"})
    assert (exported["class"], exported["action"]) == ("Order", "export")
    assert numbers(exported["result"]) == ["1001", "1004"]

    refused = api("POST", "/order/_/purge", key="reader-key")
    assert refused.status_code == 403 and refused.json()["type"] == "AuthorizationError"
    purged = api.ok("POST", "/order/_/purge")
    assert [(d["collection"], d["id"]) for d in purged["result"]] == [("order", "1003")]


# ----- batches on the root

def test_batch_commits_all_lines(api):
    lines = [
        {"name": "customer", "id": "c9", "op": "S", "content": {"name": "Barbara Liskov"}},
        {"name": "order", "id": "", "op": "I", "content": {"number": "2001", "customer": "c9"}},
        {"name": "order", "id": "1004", "op": "U", "content": {"status": "approved"}},
        {"name": "order", "id": "1003", "op": "D"},
    ]
    answer = api("POST", "/", body=lines)
    assert (answer.status_code, answer.json()) == (200, "")
    assert api.ok("GET", "/customer/_id/c9")["name"] == "Barbara Liskov"
    assert api.ok("GET", "/order/_id/2001")["customer"] == "c9"
    assert api.ok("GET", "/order/_id/1004")["status"] == "approved"
    assert api("GET", "/order/_id/1003").status_code == 404


@pytest.mark.parametrize("lines, status, message", [
    ([{"name": "order", "id": "", "op": "I", "content": {"number": "2002"}},
      {"name": "order", "id": "", "op": "I", "content": {"number": "1001"}}],
     500, "already exists"),
    ([{"name": "order", "id": "", "op": "I", "content": {"number": "2002"}},
      {"name": "invoice", "id": "1", "op": "D"}],
     400, "Class invoice not found"),
    ([{"name": "order", "id": "1001", "op": "X"}], 400, "Operation X is not supported"),
    ([{"name": "order", "op": "D"}], 400, "Wrong payload line format, need have name, id, op"),
    ([{"name": "order", "id": "", "op": "I"}], 400, "need have content for operation I"),
])
def test_batch_refused_or_failed_changes_nothing(api, lines, status, message):
    answer = api("POST", "/", body=lines)
    assert answer.status_code == status
    assert message in answer.json()
    assert numbers(api.ok("GET", "/order")) == ["1001", "1002", "1003", "1004"]


# ----- error answers

@pytest.mark.parametrize("verb, path, key, body, params, status, kind, message", [
    ("GET", "/order/_id/9999", "admin-key", None, {}, 404, "NotFoundError",
     "Cannot find the document Order/_id/9999"),
    ("POST", "/order/_id/1001", "admin-key", {"number": "1001"}, {}, 409, "ConflictError",
     "Document already exists Order/_id/1001"),
    ("PUT", "/order/_id/1001", "admin-key", {"number": "2001"}, {}, 400, "ValueError",
     "Update primary key from 1001 to 2001 is not supported"),
    ("PUT", "/order/_id/9999", "admin-key", {"number": "9999"}, {"create": "no"}, 400,
     "ValueError", "set create=True if you need to create a new one"),
    ("PATCH", "/order/_id/1001", "reader-key", {"status": "x"}, {}, 403, "AuthorizationError",
     "Access denied"),
    ("GET", "/order", "empty-key", None, {}, 403, "AuthorizationError", "User has empty ACL"),
    ("GET", "/order/_id", "admin-key", None, {}, 400, "ValueError", "Invalid document path _id"),
    ("DELETE", "/order/_id/", "admin-key", None, {}, 400, "ValueError",
     "Invalid document path _id/"),
    ("POST", "/order/_id/1001/_/items/9/approve", "admin-key", None, {}, 404, "NotFoundError",
     "Cannot found 9 in items"),
    ("POST", "/order/_id/1001/_/items/x/approve", "admin-key", None, {}, 400, "ValueError",
     "invalid literal"),
    ("POST", "/order/_id/1001/_/nothing/approve", "admin-key", None, {}, 400,
     "BadRequestError", "field nothing not found for parsing nothing/approve"),
    ("GET", "/invoice", "admin-key", None, {}, 404, "NotFoundError", "Unknown resource invoice"),
    ("GET", "/order", "admin-key", None, {"limit": "ten"}, 400, "BadRequest",
     "limit must be a whole number"),
    ("GET", "/order", "admin-key", None, {"lazy": "maybe"}, 400, "BadRequest",
     "lazy takes 1/true/yes or 0/false/no"),
    ("GET", "/order", "admin-key", None, {"show_hiden": "1"}, 400, "BadRequest",
     "Unknown query parameter show_hiden"),
    ("GET", "/order", "admin-key", None, {"q": "{status"}, 400, "BadRequest",
     "Query parameter q is not valid JSON"),
    ("GET", "/order/_id/1001", "admin-key", None, {"catalog": "[number"}, 400, "JSONDecodeError",
     "Expecting value"),
    ("GET", "/order/_id/1001/_/approve", "admin-key", None, {}, 405, "MethodNotAllowed",
     "Actions take POST"),
    ("GET", "/", "admin-key", None, {}, 405, "Method Not Allowed", ""),
])
def test_error_answers(api, verb, path, key, body, params, status, kind, message):
    answer = api(verb, path, key, body, **params)
    assert answer.status_code == status, answer.text
    assert answer.headers["Content-Type"] == "application/json"
    error = answer.json()
    assert error["type"] == kind
    assert message in error["message"]


def test_body_that_is_not_json(api):
    answer = api("PATCH", "/order/_id/1001", raw=b"status=shipped")
    assert answer.status_code == 400
    assert answer.json()["message"].startswith("Request body is not valid JSON")


@pytest.mark.parametrize("key, status, message", [
    (None, 401, "Missing X-API-Key header"),
    ("", 401, "Missing X-API-Key header"),
    ("no-such-key", 401, "Unknown API key"),
    ("revoked-key", 403, "API key of demo-revoked is revoked"),
])
def test_refused_api_keys(api, key, status, message):
    answer = api("GET", "/order", key)
    assert answer.status_code == status
    assert answer.json()["message"] == message


def test_key_lookup_goes_through_the_authorization_service(servers, api):
    api.ok("GET", "/order/_id/1001", key="reader-key")
    assert servers.auth.requests[-1] == {"api_key": "reader-key", "app_name": "qen-auth"}


def test_authorization_service_down_answers_503(servers, api):
    servers.auth.stop()
    answer = api("GET", "/order")
    assert answer.status_code == 503
    assert answer.json()["message"].startswith("Authorization service unreachable")
