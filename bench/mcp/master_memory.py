"""Peak memory of vantorel-mcp measuring a 32-bar master capture (64 s at
120 BPM) against the simulated Live Set, as a whole process (VmHWM), with the
peak of a server that has only answered initialize and read the session in the
same run as the anchor. When analysis_reference_tool is given, the rendered
capture's loudness is also compared with libebur128's.

    master_memory.py VANTOREL_MCP RESOURCES [ANALYSIS_REFERENCE_TOOL]
"""
import glob
import os
import subprocess
import sys
import time

from bench_session import McpServer, SimulatedHome

binary, resources = sys.argv[1], sys.argv[2]
reference_tool = sys.argv[3] if len(sys.argv) > 3 else None
simulated = SimulatedHome(resources, "vantorel-master-memory-")
env, token = simulated.env, simulated.token


class Server(McpServer):
    def __init__(self):
        super().__init__(binary, env)
        self.call("initialize", {"protocolVersion": "2025-06-18", "capabilities": {},
                                 "clientInfo": {"name": "bench", "version": "1"}})

    def tool(self, name, arguments=None):
        result = self.call("tools/call", {"name": name, "arguments": arguments or {}})["result"]
        if result["isError"]:
            raise SystemExit("%s failed: %r" % (name, result))
        return result["structuredContent"]

    def peak_mb(self):
        return self.peak_kib() / 1024

    def close(self):
        self.process.stdin.close()
        self.process.wait(10)


try:

    anchor = Server()
    anchor.tool("vantorel_get_session")
    idle = anchor.peak_mb()
    anchor.close()

    server = Server()
    session = server.tool("vantorel_get_session")
    job = server.tool("vantorel_start_master_listen",
                      {"bars": 32, "startTime": 0, "expectedRevision": session["revision"], "confirm": True})
    measured = None
    for _ in range(1200):
        status = server.tool("vantorel_get_master_listen", {"jobId": job["jobId"]})
        if "scope" in status:
            measured = status
            break
        time.sleep(0.05)
    if not measured or measured["scope"] != "renderedMasterResampling":
        raise SystemExit("no master measurement: %r" % (measured,))
    peak = server.peak_mb()
    server.close()
    print("vantorel-mcp peak resident memory (VmHWM, whole process):")
    print("  anchor: initialize and get_session only   %.1f MB" % idle)
    print("  32-bar master measurement (%.1f s of %d-channel audio at %.0f Hz)  %.1f MB (goal <= 15 MB)" %
          (measured["analyzedSeconds"], measured["channelCount"], measured["sampleRate"], peak))

    captures = glob.glob(os.path.join(env["TMPDIR"], "VantorelBridge-cache-*", "captures", "*.wav"))
    if reference_tool and captures:
        result = subprocess.run([reference_tool, captures[0]], capture_output=True, text=True)
        print("  rendered capture against libebur128: " + (result.stdout or result.stderr).strip())
        if result.returncode != 0:
            sys.exit(1)
finally:
    simulated.close()
