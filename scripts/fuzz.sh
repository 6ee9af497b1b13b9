#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) into build/fuzz and runs each one.
#
#   scripts/fuzz.sh [--fresh] [SECONDS] [TARGET...]
#
# SECONDS per target (default 30; 600 for the long run). TARGETs are names
# such as head or router (default: all). Every run starts from the seeds in
# fuzz/corpus/<target>; new inputs go to build/fuzz/corpus/<target> and are
# kept for the next run, or with --fresh to a temporary folder that is thrown
# away (what the smoke test uses). A crash, sanitizer report, failed
# invariant or input slower than 25 s is a finding: its input is kept under
# build/fuzz/artifacts/<target>/ and the script exits non-zero once every
# target has run.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

fresh=0
if [ "${1:-}" = "--fresh" ]; then
  fresh=1
  shift
fi
secs=${1:-30}
shift || true
case $secs in '' | *[!0-9]*)
  echo "usage: scripts/fuzz.sh [--fresh] [SECONDS] [TARGET...]" >&2
  exit 2
  ;;
esac
all=(head framing router percent query ims static ws_frame ws_handshake)
targets=("${@:-${all[@]}}")

# libFuzzer comes with clang's runtime, packaged apart from the compiler.
fuzzer_works() {
  command -v clang++ >/dev/null 2>&1 || return 1
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' |
    clang++ -fsanitize=fuzzer -x c++ - -o /dev/null >/dev/null 2>&1
}
if ! fuzzer_works; then
  echo "== installing clang and its fuzzer runtime"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq clang libclang-rt-14-dev >/dev/null
  fuzzer_works || { echo "clang++ cannot link libFuzzer programs" >&2; exit 1; }
fi

PY=${PYTHON:-python3}
BUILD=build/fuzz
gen=()
command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S . -B "$BUILD" "${gen[@]}" -DCMAKE_CXX_COMPILER=clang++ -DKIV_BUILD_FUZZERS=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$(command -v "$PY")" >/dev/null
fi
cmake --build "$BUILD" --target kiv_fuzzers >/dev/null

# Leak checking stays on; UBSan reports are fatal and carry a stack.
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

scratch=""
if [ $fresh = 1 ]; then
  scratch=$(mktemp -d /tmp/kiv-fuzz-corpus.XXXXXX)
  trap 'rm -rf "$scratch"' EXIT
fi

# One of libFuzzer's closing statistics from a log.
final_stat() { sed -n "s/^stat::$2: *//p" "$1" | tail -1; }

failed=()
printf '%-8s %12s %10s %8s %6s  %s\n' target executions exec/s new cov result
for t in "${targets[@]}"; do
  bin=$ROOT/$BUILD/fuzz/fuzz_$t
  [ -x "$bin" ] || { echo "no such fuzz target: $t" >&2; exit 2; }
  if [ $fresh = 1 ]; then work=$scratch/$t; else work=$ROOT/$BUILD/corpus/$t; fi
  arts=$ROOT/$BUILD/artifacts/$t
  log=$ROOT/$BUILD/logs/$t.log
  mkdir -p "$work" "$arts" "$(dirname "$log")"
  # Inputs no longer than the target needs keep the executions fast: heads
  # need room for 100 header lines, a date never needs more than a line.
  case $t in
    head | framing | ws_handshake) maxlen=4096 ;;
    ws_frame) maxlen=8192 ;;
    router | query) maxlen=1024 ;;
    *) maxlen=512 ;;
  esac
  opts=(-max_total_time="$secs" -max_len=$maxlen -timeout=25 -rss_limit_mb=2048
    -print_final_stats=1 -artifact_prefix="$arts/")
  [ -f "fuzz/dict/$t.dict" ] && opts+=(-dict="$ROOT/fuzz/dict/$t.dict")
  # The static target makes its folder tree under /tmp and removes it at exit.
  rc=0
  "$bin" "${opts[@]}" "$work" "$ROOT/fuzz/corpus/$t" >"$log" 2>&1 || rc=$?
  cov=$(grep -Eo 'cov: [0-9]+' "$log" | tail -1 | cut -d' ' -f2 || true)
  if [ $rc = 0 ]; then result=ok; else result="FINDING (exit $rc)"; failed+=("$t"); fi
  printf '%-8s %12s %10s %8s %6s  %s\n' "$t" "$(final_stat "$log" number_of_executed_units)" \
    "$(final_stat "$log" average_exec_per_sec)" "$(final_stat "$log" new_units_added)" "${cov:-?}" "$result"
  if [ $rc != 0 ]; then
    grep -E 'invariant failed|ERROR: |runtime error|SUMMARY|Test unit written' "$log" |
      head -8 | sed 's/^/    /' || true
    echo "    full log: $log"
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]}" >&2
  exit 1
fi
