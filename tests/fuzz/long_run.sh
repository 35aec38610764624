#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The long fuzz run behind docs/fuzzing.md: builds the fuzz targets with clang
# under AddressSanitizer + UndefinedBehaviorSanitizer (-O1, as fuzzers are
# usually built), then runs every target for SECONDS seconds, two at a time,
# from the same seeds as the short runs of scripts/test, and prints each
# target's exec count, corpus size and coverage.
#
#   tests/fuzz/long_run.sh [BUILD_DIR]
#
# SECONDS_PER_TARGET=600 (six targets: an hour of fuzzing in all),
# PARALLEL=2. Logs, the grown corpora and any crashing input stay in
# BUILD_DIR/fuzz-long; the script exits non-zero when a target fails.
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build-fuzz}"
seconds="${SECONDS_PER_TARGET:-600}"
parallel="${PARALLEL:-2}"
out="$build/fuzz-long"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 \
  -DKESTRUNE_SANITIZE=address,undefined -DKESTRUNE_FUZZ=ON -DKESTRUNE_BUILD_BENCHMARKS=OFF >/dev/null || exit 1
targets=(fuzz_text fuzz_regex fuzz_codepage fuzz_cutter fuzz_address fuzz_headers)
cmake --build "$build" --target "${targets[@]}" >/dev/null || exit 1

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp"
rm -rf "$out"
mkdir -p "$out"
pages="$root/tests/fixtures/catalogue"

run_one() {
  local target=$1 extra=()
  case $target in fuzz_text | fuzz_cutter) extra=("$pages") ;; esac
  mkdir -p "$out/corpus/$target" "$out/artifacts/$target"
  "$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$out/artifacts/$target/" "$out/corpus/$target" "$root/tests/fuzz/corpus/$target" \
    "${extra[@]}" >"$out/$target.log" 2>&1
  echo $? >"$out/$target.rc"
}

for ((i = 0; i < ${#targets[@]}; i += parallel)); do
  for target in "${targets[@]:i:parallel}"; do run_one "$target" & done
  wait
done

status=0
printf '%-14s %12s %10s %8s %8s %s\n' target execs exec/s corpus cov result
for target in "${targets[@]}"; do
  log="$out/$target.log"
  stat() { sed -n "s/^stat::$1: *//p" "$log" | tail -1; }
  last=$(grep -E '^#[0-9]+' "$log" | tail -1)
  corpus=$(echo "$last" | sed -n 's/.*corp: \([0-9]*\).*/\1/p')
  cov=$(echo "$last" | sed -n 's/.*cov: \([0-9]*\).*/\1/p')
  rc=$(cat "$out/$target.rc")
  result=ok
  if [ "$rc" != 0 ]; then
    result="FAILED (rc $rc, see $log)"
    status=1
  fi
  printf '%-14s %12s %10s %8s %8s %s\n' "$target" "$(stat number_of_executed_units)" \
    "$(stat average_exec_per_sec)" "$corpus" "$cov" "$result"
done
exit $status
