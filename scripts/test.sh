#!/usr/bin/env bash
# The whole test suite: set-up, C++ unit tests, then the Python tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
PY=${PYTHON:-python3}

cmake -S . -B build/unit -G Ninja -DKIV_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$(command -v "$PY")" >/dev/null
cmake --build build/unit
ctest --test-dir build/unit --output-on-failure --no-tests=error -j2

# Every fuzz target: its seed corpus, then 10 seconds of fuzzing (installs clang if missing).
scripts/fuzz_smoke.sh

# pytest exits 5 when it collected nothing, which fails this script too. The
# fault and load suite runs on its own: scripts/test.sh -m faults
"$PY" -m pytest -q -p no:cacheprovider -m "not faults" tests "$@"
