// vantorel-mcp driven by the official MCP TypeScript client over stdio,
// against the simulated Live Set running in a private home.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { existsSync, mkdtempSync, mkdirSync, writeFileSync, rmSync } from "node:fs";
import { randomBytes } from "node:crypto";
import { tmpdir } from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");
const build = process.env.VANTOREL_BUILD_DIR ?? path.join(root, "build/asan");
const binary = path.join(build, "src/cli/vantorel-mcp");

let sdk = null;
let Ajv = null;
try {
  sdk = {
    ...(await import("@modelcontextprotocol/sdk/client/index.js")),
    ...(await import("@modelcontextprotocol/sdk/client/stdio.js")),
  };
  Ajv = (await import("ajv")).default;
} catch {
  sdk = null;
}
const skip = !existsSync(binary) ? `vantorel-mcp is not built in ${build}` : !sdk ? "npm tools are not installed" : false;
// In CI a missing program or tool is a failure, never a skip that passes.
if (skip && process.env.CI) throw new Error(`${skip} (CI is set: nothing may be skipped)`);

// name → [properties, required, readOnlyHint, idempotentHint]
const expected = {
  vantorel_get_session: [[], [], true, true],
  vantorel_get_context: [[], [], true, true],
  vantorel_analyze_project: [[], [], true, true],
  vantorel_analyze_mix_preparation: [[], [], true, true],
  vantorel_get_device_parameters: [["trackIndex", "deviceIndex"], ["trackIndex", "deviceIndex"], true, true],
  vantorel_find_key: [[], [], true, true],
  vantorel_listen_selected_clip: [[], [], true, true],
  vantorel_start_master_listen: [["bars", "startTime", "expectedRevision", "confirm"], ["bars", "startTime", "expectedRevision", "confirm"], false, false],
  vantorel_get_master_listen: [["jobId"], ["jobId"], true, true],
  vantorel_cancel_master_listen: [["jobId", "confirm"], ["jobId", "confirm"], false, true],
  vantorel_play: [["confirm"], ["confirm"], false, false],
  vantorel_stop: [["confirm"], ["confirm"], false, true],
  vantorel_set_tempo: [["tempo", "expectedRevision", "confirm"], ["tempo", "expectedRevision", "confirm"], false, true],
  vantorel_organize_tracks: [["expectedRevision", "confirm"], ["expectedRevision", "confirm"], false, true],
  vantorel_build_arrangement: [["expectedRevision", "confirm"], ["expectedRevision", "confirm"], false, true],
  vantorel_create_midi_track: [["index", "name", "expectedRevision", "confirm"], ["expectedRevision", "confirm"], false, true],
  vantorel_create_audio_track: [["index", "name", "expectedRevision", "confirm"], ["expectedRevision", "confirm"], false, true],
  vantorel_search_samples: [["query", "role", "limit"], [], true, true],
  vantorel_import_sample: [["sampleId", "startTime", "trackName", "expectedRevision", "confirm"], ["sampleId", "startTime", "expectedRevision", "confirm"], false, true],
  vantorel_create_midi_clip: [["trackIndex", "startTime", "length", "name", "notes", "expectedRevision", "confirm"], ["trackIndex", "startTime", "length", "expectedRevision", "confirm"], false, true],
  vantorel_replace_selected_midi_clip: [["trackIndex", "name", "notes", "expectedRevision", "confirm"], ["trackIndex", "notes", "expectedRevision", "confirm"], false, true],
  vantorel_rename_track: [["trackIndex", "name", "expectedRevision", "confirm"], ["trackIndex", "name", "expectedRevision", "confirm"], false, true],
  vantorel_select_track: [["trackIndex", "expectedRevision", "confirm"], ["trackIndex", "expectedRevision", "confirm"], false, true],
  vantorel_set_track_state: [["trackIndex", "field", "enabled", "expectedRevision", "confirm"], ["trackIndex", "field", "enabled", "expectedRevision", "confirm"], false, true],
  vantorel_set_track_volume: [["trackIndex", "displayDb", "expectedRevision", "confirm"], ["trackIndex", "displayDb", "expectedRevision", "confirm"], false, true],
  vantorel_set_device_parameter: [["trackIndex", "deviceIndex", "parameterIndex", "value", "expectedRevision", "confirm"], ["trackIndex", "deviceIndex", "parameterIndex", "value", "expectedRevision", "confirm"], false, true],
  vantorel_set_send_level: [["trackIndex", "sendIndex", "displayDb", "expectedRevision", "confirm"], ["trackIndex", "sendIndex", "displayDb", "expectedRevision", "confirm"], false, true],
  vantorel_undo_last_organization: [["confirm"], ["confirm"], false, true],
};

let home;
let bridge;
let client;
let serverErrors = "";

async function startBridge(env) {
  const token = randomBytes(32).toString("base64url");
  writeFileSync(path.join(home, "remote_config.json"), JSON.stringify({ auth_token: token, host: "127.0.0.1", port: 32123 }));
  bridge = spawn("/usr/bin/python3", ["-m", "VantorelBridge", "--set", "VantorelBridge/sets/club-loop.json",
    "--config", path.join(home, "remote_config.json"), "--port", "0"], { cwd: path.join(root, "resources"), env, stdio: ["ignore", "pipe", "pipe"] });
  const url = await new Promise((resolve, reject) => {
    let seen = "";
    const timer = setTimeout(() => reject(new Error(`the simulated set did not start: ${seen}`)), 20000);
    bridge.stdout.on("data", (chunk) => {
      seen += chunk;
      const match = /listening on (http:\/\/\S+)/.exec(seen);
      if (match) { clearTimeout(timer); resolve(match[1]); }
    });
    bridge.on("exit", (code) => { clearTimeout(timer); reject(new Error(`the simulated set exited with ${code}`)); });
  });
  mkdirSync(path.join(home, ".local/share/Vantorel"), { recursive: true });
  writeFileSync(path.join(home, ".local/share/Vantorel/bridge.json"), JSON.stringify({ authToken: token, bridgeUrl: url }), { mode: 0o600 });
}

before(async () => {
  if (skip) return;
  home = mkdtempSync(path.join(tmpdir(), "vantorel-mcp-client-"));
  mkdirSync(path.join(home, "tmp"));
  const env = {
    PATH: process.env.PATH, HOME: home, XDG_DATA_HOME: path.join(home, ".local/share"),
    XDG_CONFIG_HOME: path.join(home, ".config"), TMPDIR: path.join(home, "tmp"), LC_ALL: process.env.LC_ALL ?? "C.UTF-8",
  };
  for (const name of ["ASAN_OPTIONS", "UBSAN_OPTIONS", "TZ"]) if (process.env[name]) env[name] = process.env[name];
  await startBridge(env);
  const transport = new sdk.StdioClientTransport({ command: binary, args: [], env, stderr: "pipe" });
  transport.stderr.on("data", (chunk) => { serverErrors += chunk; });
  client = new sdk.Client({ name: "vantorel-test", version: "1.0.0" });
  await client.connect(transport);
});

after(async () => {
  if (client) await client.close();
  if (bridge && bridge.exitCode === null) {
    const exited = new Promise((resolve) => bridge.on("exit", resolve));
    bridge.kill("SIGTERM");
    await exited;
  }
  if (home) rmSync(home, { recursive: true, force: true });
});

test("the handshake names the server and the fixed protocol version", { skip }, () => {
  assert.deepEqual(client.getServerVersion(), { name: "Vantorel", version: "0.16.3" });
  assert.deepEqual(client.getServerCapabilities(), { tools: { listChanged: false } });
  assert.match(client.getInstructions(), /^Always call vantorel_get_context before answering/);
});

test("tools/list gives the 28 tools in order with schemas a validator compiles", { skip }, async () => {
  const { tools } = await client.listTools();
  assert.deepEqual(tools.map((tool) => tool.name), Object.keys(expected));
  const ajv = new Ajv({ strict: true, allErrors: true });
  const validators = {};
  for (const tool of tools) {
    const [properties, required, readOnly, idempotent] = expected[tool.name];
    assert.equal(tool.inputSchema.type, "object", tool.name);
    assert.equal(tool.inputSchema.additionalProperties, false, tool.name);
    assert.deepEqual(Object.keys(tool.inputSchema.properties).sort(), [...properties].sort(), tool.name);
    assert.deepEqual(tool.inputSchema.required, required, tool.name);
    assert.deepEqual(tool.annotations, { readOnlyHint: readOnly, destructiveHint: false, idempotentHint: idempotent, openWorldHint: false }, tool.name);
    assert.ok(tool.description.length > 40, tool.name);
    validators[tool.name] = ajv.compile(tool.inputSchema);
  }
  // The schemas say what the server's own validation enforces.
  const tempo = validators.vantorel_set_tempo;
  assert.ok(tempo({ tempo: 240, expectedRevision: 3, confirm: true }));
  assert.ok(!tempo({ tempo: 39.9, expectedRevision: 3, confirm: true }));
  assert.ok(!tempo({ tempo: 120, expectedRevision: 3, confirm: "true" }));
  assert.ok(!tempo({ tempo: 120, expectedRevision: 3.5, confirm: true }));
  const clip = validators.vantorel_create_midi_clip;
  const note = { pitch: 60, startTime: 0, duration: 0.5, velocity: 100, mute: false, probability: 1 };
  assert.ok(clip({ trackIndex: 0, startTime: 0, length: 4096, expectedRevision: 1, confirm: true, notes: [note] }));
  assert.ok(!clip({ trackIndex: 0, startTime: 0, length: 0, expectedRevision: 1, confirm: true }));
  assert.ok(!clip({ trackIndex: 0, startTime: 0, length: 4, expectedRevision: 1, confirm: true, notes: [{ ...note, duration: 0 }] }));
  assert.ok(!clip({ trackIndex: 0, startTime: 0, length: 4, expectedRevision: 1, confirm: true, notes: Array(513).fill(note) }));
  assert.ok(validators.vantorel_get_master_listen({ jobId: "master_" + "ab".repeat(16) }));
  assert.ok(!validators.vantorel_get_master_listen({ jobId: "master_" + "AB".repeat(16) }));
  assert.ok(!validators.vantorel_search_samples({ role: "Kick" }));
  assert.ok(!validators.vantorel_get_session({ extra: 1 }));
});

test("context, a confirmed tempo change and the key of the selected MIDI clip", { skip }, async () => {
  const context = await client.callTool({ name: "vantorel_get_context", arguments: {} });
  assert.equal(context.isError, false);
  const session = context.structuredContent.session;
  assert.equal(session.project, "Club Loop");
  assert.equal(session.tempo, 124);
  assert.equal(typeof session.revision, "number");
  assert.deepEqual(JSON.parse(context.content[0].text), context.structuredContent);

  const tempo = await client.callTool({ name: "vantorel_set_tempo", arguments: { tempo: 126.5, expectedRevision: session.revision, confirm: true } });
  assert.equal(tempo.isError, false, tempo.content[0].text);
  const after = (await client.callTool({ name: "vantorel_get_session", arguments: {} })).structuredContent;
  assert.equal(after.tempo, 126.5);
  assert.ok(after.revision > session.revision);

  // The revision the change was planned on is stale now.
  const stale = await client.callTool({ name: "vantorel_set_tempo", arguments: { tempo: 120, expectedRevision: session.revision, confirm: true } });
  assert.equal(stale.isError, true);
  assert.match(stale.structuredContent.error.message, /^VantorelBridge error STALE_REVISION: /);

  const key = await client.callTool({ name: "vantorel_find_key", arguments: {} });
  assert.equal(key.isError, false, key.content[0].text);
  assert.equal(key.structuredContent.kind, "midi");
  assert.equal(key.structuredContent.analyzedSeconds, 0);
  assert.equal(key.structuredContent.key, "F minor");
  assert.equal(key.structuredContent.track, "Bass");
  assert.ok(key.structuredContent.confidence >= 0.3 && key.structuredContent.confidence <= 0.96);

  const refused = await client.callTool({ name: "vantorel_play", arguments: {} });
  assert.equal(refused.isError, true);
  assert.equal(refused.structuredContent.error.message, "Explicit user confirmation is required. Ask the user, then call again with confirm=true.");
  assert.equal(serverErrors, "");
});
