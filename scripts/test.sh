#!/usr/bin/env bash
# Sets up a fresh virtual environment from the project's own files and runs
# the whole test suite, then the reliability tiers. Used as is by CI.
set -euo pipefail
cd "$(dirname "$0")/.."

python3 -m venv --clear .venv
.venv/bin/python -m pip install -q --disable-pip-version-check ./engine
.venv/bin/python -m pip install -q --disable-pip-version-check '.[test]'
.venv/bin/python -m pytest -q

# Reliability tiers, each with its own build where it needs one:
# development mode, AddressSanitizer + UBSan, the debug interpreter.
bash scripts/test_devmode.sh
bash scripts/test_asan.sh
bash scripts/test_debug_python.sh
