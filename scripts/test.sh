#!/usr/bin/env bash
# The whole test suite: set-up, C++ unit tests, then the Python tests, all with the
# virtual environment that scripts/setup.sh makes (.venv). Arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
source scripts/venv.sh

cmake -S . -B build/unit -G Ninja -DKIV_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build build/unit
ctest --test-dir build/unit --output-on-failure --no-tests=error -j2

# Every fuzz target: its seed corpus, then 10 seconds of fuzzing.
scripts/fuzz_smoke.sh

# pytest exits 5 when it collected nothing, which fails this script too. The
# fault and load suite runs on its own: scripts/test.sh -m faults. Without a path
# among the arguments pytest runs tests/ (testpaths in pyproject.toml).
"$PY" -m pytest -q -p no:cacheprovider -m "not faults" "$@"
