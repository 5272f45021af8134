# Shared by the panel's smoke test and scripts/panel-screenshots: a private
# home with the bridge installed, the simulated Live Set on a free port, and
# helpers around the panel's window. Source it; call desktop_session_start
# BUILD_DIR once inside the virtual display and session bus.

session_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
session_pids=()

desktop_session_tools_present() {
    command -v xvfb-run > /dev/null && command -v openbox > /dev/null && command -v dbus-run-session > /dev/null &&
        command -v xdotool > /dev/null && command -v xprop > /dev/null && command -v xclip > /dev/null
}

desktop_session_stop() {
    local pid
    for pid in "${session_pids[@]}"; do
        kill -TERM "$pid" 2> /dev/null && wait "$pid" 2> /dev/null
    done
    session_pids=()
    [[ -n "${session_home:-}" ]] && rm -rf "$session_home"
}

desktop_session_start() {
    local build="$1"
    session_cli="$build/src/cli/vantorel-cli"
    session_app="$build/src/cli/vantorel"
    session_helper="$build/tests/shell/x11_helper"
    session_home="$(mktemp -d "${TMPDIR:-/tmp}/vantorel-desktop-XXXXXX")"
    export HOME="$session_home" XDG_DATA_HOME="$session_home/.local/share" XDG_CONFIG_HOME="$session_home/.config" \
           XDG_CACHE_HOME="$session_home/.cache" XDG_RUNTIME_DIR="$session_home/run" TMPDIR="$session_home/tmp"
    mkdir -p "$TMPDIR" "$XDG_RUNTIME_DIR"
    chmod 700 "$XDG_RUNTIME_DIR"

    openbox > "$session_home/openbox.log" 2>&1 &
    session_pids+=($!)
    for _ in $(seq 50); do xprop -root _NET_SUPPORTING_WM_CHECK 2> /dev/null | grep -q window && break; sleep 0.1; done

    "$session_cli" install-bridge > /dev/null
    local port
    port="$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
    /usr/bin/python3 - "$XDG_DATA_HOME/Vantorel/bridge.json" "$port" <<'PY'
import json, sys
config = json.load(open(sys.argv[1]))
config["bridgeUrl"] = "http://127.0.0.1:" + sys.argv[2]
json.dump(config, open(sys.argv[1], "w"), sort_keys=True)
PY
    (cd "$HOME/Music/Ableton/User Library/Remote Scripts" &&
        exec /usr/bin/python3 -m VantorelBridge --set "$session_root/resources/VantorelBridge/sets/club-loop.json" \
            --port "$port") > "$session_home/bridge.log" 2>&1 &
    session_pids+=($!)
    for _ in $(seq 100); do grep -q listening "$session_home/bridge.log" && break; sleep 0.1; done
}

# Starts the app with --report-ready; its output goes to $session_home/app.out
# and app.err. Sets session_app_pid.
desktop_session_launch() {
    "$session_app" --report-ready > "$session_home/app.out" 2> "$session_home/app.err" &
    session_app_pid=$!
    session_pids+=($session_app_pid)
}

# Waits until the app has printed N "ready" lines (default 1).
desktop_session_wait_ready() {
    local count="${1:-1}" timeout="${2:-90}"
    for _ in $(seq $((timeout * 10))); do
        (($(grep -c '^ready ' "$session_home/app.out" 2> /dev/null || true) >= count)) && return 0
        sleep 0.1
    done
    return 1
}

# The panel's window id, visible or not: GTK's own hidden windows carry the
# same name, only the panel is a utility window.
desktop_session_panel() {
    local w
    for w in $(xdotool search --name '^Vantorel$' 2> /dev/null); do
        xprop -id "$w" _NET_WM_WINDOW_TYPE 2> /dev/null | grep -q UTILITY && { echo "$w"; return; }
    done
}

# "X Y WIDTH HEIGHT" of a window, frame excluded.
desktop_session_geometry() {
    xdotool getwindowgeometry --shell "$1" | awk -F= '/^X=/{x=$2} /^Y=/{y=$2} /^WIDTH=/{w=$2} /^HEIGHT=/{h=$2} END{print x, y, w, h}'
}

desktop_session_mapped() { xwininfo -id "$1" 2> /dev/null | grep -q 'Map State: IsViewable'; }
