"""What the vantorel-mcp benchmarks share: a private home with the simulated
Live Set (club loop, fast master capture) listening on a free port and the
bridge configuration the server reads pointing at it, and the server spoken to
line by line over its standard streams."""
import base64
import json
import os
import re
import secrets
import shutil
import subprocess
import tempfile


class SimulatedHome:
    def __init__(self, resources, prefix):
        self.home = tempfile.mkdtemp(prefix=prefix)
        self.env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": self.home,
            "XDG_DATA_HOME": os.path.join(self.home, ".local/share"),
            "TMPDIR": os.path.join(self.home, "tmp"),
            "LC_ALL": "C.UTF-8",
        }
        os.makedirs(self.env["TMPDIR"])
        os.makedirs(os.path.join(self.env["XDG_DATA_HOME"], "Vantorel"))
        self.token = base64.urlsafe_b64encode(secrets.token_bytes(32)).decode().rstrip("=")
        config = os.path.join(self.home, "remote_config.json")
        with open(config, "w") as f:
            json.dump({"auth_token": self.token, "host": "127.0.0.1", "port": 32123}, f)
        self.bridge = subprocess.Popen(
            ["/usr/bin/python3", "-m", "VantorelBridge", "--set", "VantorelBridge/sets/club-loop.json",
             "--config", config, "--port", "0", "--capture-speed", "50"],
            cwd=resources, env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            self.url = re.search(r"listening on (http://\S+)", self.bridge.stdout.readline()).group(1)
        except AttributeError:
            self.close()
            raise SystemExit("the simulated Live Set did not start")
        self.port = int(self.url.rsplit(":", 1)[1])
        with open(os.path.join(self.env["XDG_DATA_HOME"], "Vantorel/bridge.json"), "w") as f:
            json.dump({"authToken": self.token, "bridgeUrl": self.url}, f)

    def close(self):
        self.bridge.terminate()
        self.bridge.wait(10)
        shutil.rmtree(self.home, ignore_errors=True)


class McpServer:
    def __init__(self, program, env):
        self.process = subprocess.Popen([program], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        self.next_id = 0

    def send(self, method, params=None):
        """One request; its response line as read."""
        self.next_id += 1
        message = {"jsonrpc": "2.0", "id": self.next_id, "method": method}
        if params is not None:
            message["params"] = params
        self.process.stdin.write((json.dumps(message) + "\n").encode())
        self.process.stdin.flush()
        return self.process.stdout.readline()

    def call(self, method, params=None):
        return json.loads(self.send(method, params))

    def peak_kib(self):
        """The process's peak resident memory (VmHWM)."""
        with open("/proc/%d/status" % self.process.pid) as f:
            return int(re.search(r"VmHWM:\s+(\d+)", f.read()).group(1))
