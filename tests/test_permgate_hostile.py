"""Permgate against a hostile authorization service: answers cut short, a
10 MB body, bytes that are not UTF-8, JSON that is not an object. Each
lookup ends, in bounded time, with a clear result pair or with the HTTP
client's own error; none crashes the interpreter or hangs."""

import json
import socketserver
import threading

import pytest

requests = pytest.importorskip("requests")
permgate = pytest.importorskip("qen_api.permgate")

CALL_LIMIT = 60  # seconds: far above any honest answer over loopback
SERVER_TIMEOUT = 10  # the server never waits longer than this on its socket


def reply(status, body, headers=()):
    """A complete HTTP/1.1 answer with `body` as given (bytes)."""
    head = [f"HTTP/1.1 {status} X", "Content-Type: application/json",
            f"Content-Length: {len(body)}", "Connection: close", *headers]
    return ("\r\n".join(head) + "\r\n\r\n").encode() + body


class HostileService(socketserver.ThreadingTCPServer):
    """Answers every request with `self.answer` (raw bytes sent as they are,
    then the connection is closed)."""

    daemon_threads = True
    allow_reuse_address = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), self.Handler)
        self.answer = b""
        self.api_root = f"http://127.0.0.1:{self.server_address[1]}/api/"

    class Handler(socketserver.BaseRequestHandler):
        def handle(self):
            self.request.settimeout(SERVER_TIMEOUT)
            read_request(self.request)
            try:
                self.request.sendall(self.server.answer)
            except OSError:
                pass  # the client may give up first


def read_request(sock):
    """Reads one request (headers, then the body by its length)."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            return
        data += chunk
    head, body = data.split(b"\r\n\r\n", 1)
    length = next((int(line.split(b":")[1]) for line in head.split(b"\r\n")
                   if line.lower().startswith(b"content-length:")), 0)
    while len(body) < length:
        chunk = sock.recv(65536)
        if not chunk:
            return
        body += chunk


@pytest.fixture(scope="module")
def service():
    server = HostileService()
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield server
    server.shutdown()
    server.server_close()
    thread.join(SERVER_TIMEOUT)


def bounded(call):
    """`call()` in a thread: ("result", value) or ("raised", error), or a
    test failure when it has not ended within CALL_LIMIT."""
    outcome = []

    def run():
        try:
            outcome.append(("result", call()))
        except BaseException as error:  # reported to the test
            outcome.append(("raised", error))

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(CALL_LIMIT)
    assert outcome, f"lookup still running after {CALL_LIMIT} s"
    return outcome[0]


def lookup(service, answer, api_id=""):
    service.answer = answer
    return bounded(lambda: permgate.Permgate(service.api_root).get_api_acl("key", api_id))


@pytest.mark.parametrize("answer", [
    pytest.param(b"", id="closed-before-answering"),
    pytest.param(b"HTTP/1.1 200 OK\r\nContent-Len", id="closed-in-headers"),
    pytest.param(reply(200, b'{"id": "a1", "acl": [1, 2, 3]}')[:-10], id="closed-in-body"),
    pytest.param(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\n{\"id\": ",
                 id="closed-in-chunk"),
    pytest.param(b"NOT HTTP AT ALL\r\n\r\n", id="not-http"),
])
def test_answer_cut_short_is_a_client_error_or_a_clear_pair(service, answer):
    kind, value = lookup(service, answer)
    if kind == "raised":
        assert isinstance(value, requests.exceptions.RequestException), repr(value)
    else:  # what the client could read of it, reported as not JSON
        body, status = value
        assert isinstance(status, int) and set(body) == {"message", "trace"}, value


def test_ten_megabyte_object_comes_back_whole(service):
    blob = "x" * (10 * 1024 * 1024)
    kind, value = lookup(service, reply(200, json.dumps({"id": "a1", "blob": blob}).encode()),
                         "a1")
    assert kind == "result"
    body, status = value
    assert status == 200 and body["id"] == "a1" and body["blob"] == blob


def test_ten_megabyte_non_json_is_a_parse_error_pair(service):
    text = "<html>" + "y" * (10 * 1024 * 1024)
    kind, value = lookup(service, reply(502, text.encode()))
    assert kind == "result"
    body, status = value
    assert status == 502 and set(body) == {"message", "trace"} and body["trace"] == text


@pytest.mark.parametrize("status", [200, 500])
def test_invalid_utf8_is_reported_with_replacement_characters(service, status):
    raw = b"\xff\xfe\xfd not json \xc3("
    kind, value = lookup(service, reply(status, raw))
    assert kind == "result"
    body, got = value
    assert got == status
    assert body["trace"] == raw.decode("utf-8", "replace")
    assert isinstance(body["message"], str) and body["message"]


def test_invalid_utf8_inside_a_json_text_still_parses(service):
    kind, value = lookup(service, reply(200, b'{"id": "a\xff1"}'))
    assert kind == "result"
    body, status = value
    assert status == 200 and body["id"].startswith("a")


NOT_OBJECTS = ["[1, 2]", '"message"', "5", "null", "true", "[]"]


@pytest.mark.parametrize("text", NOT_OBJECTS)
def test_json_that_is_not_an_object(service, text):
    value = json.loads(text)
    # Without an id to check, the service's answer is handed on.
    assert lookup(service, reply(200, text.encode())) == ("result", (value, 200))
    # With one, an answer that carries no id does not match it.
    kind, (body, status) = lookup(service, reply(200, text.encode()), "a1")
    assert (kind, status) == ("result", 401)
    assert body["message"].startswith("API ID a1 and ")
    # A failure status without a "message" member is reported with the body.
    assert lookup(service, reply(500, text.encode())) == (
        "result", ({"message": "API Endpoint returns code 500", "trace": text}, 500))


def test_service_alive_after_hostile_answers(service):
    """An honest answer is still served and read after all of the above."""
    assert lookup(service, reply(200, b'{"id": "a1"}'), "a1") == ("result", ({"id": "a1"}, 200))
