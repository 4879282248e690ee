#!/usr/bin/env bash
# Builds the libFuzzer harnesses over the C++ core (CMake with
# -DVELMORA_FUZZ=ON: clang, AddressSanitizer and UndefinedBehaviorSanitizer)
# and runs each for a bounded time.
#   tests/fuzz/run.sh [seconds per harness, default 60] [harness names...]
# Corpora are kept in build/fuzz/corpus-<name> between runs; a crash or a
# model mismatch leaves its input in build/fuzz and fails the run.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-60}
shift || true
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=(probes distance curvature cfg)

if ! command -v clang++ >/dev/null 2>&1; then
    echo "== installing clang for the fuzzers" >&2
    apt-get update -qq >&2 && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >&2
fi

out=build/fuzz
py=${PYTHON:-$(scripts/find-python.sh)}
cmake -S . -B "$out" -G Ninja -DPython_EXECUTABLE="$py" -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_FUZZ=ON >/dev/null
cmake --build "$out" -j 2 --target "${harnesses[@]/%/_fuzz}"

# Inputs longer than this only slow the models down without reaching new code.
max_len_for() {
    case "$1" in
        probes) echo 4096 ;;
        distance) echo 1200 ;;
        curvature) echo 3000 ;;
        cfg) echo 800 ;;
        *) echo "unknown harness: $1" >&2; return 1 ;;
    esac
}

for name in "${harnesses[@]}"; do
    echo "== fuzzing $name for ${seconds}s"
    corpus="$out/corpus-$name"
    mkdir -p "$corpus"
    [ -n "$(ls -A "$corpus")" ] || printf 'a\r\nb' >"$corpus/seed"
    ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "$out/${name}_fuzz" -max_total_time="$seconds" -max_len="$(max_len_for "$name")" \
        -rss_limit_mb=2048 -timeout=20 -print_final_stats=1 -artifact_prefix="$out/$name-" "$corpus" 2>"$out/$name.log" ||
        { tail -40 "$out/$name.log"; echo "fuzzing $name found a failure (input saved under $out/$name-*)" >&2; exit 1; }
    grep -E "^(Done|stat::number_of_executed_units|stat::peak_rss_mb)" "$out/$name.log" || true
done
