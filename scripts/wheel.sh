#!/usr/bin/env bash
# Builds a wheel that installs without a compiler: pip wheel, then
# auditwheel repair into a manylinux wheel.
#   scripts/wheel.sh [source: this tree (default) or an sdist] [output directory, default dist]
# Prints the path of the repaired wheel on its last line.
#
# zlib stays a dependency on the system's libz.so.1, which auditwheel's
# manylinux policy counts as provided by the system: it is the library
# CPython's zlib module loads, and one soname is loaded once per process,
# so the probes and zlib.compress share one deflate and agree byte for
# byte. A copy inside the wheel (grafted or linked statically) would pin
# one zlib build, which need not compress like the interpreter's.
set -euo pipefail
cd "$(dirname "$0")/.."
src=${1:-.}
out=${2:-dist}

# auditwheel edits the ELF files with patchelf (Debian's package).
command -v patchelf >/dev/null 2>&1 ||
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq patchelf; } >&2

vpy=$(scripts/setup-venv.sh)
raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
echo "== building a wheel from $src" >&2
"$vpy" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation -w "$raw" "$src" >&2
mkdir -p "$out"
"$vpy" -m auditwheel repair -w "$out" "$raw"/velmora-*.whl >&2
ls -t "$out"/velmora-*manylinux*.whl | head -1
