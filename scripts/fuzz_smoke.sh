#!/usr/bin/env bash
# Short fuzzing pass for the test suite: every target runs its seed corpus and
# then fuzzes for SECONDS (default 10) from a throw-away corpus, so each run
# starts from the same seeds. Exits non-zero on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
exec scripts/fuzz.sh --fresh "${1:-10}"
