"""The demo service and its authorization service, both on loopback, in threads."""

import threading

from qen_engine.samples import make_sample_engine
from werkzeug.serving import make_server

from .access import AclSource
from .auth_service import POLL_SECONDS, AuthService
from .routes import create_app


class DemoServers:
    """The running pair; `base_url` is the demo's API root, `stop()` ends both."""

    def __init__(self, host="127.0.0.1", port=0, auth_port=0, engine=None, auth_keys=None):
        self.engine = engine if engine is not None else make_sample_engine("demo")
        self.auth = AuthService(auth_keys, host, auth_port).start()
        try:
            app = create_app(self.engine.classes, AclSource(self.auth.api_root))
            self.server = make_server(host, port, app, threaded=True)
        except BaseException:
            self.auth.stop()
            raise
        self.thread = threading.Thread(target=self.server.serve_forever, args=(POLL_SECONDS,),
                                       daemon=True, name="qen-demo")
        self.thread.start()

    @property
    def base_url(self):
        return f"http://{self.server.host}:{self.server.server_port}/api/v1"

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()
        self.auth.stop()
