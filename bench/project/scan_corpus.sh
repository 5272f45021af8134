#!/usr/bin/env bash
# Scanner figures on a generated corpus of 200 Live Sets (2–10 MB of XML
# each) and on the shared real sets, each against `gzip -dc FILE > /dev/null`
# over the same files in the same run:
#   - scan throughput in MB/s of inflated XML, all cores (goal ≥ 200 MB/s);
#   - our throughput as a ratio of gzip -dc, one file after the other;
#   - peak resident memory of the scanning process (goal ≤ 40 MB).
# The rescan of 1,000 unchanged sets is BM_RescanUnchanged in als_scan_bench.
#
#   bench/project/scan_corpus.sh BUILD_FOLDER
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$(cd "${1:-$root/build/bench}" && pwd)"
tool="$build/bench/project/als_corpus_tool"
corpus="$build/bench-data/corpus-200"
real="${VANTOREL_REAL_SETS:-$root/../shared/data/als-real}"

if [[ ! -x "$tool" ]]; then
    echo "scan_corpus: $tool is not built (cmake -DVANTOREL_BENCH=ON, target als_corpus_tool)" >&2
    exit 1
fi

"$tool" generate "$corpus" 200 2 10 >/dev/null

# Seconds taken by gzip -dc over every .als below a folder, one after the other.
gzip_seconds() {
    local start end
    start=$(date +%s%N)
    find "$1" -name '*.als' -type f -print0 | sort -z | xargs -0 -n1 sh -c 'gzip -dc "$0" > /dev/null 2>&1 || true'
    end=$(date +%s%N)
    echo "$(( (end - start) / 1000000 ))e-3"
}

compare() {
    local label="$1" folder="$2"
    find "$folder" -name '*.als' -type f -print0 | xargs -0 cat > /dev/null  # warm the page cache
    local ours gz
    ours=$("$tool" scan "$folder")
    gz=$(gzip_seconds "$folder")
    python3 - "$label" "$ours" "$gz" <<'PY'
import json, sys
label, ours, gz = sys.argv[1], json.loads(sys.argv[2]), float(sys.argv[3])
gzip_rate = ours["inflatedMB"] / gz
print(f"{label}: {ours['files']} files, {ours['inflatedMB']:.0f} MB of XML, "
      f"{ours['projects']} indexed, {ours['warnings']} warnings")
print(f"  scan (all cores)      {ours['seconds']:7.2f} s  {ours['mbPerSecond']:7.1f} MB/s   peak RSS {ours['peakRssMB']:.1f} MB")
print(f"  gzip -dc (one by one) {gz:7.2f} s  {gzip_rate:7.1f} MB/s")
print(f"  ratio scan / gzip -dc {ours['mbPerSecond'] / gzip_rate:7.2f}")
PY
}

compare "generated corpus" "$corpus"
if [[ -d "$real" ]]; then
    compare "real sets" "$real"
else
    echo "real sets: $real absent, skipped"
fi
