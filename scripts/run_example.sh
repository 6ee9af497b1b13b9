#!/usr/bin/env bash
# Set-up, then serve the notes example on http://127.0.0.1:8000 (Ctrl-C stops it).
# Its database and uploads go to ./notes-data in the folder this is run from, or to
# --data FOLDER; other arguments go to the app too (--host, --port, --workers).
set -euo pipefail
here=$PWD
cd "$(dirname "$0")/.."
scripts/setup.sh
source scripts/venv.sh
root=$PWD
cd "$here"
PYTHONPATH="$root${PYTHONPATH:+:$PYTHONPATH}" exec "$PY" -m examples.notes "$@"
