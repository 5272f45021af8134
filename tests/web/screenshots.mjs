// Writes a picture of every screen, at the panel's size and in compact mode,
// to build/screenshots/. They are for looking at, not for comparing.
//   node tests/web/screenshots.mjs

import fs from 'node:fs/promises';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { startStandIn } from './standin.mjs';
import { launch, openPanel, PANEL, COMPACT } from './browser.mjs';
import * as f from './fixtures.mjs';

const out = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../build/screenshots');

function connected(app) {
  app.send('setupStatus', f.readySetup());
  app.send('session', f.session());
  app.send('projectIdentity', f.identity());
  app.send('contextStatus', f.contextStatus());
  app.send('lifecycle', f.lifecycle());
  app.send('onboardingState', f.onboarding());
  app.send('projectIndex', f.projectIndex());
  app.send('preferenceProfile', f.preferenceProfile());
}

const shots = {
  async setup(page, app) {
    app.send('setupStatus', f.setupStatus());
    app.send('connection', { connected: false, message: 'Le bridge Ableton ne répond pas.', bridgeInstalled: false, abletonRunning: true });
    app.send('contextInvalidated', { message: 'Le bridge Ableton ne répond pas.' });
    app.send('agentConnectionResult', { ok: true, pending: true, agent: 'codex', message: 'Connexion à Codex…' });
    await page.waitForSelector('[data-check="bridge"]');
  },
  async assistant(page, app) {
    connected(app);
    await page.click('#tab-assistant');
    await page.fill('#composer-input', 'Pourquoi mon arrangement paraît vide ?');
    await page.press('#composer-input', 'Enter');
    app.send('chatResult', {
      ok: true,
      source: 'codex',
      answer: 'Ton arrangement fait **48 mesures** pour **3 sections** : il manque une vraie respiration avant le drop.\n\nDuplique le groove sur 16 mesures et place un locator « Break » à la mesure 33.',
      visual: f.visual(),
    });
    await page.waitForSelector('.visual');
  },
  async plan(page, app) {
    connected(app);
    await page.fill('#composer-input', 'crée une bassline en fa mineur');
    await page.press('#composer-input', 'Enter');
    app.send('planResult', { ok: true, plan: f.plan(), prompt: 'crée une bassline en fa mineur' });
    await page.waitForSelector('.plan-card');
  },
  async planRunning(page, app) {
    connected(app);
    app.send('planResult', { ok: true, plan: f.plan({ title: 'Écouter le master', actions: [{ id: 'M', command: 'audio.listen-master', title: 'Écouter le master', detail: 'Capture de 8 mesures à la mesure 17 sur une piste temporaire.', mode: 'read', reversible: false }] }), prompt: 'écoute le master' });
    await page.click('.plan-card button.button-primary');
    app.send('planProgress', { planId: f.plan().planId, index: 0, total: 1, title: 'Écouter le master' });
    app.send('masterCaptureProgress', { jobId: 'job-1', status: 'recording', progress: 0.45, bars: 8 });
    await page.waitForSelector('.plan-capture:not(:empty)');
  },
  async stages(page, app) {
    connected(app);
    await page.click('#tab-stages');
    await page.waitForSelector('.rung-current');
  },
  async listen(page, app) {
    connected(app);
    await page.click('#tab-listen');
    app.send('keyResult', { ok: true, key: 'F minor', confidence: 0.71, analyzedSeconds: 30.5, track: 'Bass', clip: 'Bass Loop 2', kind: 'audio' });
    app.send('audioResult', { ok: true, measurement: f.measurement(), continueChat: false });
    await page.waitForSelector('.measurement');
  },
  async master(page, app) {
    connected(app);
    await page.click('#tab-listen');
    app.send('audioResult', { ok: true, measurement: f.masterMeasurement({ temporaryTrackRemoved: false, cleanupWarning: 'Supprime manuellement la piste __Vantorel Master Listen — temporary__.' }), continueChat: false });
    await page.waitForSelector('.measurement');
  },
  async projects(page, app) {
    connected(app);
    await page.click('#tab-projects');
    app.send('projectScanProgress', { running: true, completed: 12, total: 40 });
    await page.waitForSelector('.project-list');
  },
  async profile(page, app) {
    connected(app);
    await page.click('#tab-profile');
    await page.waitForSelector('.profile-form');
  },
  async offline(page, app) {
    connected(app);
    app.send('contextInvalidated', { message: 'Ableton est fermé. Ouvre un projet pour démarrer une nouvelle session.' });
    app.send('connection', { connected: false, message: 'Ableton est fermé. Ouvre un projet pour démarrer une nouvelle session.', bridgeInstalled: true, abletonRunning: false });
    await page.waitForSelector('.pill-offline');
  },
};

await fs.mkdir(out, { recursive: true });
const browser = await launch();
try {
  // "long" shows whole screens that scroll in the panel.
  const sizes = [['panel', PANEL], ['compact', COMPACT], ['long', { width: PANEL.width, height: 1700 }]];
  const long = new Set(['setup', 'stages', 'listen', 'master', 'projects', 'profile']);
  for (const [label, viewport] of sizes) {
    for (const [screen, drive] of Object.entries(shots)) {
      if (label === 'long' && !long.has(screen)) continue;
      const app = await startStandIn();
      const { page, context, problems } = await openPanel(browser, app, { viewport });
      await drive(page, app);
      if (label === 'compact') {
        await page.click('#btn-compact');
        await app.waitFor('compact');
      }
      await page.waitForTimeout(150);
      const file = path.join(out, `${screen}-${label}.png`);
      await page.screenshot({ path: file });
      if (problems.length) console.error(`${screen}-${label}: ${problems.join(' | ')}`);
      await context.close();
      await app.close();
      console.log(file);
    }
  }
} finally {
  await browser.close();
}
