#!/usr/bin/env bash
# Runs the whole suite once in the interpreter's development mode (-X dev):
# debug hooks on the memory allocators (buffer overruns, use after free,
# calls without the GIL), fault handler, and every warning shown.
# Uses the environment that scripts/test.sh makes.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -x .venv/bin/python ]; then
  echo "development-mode tier: run scripts/test.sh first (it makes .venv)" >&2
  exit 1
fi
.venv/bin/python -X dev -m pytest -q -p no:cacheprovider
