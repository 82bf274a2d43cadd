#!/usr/bin/env bash
# Sets up a fresh virtual environment from the project's own files and runs
# the whole test suite. Used as is by CI.
set -euo pipefail
cd "$(dirname "$0")/.."

python3 -m venv --clear .venv
.venv/bin/python -m pip install -q --disable-pip-version-check ./engine
.venv/bin/python -m pip install -q --disable-pip-version-check '.[test]'
.venv/bin/python -m pytest -q
