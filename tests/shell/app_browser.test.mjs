// The real app in browser mode, driven through Debian's Chromium: vantorel
// started without a display on a private home, the bridge installed, the
// simulated club loop behind it. What the producer sees comes from the real
// controller, and what it does lands in the simulated Live Set.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { launch, openPanel } from '../web/browser.mjs';

const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const BUILD = process.env.VANTOREL_BUILD_DIR || path.join(ROOT, 'build/asan');
const APP = path.join(BUILD, 'src/cli/vantorel');
const CLI = path.join(BUILD, 'src/cli/vantorel-cli');
const built = fs.existsSync(APP) && fs.existsSync(CLI);
// Under CI a missing program is a failure (in before()), never a skip.
const unbuilt = !built && !process.env.CI && 'vantorel is not built';

let home;
let env;
let simulator;
let app;
let address;
let browser;

// What arrives, kept in order, with a wait for the first item that matches.
function arrivals(describe) {
  const seen = [];
  const waiters = [];
  return {
    seen,
    push(item) {
      seen.push(item);
      for (const w of waiters.splice(0)) (w.match(item) ? w.resolve(item) : waiters.push(w));
    },
    waitFor(match, timeout) {
      const found = seen.find(match);
      if (found) return Promise.resolve(found);
      return new Promise((resolve, reject) => {
        const timer = setTimeout(() => reject(new Error(`nothing matching in ${timeout} ms; saw: ${describe(seen)}`)), timeout);
        waiters.push({ match, resolve: (item) => { clearTimeout(timer); resolve(item); } });
      });
    },
  };
}

// Lines a child prints, with a wait for one that matches.
function lines(child, stream = 'stdout') {
  const received = arrivals((seen) => seen.join(' | '));
  let buffer = '';
  child[stream].setEncoding('utf8');
  child[stream].on('data', (chunk) => {
    buffer += chunk;
    let at;
    while ((at = buffer.indexOf('\n')) >= 0) {
      received.push(buffer.slice(0, at));
      buffer = buffer.slice(at + 1);
    }
  });
  return { seen: received.seen, waitFor: (match, timeout = 60000) => received.waitFor(match, timeout) };
}

function startSimulator(port) {
  const scripts = path.join(home, 'Music/Ableton/User Library/Remote Scripts');
  const child = spawn('/usr/bin/python3', ['-m', 'VantorelBridge', '--set',
    path.join(ROOT, 'resources/VantorelBridge/sets/club-loop.json'), '--port', String(port), '--capture-speed', '50'],
  { cwd: scripts, env, stdio: ['ignore', 'pipe', 'pipe'] });
  const out = lines(child);
  return { child, listening: out.waitFor((l) => l.includes('listening'), 20000) };
}

async function stop(child) {
  if (!child || child.exitCode !== null || child.signalCode !== null) return;
  const ended = new Promise((resolve) => child.once('exit', resolve));
  child.kill('SIGTERM');
  await ended;
}

function context() {
  const result = spawnSync(CLI, ['bridge', 'GET', '/v1/context'], { env, encoding: 'utf8' });
  return JSON.parse(result.stdout).session;
}

let port;

// Codex as the app runs it: the prompt on standard input (kept in
// $HOME/codex.prompt), a thread event on standard output, the answer in the
// file named after --output-last-message.
const FAKE_CODEX = `#!/bin/sh
answer=""
previous=""
for a in "$@"; do
  [ "$previous" = "--output-last-message" ] && answer="$a"
  previous="$a"
done
cat > "$HOME/codex.prompt"
printf '%s\\n' '{"type":"thread.started","thread_id":"0193a1b2-test"}'
printf '%s' 'Le Vocal Chop garde de la marge : rien à corriger avant le mix.' > "$answer"
`;

// The app's events ({event, value}) as the page receives them, read from /events.
function eventStream(pageAddress) {
  const url = new URL(pageAddress);
  const token = new URLSearchParams(url.hash.slice(1)).get('token');
  const controller = new AbortController();
  const received = arrivals((seen) => seen.map((e) => e.event).join(' '));
  const done = (async () => {
    const response = await fetch(`${url.origin}/events?token=${token}`, { signal: controller.signal });
    const decoder = new TextDecoder();
    let buffer = '';
    for await (const chunk of response.body) {
      buffer += decoder.decode(chunk, { stream: true });
      let at;
      while ((at = buffer.indexOf('\n')) >= 0) {
        const line = buffer.slice(0, at);
        buffer = buffer.slice(at + 1);
        if (line.startsWith('data:')) received.push(JSON.parse(line.slice(5)));
      }
    }
  })().catch(() => {});
  return {
    waitFor: (type, timeout = 30000) => received.waitFor((e) => e.event === type, timeout),
    async close() { controller.abort(); await done; },
  };
}

before(async () => {
  if (!built) {
    if (process.env.CI) throw new Error(`vantorel is not built in ${BUILD}`);
    return;
  }
  home = fs.mkdtempSync(path.join(os.tmpdir(), 'vantorel-app-'));
  env = {
    PATH: process.env.PATH,
    LANG: process.env.LANG || 'C.UTF-8',
    LC_ALL: process.env.LC_ALL || 'C.UTF-8',
    TZ: process.env.TZ || 'UTC',
    ASAN_OPTIONS: 'detect_leaks=0',
    HOME: home,
    XDG_DATA_HOME: path.join(home, '.local/share'),
    XDG_CONFIG_HOME: path.join(home, '.config'),
    XDG_RUNTIME_DIR: path.join(home, 'run'),
    TMPDIR: path.join(home, 'tmp'),
  };
  fs.mkdirSync(env.XDG_RUNTIME_DIR, { mode: 0o700 });
  fs.mkdirSync(env.TMPDIR);
  fs.mkdirSync(path.join(home, 'bin'));
  fs.writeFileSync(path.join(home, 'bin/codex'), FAKE_CODEX, { mode: 0o755 });
  env.PATH = `${path.join(home, 'bin')}:${env.PATH}`;
  assert.equal(spawnSync(CLI, ['install-bridge'], { env }).status, 0);
  // A free port for the simulator, written where the app looks for it.
  const probe = spawnSync('/usr/bin/python3', ['-c', 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'], { encoding: 'utf8' });
  port = Number(probe.stdout.trim());
  const configFile = path.join(env.XDG_DATA_HOME, 'Vantorel/bridge.json');
  const config = JSON.parse(fs.readFileSync(configFile, 'utf8'));
  config.bridgeUrl = `http://127.0.0.1:${port}`;
  fs.writeFileSync(configFile, JSON.stringify(config));
  simulator = startSimulator(port);
  await simulator.listening;

  app = spawn(APP, ['--browser'], { env, stdio: ['ignore', 'pipe', 'pipe'] });
  address = await lines(app).waitFor((l) => l.startsWith('http://'));
  browser = await launch();
});

after(async () => {
  await browser?.close();
  await stop(app);
  await stop(simulator?.child);
  if (home) fs.rmSync(home, { recursive: true, force: true });
});

test('the printed address is the page on 127.0.0.1 with a 64-digit token', { skip: unbuilt }, () => {
  assert.match(address, /^http:\/\/127\.0\.0\.1:\d+\/#token=[0-9a-f]{64}$/);
});

test('connected to the simulated set: header, ladder, a plan confirmed then undone, a declined one', { skip: unbuilt }, async () => {
  const { page, context: browserContext, problems } = await openPanel(browser, {
    url: address,
    waitFor: async () => {},
  });
  const see = (selector, text, timeout = 20000) => page.locator(selector, text === undefined ? {} : { hasText: text }).first().waitFor({ timeout });
  try {
    await see('#connection-pill', 'Connecté');
    assert.equal(await page.locator('#project-name').first().innerText(), 'Club Loop');
    await see('#stage-strip', 'Étape');
    await page.click('#stage-strip button');
    await see('#screen-stages:not([hidden]) .rung-current[open]');
    assert.equal(await page.locator('.rung-item').count(), 6);
    await page.click('#tab-assistant');

    // A plan asked through the page's own channel, confirmed in the page.
    const before = context();
    const selected = before.selectedTrackIndex;
    assert.equal(before.tracks[selected].muted, false);
    const post = (message) => page.evaluate(async (m) => {
      const token = new URLSearchParams(location.hash.slice(1)).get('token');
      const r = await fetch('/message', { method: 'POST', headers: { 'Content-Type': 'application/json', 'X-Vantorel-Page-Token': token }, body: JSON.stringify(m) });
      return r.status;
    }, message);
    assert.equal(await post({ type: 'planRequest', prompt: 'mute la piste sélectionnée' }), 204);
    await see('.plan-card button:has-text("Confirmer")');
    await page.click('.plan-card button:has-text("Confirmer")');
    await see('.plan-status-ok', undefined, 30000).catch(async (e) => {
      throw new Error(`${e.message}\ncard: ${await page.locator('.plan-card').last().innerText()}`);
    });
    const after = context();
    assert.equal(after.tracks[selected].muted, true, 'the selected track is muted in Live');
    const changed = after.tracks.filter((t, i) => t.muted !== before.tracks[i].muted);
    assert.equal(changed.length, 1, 'one change in the set');

    await page.click('.plan-card button:has-text("Annuler dans Ableton")');
    await see('.plan-status-ok', 'Annulé dans Ableton', 30000);
    assert.equal(context().tracks[selected].muted, false, 'undo restores it');

    // A declined plan becomes a line of the preference profile.
    assert.equal(await post({ type: 'planRequest', prompt: 'mute la piste sélectionnée' }), 204);
    const card = page.locator('.plan-card').last();
    await card.locator('button:has-text("Refuser")').waitFor({ timeout: 20000 });
    await card.locator('button:has-text("Refuser")').click();
    await card.locator('.plan-status').waitFor({ timeout: 20000 });
    assert.equal(context().tracks[selected].muted, false, 'a declined plan changes nothing');
    await page.click('#tab-profile');
    await see('#preferences-body', 'refusé');
  } finally {
    await browserContext.close();
  }
  assert.deepEqual(problems, []);
});

test('Live going away and coming back: lost-connection banner, then connected again', { skip: unbuilt }, async () => {
  const { page, context: browserContext } = await openPanel(browser, { url: address, waitFor: async () => {} });
  const see = (selector, text, timeout = 20000) => page.locator(selector, text === undefined ? {} : { hasText: text }).first().waitFor({ timeout });
  try {
    await see('#connection-pill.pill-online', 'Connecté');
    await stop(simulator.child);
    await see('#connection-pill.pill-offline', undefined, 30000);
    await see('#session-message:not([hidden])');
    simulator = startSimulator(port);
    await simulator.listening;
    await see('#connection-pill.pill-online', 'Connecté', 30000);
  } finally {
    await browserContext.close();
  }
});

test('the selected clip: its key, its measurement pictures, a question to the agent, a typed request', { skip: unbuilt }, async () => {
  const { page, context: browserContext, problems } = await openPanel(browser, { url: address, waitFor: async () => {} });
  const see = (selector, text, timeout = 30000) => page.locator(selector, text === undefined ? {} : { hasText: text }).first().waitFor({ timeout });
  const events = eventStream(address);
  try {
    await see('#connection-pill.pill-online', 'Connecté');
    await page.click('#tab-listen');
    // The club loop opens with its MIDI bass selected.
    await page.click('#find-key');
    await see('.key-result .key-source', 'Bass');
    assert.match(await page.locator('.key-result .fine').innerText(), /notes MIDI du clip/);

    // The vocal chop's clip selected in Live, then listened to.
    const body = path.join(home, 'select.json');
    fs.writeFileSync(body, JSON.stringify({ action: 'selectClip', trackIndex: 6, sceneIndex: 0 }));
    assert.equal(spawnSync(CLI, ['bridge', 'POST', '/v1/sim/edit', body], { env }).status, 0);
    await page.click('#listen-clip');
    const result = await events.waitFor('audioResult', 60000);
    assert.equal(result.value.ok, true, JSON.stringify(result.value).slice(0, 300));
    assert.equal(result.value.measurement.waveform.length, 120);
    await see('.measurement[data-scope="clip"] canvas.waveform');
    assert.match(await page.locator('.measurement canvas[aria-label^="Spectrogramme"]').first().getAttribute('aria-label'), /\d+ instants/);
    assert.ok(await page.locator('.measurement .band').count() >= 4, 'the band shares are drawn');

    // A question about the measurement goes to Codex with the measurement.
    await page.fill('#measure-question', 'Le niveau du Vocal Chop est-il bon ?');
    await page.press('#measure-question', 'Enter');
    await see('.bubble-assistant', 'garde de la marge');
    const prompt = fs.readFileSync(path.join(home, 'codex.prompt'), 'utf8');
    assert.match(prompt, /Vocal Chop/);
    assert.match(prompt, /samplePeakDbFS/);

    // A request typed in the composer becomes a plan card.
    await page.click('#tab-assistant');
    await page.fill('#composer-input', 'mute la piste sélectionnée');
    await page.press('#composer-input', 'Enter');
    await see('.plan-card button:has-text("Confirmer")');
    await page.locator('.plan-card').last().locator('button:has-text("Refuser")').click();
  } finally {
    await events.close();
    await browserContext.close();
  }
  assert.deepEqual(problems, []);
});
