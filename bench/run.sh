#!/usr/bin/env bash
# One command for the whole benchmark: bench/run.sh [--quick] [--rounds N] ...
# (bench/run.py --help lists every option).
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 bench/run.py "$@"
