#!/usr/bin/env bash
# Builds qen_api.rest and qen_api.permgate with AddressSanitizer and
# UndefinedBehaviorSanitizer (CMake option QEN_SANITIZE) and runs the unit
# suite against them. Any sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

# The gcc runtime must be loaded before the interpreter's own allocations,
# and the C++ runtime with it: the interpreter does not link libstdc++, and
# the sanitizer's interception of C++ throws needs it at start-up.
LIBASAN="$(g++ -print-file-name=libasan.so)"
LIBSTDCXX="$(g++ -print-file-name=libstdc++.so)"
for lib in "$LIBASAN" "$LIBSTDCXX"; do
  if [ ! -e "$lib" ]; then
    echo "sanitizer tier: g++ does not provide $lib" >&2
    exit 1
  fi
done

VENV=.venv-asan
PIP=(--quiet --disable-pip-version-check)
python3 -m venv --clear "$VENV"
"$VENV/bin/python" -m pip install "${PIP[@]}" scikit-build-core cmake ninja ./engine
"$VENV/bin/python" -m pip install "${PIP[@]}" --no-build-isolation \
  -C cmake.define.QEN_SANITIZE=ON -C cmake.define.CMAKE_CXX_COMPILER=g++ \
  -C cmake.build-type=RelWithDebInfo -C build-dir=build/asan '.[test]'

# Both modules must really carry the sanitizer runtime.
for module in rest permgate; do
  # Located, not imported: loading it needs the preloaded runtime.
  so="$("$VENV/bin/python" -c "import sysconfig, glob; print(*glob.glob(sysconfig.get_paths()['platlib'] + '/qen_api/$module.*.so'))")"
  if ! ldd "$so" | grep -q libasan; then
    echo "sanitizer tier: $so is not linked against libasan" >&2
    exit 1
  fi
done

# detect_leaks=0: the interpreter keeps its own objects alive at exit.
# PYTHONMALLOC=malloc: every object allocation goes through the checked malloc.
LD_PRELOAD="$LIBASAN $LIBSTDCXX" \
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
PYTHONMALLOC=malloc \
  "$VENV/bin/python" -m pytest -q -p no:cacheprovider --durations=5 tests
