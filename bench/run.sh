#!/usr/bin/env bash
# One command for the whole benchmark: bench/run.sh [--quick] [--rounds N] ...
# (bench/run.py --help lists every option).
set -euo pipefail
cd "$(dirname "$0")/.."
# The driver needs only the standard library: the project's virtual environment when
# scripts/setup.sh made one, else python3 (the peers get their own venv either way).
py=python3
[ -x "${KIV_VENV:-.venv}/bin/python" ] && py=${KIV_VENV:-.venv}/bin/python
exec "$py" bench/run.py "$@"
