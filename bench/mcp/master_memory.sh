#!/usr/bin/env bash
# Peak memory of vantorel-mcp measuring a 32-bar master capture on the
# simulated Live Set (goal <= 15 MB whole process), and the capture's
# loudness against libebur128 when analysis_reference_tool is built.
# Usage: master_memory.sh BUILD_DIR
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$(cd "${1:-$root/build/bench}" && pwd)"
binary="$build/src/cli/vantorel-mcp"
reference="$build/bench/analysis/analysis_reference_tool"
if [[ ! -x "$binary" ]]; then
    echo "master_memory: $binary is not built; skipped"
    exit 0
fi
args=("$binary" "$root/resources")
[[ -x "$reference" ]] && args+=("$reference")
exec /usr/bin/python3 "$root/bench/mcp/master_memory.py" "${args[@]}"
