#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Start-up and idle cost of Kestrune next to a bare Qt window that moves one
# label a pixel every 20 ms, both on the same private Xvfb, one after the
# other, ROUNDS times each; prints the medians and the ratios.
#
#   bench/app/startup_idle.sh [BUILD_DIR]     (ROUNDS=3 IDLE_SECONDS=10)
#
# The program is built as scripts/run builds it (RelWithDebInfo), with every
# fixed address on a closed loopback port, so the background checks fail at
# once and nothing leaves the machine. No session bus, so libdbus starts no
# bus daemon for the private display. Needs `add_subdirectory(app)` in
# bench/CMakeLists.txt.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build-bench-app}"
rounds="${ROUNDS:-3}"
idle="${IDLE_SECONDS:-10}"
dead="http://127.0.0.1:9"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKESTRUNE_BUILD_TESTS=OFF -DKESTRUNE_BUILD_BENCHMARKS=ON \
  -DKESTRUNE_CATALOGUE_BASE_URL="$dead" -DKESTRUNE_CONFIG_PAGE_URL="$dead/config" \
  -DKESTRUNE_NETDISK_LINK_PREFIX="$dead/d" -DKESTRUNE_PROMO_PAGE_URL="$dead/promo" >/dev/null
if ! log="$(cmake --build "$build" --target kestrune kestrune_bench_bare_window kestrune_bench_window_probe 2>&1)"; then
  echo "$log" >&2
  exit 1
fi
program="$build/src/app/startup/kestrune"
bare="$build/bench/app/kestrune_bench_bare_window"
probe="$build/bench/app/kestrune_bench_window_probe"

# A private X server whose own CPU time can be read too.
fifo="$(mktemp -u)"
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
xvfb=$!
read -r number <"$fifo"
rm -f "$fifo"
trap 'kill "$xvfb" 2>/dev/null || true' EXIT
export DISPLAY=":$number" QT_QPA_PLATFORM=xcb DBUS_SESSION_BUS_ADDRESS=disabled:
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d)}"
chmod 700 "$XDG_RUNTIME_DIR"

results="$(mktemp)"
for round in $(seq "$rounds"); do
  for name in kestrune bare; do
    binary="$program"
    [ "$name" = bare ] && binary="$bare"
    echo "round $round: $name" >&2
    echo "$name $("$probe" "$idle" "$xvfb" "$binary")" >>"$results"
  done
done

python3 - "$results" "$idle" "$rounds" <<'PY'
import statistics, sys
rows = {}
for line in open(sys.argv[1]):
    name, *pairs = line.split()
    for key, value in (p.split("=") for p in pairs):
        rows.setdefault(name, {}).setdefault(key, []).append(float(value))
keys = [("first_frame_ms", "time to first drawn frame (ms)"),
        ("cpu_percent", f"CPU over {sys.argv[2]} s idle, program (% of a core)"),
        ("x_cpu_percent", "CPU over the same period, X server (% of a core)"),
        ("peak_rss_kb", "peak resident memory (KiB)")]
print(f"medians of {sys.argv[3]} runs each, with the range seen")
print(f"{'measure':<52}{'Kestrune':>28}{'bare Qt':>28}{'ratio':>8}")
def cell(values):
    return f"{statistics.median(values):.1f} ({min(values):.1f}-{max(values):.1f})"
for key, label in keys:
    k, b = rows["kestrune"][key], rows["bare"][key]
    mb = statistics.median(b)
    ratio = f"{statistics.median(k) / mb:.2f}" if mb else "-"
    print(f"{label:<52}{cell(k):>28}{cell(b):>28}{ratio:>8}")
PY
rm -f "$results"
