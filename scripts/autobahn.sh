#!/usr/bin/env bash
# Runs the Autobahn WebSocket conformance suite (fuzzing client, cases 1-10, 12, 13)
# against examples/ws_echo.py and writes the summary to docs/autobahn.md.
#
#   scripts/autobahn.sh [--cases '1.*,2.*'] [--style sync|async|callback] [--out FILE]
#                       [--reports DIR] [--native | -- SERVER CMD...]
#
# --reports keeps the suite's own report folder (index.json and one file per case);
# scripts/autobahn_summary.py makes one summary of several such folders.
#
# --native runs the suite against the protocol engine alone (bench/wsload/native_echo.cpp,
# built into build/native_echo), without Python in front of it.
# The suite runs on Python 2.7 only: its environment, build/autobahn-venv, is made on
# first use from pyenv's 2.7 (or $AUTOBAHN_PYTHON) with the pins below. The server is
# started on 127.0.0.1 port 0 (a SERVER CMD after -- replaces it; it must print its
# http:// or ws:// address on a line of its own output) and stopped by its pid.
# Takes several minutes (the compression groups send megabytes through a slow
# Python 2 client), so it is not part of scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
ARGS=("$@")

CASES='1.*,2.*,3.*,4.*,5.*,6.*,7.*,8.*,9.*,10.*,12.*,13.*'
STYLE=sync
NATIVE=
REPORTS=
OUT=docs/autobahn.md
while [ $# -gt 0 ]; do
  case "$1" in
    --cases) CASES=$2; shift 2 ;;
    --style) STYLE=$2; shift 2 ;;
    --out) OUT=$2; shift 2 ;;
    --native) NATIVE=1; shift ;;
    --reports) REPORTS=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "autobahn.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
if [ -n "$NATIVE" ]; then
  sources=(bench/wsload/native_echo.cpp src/ws/*.cpp src/http/head_parser.cpp)
  if [ ! -x build/native_echo ] || [ -n "$(find "${sources[@]}" src/ws/*.hpp src/http/head_parser.hpp \
       -newer build/native_echo 2>/dev/null)" ]; then
    echo "== building build/native_echo"
    mkdir -p build
    g++ -O2 -std=c++20 -DASIO_STANDALONE -DASIO_NO_DEPRECATED -Isrc -o build/native_echo \
      "${sources[@]}" -lz -pthread
  fi
  SERVER=(build/native_echo)
elif [ $# -gt 0 ]; then
  SERVER=("$@")
else
  SERVER=(python3 examples/ws_echo.py --host 127.0.0.1 --port 0 --style "$STYLE")
fi

PY27=${AUTOBAHN_PYTHON:-$HOME/.pyenv/versions/2.7.18/bin/python}
VENV=build/autobahn-venv
# The last releases that install and run together on Python 2.7.
PINS=(
  autobahntestsuite==25.10.1 autobahn==0.10.9 Twisted==19.10.0 txaio==2.1.0
  zope.interface==4.6.0 six==1.16.0 attrs==21.4.0 Automat==22.10.0 constantly==15.1.0
  hyperlink==21.0.0 incremental==16.10.1 idna==2.10 PyHamcrest==1.10.1 klein==17.10.0
  Werkzeug==1.0.1 Jinja2==2.11.3 MarkupSafe==1.1.1 pyOpenSSL==19.1.0 cryptography==3.3.2
  cffi==1.15.1 pycparser==2.21 service-identity==18.1.0 pyasn1==0.5.1
  pyasn1-modules==0.3.0 enum34==1.1.10 ipaddress==1.0.23 typing==3.10.0.0 ujson==2.0.3
  unittest2==1.1.0 linecache2==1.0.0 traceback2==1.4.0 wsaccel==0.6.6
)
mkdir -p build
if ! "$VENV/bin/wstest" --help >/dev/null 2>&1; then
  [ -x "$PY27" ] || { echo "autobahn.sh: no Python 2.7 at $PY27 (set AUTOBAHN_PYTHON)" >&2; exit 1; }
  echo "== creating $VENV with $PY27"
  # virtualenv 20.21 is the last one that makes Python 2.7 environments; it lives
  # in build/ so nothing is added to the 2.7 installation itself.
  "$PY27" -m pip install -q --disable-pip-version-check --target build/autobahn-tools \
    'virtualenv<20.22' 2>&1 | grep -v '^ *WARNING\|DEPRECATION' || true
  rm -rf "$VENV"
  PYTHONPATH=build/autobahn-tools "$PY27" -m virtualenv -q "$VENV"
  "$VENV/bin/python" -m pip install -q --disable-pip-version-check "${PINS[@]}" 2>&1 \
    | grep -v '^ *WARNING\|DEPRECATION' || true
  "$VENV/bin/wstest" --help >/dev/null
fi

WORK=$(mktemp -d)
server_pid=
cleanup() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -TERM "$server_pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "== starting ${SERVER[*]}"
PYTHONPATH=${PYTHONPATH:-$ROOT/python}:$ROOT "${SERVER[@]}" >"$WORK/server.log" 2>&1 &
server_pid=$!
port=
for _ in $(seq 100); do
  port=$(grep -oE '(http|ws)://127\.0\.0\.1:[0-9]+' "$WORK/server.log" | head -1 | sed 's/.*://' || true)
  [ -n "$port" ] && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "autobahn.sh: the server did not print its address; its output:" >&2
  cat "$WORK/server.log" >&2
  exit 1
fi
echo "== server pid $server_pid on port $port"

[ -n "$REPORTS" ] || REPORTS=$WORK/reports
mkdir -p "$REPORTS"
REPORTS=$(cd "$REPORTS" && pwd)
python3 - "$WORK/spec.json" "$port" "$CASES" "$REPORTS" <<'PY'
import json, sys
path, port, cases, outdir = sys.argv[1:]
spec = {"outdir": outdir, "options": {"failByDrop": False},
        "servers": [{"agent": "kiv", "url": "ws://127.0.0.1:%s/echo" % port}],
        "cases": cases.split(","), "exclude-cases": [], "exclude-agent-cases": {}}
with open(path, "w") as f:
    json.dump(spec, f, indent=2)
PY

echo "== wstest -m fuzzingclient (cases $CASES)"
start=$(date +%s)
(cd "$WORK" && "$ROOT/$VENV/bin/wstest" -m fuzzingclient -s spec.json) >"$WORK/wstest.log" 2>&1 || {
  echo "autobahn.sh: wstest failed; last lines:" >&2; tail -20 "$WORK/wstest.log" >&2; exit 1; }
elapsed=$(( $(date +%s) - start ))
if ! kill -0 "$server_pid" 2>/dev/null; then
  echo "autobahn.sh: the server exited during the run; its output:" >&2
  tail -30 "$WORK/server.log" >&2
fi

python3 scripts/autobahn_summary.py "$REPORTS" "$OUT" \
  --command "scripts/autobahn.sh${ARGS[*]:+ ${ARGS[*]}}" --server "${SERVER[*]}" --seconds "$elapsed"
