"""Measures the vantorel program from outside, as a producer would feel it.

Run by app.sh with HOME, the XDG folders and the simulated set already set
up (or for browser mode alone, in a private home of its own). Prints one
line per figure.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

build = sys.argv[1]
modes = sys.argv[2:]
app = os.path.join(build, "src/cli/vantorel")
runs = int(os.environ.get("VANTOREL_BENCH_RUNS", "10"))
idle_seconds = float(os.environ.get("IDLE_SECONDS", "60"))
tick = os.sysconf("SC_CLK_TCK")


def descendants(pid):
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                parent = int(f.read().rsplit(")", 1)[1].split()[1])
            children.setdefault(parent, []).append(int(entry))
        except OSError:
            pass
    found, queue = [], [pid]
    while queue:
        current = queue.pop()
        found.append(current)
        queue.extend(children.get(current, []))
    return found


def memory_kib(pid, field):
    path = f"/proc/{pid}/smaps_rollup" if field == "Pss" else f"/proc/{pid}/status"
    key = "Pss:" if field == "Pss" else "VmRSS:"
    try:
        with open(path) as f:
            for line in f:
                if line.startswith(key):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def cpu_ticks(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])
    except OSError:
        return 0


def start(args, env, until):
    began = time.monotonic()
    child = subprocess.Popen([app, *args], env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    while True:
        line = child.stdout.readline()
        if not line:
            raise SystemExit(f"vantorel {' '.join(args)} ended before {until!r}")
        if line.startswith(until):
            return child, time.monotonic() - began


def stop(child):
    child.terminate()
    child.wait(timeout=10)


def summary(name, seconds):
    ms = [s * 1000 for s in seconds]
    print(f"{name}: median {statistics.median(ms):.0f} ms, min {min(ms):.0f}, max {max(ms):.0f} over {len(ms)} runs")


def idle(name, child, memory_field):
    time.sleep(3)
    pids = descendants(child.pid)
    before = sum(cpu_ticks(p) for p in pids)
    time.sleep(idle_seconds)
    pids = descendants(child.pid)
    after = sum(cpu_ticks(p) for p in pids)
    memory = sum(memory_kib(p, memory_field) for p in pids) / 1024
    share = 100 * (after - before) / tick / idle_seconds
    label = "PSS of vantorel and its web processes" if memory_field == "Pss" else "RSS"
    print(f"{name}: idle {label} {memory:.0f} MiB; CPU over {idle_seconds:.0f} s {share:.1f} % of one core")


own_home = None
if "HOME" not in os.environ or "XDG_RUNTIME_DIR" not in os.environ:
    own_home = tempfile.mkdtemp(prefix="vantorel-bench-")
    os.environ.update(HOME=own_home, XDG_RUNTIME_DIR=own_home, TMPDIR=own_home)

if "browser" in modes:
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    times = []
    for _ in range(runs):
        child, seconds = start(["--browser"], env, "http://")
        times.append(seconds)
        stop(child)
    summary("browser mode, start to address printed", times)
    times = []
    for _ in range(runs):
        child, seconds = start([], env, "http://")
        times.append(seconds)
        stop(child)
    summary("no display found, start to address printed", times)
    child, _ = start(["--browser"], env, "http://")
    idle("browser mode", child, "Rss")
    stop(child)

if "panel" in modes:
    times = []
    for _ in range(runs):
        child, seconds = start(["--report-ready"], dict(os.environ), "ready ")
        times.append(seconds)
        stop(child)
    summary("panel, start to the page's ready", times)
    child, _ = start(["--report-ready"], dict(os.environ), "ready ")
    idle("panel", child, "Pss")
    stop(child)
