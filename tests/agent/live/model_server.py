"""A scripted language-model server on 127.0.0.1 for the agents suite.

Speaks just enough of the two streaming APIs the agents use: the Responses
API (POST .../responses, server-sent events) for Codex and the Messages API
(POST .../messages) for Claude Code. Its script, for any conversation:

- a request whose key is "rejected-key" gets 401, as a real service does;
- when the vantorel_get_context tool is offered and the conversation holds
  no result of it yet, the model calls it;
- otherwise it answers in one sentence quoting the tempo found in the
  conversation's tool results ("Le tempo lu est de 131.5 BPM."), or says
  that it found none.

Every request is appended to the log file as one JSON line, so a failing
test can show what the agent sent. Usage: model_server.py PORT PORT_FILE LOG_FILE
(PORT 0 picks a free one; the port is written to PORT_FILE once the server
listens).
"""

import json
import os
import re
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

REJECTED_KEY = "rejected-key"
TOOL = "vantorel_get_context"
TEMPO = re.compile(r'\\*"tempo\\*"\s*:\s*([0-9]+(?:\.[0-9]+)?)')

log_lock = threading.Lock()
log_path = None


def log(entry):
    with log_lock:
        with open(log_path, "a", encoding="utf-8") as handle:
            handle.write(json.dumps(entry, ensure_ascii=False) + "\n")


def tempo_in(texts):
    for text in texts:
        match = TEMPO.search(text)
        if match:
            return match.group(1)
    return None


def answer_text(tool_outputs):
    tempo = tempo_in(tool_outputs)
    if tempo is None:
        return "Je n’ai trouvé aucun tempo dans le contexte."
    return "Le tempo lu est de %s BPM." % tempo


def flatten(value):
    """Every string inside a JSON value, as one text."""
    if isinstance(value, str):
        return value
    if isinstance(value, list):
        return "\n".join(flatten(item) for item in value)
    if isinstance(value, dict):
        return "\n".join(flatten(item) for item in value.values())
    return json.dumps(value)


def tool_names(tools, namespace=None):
    """(name, namespace) of every tool, namespaces included (Codex groups
    tools under them and offers them in "additional_tools" input items)."""
    names = []
    for tool in tools or []:
        if not isinstance(tool, dict):
            continue
        if tool.get("type") == "namespace":
            names.extend(tool_names(tool.get("tools"), tool.get("name")))
        elif isinstance(tool.get("name"), str):
            names.append((tool["name"], namespace))
    return names


def offered_tools(body):
    tools = list(body.get("tools") or [])
    for item in body.get("input") or []:
        if isinstance(item, dict) and item.get("type") == "additional_tools":
            tools.extend(item.get("tools") or [])
    return tool_names(tools)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, format, *args):  # the log file holds the requests
        pass

    def read_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length) if length else b""
        try:
            return json.loads(raw.decode("utf-8")) if raw else {}
        except ValueError:
            return {}

    def key(self):
        authorization = self.headers.get("Authorization") or ""
        if authorization.startswith("Bearer "):
            return authorization[len("Bearer "):]
        return self.headers.get("x-api-key") or ""

    def send_json(self, status, body, headers=()):
        data = json.dumps(body).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(data)

    def send_events(self, events):
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-cache")
        self.send_header("Connection", "close")
        self.end_headers()
        for name, data in events:
            self.wfile.write(("event: %s\ndata: %s\n\n" % (name, json.dumps(data))).encode("utf-8"))
        self.wfile.flush()
        self.close_connection = True

    def do_GET(self):
        log({"method": "GET", "path": self.path, "key": self.key()})
        if self.key() == REJECTED_KEY:
            self.send_json(401, {"error": {"message": "Incorrect API key provided: rejected-key.",
                                           "type": "invalid_request_error", "code": "invalid_api_key"}})
        elif self.path.rstrip("/").endswith("/models"):
            self.send_json(200, {"object": "list", "data": [], "models": []})
        else:
            self.send_json(404, {"error": {"message": "not found", "type": "not_found"}})

    def do_HEAD(self):
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def do_POST(self):
        body = self.read_body()
        path = self.path.split("?")[0]
        log({"method": "POST", "path": self.path, "key": self.key(), "headers": dict(self.headers.items()),
             "body": body})
        if path.endswith("/responses"):
            self.codex_turn(body)
        elif path.endswith("/messages/count_tokens"):
            self.send_json(200, {"input_tokens": 100})
        elif path.endswith("/messages"):
            self.claude_turn(body)
        else:
            self.send_json(404, {"error": {"message": "not found", "type": "not_found"}})

    # -- Responses API (Codex) ---------------------------------------------

    def codex_turn(self, body):
        if self.key() == REJECTED_KEY:
            self.send_json(401, {"error": {
                "message": "Incorrect API key provided: rejected-key. You can find your API key at "
                           "https://platform.openai.com/account/api-keys.",
                "type": "invalid_request_error", "code": "invalid_api_key", "param": None}})
            return
        items = body.get("input") or []
        outputs = [flatten(item.get("output")) for item in items
                   if isinstance(item, dict) and item.get("type") in ("function_call_output", "custom_tool_call_output",
                                                                       "mcp_tool_call_output")]
        called = [item for item in items if isinstance(item, dict) and item.get("type") in (
            "function_call", "custom_tool_call") and TOOL in json.dumps(item)]
        usage = {"input_tokens": 100, "input_tokens_details": {"cached_tokens": 0}, "output_tokens": 10,
                 "output_tokens_details": {"reasoning_tokens": 0}, "total_tokens": 110}
        events = [("response.created", {"type": "response.created", "response": {"id": "resp_1"}})]
        offered = offered_tools(body)
        tool = next(((name, space) for name, space in offered if TOOL in name), None)
        # Codex 0.171 offers MCP tools as a deferred namespace reached from
        # its JavaScript "exec" tool rather than as functions of their own.
        code_mode = next(((name, space) for name, space in offered if name == "exec"), None)
        deferred = "mcp__vantorel" in json.dumps(items)
        if not called and not outputs and (tool or (code_mode and deferred)):
            if tool:
                name, namespace = tool
                item = {"type": "function_call", "id": "fc_1", "call_id": "call_%d" % len(items), "name": name,
                        "arguments": "{}", "status": "completed"}
            else:
                name, namespace = code_mode
                item = {"type": "custom_tool_call", "id": "ctc_1", "call_id": "call_%d" % len(items), "name": name,
                        "input": "const result = await tools.mcp__vantorel__%s({});\n"
                                 "text(JSON.stringify(result));\n" % TOOL,
                        "status": "completed"}
            if namespace:
                item["namespace"] = namespace
            events.append(("response.output_item.done",
                           {"type": "response.output_item.done", "output_index": 0, "item": item}))
        else:
            text = answer_text(outputs or [flatten(items)])
            events.append(("response.output_text.delta",
                           {"type": "response.output_text.delta", "output_index": 0, "content_index": 0,
                            "item_id": "msg_1", "delta": text}))
            events.append(("response.output_item.done", {
                "type": "response.output_item.done", "output_index": 0,
                "item": {"type": "message", "id": "msg_1", "role": "assistant", "status": "completed",
                         "content": [{"type": "output_text", "text": text, "annotations": []}]}}))
        events.append(("response.completed",
                       {"type": "response.completed", "response": {"id": "resp_1", "usage": usage}}))
        self.send_events(events)

    # -- Messages API (Claude Code) ------------------------------------------

    def claude_turn(self, body):
        if self.key() == REJECTED_KEY:
            # Without x-should-retry: false, as a gateway in front of the
            # service may answer.
            self.send_json(401, {"type": "error", "error": {"type": "authentication_error",
                                                            "message": "invalid x-api-key"}})
            return
        messages = body.get("messages") or []
        outputs = []
        called = False
        for message in messages:
            content = message.get("content") if isinstance(message, dict) else None
            for block in content if isinstance(content, list) else []:
                if not isinstance(block, dict):
                    continue
                if block.get("type") == "tool_result":
                    outputs.append(flatten(block.get("content")))
                if block.get("type") == "tool_use" and TOOL in str(block.get("name", "")):
                    called = True
        tool = next((name for name, _ in offered_tools(body) if TOOL in name), None)
        model = body.get("model") or "claude"
        if tool and not called and not outputs:
            block = {"type": "tool_use", "id": "toolu_%d" % len(messages), "name": tool, "input": {}}
            stop = "tool_use"
        else:
            block = {"type": "text", "text": answer_text(outputs or [flatten(messages)])}
            stop = "end_turn"
        usage = {"input_tokens": 100, "output_tokens": 10}
        message = {"id": "msg_%d" % len(messages), "type": "message", "role": "assistant", "model": model,
                   "content": [block], "stop_reason": stop, "stop_sequence": None, "usage": usage}
        if not body.get("stream"):
            self.send_json(200, message)
            return
        start = dict(message, content=[], stop_reason=None)
        if block["type"] == "tool_use":
            opening = dict(block, input={})
            delta = {"type": "input_json_delta", "partial_json": json.dumps(block["input"])}
        else:
            opening = {"type": "text", "text": ""}
            delta = {"type": "text_delta", "text": block["text"]}
        self.send_events([
            ("message_start", {"type": "message_start", "message": start}),
            ("content_block_start", {"type": "content_block_start", "index": 0, "content_block": opening}),
            ("content_block_delta", {"type": "content_block_delta", "index": 0, "delta": delta}),
            ("content_block_stop", {"type": "content_block_stop", "index": 0}),
            ("message_delta", {"type": "message_delta", "delta": {"stop_reason": stop, "stop_sequence": None},
                               "usage": {"output_tokens": 10}}),
            ("message_stop", {"type": "message_stop"}),
        ])


def main(argv):
    global log_path
    port, port_file, log_path = int(argv[1]), argv[2], argv[3]
    server = ThreadingHTTPServer(("127.0.0.1", port), Handler)
    server.daemon_threads = True
    with open(port_file + ".tmp", "w") as handle:
        handle.write(str(server.server_address[1]))
    os.replace(port_file + ".tmp", port_file)
    server.serve_forever(poll_interval=0.2)


if __name__ == "__main__":
    main(sys.argv)
