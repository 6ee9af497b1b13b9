#!/usr/bin/env bash
# Installs what kiv needs on a Debian machine and builds it, for a normal user or root:
#   - the Debian packages below that are missing (apt-get through sudo when not root;
#     no recommended packages);
#   - a virtual environment, .venv in the checkout (or $KIV_VENV), made with $PYTHON or
#     python3 and reused when present, with the pip packages below and kiv built into it.
# Nothing is installed into the system's Python. Can be run again at any time: only
# what is missing is installed, and the build is incremental.
set -euo pipefail
cd "$(dirname "$0")/.."

# Debian packages, checked one by one with dpkg.
APT_PACKAGES=(
  g++ libasio-dev libgtest-dev   # the module and its unit tests
  zlib1g-dev                     # WebSocket compression
  python3-venv python3-dev       # the virtual environment and Python's headers
  clang libclang-rt-14-dev       # the fuzzing pass (libFuzzer)
  curl                           # a real client in the wire tests
  nginx-light iproute2           # the proxy test: nginx in front of servers in namespaces
  chromium chromium-driver       # the browser test of the example app
  redis-server                   # topics carried between processes through Redis
)
# pip packages, installed into the virtual environment.
PIP_PACKAGES=(
  "scikit-build-core>=0.10" cmake ninja pytest pytest-timeout
  "jinja2>=3.1" "multipart>=1.2" "watchfiles>=0.21" "selenium>=4.10"
  "werkzeug>=3.0" "redis>=5"
  "flask>=3.0" "django>=4.2"  # real WSGI applications in tests/test_wsgi_apps.py
  # Flask extensions run on kiv natively in tests/test_extensions.py.
  Flask-Login Flask-WTF Flask-SQLAlchemy Flask-Migrate Flask-Cors Flask-Caching Flask-Limiter
  Flask-Session Flask-HTTPAuth Flask-JWT-Extended
  # ASGI applications in tests/test_asgi.py; uvloop is the async views' loop when present.
  "fastapi>=0.110" "starlette>=0.36" "quart>=0.19" "litestar>=2.0" "uvloop>=0.19"
  "websockets>=13.0"  # the client of tests/test_websocket.py
)

missing=()
for pkg in "${APT_PACKAGES[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=()
  if [ "$(id -u)" != 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
      echo "setup: these Debian packages are missing; install them as root, then run this again:" >&2
      echo "  apt-get install --no-install-recommends ${missing[*]}" >&2
      exit 1
    fi
    sudo=(sudo)
  fi
  echo "== ${sudo[*]:+sudo }apt-get install --no-install-recommends ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

base_py=${PYTHON:-python3}
source scripts/venv.sh
# A folder left by a venv that failed half-way (no pip in it) is made again.
if ! "$PY" -m pip --version >/dev/null 2>&1; then
  echo "== creating the virtual environment $KIV_VENV (with $base_py)"
  "$base_py" -m venv --clear "$KIV_VENV"
fi
"$PY" -m pip install -q --disable-pip-version-check "${PIP_PACKAGES[@]}"
# No build isolation: the tools above are used directly and the build folder
# under build/ is reused, so a rebuild compiles only what changed.
"$PY" -m pip install -q --disable-pip-version-check --no-build-isolation .
