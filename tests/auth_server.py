"""A scripted stand-in for the authorization service, on 127.0.0.1.

Each request is recorded (method, path, headers, raw body and parsed JSON
body) and answered from the current script: a fixed reply, or a function of
the recorded request for answers that depend on it.
"""

import json
import ssl
import threading
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


@dataclass
class Recorded:
    method: str
    path: str
    headers: dict
    body: bytes

    @property
    def json(self):
        return json.loads(self.body) if self.body else None


@dataclass
class Reply:
    status: int
    body: bytes = b""
    content_type: str = "application/json"


def json_reply(status, data):
    return Reply(status, json.dumps(data).encode())


class AuthServer:
    """Context manager: serves in a thread until the block ends."""

    def __init__(self, ssl_context: ssl.SSLContext | None = None):
        self.requests: list[Recorded] = []
        self.script = Reply(200, b"{}")
        self._lock = threading.Lock()
        self._httpd = ThreadingHTTPServer(("127.0.0.1", 0), self._handler_class())
        self._httpd.daemon_threads = True
        if ssl_context is not None:
            self._httpd.socket = ssl_context.wrap_socket(self._httpd.socket, server_side=True)
        scheme = "https" if ssl_context is not None else "http"
        self.api_root = f"{scheme}://127.0.0.1:{self._httpd.server_address[1]}/api/"
        self._thread = threading.Thread(target=self._httpd.serve_forever, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join()

    def reply(self, status, data):
        """Answer every request with `data` as JSON (raw bodies: set `script`)."""
        self.script = json_reply(status, data)

    def reset(self):
        with self._lock:
            self.requests.clear()
        self.script = Reply(200, b"{}")

    def _answer(self, recorded):
        with self._lock:
            self.requests.append(recorded)
        script = self.script
        return script(recorded) if callable(script) else script

    def _handler_class(self):
        server = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def _serve(self):
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length)
                reply = server._answer(
                    Recorded(self.command, self.path, dict(self.headers.items()), body))
                self.send_response(reply.status)
                self.send_header("Content-Type", reply.content_type)
                self.send_header("Content-Length", str(len(reply.body)))
                self.end_headers()
                self.wfile.write(reply.body)

            do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = _serve

            def log_message(self, *args):
                pass

        return Handler
