#!/usr/bin/env bash
# Builds velmora and runs the main job on its bundled default input.
# Extra arguments go to the analyzer (for example: a path, --stdlib, --json).
set -euo pipefail
cd "$(dirname "$0")/.."
vpy=$(scripts/setup-venv.sh)
if "$vpy" -c 'import velmora_scan' 2>/dev/null; then
    exec "$vpy" -m velmora_scan "$@"
fi
exec "$vpy" examples/demo.py "$@"
