#!/usr/bin/env bash
# Builds everything and runs the whole test suite twice: once in a Release
# build, once under AddressSanitizer and UndefinedBehaviorSanitizer, where any
# report fails; then runs every fuzz target for a short while. Both builds
# treat compiler warnings as errors; the Release build keeps optimiser-only
# warnings from coming back.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTARVO_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DTARVO_SANITIZE=ON -DTARVO_WERROR=ON >/dev/null
cmake --build build-sanitize -j "$jobs"
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0:exitcode=99"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan-suppressions.txt:print_suppressions=0"
ctest --test-dir build-sanitize --output-on-failure -j "$jobs"

# 20 seconds per target, under two minutes for all; scripts/fuzz.sh runs them longer.
scripts/fuzz.sh 20
