#!/usr/bin/env bash
# Builds everything and runs the whole test suite twice: once in a Release
# build, once under AddressSanitizer and UndefinedBehaviorSanitizer, where any
# report fails; then runs every fuzz target for a short while. Both builds
# treat compiler warnings as errors; the Release build keeps optimiser-only
# warnings from coming back. Each stage starts with a heading; the last lines
# say what passed, the very last in the form "N passed, N failed". A failing
# test does not stop the later stages; a failing build does.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
started=$SECONDS
summary=()
passed=0 failed=0

stage() {
    stage_started=$SECONDS
    printf '\n\033[1m== %s\033[0m\n' "$*"
}
took() { echo "$(((SECONDS - stage_started + 30) / 60)) min"; }

# run_tests NAME BUILD: ctest over BUILD, its counts added to the totals.
run_tests() {
    local log status=0
    log=$(mktemp)
    ctest --test-dir "$2" --output-on-failure -j "$jobs" 2>&1 | tee "$log" || status=$?
    local counts
    counts=$(sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\)$/\1 \2/p' "$log" | tail -n 1)
    rm -f "$log"
    if [ -z "$counts" ]; then
        summary+=("$1: ctest did not finish (status $status)")
        failed=$((failed + 1))
        return
    fi
    local stage_failed=${counts% *} total=${counts#* }
    passed=$((passed + total - stage_failed))
    failed=$((failed + stage_failed))
    summary+=("$1: $((total - stage_failed)) of $total tests passed ($(took))")
}

stage "Debian packages: installing what is missing"
scripts/install-deps.sh

stage "Release build (warnings are errors)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTARVO_WERROR=ON >/dev/null
cmake --build build -j "$jobs"

stage "Release build: every test"
run_tests "Release" build

stage "Sanitizer build (AddressSanitizer, UndefinedBehaviorSanitizer)"
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DTARVO_SANITIZE=ON -DTARVO_WERROR=ON >/dev/null
cmake --build build-sanitize -j "$jobs"

stage "Sanitizer build: every test; any report fails"
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0:exitcode=99"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan-suppressions.txt:print_suppressions=0"
run_tests "Sanitizers" build-sanitize

# 20 seconds per target, under two minutes for all; scripts/fuzz.sh runs them longer.
stage "Fuzzing: every target for 20 seconds"
if scripts/fuzz.sh 20; then
    passed=$((passed + 1))
    summary+=("Fuzzing: every target ran without a finding ($(took))")
else
    failed=$((failed + 1))
    summary+=("Fuzzing: a finding, saved in build-fuzz/findings/")
fi

stage "Summary ($(((SECONDS - started + 30) / 60)) min in all)"
printf '%s\n' "${summary[@]}"
echo "(every test of each build counts once, and the fuzzing stage once)"
echo "Total: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
