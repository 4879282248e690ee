#!/usr/bin/env bash
# Checks beyond the test suite: the C++ core tests (warnings as errors) and
# the whole suite under AddressSanitizer + UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-$(scripts/find-python.sh)}

echo "== C++ core tests"
cmake -S . -B build/native -G Ninja -DPython_EXECUTABLE="$py" -DVELMORA_NATIVE_TESTS=ON \
    -DCMAKE_CXX_FLAGS="-Werror" >/dev/null
cmake --build build/native -j 2
ctest --test-dir build/native --output-on-failure

echo "== test suite under AddressSanitizer + UndefinedBehaviorSanitizer"
vpy=$(PYTHON="$py" VELMORA_SANITIZE=ON scripts/setup-venv.sh)
# The interpreter itself is not instrumented, so the runtimes are preloaded;
# libstdc++ goes with them so that ASan intercepts C++ throws from the first
# one on. CPython's own allocations at exit are not leaks of ours.
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so) $(gcc -print-file-name=libstdc++.so)" \
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$vpy" -m pytest -q -p no:cacheprovider -m "not slow"
