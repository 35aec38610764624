#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Reproduces every figure in docs/benchmarks.md: builds the benchmarks in
# Release, runs the text routines against iconv, the page fetcher against the
# curl command line, the list page reader against the fetch alone, each
# REPETITIONS times, then start-up and idle cost against a bare Qt window
# (bench/app/startup_idle.sh, on a private Xvfb), and prints the medians side
# by side.
#
#   bench/run_all.sh [BUILD_DIR]
#
# REPETITIONS=5 (Google Benchmark repetitions), JOBS=2 (build jobs),
# ROUNDS=3 IDLE_SECONDS=10 (start-up part), SKIP_APP=1 leaves the start-up
# part out. The start-up part builds the program a second time, as
# scripts/run builds it, in BUILD_DIR-app. Raw results stay in
# BUILD_DIR/bench-results.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-bench}"
reps="${REPETITIONS:-5}"
export CMAKE_BUILD_PARALLEL_LEVEL="${JOBS:-2}"
results="$build/bench-results"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_BUILD_TESTS=ON \
  -DKESTRUNE_BUILD_BENCHMARKS=ON >/dev/null
if ! log="$(cmake --build "$build" --target kestrune_bench_text kestrune_bench_fetch kestrune_bench_catalogue 2>&1)"; then
  echo "$log" >&2
  exit 1
fi
mkdir -p "$results"

machine() {
  echo "cores: $(nproc); $(lscpu | sed -n 's/^Model name: *//p' | head -1)"
  echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
}
machine | tee "$results/machine.txt"

for name in text fetch catalogue; do
  echo "running kestrune_bench_$name ($reps repetitions)" >&2
  "$build/bench/kestrune_bench_$name" --benchmark_repetitions="$reps" --benchmark_report_aggregates_only=true \
    --benchmark_out="$results/$name.json" --benchmark_out_format=json >"$results/$name.txt" 2>&1
done
echo "load average after the benchmarks: $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$results/machine.txt"

python3 - "$results" <<'PY'
import json, sys
results = sys.argv[1]

def medians(name):
    rows = {}
    for b in json.load(open(f"{results}/{name}.json"))["benchmarks"]:
        if b.get("aggregate_name") == "median":
            rows[b["run_name"]] = b
    return rows

def ms(b, key="real_time"):
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
    return b[key] * scale

text, fetch, cat = medians("text"), medians("fetch"), medians("catalogue")

print("\n== Text routines, 2 MB list page (median CPU time)")
for run, label in [("BM_Find/2097152", "Find, case respected"), ("BM_FindIgnoreCase/2097152", "Find, case ignored"),
                   ("BM_TextBetween/2097152", "TextBetween"), ("BM_RemoveTexts/2097152", "RemoveTexts, five texts"),
                   ("BM_AnsiToUtf8/2097152", "AnsiToUtf8")]:
    b = text[run]
    print(f"  {label:<34}{ms(b, 'cpu_time'):8.3f} ms  {b['bytes_per_second'] / 1e9:6.2f} GB/s")
print("  UTF-8 -> code page 936        Kestrune      iconv   Kestrune/iconv")
for ours, theirs, label in [("BM_Utf8ToAnsi/2097152", "BM_IconvUtf8ToCp936/2097152", "2 MB list page"),
                            ("BM_Utf8ToAnsiChineseText", "BM_IconvUtf8ToCp936ChineseText", "1 MB Chinese text")]:
    a, b = ms(text[ours], "cpu_time"), ms(text[theirs], "cpu_time")
    print(f"  {label:<26}{a:8.3f} ms {b:8.3f} ms {a / b:10.2f}")

print("\n== Page fetcher, 5 MB loopback page (median real time)")
a, b = ms(fetch["BM_FetchPage/real_time"]), ms(fetch["BM_CurlCommandLine/real_time"])
print(f"  FetchPage {a:.2f} ms, curl command line {b:.2f} ms, ratio {a / b:.2f}")

print("\n== List page reader, 2 MB page (medians)")
print("  form               fetch alone   whole read   read adds   (same run, in turn)")
for form in range(3):
    b = cat[f"BM_ReadOverFetch/{form}/manual_time"]
    print(f"  {b['label']:<18}{b['fetch_ms']:9.2f} ms {b['read_ms']:9.2f} ms {b['extra_pct']:9.1f} %")
print("  separately:        " + ", ".join(
    f"{cat[f'BM_Fetch/{f}/real_time']['label']} fetch {ms(cat[f'BM_Fetch/{f}/real_time']):.2f} / read "
    f"{ms(cat[f'BM_Read/{f}/real_time']):.2f} ms" for f in range(3)))
print(f"  cutter alone (five entries and the sixth cut): {ms(cat['BM_CutterAlone'], 'cpu_time'):.3f} ms CPU")
print(f"  one removal, copying form: {ms(cat['BM_RemoveOneEntry'], 'cpu_time'):.3f} ms CPU")
f, m = ms(cat["BM_SearchPageForEntry/0"], "cpu_time"), ms(cat["BM_SearchPageForEntry/1"], "cpu_time")
print(f"  search of the page for an entry: Find {f * 1e3:.0f} us, glibc memmem {m * 1e3:.0f} us")
print(f"  reader's UTF-8 conversion of the page: {ms(cat['BM_ConvertUtf8Page'], 'cpu_time'):.3f} ms CPU")
PY

if [ "${SKIP_APP:-0}" != 1 ]; then
  echo
  echo "== Start-up and idle cost against a bare Qt window"
  "$root/bench/app/startup_idle.sh" "$build-app" | tee "$results/startup_idle.txt"
  echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
fi
