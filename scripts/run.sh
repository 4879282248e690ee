#!/usr/bin/env bash
# Builds velmora and runs the main job, the analyzer, on its bundled sample
# package. Extra arguments go to the analyzer (a path, --stdlib, --json, ...).
set -euo pipefail
cd "$(dirname "$0")/.."
vpy=$(scripts/setup-venv.sh)
exec "$vpy" -m velmora_scan "$@"
