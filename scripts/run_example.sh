#!/usr/bin/env bash
# Set-up, then serve the example app on 127.0.0.1 (Ctrl-C stops it).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec "${PYTHON:-python3}" examples/hello.py "$@"
