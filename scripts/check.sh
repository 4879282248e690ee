#!/usr/bin/env bash
# Checks beyond the test suite: the C++ core tests (warnings as errors),
# the whole suite under AddressSanitizer + UndefinedBehaviorSanitizer, a
# valgrind memcheck run, a bounded fuzzing run of the core (45 s per
# harness; VELMORA_FUZZ_SECONDS changes it) and clang-tidy.
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
    "$vpy" -m pytest -q -p no:cacheprovider -m "not slow and not packaging"

echo "== valgrind memcheck of a run through every entry point"
command -v valgrind >/dev/null 2>&1 ||
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind; } >&2
rpy=$(PYTHON="$py" scripts/setup-venv.sh)
# With the system allocator every Python object is a malloc block that
# memcheck can see; any invalid read or write, or a use of uninitialised
# memory, fails the step.
PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=99 --leak-check=no --num-callers=40 \
    --log-file=build/memcheck.log "$rpy" scripts/memcheck_workload.py ||
    { cat build/memcheck.log; echo "memcheck reported errors (build/memcheck.log)" >&2; exit 1; }
grep "ERROR SUMMARY" build/memcheck.log

echo "== fuzzing the core"
PYTHON="$py" tests/fuzz/run.sh "${VELMORA_FUZZ_SECONDS:-45}"

echo "== clang-tidy"
if ! command -v clang-tidy >/dev/null 2>&1 || ! command -v clang++ >/dev/null 2>&1; then
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang clang-tidy; } >&2
fi
cmake -S . -B build/tidy -G Ninja -DPython_EXECUTABLE="$py" -DVELMORA_NATIVE_TESTS=ON -DVELMORA_FUZZ=ON \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
# Every finding is an error (.clang-tidy sets WarningsAsErrors).
printf '%s\n' src/*/*.cpp src/*/*/*.cpp src/module.cpp tests/native/*.cpp tests/native/*/*.cpp tests/fuzz/*.cpp |
    xargs -P 2 -n 4 clang-tidy -p build/tidy --quiet 2>/dev/null ||
    { echo "clang-tidy reported findings" >&2; exit 1; }
