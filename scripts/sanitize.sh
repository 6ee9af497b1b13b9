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
# Extra pytest arguments can be passed in KIV_PYTEST_ARGS, extra compiler
# flags for all three builds in KIV_SANITIZE_CXXFLAGS. Any sanitizer
# report fails the step (UBSan is built not to recover) and the script.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

# The project's virtual environment (made by scripts/setup.sh when missing), or $PYTHON.
if [ -n "${PYTHON:-}" ]; then
  PY=$PYTHON
else
  source scripts/venv.sh
  [ -x "$PY" ] || scripts/setup.sh
fi
PYEXE=$(command -v "$PY")
steps=("${@:-asan tsan py}")
steps=(${steps[*]})
gen=()
command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)

configure() {  # build-dir, extra cmake arguments...
  local dir=$1
  shift
  # Passed every time so that a value from an earlier run never lingers in
  # the cache.
  cmake -S . -B "$dir" "${gen[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$PYEXE" -DCMAKE_CXX_FLAGS="${KIV_SANITIZE_CXXFLAGS:-}" "$@" >/dev/null
}

# The embedded interpreter in the unit tests keeps allocations alive at exit
# by design; only leaks whose stack runs through libpython are waived.
write_lsan_supp() {
  printf 'leak:libpython\n' >"$1"
}

run_asan_unit() {
  echo "== ASan+UBSan: C++ unit tests (build/asan-unit)"
  configure build/asan-unit -DKIV_BUILD_TESTS=ON -DKIV_SANITIZE=address -DKIV_UNIT_POOL_ONLY=OFF
  cmake --build build/asan-unit --target kiv_unit
  write_lsan_supp build/asan-unit/lsan.supp
  ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
    LSAN_OPTIONS=suppressions=$ROOT/build/asan-unit/lsan.supp:print_suppressions=0 \
    UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/asan-unit --output-on-failure --no-tests=error -j2
}

run_tsan_unit() {
  echo "== TSan: C++ unit tests (build/tsan-unit)"
  configure build/tsan-unit -DKIV_BUILD_TESTS=ON -DKIV_SANITIZE=thread -DKIV_UNIT_POOL_ONLY=OFF
  cmake --build build/tsan-unit --target kiv_unit
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build/tsan-unit --output-on-failure --no-tests=error -j2
}

run_asan_py() {
  echo "== ASan+UBSan: extension and pytest (build/asan)"
  configure build/asan -DKIV_SANITIZE=address
  cmake --build build/asan --target _kiv
  local cxx libasan realpy
  cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' build/asan/CMakeCache.txt)
  libasan=$("${cxx:-g++}" -print-file-name=libasan.so)
  [ -f "$libasan" ] || { echo "no ASan runtime at $libasan" >&2; exit 1; }
  # The C++ runtime goes in with it: ASan finds the real __cxa_throw only in a
  # library loaded at its start, and the interpreter loads libstdc++ later (with
  # the module), so the module's first throw aborted in the interceptor.
  local libstdcxx
  libstdcxx=$("${cxx:-g++}" -print-file-name=libstdc++.so)
  realpy=$("$PY" -c 'import sys; print(sys.executable)')

  # The ASan runtime must be loaded before anything else in every Python
  # process that imports the module, but not in the other programs the tests
  # start (curl, ps, ...), some of which hang with it preloaded. So a wrapper
  # preloads it for the interpreter and passes itself as sys.executable
  # (worker processes are started through sys.executable), and a
  # sitecustomize drops LD_PRELOAD again from the environment children get.
  local wrap=$ROOT/build/asan/pywrap
  mkdir -p "$wrap/bin" "$wrap/site" "$ROOT/build/asan/reports"
  cat >"$wrap/bin/python3" <<WRAP
#!/usr/bin/env bash
LD_PRELOAD="$libasan $libstdcxx" exec -a "\$0" "$realpy" "\$@"
WRAP
  chmod +x "$wrap/bin/python3"
  ln -sf python3 "$wrap/bin/python"
  printf 'import os\nos.environ.pop("LD_PRELOAD", None)\n' >"$wrap/site/sitecustomize.py"
  rm -f "$ROOT"/build/asan/reports/*

  # pytest captures standard error, so reports go to files as well.
  # CPython itself is not leak-clean, hence detect_leaks=0; a small
  # quarantine keeps the RSS-based leak test meaningful while freed memory
  # is still poisoned for a while.
  # The wrapper's path is the interpreter's argv[0], so a virtual environment is not
  # recognised from it: its site-packages (pytest and the rest) go on the path last.
  local venv_site
  venv_site=$("$PY" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
  local env=(env PATH="$wrap/bin:$PATH" PYTHONPATH="$wrap/site:$ROOT/build/asan:$ROOT/python${PYTHONPATH:+:$PYTHONPATH}:$venv_site"
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:quarantine_size_mb=16:log_path=$ROOT/build/asan/reports/asan
    UBSAN_OPTIONS=print_stacktrace=1:log_path=$ROOT/build/asan/reports/ubsan)
  local where
  where=$("${env[@]}" "$wrap/bin/python3" -c 'import _kiv; print(_kiv.__file__)')
  case $where in "$ROOT"/build/asan/*) ;; *)
    echo "the sanitized _kiv is not the one imported: $where" >&2
    exit 1
    ;;
  esac
  local rc=0
  # shellcheck disable=SC2086
  "${env[@]}" "$wrap/bin/python3" -m pytest -q -p no:cacheprovider tests ${KIV_PYTEST_ARGS:-} || rc=$?
  if compgen -G "$ROOT/build/asan/reports/*" >/dev/null; then
    echo "== sanitizer reports:" >&2
    head -n 60 "$ROOT"/build/asan/reports/* >&2
    rc=1
  fi
  return $rc
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
