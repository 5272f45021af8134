#!/usr/bin/env bash
# The desktop app's start-up time, idle memory and idle CPU, in browser mode
# and, under a virtual display, as the panel. Usage: app.sh BUILD_DIR
# (IDLE_SECONDS=60 by default; VANTOREL_BENCH_RUNS=10 start-ups per mode).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="$(cd "${1:?build folder}" && pwd)"
source "$here/../../tests/shell/desktop_session.sh"

if [[ "${2:-}" != "--inside" ]]; then
    if ! desktop_session_tools_present; then
        echo "app.sh: no virtual display tools, browser mode only"
        exec /usr/bin/python3 "$here/app_bench.py" "$build" browser
    fi
    exec xvfb-run -a -s "-screen 0 1440x900x24" dbus-run-session -- "$0" "$build" --inside
fi
trap desktop_session_stop EXIT
desktop_session_start "$build"
/usr/bin/python3 "$here/app_bench.py" "$build" browser panel
