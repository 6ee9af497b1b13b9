#!/usr/bin/env bash
# Installs everything kiv needs on a fresh Debian machine and builds it.
# Idempotent: packages already present are skipped, the build is incremental.
set -euo pipefail
cd "$(dirname "$0")/.."

need_apt=()
for pkg in libasio-dev libgtest-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need_apt+=("$pkg")
done
command -v g++ >/dev/null 2>&1 || need_apt+=(g++)
command -v curl >/dev/null 2>&1 || need_apt+=(curl)  # a real client in the wire tests
# The proxy test: Debian's nginx in front of servers in network namespaces.
command -v nginx >/dev/null 2>&1 || [ -x /usr/sbin/nginx ] || need_apt+=(nginx-light)
command -v ip >/dev/null 2>&1 || [ -x /usr/sbin/ip ] || need_apt+=(iproute2)
# The browser test of the example app: Debian's Chromium and its WebDriver.
command -v chromium >/dev/null 2>&1 || need_apt+=(chromium)
command -v chromedriver >/dev/null 2>&1 || need_apt+=(chromium-driver)
if [ ${#need_apt[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need_apt[@]}"
fi

PY=${PYTHON:-python3}
"$PY" -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.10" cmake ninja pytest pytest-timeout \
  "jinja2>=3.1" "multipart>=1.2" "watchfiles>=0.21" "selenium>=4.10" \
  "flask>=3.0" "django>=4.2" \
  "fastapi>=0.110" "starlette>=0.36" "quart>=0.19" "litestar>=2.0" "uvloop>=0.19"  # real WSGI and ASGI applications in tests
# No build isolation: the tools above are used directly and the build folder
# under build/ is reused, so a rebuild compiles only what changed.
"$PY" -m pip install -q --disable-pip-version-check --no-build-isolation .
