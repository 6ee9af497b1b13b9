# Sourced by the scripts: the project's virtual environment, first on PATH so that
# python3, pip, cmake and ninja are the ones installed there by scripts/setup.sh.
# KIV_VENV chooses another folder (default: .venv in the checkout).
KIV_VENV=${KIV_VENV:-$PWD/.venv}
export PATH="$KIV_VENV/bin:$PATH"
PY="$KIV_VENV/bin/python"
