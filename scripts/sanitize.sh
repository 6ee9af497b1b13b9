#!/usr/bin/env bash
# Sanitizer runs of the whole test suite, each in its own build folder:
#   1. C++ unit tests with AddressSanitizer + UndefinedBehaviorSanitizer
#      (build/asan-unit), through ctest;
#   2. C++ unit tests with ThreadSanitizer (build/tsan-unit), through ctest;
#   3. the extension with ASan + UBSan (build/asan) and the whole pytest suite
#      on it, the interpreter started with the ASan runtime preloaded.
#
#   scripts/sanitize.sh [asan|tsan|py]...   (default: all three)
#
# Extra pytest arguments can be passed in KIV_PYTEST_ARGS. Any sanitizer
# report fails the step (UBSan is built not to recover) and the script.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

PY=${PYTHON:-python3}
PYEXE=$(command -v "$PY")
steps=("${@:-asan tsan py}")
steps=(${steps[*]})
gen=()
command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)

configure() {  # build-dir, extra cmake arguments...
  local dir=$1
  shift
  cmake -S . -B "$dir" "${gen[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$PYEXE" "$@" >/dev/null
}

# The embedded interpreter in the unit tests keeps allocations alive at exit
# by design; only leaks whose stack runs through libpython are waived.
write_lsan_supp() {
  printf 'leak:libpython\n' >"$1"
}

run_asan_unit() {
  echo "== ASan+UBSan: C++ unit tests (build/asan-unit)"
  configure build/asan-unit -DKIV_BUILD_TESTS=ON -DKIV_SANITIZE=address
  cmake --build build/asan-unit --target kiv_unit
  write_lsan_supp build/asan-unit/lsan.supp
  ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
    LSAN_OPTIONS=suppressions=$ROOT/build/asan-unit/lsan.supp:print_suppressions=0 \
    UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/asan-unit --output-on-failure --no-tests=error -j2
}

run_tsan_unit() {
  echo "== TSan: C++ unit tests (build/tsan-unit)"
  configure build/tsan-unit -DKIV_BUILD_TESTS=ON -DKIV_SANITIZE=thread
  cmake --build build/tsan-unit --target kiv_unit
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build/tsan-unit --output-on-failure --no-tests=error -j2
}

run_asan_py() {
  echo "== ASan+UBSan: extension and pytest (build/asan)"
  configure build/asan -DKIV_SANITIZE=address
  cmake --build build/asan --target _kiv
  local cxx libasan
  cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' build/asan/CMakeCache.txt)
  libasan=$("${cxx:-g++}" -print-file-name=libasan.so)
  [ -f "$libasan" ] || { echo "no ASan runtime at $libasan" >&2; exit 1; }
  # The sanitized module must shadow any installed one: build/asan holds
  # _kiv, python/ the framework package.
  local env=(env LD_PRELOAD="$libasan" PYTHONPATH="$ROOT/build/asan:$ROOT/python${PYTHONPATH:+:$PYTHONPATH}"
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1)
  local where
  where=$("${env[@]}" "$PY" -c 'import _kiv; print(_kiv.__file__)')
  case $where in "$ROOT"/build/asan/*) ;; *)
    echo "the sanitized _kiv is not the one imported: $where" >&2
    exit 1
    ;;
  esac
  # CPython itself is not leak-clean, hence detect_leaks=0 here.
  # shellcheck disable=SC2086
  "${env[@]}" "$PY" -m pytest -q -p no:cacheprovider tests ${KIV_PYTEST_ARGS:-}
}

for s in "${steps[@]}"; do
  case $s in
    asan) run_asan_unit ;;
    tsan) run_tsan_unit ;;
    py) run_asan_py ;;
    *)
      echo "unknown step: $s (asan, tsan or py)" >&2
      exit 2
      ;;
  esac
done
echo "== sanitizer runs clean: ${steps[*]}"
