#!/usr/bin/env bash
# Builds velmora and runs the whole test suite on one 3.12+ interpreter
# (found automatically; PYTHON=... picks one). Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
vpy=$(scripts/setup-venv.sh)
scripts/setup-browser.sh
echo "== running tests with $("$vpy" -c 'import sys; print(sys.version.split()[0])')"
exec "$vpy" -m pytest "$@"
