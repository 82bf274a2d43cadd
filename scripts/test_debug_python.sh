#!/usr/bin/env bash
# Runs the unit suite on Debian's debug interpreter (python3.11-dbg), with
# both modules compiled against its own headers: only then does
# sys.gettotalrefcount() count their references, and the leak checks assert
# that total stays flat over every operation and error path.
set -euo pipefail
cd "$(dirname "$0")/.."

PYDBG=/usr/bin/python3.11d
PACKAGES=(python3.11-dbg python3.11-venv)

ready() {
  [ -x "$PYDBG" ] && "$PYDBG" -c 'import ensurepip, sys; sys.gettotalrefcount' 2>/dev/null
}

if ! ready; then
  if ! command -v apt-get >/dev/null; then
    echo "debug-interpreter tier SKIPPED: ${PACKAGES[*]} not installed and apt-get is unavailable" >&2
    exit 0
  fi
  APT=(apt-get)
  if [ "$(id -u)" != 0 ]; then
    if ! sudo -n true 2>/dev/null; then
      echo "debug-interpreter tier SKIPPED: ${PACKAGES[*]} not installed and apt-get needs root" >&2
      exit 0
    fi
    APT=(sudo -n apt-get)
  fi
  "${APT[@]}" update -qq
  DEBIAN_FRONTEND=noninteractive "${APT[@]}" install -y -qq --no-install-recommends "${PACKAGES[@]}"
  ready
fi

VENV=.venv-dbg
# -W ignore: the debug interpreter shows every ResourceWarning of pip itself.
PIP=("$VENV/bin/python" -W ignore -m pip install --quiet --disable-pip-version-check)
"$PYDBG" -m venv --clear "$VENV"
"${PIP[@]}" --upgrade pip  # the bundled pip predates config settings (-C)
"${PIP[@]}" scikit-build-core cmake ninja pytest hypothesis requests ./engine
"${PIP[@]}" --no-build-isolation --no-deps \
  -C build-dir=build/dbg -C cmake.build-type=Debug .

# The modules must be built for this interpreter's ABI (cpython-311d).
for module in rest permgate; do
  "$VENV/bin/python" - "$module" <<'PY'
import importlib, sys, sysconfig
origin = importlib.import_module("qen_api." + sys.argv[1]).__file__
suffix = sysconfig.get_config_var("EXT_SUFFIX")
assert "311d" in suffix and origin.endswith(suffix), (origin, suffix)
print("debug build:", origin)
PY
done

"$VENV/bin/python" -m pytest -q -p no:cacheprovider -rs tests
