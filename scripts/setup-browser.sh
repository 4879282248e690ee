#!/usr/bin/env bash
# Installs Debian's chromium for the HTML report's browser test when it is
# missing. Needs root (as on CI and the project's machines); elsewhere it only
# says what to install, and the test skips outside CI.
set -euo pipefail
if command -v chromium >/dev/null 2>&1 || [ -n "${VELMORA_CHROMIUM:-}" ]; then
    exit 0
fi
if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null 2>&1; then
    echo "== chromium is missing: install it (apt-get install chromium) to run the HTML report test" >&2
    exit 0
fi
echo "== installing chromium for the HTML report test" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >&2
apt-get install -y -qq --no-install-recommends chromium >&2
