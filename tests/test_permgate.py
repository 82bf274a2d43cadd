"""qen_api.permgate: the authorization-service client.

Most tests talk to a scripted service on 127.0.0.1 (tests/auth_server.py).
Cases the service cannot produce over HTTP (a parsing error without
arguments, an error while the body is read) use a stand-in `requests.post`.
"""

import gc
import inspect
import socket
import ssl
import subprocess
import sys
import textwrap
import threading
import types

import pytest
import requests

from auth_server import AuthServer, Reply
from qen_api import permgate
from qen_api.permgate import Permgate

DEFAULT_ROOT = "https://auth.example.com/api/"
# What the interpreter's JSON parser says about a body that is not JSON.
NOT_JSON = "Expecting value: line 1 column 1 (char 0)"


@pytest.fixture(autouse=True)
def loopback_only(monkeypatch):
    """requests reads proxy and CA settings from the environment: keep the
    lookups direct and the trust store the default one."""
    for name in ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "REQUESTS_CA_BUNDLE",
                 "CURL_CA_BUNDLE"):
        monkeypatch.delenv(name, raising=False)
        monkeypatch.delenv(name.lower(), raising=False)
    monkeypatch.setenv("NO_PROXY", "127.0.0.1,localhost")


@pytest.fixture(scope="module")
def service():
    with AuthServer() as server:
        yield server


@pytest.fixture
def server(service):
    service.reset()
    return service


@pytest.fixture
def gate(server):
    return Permgate(server.api_root)


class StandInResponse:
    """The three members of a response that the client reads."""

    def __init__(self, status_code=200, parsed=None, error=None, content=b""):
        self.status_code = status_code
        self.parsed = parsed
        self.error = error
        self._content = content

    def json(self):
        if self.error is not None:
            raise self.error.with_traceback(None)
        return self.parsed

    @property
    def content(self):
        if isinstance(self._content, BaseException):
            raise self._content
        return self._content


@pytest.fixture
def stand_in(monkeypatch):
    """Replaces requests.post; records each call and answers `.response`."""

    class Post:
        def __init__(self):
            self.response = StandInResponse()
            self.calls = []

        def __call__(self, *args, **kwargs):
            self.calls.append((args, kwargs))
            return self.response

    post = Post()
    monkeypatch.setattr(requests, "post", post)
    return post


# ---- the request -------------------------------------------------------------


@pytest.mark.parametrize("app_name, key", [
    (None, "key-1"),
    ("billing", "clé-2 with spaces"),
])
def test_request_on_the_wire(server, app_name, key):
    gate = Permgate(server.api_root) if app_name is None else Permgate(server.api_root, app_name)
    server.reply(200, {"id": "api-7"})
    gate.get_api_acl(key, "api-7")

    [request] = server.requests
    assert request.method == "POST"
    assert request.path == "/api/role/_/get_api_acl"
    assert request.headers["Content-Type"] == "application/json"
    assert not {"Authorization", "Cookie"} & set(request.headers)
    # Exactly two members, in order; the API id stays on the client.
    assert list(request.json.items()) == [("api_key", key), ("app_name", app_name or "qen-auth")]
    assert b"api-7" not in request.body


def test_request_call_shape_and_default_root(stand_in):
    stand_in.response = StandInResponse(200, {"id": "x"})
    Permgate().get_api_acl("k", "x")
    # URL positional, the body as `json`, nothing else: no timeout, no headers.
    assert stand_in.calls == [
        ((DEFAULT_ROOT + "role/_/get_api_acl",), {"json": {"api_key": "k", "app_name": "qen-auth"}})]


def test_each_lookup_makes_exactly_one_request(gate, server):
    server.reply(500, {"error": "down"})
    for _ in range(3):
        gate.get_api_acl("k")
    assert len(server.requests) == 3


# ---- the answer rule, against the service ------------------------------------

ANSWER = {"id": "a1", "acl": {"role": ["reader"]}}

ANSWER_TABLE = [
    # status 200: the id check
    pytest.param(200, ANSWER, "a1", (ANSWER, 200), id="200-id-matches"),
    pytest.param(200, ANSWER, "b2", ({"message": "API ID b2 and a1 don't match"}, 401),
                 id="200-id-differs"),
    pytest.param(200, ANSWER, "", (ANSWER, 200), id="200-no-id-to-check"),
    pytest.param(200, {"id": 7}, "7", ({"message": "API ID 7 and 7 don't match"}, 401),
                 id="200-number-is-not-its-text"),
    pytest.param(200, {"acl": []}, "b2", ({"message": "API ID b2 and None don't match"}, 401),
                 id="200-answer-without-id"),
    pytest.param(200, ["a1"], "a1", ({"message": "API ID a1 and None don't match"}, 401),
                 id="200-answer-not-an-object"),
    pytest.param(200, {"acl": []}, "", ({"acl": []}, 200), id="200-without-id-unchecked"),
    # other statuses below 300 pass unchecked
    pytest.param(201, {"id": "zz"}, "b2", ({"id": "zz"}, 201), id="201-unchecked"),
    # failures: the service's own message is passed on, else the client's
    pytest.param(404, {"message": "unknown key"}, "a1", ({"message": "unknown key"}, 404),
                 id="404-with-message"),
    pytest.param(500, {"error": "x"}, "",
                 ({"message": "API Endpoint returns code 500", "trace": '{"error": "x"}'}, 500),
                 id="500-without-message"),
    pytest.param(401, {"message": "bad key", "id": "zz"}, "a1",
                 ({"message": "bad key", "id": "zz"}, 401), id="401-id-not-checked"),
    # only a member counts as "message", not an item of a list or a substring
    pytest.param(503, ["message"], "",
                 ({"message": "API Endpoint returns code 503", "trace": '["message"]'}, 503),
                 id="503-list-answer"),
    pytest.param(500, "a message", "",
                 ({"message": "API Endpoint returns code 500", "trace": '"a message"'}, 500),
                 id="500-text-answer"),
    pytest.param(500, None, "",
                 ({"message": "API Endpoint returns code 500", "trace": "null"}, 500),
                 id="500-null-answer"),
]


@pytest.mark.parametrize("status, data, api_id, expected", ANSWER_TABLE)
def test_answer_rule(gate, server, status, data, api_id, expected):
    server.reply(status, data)
    assert gate.get_api_acl("key", api_id) == expected


@pytest.mark.parametrize("status, body, content_type, expected", [
    pytest.param(200, b"not json", "text/plain",
                 ({"message": NOT_JSON, "trace": "not json"}, 200), id="200-not-json"),
    pytest.param(502, b"<html>Bad Gateway</html>", "text/html",
                 ({"message": NOT_JSON, "trace": "<html>Bad Gateway</html>"}, 502),
                 id="502-html-parse-error-first"),
    pytest.param(200, b"", "application/json",
                 ({"message": NOT_JSON, "trace": ""}, 200), id="200-empty-body"),
    # invalid UTF-8 becomes replacement characters in the trace
    pytest.param(200, b"oops \xff\xfe", "text/plain",
                 ({"message": NOT_JSON, "trace": "oops \ufffd\ufffd"}, 200),
                 id="200-not-json-invalid-utf8"),
    pytest.param(500, b'{"error": "\xff"}', "application/json",
                 ({"message": "API Endpoint returns code 500", "trace": '{"error": "\ufffd"}'}, 500),
                 id="500-invalid-utf8"),
])
def test_answer_rule_raw_bodies(gate, server, status, body, content_type, expected):
    server.script = Reply(status, body, content_type)
    assert gate.get_api_acl("key", "a1") == expected


def test_answer_keys_in_order(gate, server):
    server.reply(500, {"error": "x"})
    body, _ = gate.get_api_acl("key")
    assert list(body) == ["message", "trace"]


# ---- the answer rule, with a stand-in response -------------------------------


class Unusual(Exception):
    pass


@pytest.mark.parametrize("error, message", [
    (ValueError(), None),                       # no argument: None, not IndexError
    (Unusual("not only JSON errors", 2), "not only JSON errors"),
    (RuntimeError(42), 42),                     # the argument as it is
])
def test_parse_error_message(stand_in, error, message):
    stand_in.response = StandInResponse(418, error=error, content=b"body")
    assert Permgate().get_api_acl("k") == ({"message": message, "trace": "body"}, 418)


def test_errors_outside_the_ordinary_family_pass(stand_in):
    stand_in.response = StandInResponse(200, error=KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        Permgate().get_api_acl("k")


def test_failure_while_reporting_a_parse_error_chains_it(stand_in):
    parse_error = ValueError("bad json")
    stand_in.response = StandInResponse(200, error=parse_error, content=OSError("gone"))
    try:
        raise LookupError("handled outside")
    except LookupError as outer:
        with pytest.raises(OSError) as info:
            Permgate().get_api_acl("k")
        assert info.value.__context__ is parse_error
        assert sys.exc_info()[1] is outer   # the caller's handled error is back
    assert sys.exc_info() == (None, None, None)


def test_success_answer_is_parsed_again(stand_in):
    class Counting(StandInResponse):
        calls = 0

        def json(self):
            self.calls += 1
            return {"id": "a1", "call": self.calls}

    stand_in.response = response = Counting(200)
    assert Permgate().get_api_acl("k", "a1") == ({"id": "a1", "call": 2}, 200)
    assert response.calls == 2


# ---- construction ------------------------------------------------------------


@pytest.mark.parametrize("root, joined", [
    ("https://h/api/", "https://h/api/"),
    ("https://h/api", "https://h/api/"),
    ("https://h/api//", "https://h/api//"),    # only the last character is tested
    ("", "/"),
])
def test_roots(root, joined):
    gate = Permgate(root)
    assert (gate.api_root, gate.user_root, gate.role_root, gate.matrix_root) == (
        root, joined + "user", joined + "role", joined + "matrix")


def test_attributes_in_order_and_no_request(stand_in):
    gate = Permgate(app_name="billing", api_root="https://h/api")
    assert list(vars(gate).items()) == [
        ("app_name", "billing"),
        ("api_root", "https://h/api"),
        ("user_root", "https://h/api/user"),
        ("role_root", "https://h/api/role"),
        ("matrix_root", "https://h/api/matrix"),
    ]
    assert vars(Permgate()) == {
        "app_name": "qen-auth", "api_root": DEFAULT_ROOT, "user_root": DEFAULT_ROOT + "user",
        "role_root": DEFAULT_ROOT + "role", "matrix_root": DEFAULT_ROOT + "matrix"}
    assert stand_in.calls == []


def test_lookup_reads_the_instance_attributes(stand_in):
    gate = Permgate("https://h/api/")
    gate.role_root, gate.app_name = "https://other/roles", "renamed"
    stand_in.response = StandInResponse(200, {})
    gate.get_api_acl("k")
    assert stand_in.calls == [(("https://other/roles/_/get_api_acl",),
                               {"json": {"api_key": "k", "app_name": "renamed"}})]


# ---- the surface -------------------------------------------------------------

GET_API_ACL_DOC = """Get Access Control List of API

Args:
    api_key: API Key
    api_id: API ID

Returns:
    API Detail or Error Message"""


def test_class_surface():
    assert (Permgate.__module__, Permgate.__qualname__, Permgate.__name__) == (
        "qen_api.permgate", "Permgate", "Permgate")
    assert [name for name in vars(permgate) if not name.startswith("__")] == ["requests", "Permgate"]
    assert permgate.requests is requests
    assert DEFAULT_ROOT in Permgate.__doc__ and "replace" in Permgate.__doc__
    assert str(inspect.signature(Permgate)) == (
        f"(api_root: str = '{DEFAULT_ROOT}', app_name: str = 'qen-auth')")
    assert str(inspect.signature(Permgate.get_api_acl)) == "(self, api_key: str, api_id: str = '')"
    assert Permgate.__init__.__annotations__ == {"api_root": str, "app_name": str}
    assert Permgate.get_api_acl.__annotations__ == {"api_key": str, "api_id": str}
    assert Permgate.get_api_acl.__qualname__ == "Permgate.get_api_acl"
    assert inspect.getdoc(Permgate.get_api_acl) == GET_API_ACL_DOC
    assert isinstance(Permgate().get_api_acl, types.MethodType)


def test_stub_matches_the_module(tmp_path):
    pytest.importorskip("mypy")
    run = subprocess.run([sys.executable, "-m", "mypy.stubtest", "qen_api.permgate"],
                         capture_output=True, text=True, cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


@pytest.mark.parametrize("call, text", [
    (lambda g: g.get_api_acl(), "Permgate.get_api_acl() missing 1 required positional argument: 'api_key'"),
    (lambda g: g.get_api_acl("k", "i", "x"),
     "Permgate.get_api_acl() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda g: g.get_api_acl("k", api_key="k"),
     "Permgate.get_api_acl() got multiple values for argument 'api_key'"),
    (lambda g: Permgate(root="x"), "Permgate.__init__() got an unexpected keyword argument 'root'"),
])
def test_arguments_bind_like_python(stand_in, call, text):
    with pytest.raises(TypeError) as info:
        call(Permgate())
    assert str(info.value) == text
    assert stand_in.calls == []


def test_keywords_accepted(stand_in):
    stand_in.response = StandInResponse(200, {"id": "i"})
    gate = Permgate(api_root="https://h/api/", app_name="a")
    assert gate.get_api_acl(api_id="i", api_key="k") == ({"id": "i"}, 200)


def test_import_without_requests_fails_cleanly():
    script = textwrap.dedent("""
        import sys
        sys.modules["requests"] = None          # as if it were not installed
        try:
            import qen_api.permgate
        except ImportError as error:
            print(type(error).__name__, "qen_api.permgate" in sys.modules)
        del sys.modules["requests"]
        import qen_api.permgate                  # a later import starts afresh
        print(qen_api.permgate.Permgate.__name__)
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         check=True).stdout
    assert out.split() == ["ModuleNotFoundError", "False", "Permgate"]


# ---- failed exchanges --------------------------------------------------------


def test_refused_connection_raises_the_client_error():
    with socket.socket() as closed:
        closed.bind(("127.0.0.1", 0))          # bound, never listening: refused
        port = closed.getsockname()[1]
        with pytest.raises(requests.exceptions.ConnectionError) as info:
            Permgate(f"http://127.0.0.1:{port}/api/").get_api_acl("k")
    assert type(info.value) is requests.exceptions.ConnectionError


@pytest.fixture(scope="module")
def tls_service():
    trustme = pytest.importorskip("trustme")
    ca = trustme.CA()
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ca.issue_cert("127.0.0.1").configure_cert(context)
    with AuthServer(context) as server:
        yield server, ca


def test_untrusted_certificate_is_refused(tls_service):
    server, _ = tls_service
    server.reset()
    with pytest.raises(requests.exceptions.SSLError):
        Permgate(server.api_root).get_api_acl("k")
    assert server.requests == []


def test_trusted_certificate_is_accepted(tls_service, tmp_path, monkeypatch):
    server, ca = tls_service
    server.reset()
    server.reply(200, {"id": "a1"})
    bundle = tmp_path / "ca.pem"
    ca.cert_pem.write_to_path(str(bundle))
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", str(bundle))
    assert Permgate(server.api_root).get_api_acl("k", "a1") == ({"id": "a1"}, 200)
    assert server.requests[0].path == "/api/role/_/get_api_acl"


# ---- references and threads --------------------------------------------------


def refcounts(*objects):
    gc.collect()
    return [sys.getrefcount(o) for o in objects]


@pytest.mark.parametrize("response, api_id", [
    pytest.param(StandInResponse(200, {"id": "a1"}, content=b"body"), "a1", id="answer"),
    pytest.param(StandInResponse(200, {"id": "a1"}, content=b"body"), "b2", id="mismatch"),
    pytest.param(StandInResponse(200, ["a1"], content=b"body"), "b2", id="not-an-object"),
    pytest.param(StandInResponse(500, {"e": 1}, content=b"\xff\xfe"), "", id="status-error"),
    pytest.param(StandInResponse(502, error=ValueError("bad"), content=b"<p>"), "", id="parse-error"),
    pytest.param(StandInResponse(200, error=ValueError(), content=b"<p>"), "", id="parse-error-no-args"),
])
def test_no_reference_leak(stand_in, response, api_id):
    stand_in.response = response
    gate, key = Permgate(), "leak-check-key"
    # None and "" are shared singletons whose counts other threads move.
    touched = [o for o in (gate, key, api_id, response, response.parsed, response.error,
                           response._content, vars(gate)["role_root"], vars(gate)["app_name"])
               if o is not None and o != ""]
    gate.get_api_acl(key, api_id)              # warm up caches
    stand_in.calls.clear()
    before, blocks = refcounts(*touched), sys.getallocatedblocks()
    for _ in range(300):
        gate.get_api_acl(key, api_id)
    stand_in.calls.clear()
    assert refcounts(*touched) == before
    assert sys.getallocatedblocks() - blocks < 100   # 300 leaked results would show


def test_no_reference_leak_over_http(gate, server):
    server.reply(200, {"id": "a1"})
    key = "http-leak-check-key"
    gate.get_api_acl(key, "a1")
    before = refcounts(gate, key)
    for _ in range(300):
        assert gate.get_api_acl(key, "a1") == ({"id": "a1"}, 200)
    assert refcounts(gate, key) == before


def test_one_instance_serves_concurrent_lookups(gate, server):
    server.script = lambda request: Reply(200, ('{"id": "%s"}' % request.json["api_key"]).encode())
    results, errors = {}, []

    def lookups(n):
        try:
            results[n] = [gate.get_api_acl(f"k{n}", f"k{n}") for _ in range(10)]
        except Exception as error:   # reported by the assertion below
            errors.append(error)

    threads = [threading.Thread(target=lookups, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert results == {n: [({"id": f"k{n}"}, 200)] * 10 for n in range(8)}
