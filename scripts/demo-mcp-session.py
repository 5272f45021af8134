"""Drives vantorel-mcp the way an agent does, for the demo: the catalogue, the
key of the selected MIDI clip, then a confirmed two-bar master listen polled
until its measurement is ready. Output in French, for the producer."""
import json
import subprocess
import sys
import time

server = subprocess.Popen([sys.argv[1]], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
next_id = 0


def call(method, params=None):
    global next_id
    next_id += 1
    request = {"jsonrpc": "2.0", "id": next_id, "method": method}
    if params is not None:
        request["params"] = params
    server.stdin.write(json.dumps(request) + "\n")
    server.stdin.flush()
    reply = json.loads(server.stdout.readline())
    if "error" in reply:
        raise SystemExit("vantorel-mcp : " + reply["error"]["message"])
    return reply["result"]


def tool(name, **arguments):
    result = call("tools/call", {"name": name, "arguments": arguments})
    content = result.get("structuredContent", {})
    if result.get("isError"):
        raise SystemExit(name + " : " + result["content"][0]["text"])
    return content


info = call("initialize", {"protocolVersion": "2025-06-18", "capabilities": {},
                           "clientInfo": {"name": "demo", "version": "1"}})
server.stdin.write('{"jsonrpc":"2.0","method":"notifications/initialized"}\n')
print("serveur :", info["serverInfo"]["name"], "·", len(call("tools/list")["tools"]), "outils")

key = tool("vantorel_find_key")
print(f'tonalité du clip « {key.get("clip")} » ({key.get("track")}) : {key.get("key")}'
      f' · confiance {round(100 * key.get("confidence", 0))} %')

context = tool("vantorel_get_context")
revision = context["session"]["revision"]
job = tool("vantorel_start_master_listen", bars=2, startTime=0, expectedRevision=revision, confirm=True)
job_id = job.get("jobId")
print("écoute du master : 2 mesures en temps réel, tâche", job_id)
deadline = time.monotonic() + 60
while True:
    status = tool("vantorel_get_master_listen", jobId=job_id)
    if "rmsDbFS" in status:  # ready: measured locally, temporary track handled
        measurement = status
        print(f'master mesuré : crête {measurement["samplePeakDbFS"]:.1f} dBFS · RMS {measurement["rmsDbFS"]:.1f} dBFS'
              f' · {measurement["analyzedSeconds"]:.1f} s · piste temporaire retirée :'
              f' {"oui" if status.get("temporaryTrackRemoved") else "non"}')
        break
    if time.monotonic() > deadline:
        raise SystemExit("écoute du master : pas de fichier au bout d’une minute")
    time.sleep(0.5)
server.stdin.close()
server.wait(timeout=10)
