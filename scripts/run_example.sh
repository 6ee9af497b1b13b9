#!/usr/bin/env bash
# Set-up, then serve the notes example on http://127.0.0.1:8000 (Ctrl-C stops it).
# Its database and uploads go to $NOTES_DATA (default ./notes-data); extra arguments
# go to the app (--data FOLDER, --host, --port, --workers).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec "${PYTHON:-python3}" -m examples.notes "$@"
