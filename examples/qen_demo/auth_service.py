"""A local authorization service with scripted API keys, for the demo and its tests.

It answers the ACL lookup that `Permgate` makes: POST <root>role/_/get_api_acl
with the JSON members "api_key" and "app_name". A known key answers 200 with
{"id", "name", "acl"}; an unknown key 401, a revoked key or another
application 403, each with a JSON "message".
"""

import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LOOKUP_PATH = "/api/role/_/get_api_acl"
APP_NAME = "qen-auth"
POLL_SECONDS = 0.05                # how soon stop() is noticed

DEMO_KEYS = {
    "admin-key": {"id": "demo-admin", "name": "Administrator", "acl": ["*"]},
    "reader-key": {"id": "demo-reader", "name": "Read-only",
                   "acl": ["order.read", "customer.read"]},
    "clerk-key": {"id": "demo-clerk", "name": "Order clerk",
                  "acl": ["order.read", "order.write", "order.action.approve"]},
    "empty-key": {"id": "demo-empty", "name": "No grants", "acl": []},
    "revoked-key": {"id": "demo-revoked", "name": "Revoked", "acl": ["*"], "revoked": True},
}


def lookup(keys, request):
    """(status, answer) for one lookup request body."""
    if not isinstance(request, dict) or not isinstance(request.get("api_key"), str):
        return 400, {"message": "Lookup needs a JSON object with api_key and app_name"}
    if request.get("app_name") != APP_NAME:
        return 403, {"message": f"Application {request.get('app_name')} is not served here"}
    entry = keys.get(request["api_key"])
    if entry is None:
        return 401, {"message": "Unknown API key"}
    if entry.get("revoked"):
        return 403, {"message": f"API key of {entry['id']} is revoked"}
    return 200, {"id": entry["id"], "name": entry["name"], "acl": list(entry["acl"])}


class AuthService:
    """The service on a loopback port, served from a daemon thread."""

    def __init__(self, keys=None, host="127.0.0.1", port=0):
        self.keys = dict(DEMO_KEYS if keys is None else keys)
        self.requests = []                # lookup bodies received, for tests
        self.server = ThreadingHTTPServer((host, port), _handler_for(self))
        self.thread = threading.Thread(target=self.server.serve_forever, args=(POLL_SECONDS,),
                                       daemon=True, name="qen-demo-auth")

    @property
    def api_root(self):
        host, port = self.server.server_address[:2]
        return f"http://{host}:{port}/api/"

    def start(self):
        self.thread.start()
        return self

    def stop(self):
        if not self.thread.is_alive():
            return
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()


def _handler_for(service):
    class Handler(BaseHTTPRequestHandler):
        def do_POST(self):
            if self.path != LOOKUP_PATH:
                return self._send(404, {"message": f"No endpoint {self.path}"})
            size = int(self.headers.get("Content-Length") or 0)
            try:
                request = json.loads(self.rfile.read(size))
            except ValueError:
                return self._send(400, {"message": "Lookup body is not JSON"})
            service.requests.append(request)
            self._send(*lookup(service.keys, request))

        def _send(self, status, answer):
            data = json.dumps(answer).encode()
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def log_message(self, format, *args):
            pass                          # keep the demo's console for its own output

    return Handler
