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

# The blocking pool's tests under ThreadSanitizer, built from the pool's own
# sources (a whole kiv_unit takes far too long to build with it; the full
# sanitizer runs are scripts/sanitize.sh). -Wno-tsan: the compiler's note that
# it cannot instrument Asio's fences, once per handler type.
cmake -S . -B build/tsan-unit -G Ninja -DKIV_BUILD_TESTS=ON -DKIV_SANITIZE=thread \
  -DKIV_UNIT_POOL_ONLY=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS=-Wno-tsan \
  -DPython_EXECUTABLE="$(command -v "$PY")" >/dev/null
cmake --build build/tsan-unit --target kiv_unit
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build/tsan-unit --output-on-failure --no-tests=error -j2

# Every fuzz target: its seed corpus, then 10 seconds of fuzzing.
scripts/fuzz_smoke.sh

# pytest exits 5 when it collected nothing, which fails this script too. The
# fault and load suite runs on its own: scripts/test.sh -m faults. Without a path
# among the arguments pytest runs tests/ (testpaths in pyproject.toml).
"$PY" -m pytest -q -p no:cacheprovider -m "not faults" "$@"
