#!/usr/bin/env bash
# Sets up .venv-demo from this checkout (the stand-in engine and qen_api with
# its demo extra) and starts the demo service on 127.0.0.1 with sample data,
# together with its local authorization service. Prints example curl calls.
#   PORT=9090 bash scripts/demo.sh     # another port (default 8080)
set -euo pipefail
cd "$(dirname "$0")/.."

PORT="${PORT:-8080}"
python3 -m venv .venv-demo
.venv-demo/bin/python -m pip install -q --disable-pip-version-check ./engine
.venv-demo/bin/python -m pip install -q --disable-pip-version-check '.[demo]'
PYTHONPATH=examples exec .venv-demo/bin/python -m qen_demo --host 127.0.0.1 --port "$PORT"
