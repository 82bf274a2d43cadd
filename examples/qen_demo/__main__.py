"""`python -m qen_demo [--host H] [--port P]`: the demo with sample data, until Ctrl-C."""

import argparse
import threading

from .auth_service import DEMO_KEYS
from .servers import DemoServers

EXAMPLES = """\
Try (API keys: {keys}):
  curl -s -H 'X-API-Key: admin-key' {url}/order
  curl -s -G -H 'X-API-Key: reader-key' --data-urlencode 'catalog=["number","status","lines"]' {url}/order/_id/1001
  curl -s -G -H 'X-API-Key: reader-key' --data-urlencode 'q={{"status":"new"}}' -d id_only=1 {url}/order
  curl -s -X PATCH -H 'X-API-Key: admin-key' -d '{{"status":"shipped"}}' {url}/order/number/1004
  curl -s -X POST -H 'X-API-Key: admin-key' {url}/order/_id/1001/_/lines/L1/approve
  curl -s -X POST -H 'X-API-Key: empty-key' {url}/order/_/export
  curl -s -X POST -H 'X-API-Key: admin-key' -d '{{"group_by":"status","sum":"total"}}' {url}/order/_analyze
  curl -s -X POST -H 'X-API-Key: admin-key' -d '[{{"name":"order","id":"1003","op":"D"}}]' {url}/
  curl -s -H 'X-API-Key: empty-key' {url}/order        # 403: empty ACL
  curl -s {url}/order                                  # 401: no key
"""


def main():
    parser = argparse.ArgumentParser(prog="python -m qen_demo", description=__doc__)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8080)
    options = parser.parse_args()
    servers = DemoServers(options.host, options.port)
    print(f"qen_api demo on {servers.base_url} (authorization service {servers.auth.api_root})")
    print(EXAMPLES.format(url=servers.base_url, keys=", ".join(DEMO_KEYS)), flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        print("stopping")
    finally:
        servers.stop()


if __name__ == "__main__":
    main()
