#!/usr/bin/env bash
# vantorel-mcp figures: start to initialize response, tools/list, a
# get_context round trip on the simulated Live Set (medians) and peak memory.
# Usage: mcp_bench.sh BUILD_DIR
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$(cd "${1:-$root/build/bench}" && pwd)"
binary="$build/src/cli/vantorel-mcp"
if [[ ! -x "$binary" ]]; then
    echo "mcp_bench: $binary is not built; skipped"
    exit 0
fi
exec /usr/bin/python3 "$root/bench/mcp/mcp_bench.py" "$binary" "$root/resources"
