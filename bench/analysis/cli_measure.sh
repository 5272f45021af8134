#!/usr/bin/env bash
# vantorel-cli measure on a 10-minute stereo 44.1 kHz 16-bit file, against
# `sox FILE -n stat` on the same file in the same run:
#   - peak resident memory of the measuring process (goal ≤ 60 MB: only the
#     90 s excerpt is read, whatever the file's length);
#   - median wall time of 5 runs of each, and their ratio.
#
#   bench/analysis/cli_measure.sh BUILD_FOLDER
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$(cd "${1:-$root/build/bench}" && pwd)"
tool="$build/bench/analysis/analysis_signal_tool"
cli="$build/src/cli/vantorel-cli"
file="$build/bench-data/analysis/loop-10min.wav"

for program in "$tool" "$cli"; do
    if [[ ! -x "$program" ]]; then
        echo "cli_measure: $program is not built (cmake -DVANTOREL_BENCH=ON)" >&2
        exit 1
    fi
done
[[ -f "$file" ]] || "$tool" "$file" 600
cat "$file" > /dev/null  # warm the page cache for both programs

# Peak RSS in kB of one run (GNU time's %M).
peak_kb=$(/usr/bin/time -f '%M' "$cli" measure "$file" 2>&1 >/dev/null | tail -n1)

# Median wall seconds of 5 runs of a command.
median_seconds() {
    local runs=()
    for _ in 1 2 3 4 5; do
        local start end
        start=$(date +%s%N)
        "$@" >/dev/null 2>&1
        end=$(date +%s%N)
        runs+=($(( end - start )))
    done
    printf '%s\n' "${runs[@]}" | sort -n | sed -n 3p | awk '{ printf "%.3f", $1 / 1e9 }'
}

ours=$(median_seconds "$cli" measure "$file")
echo "vantorel-cli measure, 10-minute file ($(du -m "$file" | cut -f1) MB):"
echo "  peak RSS            $(awk -v kb="$peak_kb" 'BEGIN { printf "%.1f", kb / 1024 }') MB"
echo "  median wall time    ${ours} s"
if command -v sox > /dev/null; then
    theirs=$(median_seconds sox "$file" -n stat)
    echo "  sox FILE -n stat    ${theirs} s"
    echo "  ratio measure / sox $(awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "%.2f", a / b }')"
else
    echo "  sox is not installed (scripts/deps/analysis.txt): no comparison"
fi
