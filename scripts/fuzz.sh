#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (in build-fuzz) and
# runs each for the given number of seconds (default 20), or only the targets
# named after it: request base64 certificate json_writer assuan.
#   scripts/fuzz.sh            # the short run that scripts/test.sh makes
#   scripts/fuzz.sh 3600 request
# Each target starts from its seed corpus in tests/fuzz/corpus/<target> and
# keeps what it learns in build-fuzz/corpus/<target>; an input that breaks an
# expectation or crashes is saved in build-fuzz/findings/ and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(request base64 certificate json_writer assuan)
fi

if ! command -v clang++ >/dev/null 2>&1; then
    echo "clang++ is not installed: fuzzing skipped"
    exit 0
fi

cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DTARVO_FUZZ=ON -DTARVO_TESTS=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target tarvo_fuzz

mkdir -p build-fuzz/findings build-fuzz/logs
for target in "${targets[@]}"; do
    corpus=build-fuzz/corpus/$target
    log=build-fuzz/logs/$target.log
    mkdir -p "$corpus"
    options=(-max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="build-fuzz/findings/$target-")
    if [ -f "tests/fuzz/$target.dict" ]; then
        options+=(-dict="tests/fuzz/$target.dict")
    fi
    if ! "build-fuzz/tests/fuzz/fuzz_$target" "${options[@]}" "$corpus" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
        tail -n 40 "$log"
        echo "fuzz_$target: finding saved in build-fuzz/findings/ (log: $log)"
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    coverage=$(grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE)' "$log" | tail -n 1 | grep -oE 'cov: [0-9]+ ft: [0-9]+' || true)
    echo "fuzz_$target: $runs runs in ${seconds}s, ${coverage:-no coverage reported}, no finding"
done
