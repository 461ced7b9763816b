#!/usr/bin/env bash
# Installs what is missing, builds everything twice (plain, and with the
# address and undefined-behaviour sanitizers) and runs every test in both,
# then runs each fuzz target for a minute (scripts/fuzz.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
export CTEST_OUTPUT_ON_FAILURE=1

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --timeout 900

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTALLY_SANITIZE=ON -DTALLY_BUILD_BENCH=OFF
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  LSAN_OPTIONS=suppressions="$PWD/scripts/lsan.supp" \
  ctest --test-dir build-asan -j"$jobs" --timeout 1800

scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
