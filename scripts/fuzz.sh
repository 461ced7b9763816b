#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (address and undefined-behaviour
# sanitizers) and runs each for a bounded time, starting from the seed
# corpus kept in fuzz/corpus. New inputs go to a scratch corpus under the
# build folder, never into the tree; a crash leaves its input in
# build-fuzz/artifacts and fails the script.
#
#   scripts/fuzz.sh [seconds per target, default 60] [target ...]
#
# FUZZ_JOBS sets the build's parallelism (default: nproc); FUZZ_FLAGS adds
# libFuzzer options.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(engine connections datagram jet spool allowlist webquery)

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTALLY_FUZZ=ON \
  -DTALLY_BUILD_TESTS=OFF -DTALLY_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build build-fuzz -j"${FUZZ_JOBS:-$(nproc)}" \
  --target "${targets[@]/#/fuzz_}"

# A small quarantine and short allocation stacks keep the sanitizer's cost
# per input down. libFuzzer's leak check per input is off: the database
# layer keeps handles and compiled statements for reuse, which it would take
# for a leak on every new path (and then run the input twice).
export ASAN_OPTIONS=abort_on_error=1:quarantine_size_mb=16:malloc_context_size=8
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p build-fuzz/artifacts
status=0
for t in "${targets[@]}"; do
  scratch=build-fuzz/corpus-$t
  mkdir -p "$scratch"
  echo "== fuzz_$t for ${seconds}s"
  if ! build-fuzz/bin/fuzz_"$t" -max_total_time="$seconds" -print_final_stats=1 \
      -dict=fuzz/"$t".dict -artifact_prefix=build-fuzz/artifacts/"$t"- \
      -max_len=4096 -detect_leaks=0 ${FUZZ_FLAGS:-} "$scratch" fuzz/corpus/"$t"; then
    echo "fuzz_$t FAILED: see build-fuzz/artifacts" >&2
    status=1
  fi
done
exit $status
