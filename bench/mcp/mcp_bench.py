"""Times vantorel-mcp as an agent sees it, against the simulated Live Set.

Runs in a private home. Figures: process start to the initialize response,
tools/list, vantorel_get_context (which also makes the health check) next to
the bridge's own GET /v1/context, and the server's peak resident memory
after reading, key detection, clip and master measurements.
"""
import http.client
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

from bench_session import McpServer, SimulatedHome

binary, resources = sys.argv[1], sys.argv[2]
simulated = SimulatedHome(resources, "vantorel-mcp-bench-")
env, token = simulated.env, simulated.token


def median_ms(samples):
    return statistics.median(samples) * 1000


class Server(McpServer):
    def __init__(self, program=None):
        super().__init__(program or binary, env)

    def tool(self, name, arguments=None):
        result = self.call("tools/call", {"name": name, "arguments": arguments or {}})["result"]
        return result["structuredContent"], result["isError"]

    def close(self):
        """Ends the server; returns the CPU seconds it used."""
        self.process.stdin.close()
        _, status, usage = os.wait4(self.process.pid, 0)
        self.process.returncode = os.waitstatus_to_exitcode(status)
        errors = self.process.stderr.read()
        if errors:
            raise SystemExit("vantorel-mcp wrote to standard error: %r" % errors[:200])
        return usage.ru_utime + usage.ru_stime


try:
    port = simulated.port

    initialize = {"protocolVersion": "2025-06-18", "capabilities": {}, "clientInfo": {"name": "bench", "version": "1"}}
    starts = []
    start_cpu = []
    for _ in range(60):
        began = time.perf_counter()
        server = Server()
        line = server.send("initialize", initialize)
        starts.append(time.perf_counter() - began)
        assert json.loads(line)["result"]["protocolVersion"] == "2025-06-18"
        start_cpu.append(server.close())
    # What starting any program and exchanging one line costs here.
    echoes = []
    echo_cpu = []
    for _ in range(60):
        began = time.perf_counter()
        echo = Server(shutil.which("cat"))
        echo.send("initialize", initialize)
        echoes.append(time.perf_counter() - began)
        echo_cpu.append(echo.close())

    server = Server()
    server.call("initialize", {})
    lists = []
    for _ in range(300):
        began = time.perf_counter()
        line = server.send("tools/list")
        lists.append(time.perf_counter() - began)
        assert len(json.loads(line)["result"]["tools"]) == 28

    contexts = []
    for _ in range(60):
        began = time.perf_counter()
        line = server.send("tools/call", {"name": "vantorel_get_context", "arguments": {}})
        contexts.append(time.perf_counter() - began)
        assert not json.loads(line)["result"]["isError"]

    direct = []
    for _ in range(60):
        began = time.perf_counter()
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        connection.request("GET", "/v1/context", headers={"X-Vantorel-Token": token, "Accept": "application/json"})
        body = connection.getresponse().read()
        connection.close()
        direct.append(time.perf_counter() - began)
        assert json.loads(body)["ok"]
    health = []
    for _ in range(60):
        began = time.perf_counter()
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        connection.request("GET", "/v1/health", headers={"X-Vantorel-Token": token, "Accept": "application/json"})
        connection.getresponse().read()
        connection.close()
        health.append(time.perf_counter() - began)

    idle_peak = server.peak_kib()
    key, failed = server.tool("vantorel_find_key")
    assert not failed, key
    peaks = {}
    for bars in (4, 32):
        session, _ = server.tool("vantorel_get_session")
        job, failed = server.tool("vantorel_start_master_listen",
                                  {"bars": bars, "startTime": 0, "expectedRevision": session["revision"],
                                   "confirm": True})
        assert not failed, job
        measured = None
        for _ in range(400):
            status, failed = server.tool("vantorel_get_master_listen", {"jobId": job["jobId"]})
            assert not failed, status
            if "scope" in status:
                measured = status
                break
            time.sleep(0.05)
        assert measured and measured["scope"] == "renderedMasterResampling"
        peaks[bars] = (server.peak_kib(), measured["analyzedSeconds"])
    server.close()

    print("start → initialize response   median %.2f ms  (min %.2f, %d runs; cat echoing the line: median %.2f ms)" %
          (median_ms(starts), min(starts) * 1000, len(starts), median_ms(echoes)))
    print("  CPU time of the whole process median %.2f ms (cat: %.2f ms)" % (median_ms(start_cpu), median_ms(echo_cpu)))
    print("tools/list round trip          median %.3f ms  (%d calls)" % (median_ms(lists), len(lists)))
    print("vantorel_get_context           median %.2f ms  (health + context through the server)" % median_ms(contexts))
    print("  bridge alone: GET /v1/context median %.2f ms, GET /v1/health median %.2f ms" %
          (median_ms(direct), median_ms(health)))
    print("  server's own share           about %.2f ms" %
          (median_ms(contexts) - median_ms(direct) - median_ms(health)))
    print("peak resident memory           %.1f MB after reads and tools/list" % (idle_peak / 1024))
    for bars, (peak, seconds) in peaks.items():
        print("  after a %2d-bar master measurement (%.1f s of audio)  %.1f MB" % (bars, seconds, peak / 1024))
finally:
    simulated.close()
