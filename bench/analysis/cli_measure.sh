#!/usr/bin/env bash
# vantorel-cli measure as a whole process, against `sox FILE -n stat` on the
# same file in the same run (stereo 44.1 kHz 16-bit loops):
#   - median wall time of 7 runs of each on a 90 s file (the whole excerpt
#     a measurement reads: levels, stereo, spectrum, key, loudness and true
#     peak), and their ratio (goal ≤ 1.2); then, as an aside, the median CPU
#     time (user + system, all threads) of each, which is what the wall
#     time comes down to when other work keeps the second core busy;
#   - peak resident memory on a 10-minute file (goal ≤ 25 MB: only the 90 s
#     excerpt is read, whatever the file's length) and on 64 s, a 32-bar
#     master capture at 120 BPM (goal ≤ 15 MB).
#
#   bench/analysis/cli_measure.sh BUILD_FOLDER
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$(cd "${1:-$root/build/bench}" && pwd)"
tool="$build/bench/analysis/analysis_signal_tool"
cli="$build/src/cli/vantorel-cli"
data="$build/bench-data/analysis"

for program in "$tool" "$cli"; do
    if [[ ! -x "$program" ]]; then
        echo "cli_measure: $program is not built (cmake -DVANTOREL_BENCH=ON)" >&2
        exit 1
    fi
done
mkdir -p "$data"
for seconds in 600 90 64; do
    [[ -f "$data/loop-${seconds}s.wav" ]] || "$tool" "$data/loop-${seconds}s.wav" "$seconds"
    cat "$data/loop-${seconds}s.wav" > /dev/null  # warm the page cache for both programs
done

# Peak RSS in MB of one run (GNU time's %M).
peak_mb() {
    /usr/bin/time -f '%M' "$@" 2>&1 >/dev/null | tail -n1 | awk '{ printf "%.1f", $1 / 1024 }'
}

# Median wall seconds of 7 runs of a command.
median_seconds() {
    local runs=()
    for _ in 1 2 3 4 5 6 7; do
        local start end
        start=$(date +%s%N)
        "$@" >/dev/null 2>&1
        end=$(date +%s%N)
        runs+=($(( end - start )))
    done
    printf '%s\n' "${runs[@]}" | sort -n | sed -n 4p | awk '{ printf "%.3f", $1 / 1e9 }'
}

# Median CPU milliseconds (user + system, all threads) of 7 runs.
median_cpu_ms() {
    /usr/bin/python3 - "$@" <<'PY'
import os, subprocess, sys
runs = []
for _ in range(7):
    child = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, _, usage = os.wait4(child.pid, 0)
    runs.append((usage.ru_utime + usage.ru_stime) * 1000)
print(f"{sorted(runs)[3]:.1f}")
PY
}

echo "vantorel-cli measure:"
echo "  peak RSS, 10-minute file      $(peak_mb "$cli" measure "$data/loop-600s.wav") MB"
echo "  peak RSS, 64 s (32 bars)      $(peak_mb "$cli" measure "$data/loop-64s.wav") MB"
if command -v sox > /dev/null; then
    # Interleaved, so that a load on the machine weighs on both alike.
    ours=$(median_seconds "$cli" measure "$data/loop-90s.wav")
    theirs=$(median_seconds sox "$data/loop-90s.wav" -n stat)
    ours2=$(median_seconds "$cli" measure "$data/loop-90s.wav")
    theirs2=$(median_seconds sox "$data/loop-90s.wav" -n stat)
    echo "  90 s file: measure ${ours} s, ${ours2} s; sox FILE -n stat ${theirs} s, ${theirs2} s"
    echo "  ratio measure / sox           $(awk -v a="$ours" -v b="$theirs" -v c="$ours2" -v d="$theirs2" 'BEGIN { printf "%.2f, %.2f", a / b, c / d }')"
    echo "  CPU time: measure $(median_cpu_ms "$cli" measure "$data/loop-90s.wav") ms; sox FILE -n stat $(median_cpu_ms sox "$data/loop-90s.wav" -n stat) ms"
else
    echo "  sox is not installed (scripts/deps/analysis.txt): no comparison"
    echo "  median wall time, 90 s file   $(median_seconds "$cli" measure "$data/loop-90s.wav") s"
fi
