#!/usr/bin/env bash
# Plants single faults in the code, one at a time, and tells which ones the
# tests catch.
#
#   scripts/plant-faults.sh [list file] [name pattern]
#
# The list (default scripts/faults.list) has one fault per line, fields
# separated by TABs:
#   name  file  original text  replacement  [test programs to run first]
# Blank lines and lines starting with "#" are skipped. The original text
# must occur exactly once in the file; it is replaced as plain text (no
# patterns). In both texts "<TAB>" stands for a TAB and "<NL>" for a line
# end.
#
# For each fault: plant it; rebuild incrementally in $BUILD_DIR (default:
# build, configured beforehand) the test programs named in the fifth field
# (space-separated target names) and run them, stopping at the first failing
# test; when none fails (or the field is empty), rebuild every test program
# and run the whole suite through ctest, again stopping at the first
# failure; restore the file. A fault that only the whole suite caught is
# checked once more: the failing test runs again on the restored code, and
# when it fails there too it caught nothing (reported UNSTEADY, counted as a
# survivor). The file is restored on every exit, also on interruption. A fault that does not build is reported and left out of the
# rate.
set -euo pipefail
cd "$(dirname "$0")/.."

list=${1:-scripts/faults.list}
only=${2:-}
build=${BUILD_DIR:-build}
jobs=${JOBS:-2}
# Every test program (each depends on the programs it runs), so that no test
# runs a program left over from an earlier build.
targets=(engine_tests listener_tests listener_widget_tests platform_tests datapath_tests web_tests tools_tests)
export QT_QPA_PLATFORM=offscreen

[ -f "$build/CMakeCache.txt" ] || { echo "configure $build first (see README)" >&2; exit 2; }
work=$(mktemp -d)
planted_file=""
restore() {
  if [ -n "$planted_file" ]; then
    cp "$work/original" "$planted_file"
    touch "$planted_file"   # newer than its objects: the next build recompiles it
    planted_file=""
  fi
}
trap 'restore; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

build_tests() { cmake --build "$build" -j"$jobs" --target "${targets[@]}" >"$work/build.log" 2>&1; }
run_tests() { ctest --test-dir "$build" -j"$jobs" --timeout 120 --stop-on-failure "$@" >"$work/ctest.log" 2>&1; }
# Runs test programs directly (one process each, quicker than a process per
# test); prints the first failing test, if any.
run_programs() {
  local p out
  for p in "$@"; do
    out=$(cd "$build" && timeout 600 "bin/$p" --gtest_fail_fast --gtest_brief=1 2>&1) && continue
    t=$(printf '%s\n' "$out" | sed -n 's/^\[  FAILED  \] \([^ ,]*\).*/\1/p' | head -1)
    echo "${t:-$p}"
    return
  done
}
# The first test of ctest's list of failed tests ("?" when a run failed
# without one, e.g. a test program that could not start).
first_failure() {
  local t
  t=$(sed -n '/tests FAILED:/,$s/^[[:space:]]*[0-9]* - \([^ ]*\) .*/\1/p' "$work/ctest.log" | head -1)
  echo "${t:-?}"
}

echo "Building the unchanged code..."
build_tests || { cat "$work/build.log"; echo "the unchanged code does not build" >&2; exit 2; }

caught=0 survived=0 unbuilt=0 bad=0
survivors=()
start=$(date +%s)
report="$build/faults-report.txt"
: >"$report"
while IFS= read -r line || [ -n "$line" ]; do
  [ -z "$line" ] || [ "${line:0:1}" = "#" ] && continue
  # Split at TABs keeping empty fields (read would merge adjacent TABs).
  fields=()
  readarray -t -d $'\t' fields < <(printf '%s' "$line")
  name=${fields[0]} file=${fields[1]:-} original=${fields[2]:-} replacement=${fields[3]:-}
  first=${fields[4]:-}
  [ -n "$only" ] && ! [[ "$name" =~ $only ]] && continue
  original=${original//<TAB>/$'\t'}; original=${original//<NL>/$'\n'}
  replacement=${replacement//<TAB>/$'\t'}; replacement=${replacement//<NL>/$'\n'}
  if [ ! -f "$file" ]; then
    echo "BAD ENTRY  $name: no file $file" | tee -a "$report"; bad=$((bad + 1)); continue
  fi
  count=$(ORIG="$original" perl -0777 -ne 'my $n = () = /\Q$ENV{ORIG}\E/g; print $n' "$file")
  if [ "$count" != 1 ]; then
    echo "BAD ENTRY  $name: the original text occurs $count times in $file" | tee -a "$report"
    bad=$((bad + 1)); continue
  fi
  cp "$file" "$work/original"
  planted_file=$file
  ORIG="$original" REPL="$replacement" perl -0777 -i -pe \
    'my $i = index($_, $ENV{ORIG}); substr($_, $i, length $ENV{ORIG}) = $ENV{REPL};' "$file"
  t0=$(date +%s)
  by="" via_suite=0
  if [ -n "${first:-}" ]; then
    # shellcheck disable=SC2086
    if ! cmake --build "$build" -j"$jobs" --target $first >"$work/build.log" 2>&1; then
      echo "NOT BUILT  $name" | tee -a "$report"; unbuilt=$((unbuilt + 1))
      restore; continue
    fi
    # shellcheck disable=SC2086
    by=$(run_programs $first)
  fi
  if [ -z "$by" ]; then
    if ! build_tests; then
      echo "NOT BUILT  $name" | tee -a "$report"; unbuilt=$((unbuilt + 1))
      restore; continue
    fi
    run_tests || { by=$(first_failure); via_suite=1; }
  fi
  restore
  # A test of the whole suite that failed also fails without the fault
  # (unsteady, or failing anyway): it caught nothing.
  if [ "$via_suite" = 1 ] && [ "$by" != "?" ]; then
    if build_tests && ! ctest --test-dir "$build" --timeout 300 -R "^${by}\$" >"$work/again.log" 2>&1; then
      echo "UNSTEADY   $name: $by fails without the fault too" | tee -a "$report"
      by=""
    fi
  fi
  if [ -n "$by" ]; then
    caught=$((caught + 1))
    echo "caught     $name  by $by  ($(( $(date +%s) - t0 ))s)" | tee -a "$report"
  else
    survived=$((survived + 1)); survivors+=("$name")
    echo "SURVIVED   $name  ($(( $(date +%s) - t0 ))s)" | tee -a "$report"
  fi
done <"$list"

echo "Rebuilding the unchanged code..."
build_tests || true
planted=$((caught + survived))
rate=0
[ "$planted" -gt 0 ] && rate=$((100 * caught / planted))
{
  echo "planted $planted, caught $caught, survived $survived ($rate% caught);" \
       "$unbuilt did not build, $bad bad entries; $(( ($(date +%s) - start) / 60 )) minutes"
  [ ${#survivors[@]} -eq 0 ] || echo "survivors: ${survivors[*]}"
} | tee -a "$report"
