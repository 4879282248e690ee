#!/usr/bin/env bash
# Creates (or reuses) a virtual environment for one 3.12+ interpreter and
# installs velmora into it with its test tools. Prints the venv's python.
#   PYTHON=/path/to/python3.13 scripts/setup-venv.sh [extra cmake defines...]
# VELMORA_SANITIZE=ON builds the AddressSanitizer + UBSan variant into its
# own venv.
set -euo pipefail
cd "$(dirname "$0")/.."

py=${PYTHON:-$(scripts/find-python.sh)}
ver=$("$py" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
flavour=""
[ "${VELMORA_SANITIZE:-OFF}" = "ON" ] && flavour="-asan"
venv=".venv-$ver$flavour"

if [ ! -x "$venv/bin/python" ]; then
    echo "== creating $venv with $py" >&2
    "$py" -m venv "$venv" >&2
fi
vpy="$venv/bin/python"
"$vpy" -m pip install -q --disable-pip-version-check --upgrade pip >&2
"$vpy" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" "cmake>=3.21" ninja >&2
echo "== building velmora for Python $ver${flavour:+ (sanitizers)}" >&2
"$vpy" -m pip install -q --disable-pip-version-check --no-build-isolation \
    -Cbuild-dir="build/py$ver$flavour" \
    -Ccmake.define.VELMORA_SANITIZE="${VELMORA_SANITIZE:-OFF}" \
    ".[test]" >&2
echo "$vpy"
