// The panel page in Debian's Chromium against a scripted stand-in of the app.
// Each flow plays the app's side with events shaped like the app's own and
// checks what the producer sees and what the page sent, in order.

import { test, before, after, beforeEach, afterEach } from 'node:test';
import assert from 'node:assert/strict';
import { startStandIn } from './standin.mjs';
import { launch, openPanel } from './browser.mjs';
import * as f from './fixtures.mjs';

let browser;
let app;
let page;
let context;
let problems;

before(async () => {
  browser = await launch();
});
after(async () => {
  await browser?.close();
});
beforeEach(async () => {
  app = await startStandIn();
  ({ page, context, problems } = await openPanel(browser, app));
});
afterEach(async () => {
  const seen = problems.slice();
  await context.close();
  await app.close();
  assert.deepEqual(seen, [], 'the page reported no error');
});

// What the app sends once the page is ready and Live is connected.
function connect(over = {}) {
  app.send('setupStatus', f.readySetup());
  app.send('projectIndex', { indexed: false, projects: [] });
  app.send('preferenceProfile', f.preferenceProfile([]));
  app.send('lifecycle', over.lifecycle || f.lifecycle());
  app.send('projectIdentity', over.identity || f.identity());
  app.send('session', over.session || f.session());
  app.send('onboardingState', over.onboarding || f.onboarding());
  app.send('contextStatus', f.contextStatus());
}

const see = (selector, text) => page.locator(selector, text === undefined ? {} : { hasText: text }).first().waitFor({ timeout: 4000 });
const gone = (selector, text) => page.locator(selector, text === undefined ? {} : { hasText: text }).first().waitFor({ state: 'detached', timeout: 4000 });
const textOf = (selector) => page.locator(selector).first().innerText();
const since = (n) => app.types().slice(n);

async function ask(prompt) {
  await page.fill('#composer-input', prompt);
  await page.press('#composer-input', 'Enter');
  return app.waitFor((m) => m.type === 'assistantRequest' && m.prompt === prompt);
}

test('set-up: from nothing installed to a connected session', async () => {
  app.send('setupStatus', f.setupStatus());
  app.send('projectIndex', { indexed: false, projects: [] });
  await see('#screen-setup:not([hidden]) [data-check="bridge"]', 'Bridge Ableton');
  assert.match(await textOf('[data-check="bridge"]'), /À faire/);

  // A failed installation leaves the button usable again.
  await page.click('button[data-action="installBridge"]');
  await app.waitFor('installBridge');
  await see('.result-pending', 'Installation en cours');
  assert.equal(await page.isDisabled('button[data-action="installBridge"]'), true);
  app.send('setupStatus', f.setupStatus({ error: true, message: 'Permission refusée sur le dossier Remote Scripts.' }));
  app.send('installationResult', { ok: false, message: 'Permission refusée sur le dossier Remote Scripts.' });
  await see('.result-error', 'Permission refusée');
  assert.equal(await page.isDisabled('button[data-action="installBridge"]'), false);

  await page.click('button[data-action="installBridge"]');
  await app.waitFor('installBridge', { count: 2 });
  app.send('setupStatus', f.readySetup({ preferredAgent: null, message: 'Bridge installé dans Ableton.' }));
  app.send('installationResult', { ok: true, destinationPath: '/home/lea/Music/Ableton/User Library/Remote Scripts/VantorelBridge', abletonRunning: true });
  await see('.notice-ok', 'Bridge installé dans Ableton.');
  await see('.result-ok', 'User Library/Remote Scripts/VantorelBridge');
  assert.match(await textOf('[data-check="bridge"]'), /Fait/);

  await page.click('button[data-action="connectAgent-codex"]');
  assert.deepEqual(await app.waitFor('connectAgent'), { type: 'connectAgent', agent: 'codex' });
  app.send('agentConnectionResult', { ok: true, pending: true, agent: 'codex', message: 'Connexion à Codex…' });
  await see('[data-check="agent-codex"] .result-pending', 'Connexion à Codex…');
  assert.equal(await page.isDisabled('button[data-action="connectAgent-codex"]'), true);
  app.send('agentConnectionResult', { ok: false, agent: 'claude', message: 'Claude Code n’est pas installé sur cet ordinateur. Installe-le puis réessaie.' });
  app.send('agentConnectionResult', { ok: true, agent: 'codex', message: 'Codex utilise maintenant Vantorel.' });
  await see('[data-check="agent-codex"] .result-ok', 'Codex utilise maintenant Vantorel.');
  await see('[data-check="agent-claude"] .result-error', 'Claude Code n’est pas installé');

  await page.check('#launch-at-login');
  assert.deepEqual(await app.waitFor('setLaunchAtLogin'), { type: 'setLaunchAtLogin', enabled: true });
  app.send('setupStatus', f.readySetup({ launchAtLogin: true, launchAtLoginRequiresApproval: true, preferredAgent: 'codex' }));
  await page.click('button[data-action="openLoginSettings"]');
  await app.waitFor('openLoginSettings');

  await page.click('button[data-action="recheckConnection"]');
  await app.waitFor('recheckConnection');
  connect();
  await see('#connection-pill', 'Connecté');
  await see('.ready-line', 'Tout est prêt.');
  await page.click('.ready-line button');
  assert.equal(await page.isVisible('#screen-assistant'), true);

  assert.deepEqual(app.types(), ['ready', 'installBridge', 'installBridge', 'connectAgent', 'setLaunchAtLogin', 'openLoginSettings', 'recheckConnection']);
});

test('a full session: header, stage ladder and an answer with its picture', async () => {
  connect();
  await see('#connection-pill', 'Connecté');
  assert.equal(await textOf('#project-name'), 'Nuit Blanche');
  assert.equal(await textOf('#project-saved'), 'Enregistré');
  const meta = await textOf('#session-meta');
  for (const part of ['Révision 42', '124 BPM', '8 pistes', 'contexte de 180']) assert.ok(meta.includes(part), `${part} dans « ${meta} »`);

  app.send('projectIdentity', { source: 'sessionFingerprint', saved: true, name: 'Nuit Blanche v2', path: '/p/Nuit Blanche v2.als', confidence: 0.86 });
  await see('#project-saved', 'reconnu dans l’index à 86');
  app.send('projectIdentity', { source: 'unsaved', saved: false, message: 'Nouveau morceau non enregistré' });
  await see('#project-saved.unsaved', 'Nouveau morceau non enregistré');
  app.send('projectIdentity', f.identity());

  await see('#stage-strip', 'Étape 3/6 · Arrangement');
  assert.match(await textOf('#stage-strip'), /Prochain pas : Atteindre 64 mesures/);
  await page.click('#stage-strip button');
  await see('#screen-stages:not([hidden]) .rung-current[open]', 'Arrangement');
  assert.equal(await page.locator('.rung-item').count(), 6);
  assert.match(await textOf('.rung-current .missing'), /Définir au moins 4 sections vérifiables/);
  assert.match(await textOf('.rung-item[data-stage="2"] .rung-state'), /Atteinte/);
  await page.click('.rung-item[data-stage="2"] summary');
  assert.match(await textOf('.rung-item[data-stage="2"] .rung-date'), /Atteinte le 2 nov\. 2026/);
  const history = await page.locator('.timeline-list li').allInnerTexts();
  assert.equal(history.length, 2);
  assert.match(history[0], /Atteinte : étape 2 · Groove/, 'newest first');

  await page.click('.rung-current button[data-action="validate-3"]');
  assert.deepEqual(await app.waitFor('validateProjectStage'), { type: 'validateProjectStage', stage: 3 });
  app.send('onboardingState', f.onboarding({ validatedStage: 3 }));
  await see('.rung-item[data-stage="3"] .tag-validated', 'Confirmée par toi');

  await page.click('#tab-assistant');
  await ask('Pourquoi mon arrangement paraît vide ?');
  await see('.thinking', 'Vantorel réfléchit');
  app.send('chatResult', {
    ok: true, source: 'codex', visual: f.visual(),
    answer: 'Ton arrangement fait **48 mesures** pour **3 sections**.\n\nAjoute un break avant le drop.',
  });
  await see('.bubble-assistant .visual');
  await gone('.thinking');
  assert.deepEqual(await page.locator('.bubble-assistant strong').allInnerTexts(), ['48 mesures', '3 sections']);
  assert.equal(await page.locator('.bubble-assistant .answer p').count(), 2);
  assert.equal(await textOf('.bubble-assistant .source'), 'Codex');
  const label = await page.getAttribute('.visual-svg', 'aria-label');
  assert.match(label, /8 pistes, dont 7 avec du contenu ; arrangement de 48 mesures en 3 sections/);
  assert.equal(await page.locator('.visual-svg .v-track').count(), 8);
  assert.equal(await page.locator('.visual-svg .v-track-full').count(), 7);
  assert.equal(await page.locator('.visual-svg .v-role').count(), 6);
  assert.equal(await page.textContent('.visual-svg .v-role-selected'), 'Basse');
  assert.match(await textOf('.visual-selected'), /Piste sélectionnée : Bass · Basse/);

  app.send('chatResult', { ok: false, source: 'agent-unavailable', message: 'Codex n’a pas répondu à temps.' });
  await see('.bubble-error', 'Codex n’a pas répondu à temps.');

  app.send('sessionReset', { reason: 'projectChanged' });
  await see('.notice-info', 'Un autre projet est ouvert dans Ableton');
  assert.equal(await page.locator('.bubble').count(), 0, 'the conversation is cleared');

  assert.deepEqual(app.types(), ['ready', 'validateProjectStage', 'assistantRequest']);
});

test('a plan from the request to its confirmation, progress, result and undo; then a declined one', async () => {
  connect();
  await ask('crée une bassline en fa mineur');
  app.send('planResult', { ok: true, plan: f.plan(), prompt: 'crée une bassline en fa mineur' });
  await see('.plan-card', 'Bassline en F minor');
  assert.match(await textOf('.plan-card .plan-intent'), /Créer une piste MIDI et un clip de basse/);
  assert.deepEqual(await page.locator('.plan-card .step-title').allInnerTexts(), ['Créer une piste MIDI', 'Écrire la bassline']);
  assert.deepEqual(await page.locator('.plan-step').first().locator('.tag').allInnerTexts(), ['Modifie le projet', 'Annulable']);

  await page.click('.plan-card button:has-text("Confirmer")');
  assert.deepEqual(await app.waitFor('executePlan'), { type: 'executePlan', planId: f.plan().planId, prompt: 'crée une bassline en fa mineur' });
  assert.equal(await page.isDisabled('.plan-card button:has-text("Confirmer")'), true);
  assert.equal(await page.isDisabled('.plan-card button:has-text("Refuser")'), true);

  const planId = f.plan().planId;
  app.send('planProgress', { planId, index: 0, total: 2, title: 'Créer une piste MIDI' });
  await see('.plan-progress-text', 'Étape 1 sur 2 : Créer une piste MIDI');
  app.send('planProgress', { planId, index: 1, total: 2, title: 'Écrire la bassline' });
  await see('.plan-progress-text', 'Étape 2 sur 2 : Écrire la bassline');
  assert.equal(await page.getAttribute('.plan-card [role="progressbar"]', 'aria-valuenow'), '50');
  assert.equal(await page.locator('.plan-step.step-done').count(), 1);
  assert.equal(await page.getAttribute('.plan-step[data-step="1"]', 'aria-current'), 'step');

  app.send('planExecutionResult', { ok: true, planId, completed: 2, total: 2, undoAvailable: true, message: 'Plan exécuté dans Ableton.' });
  await see('.plan-status-ok', 'Plan exécuté dans Ableton.');
  assert.equal(await page.getAttribute('.plan-card [role="progressbar"]', 'aria-valuenow'), '100');
  assert.equal(await textOf('.plan-kicker'), 'PLAN EXÉCUTÉ');

  await page.click('.plan-card button:has-text("Annuler dans Ableton")');
  await app.waitFor('undo');
  assert.equal(await page.isDisabled('.plan-card button:has-text("Annuler dans Ableton")'), true);
  app.send('undoResult', { ok: true, result: { summary: 'Clip « Bass F minor » retiré.', revision: 45 } });
  await see('.plan-status-ok', 'Annulé dans Ableton : Clip « Bass F minor » retiré.');
  assert.equal(await page.locator('.plan-card button').count(), 0);

  const second = f.plan({ planId: 'B-plan', title: 'Couper la piste 3', actions: [{ id: 'x', command: 'tracks.state', title: 'Mute de la piste 3', detail: 'Piste « Hats » coupée.', mode: 'write', reversible: true }] });
  app.send('planResult', { ok: true, plan: second, prompt: 'mute la piste 3' });
  await see('.plan-card[data-plan-id="B-plan"]');
  await page.click('.plan-card[data-plan-id="B-plan"] button:has-text("Refuser")');
  assert.deepEqual(await app.waitFor('declinePlan'), { type: 'declinePlan', planId: 'B-plan' });
  assert.equal(await page.isDisabled('.plan-card[data-plan-id="B-plan"] button:has-text("Refuser")'), true);
  app.send('preferenceProfile', f.preferenceProfile(['trackState · 0 validé(s), 1 refusé(s), 0 annulé(s)']));
  app.send('planDeclined', { ok: true, message: 'Refus explicite enregistré localement.' });
  await see('.plan-card[data-plan-id="B-plan"] .plan-status', 'Refus explicite enregistré localement.');
  assert.equal(await page.locator('.plan-card[data-plan-id="B-plan"] button').count(), 0);

  assert.deepEqual(app.types(), ['ready', 'assistantRequest', 'executePlan', 'undo', 'declinePlan']);
});

test('stale and expired plans: refreshed, refused before running, expired, stopped midway', async () => {
  connect();
  app.send('planResult', { ok: true, plan: f.plan({ planId: 'A' }), prompt: 'crée une bassline en fa mineur' });
  await page.click('.plan-card[data-plan-id="A"] button:has-text("Confirmer")');
  await app.waitFor('executePlan');
  app.send('planRefreshNotice', { message: 'Le contexte Ableton a été actualisé. Je régénère ce plan avec l’état actuel du projet ; vérifie-le puis confirme.' });
  await see('.plan-card[data-plan-id="A"] .plan-status', 'Je régénère ce plan');
  app.send('planResult', { ok: true, plan: f.plan({ planId: 'B', expectedRevision: 43 }), prompt: 'crée une bassline en fa mineur' });
  await see('.plan-card[data-plan-id="B"]', 'révision 43');
  assert.equal(await textOf('.plan-card[data-plan-id="A"] .plan-kicker'), 'PLAN REMPLACÉ');

  await page.click('.plan-card[data-plan-id="B"] button:has-text("Confirmer")');
  assert.equal((await app.waitFor('executePlan', { count: 2 })).planId, 'B');
  app.send('planExecutionResult', { ok: false, message: 'Le contexte Ableton n’est plus synchronisé. L’action est annulée avant toute modification.' });
  await see('.plan-card[data-plan-id="B"] .plan-status-error', 'annulée avant toute modification');
  await page.click('.plan-card[data-plan-id="B"] button:has-text("Préparer à nouveau")');
  assert.deepEqual(await app.waitFor('planRequest'), { type: 'planRequest', prompt: 'crée une bassline en fa mineur' });

  app.send('planResult', { ok: false, message: 'Le contexte Ableton n’est pas synchronisé. Attends que le nom du projet et ses pistes réapparaissent avant de relancer l’action.' });
  await see('.chat-stream .notice-error', 'Le contexte Ableton n’est pas synchronisé.');
  app.send('planResult', { ok: true, plan: f.plan({ planId: 'C' }), prompt: 'crée une bassline en fa mineur' });
  await see('.plan-card[data-plan-id="C"] button:has-text("Confirmer")');
  app.send('contextInvalidated', { message: 'Le bridge Ableton ne répond pas.' });
  await see('.plan-card[data-plan-id="C"] .plan-status-warn', 'Ce plan a expiré');
  assert.equal(await page.locator('.plan-card[data-plan-id="C"] button:has-text("Confirmer")').count(), 0);

  connect();
  const three = f.plan({
    planId: 'D',
    actions: ['Créer une piste', 'Renommer la piste 4', 'Colorer'].map((title, i) => ({ id: `d${i}`, command: 'tracks.rename', title, detail: `${title}.`, mode: 'write', reversible: true })),
  });
  app.send('planResult', { ok: true, plan: three, prompt: 'organise' });
  await page.click('.plan-card[data-plan-id="D"] button:has-text("Confirmer")');
  await app.waitFor('executePlan', { count: 3 });
  app.send('planProgress', { planId: 'D', index: 0, total: 3, title: 'Créer une piste' });
  app.send('planProgress', { planId: 'D', index: 1, total: 3, title: 'Renommer la piste 4' });
  app.send('planExecutionResult', { ok: false, planId: 'D', completed: 1, total: 3, undoAvailable: true, message: 'La piste 4 n’existe pas.' });
  await see('.plan-card[data-plan-id="D"] .plan-status-error', 'La piste 4 n’existe pas.');
  assert.equal(await textOf('.plan-card[data-plan-id="D"] .plan-progress-text'), '1 étape sur 3 appliquée');
  assert.equal(await page.locator('.plan-card[data-plan-id="D"] .step-failed .step-title').innerText(), 'Renommer la piste 4');
  await page.click('.plan-card[data-plan-id="D"] button:has-text("Annuler la dernière étape appliquée")');
  await app.waitFor('undo');
  app.send('undoResult', { ok: false, message: 'Le bridge Ableton ne répond pas.' });
  await see('.plan-card[data-plan-id="D"] .plan-status-error', 'Le bridge Ableton ne répond pas.');
  assert.equal(await page.isDisabled('.plan-card[data-plan-id="D"] button:has-text("Annuler")'), false, 'a failed undo can be tried again');

  // A reset clears the conversation and says the pending plan is gone.
  app.send('planResult', { ok: true, plan: f.plan({ planId: 'E' }), prompt: 'x' });
  await see('.plan-card[data-plan-id="E"]');
  app.send('sessionReset', { reason: 'abletonRestarted' });
  await see('.notice-warn', 'Le plan en attente a expiré');
  assert.equal(await page.locator('.plan-card').count(), 0);

  assert.deepEqual(since(1), ['executePlan', 'executePlan', 'planRequest', 'executePlan', 'undo']);
});

test('a lost connection, then Live and the page’s own link coming back', async () => {
  connect();
  await see('#stage-strip:not([hidden])');
  app.send('contextInvalidated', { message: 'Ableton est fermé. Ouvre un projet pour démarrer une nouvelle session.' });
  app.send('connection', { connected: false, message: 'Ableton est fermé. Ouvre un projet pour démarrer une nouvelle session.', bridgeInstalled: true, abletonRunning: false });
  await see('#connection-pill.pill-offline', 'Hors ligne');
  await see('#session-message', 'Ableton est fermé.');
  assert.equal(await textOf('#project-name'), 'Aucun projet synchronisé');
  assert.equal(await page.isHidden('#stage-strip'), true);
  await page.click('#tab-stages');
  await see('#stages-body .empty', 'Les six étapes apparaissent');

  app.send('connection', { connected: false, message: 'Le bridge Ableton ne répond pas.', bridgeInstalled: false, abletonRunning: true });
  await page.click('#session-message button:has-text("Installer le bridge")');
  assert.equal(await page.isVisible('#screen-setup'), true);

  connect();
  await see('#connection-pill.pill-online', 'Connecté');
  assert.equal(await page.isHidden('#session-message'), true);
  await page.click('#tab-assistant');
  app.send('showSetup', {});
  await see('#screen-setup:not([hidden])');

  // The event stream itself drops: the page says so, reconnects and asks
  // the app for the whole picture again.
  app.dropStreams();
  await app.waitFor('ready', { count: 2 });
  await gone('#link-banner:not([hidden])');
  assert.deepEqual(app.types(), ['ready', 'ready']);
});

test('key detection and a clip measurement with its drawings', async () => {
  connect();
  await page.click('#tab-listen');
  await page.click('#find-key');
  await app.waitFor('findKey');
  assert.equal(await page.isDisabled('#find-key'), true);
  app.send('keyResult', { ok: true, key: 'F♯ minor', confidence: 0.755, analyzedSeconds: 30.5, track: 'Bass', clip: 'Bass Loop 2', kind: 'audio' });
  await see('.key-name', 'F♯ minor');
  assert.equal(await textOf('.key-french'), 'fa dièse mineur');
  assert.equal(await textOf('.confidence-label'), 'Confiance élevée · 76\u202f%');
  assert.match(await textOf('.key-source'), /Clip Bass Loop 2 sur Bass/);
  assert.match(await textOf('#key-card .fine'), /Analyse audio locale de 30,5\s?s/);
  app.send('keyResult', { ok: false, message: 'Ableton n’est pas connecté.' });
  await see('#key-card .notice-error', 'Ableton n’est pas connecté.');

  await page.click('#listen-clip');
  await app.waitFor('listenSelectedClip');
  app.send('audioProgress', { active: true });
  await see('#measure-card .progress.indeterminate');
  app.send('audioResult', { ok: true, measurement: f.measurement(), continueChat: false });
  await see('.measurement[data-scope="clip"]');
  await gone('#measure-card .progress.indeterminate');

  assert.deepEqual(await page.locator('.figure dd').allInnerTexts(), ['−0,8\u202fdBFS', '−12,4\u202fdBFS', '11,6\u202fdB', '7,9\u202fdB']);
  assert.equal(await textOf('.band[data-band="bass_60_120"] .band-value'), '26,4\u202f%');
  const widths = await page.$$eval('.band-fill', (els) => els.map((e) => parseFloat(e.style.width)));
  assert.equal(widths[1], 100, 'the largest share fills its bar');
  assert.equal(widths[5], Number(((4.5 / 26.4) * 100).toFixed(1)));

  // The drawings are made from the numbers: a loud waveform column is drawn
  // in the accent colour, the spectrogram's loud low cells are brighter than
  // its quiet high ones.
  const pixels = await page.evaluate(() => {
    const wave = document.querySelector('canvas.waveform').getContext('2d');
    const spectro = document.querySelector('.spectrogram').getContext('2d');
    const at = (g, x, y) => [...g.getImageData(x, y, 1, 1).data].slice(0, 3);
    return { waveCentre: at(wave, 3, 60), waveEdge: at(wave, 3, 2), low: at(spectro, 400, 275), high: at(spectro, 400, 4) };
  });
  assert.notDeepEqual(pixels.waveCentre, pixels.waveEdge);
  const brightness = (rgb) => rgb[0] + rgb[1] + rgb[2];
  assert.ok(brightness(pixels.low) > brightness(pixels.high) + 150, JSON.stringify(pixels));

  assert.match(await textOf('.stereo'), /Corrélation \+0,82/);
  assert.match(await textOf('.stereo'), /Largeur 34\s?%/);
  const needle = await page.$eval('.gauge-needle', (l) => [Number(l.getAttribute('x1')), Number(l.getAttribute('x2'))]);
  assert.ok(needle[1] > needle[0] + 40, 'a correlation of 0.82 points far right');
  assert.match(await textOf('.measure-key'), /F minor · confiance moyenne, 71\s?%/);

  const mono = f.measurement({ channelCount: 1, stereoCorrelation: undefined, stereoWidthPercent: undefined, bandEnergyPercent: {}, spectrogram: [] });
  app.send('audioResult', { ok: true, measurement: JSON.parse(JSON.stringify(mono)), continueChat: false });
  await see('.stereo-mono', 'Fichier mono');
  await see('.measurement', 'Extrait trop court pour répartir l’énergie');

  await page.fill('#measure-question', 'Le bas est-il trop chargé ?');
  await page.press('#measure-question', 'Enter');
  assert.deepEqual(await app.waitFor('chatRequest'), { type: 'chatRequest', question: 'Le bas est-il trop chargé ?' });
  assert.equal(await page.isVisible('#screen-assistant'), true);
  await see('.bubble-user', 'Le bas est-il trop chargé ?');

  await page.click('#tab-listen');
  app.send('audioResult', { ok: false, message: 'Le format audio de ce clip n’est pas pris en charge.' });
  await see('#measure-card .notice-error', 'pas pris en charge');
  assert.deepEqual(app.types(), ['ready', 'findKey', 'listenSelectedClip', 'chatRequest']);
});

test('a master capture’s progress, then its measurement', async () => {
  connect();
  const listen = f.plan({ planId: 'M', title: 'Écouter le master', actions: [{ id: 'm', command: 'audio.listen-master', title: 'Écouter le master', detail: '8 mesures à partir de la mesure 17.', mode: 'read', reversible: false }] });
  app.send('planResult', { ok: true, plan: listen, prompt: 'écoute le master' });
  await page.click('.plan-card button:has-text("Confirmer")');
  await app.waitFor('executePlan');
  app.send('planProgress', { planId: 'M', index: 0, total: 1, title: 'Écouter le master' });
  app.send('masterCaptureProgress', { jobId: 'job-1', status: 'recording', progress: 0.25, bars: 8 });
  await see('.plan-capture', 'Enregistrement du master — 2 mesures sur 8, 25\u202f%');
  assert.equal(await page.isVisible('#tab-listen .badge'), true, 'the listening tab shows news');

  await page.click('#tab-listen');
  assert.equal(await page.getAttribute('.capture-progress [role="progressbar"]', 'aria-valuenow'), '25');
  app.send('masterCaptureProgress', { jobId: 'job-1', status: 'recording', progress: 75, bars: 8 });
  await see('.capture-progress', '6 mesures sur 8');
  app.send('masterCaptureProgress', { jobId: 'job-1', status: 'ready', bars: 8 });
  await see('.capture-progress', 'Enregistrement terminé, mesure en cours');

  app.send('audioResult', {
    ok: true, continueChat: false,
    measurement: f.masterMeasurement({ temporaryTrackRemoved: false, cleanupWarning: 'Supprime manuellement la piste __Vantorel Master Listen — temporary__.' }),
  });
  await see('.measurement[data-scope="master"]', 'Master rendu');
  await gone('.capture-progress');
  assert.match(await textOf('.capture-facts'), /^8 mesures capturées$/);
  await see('.measurement .notice-warn', 'Supprime manuellement la piste __Vantorel Master Listen — temporary__.');
  app.send('planExecutionResult', { ok: true, planId: 'M', completed: 1, total: 1, undoAvailable: false, message: 'Plan exécuté dans Ableton.' });
  await page.click('#tab-assistant');
  await see('.plan-card .plan-status-ok', 'Plan exécuté');
  await page.click('#tab-listen');
  assert.equal(await page.locator('.plan-card button').count(), 0, 'nothing to undo after listening');

  app.send('audioResult', { ok: true, continueChat: false, measurement: f.masterMeasurement() });
  await see('.capture-facts', '8 mesures capturées · piste temporaire supprimée');
  assert.equal(await page.locator('.measurement .notice-warn').count(), 0);
});

test('loudness and true peak beside the levels, with the curve and its streaming references', async () => {
  connect();
  await page.click('#tab-listen');
  const curve = Array.from({ length: 30 }, (_, i) => (i < 10 ? -18 : -9.5 + (i % 3) * 0.4));
  app.send('audioResult', {
    ok: true, continueChat: false,
    measurement: f.masterMeasurement({ integratedLufs: -9.84, loudnessRangeLu: 5.26, shortTermLufsMax: -8.3, momentaryLufsMax: -7.1, truePeakDbTP: -0.3, loudnessCurve: curve }),
  });
  await see('.loudness', 'Loudness et crête vraie');
  assert.deepEqual(await page.locator('.loudness-figures dd').allInnerTexts(),
    ['−9,8\u202fLUFS', '5,3\u202fLU', '−0,3\u202fdBTP', '−8,3\u202fLUFS']);
  assert.equal(await page.locator('.loudness-figures .figure-warn').count(), 1, 'a true peak past −1 dBTP is flagged');
  await see('.true-peak-warning', 'dépasse −1\u202fdBTP');
  const labels = await page.$eval('.loudness-curve', (svg) => svg.textContent);
  assert.match(labels, /−14\u202fLUFS · référence streaming/);
  assert.match(labels, /−1\u202fdBTP · plafond streaming/);
  const shape = await page.evaluate(() => {
    const points = document.querySelector('.loudness-line').getAttribute('points').trim().split(' ').map((p) => p.split(',').map(Number));
    const reference = Number(document.querySelector('.reference-lufs').getAttribute('y1'));
    return { count: points.length, first: points[0][1], last: points[points.length - 1][1], reference };
  });
  assert.equal(shape.count, 30);
  assert.ok(shape.first > shape.reference, 'the quiet start is drawn below the −14 LUFS line');
  assert.ok(shape.last < shape.reference, 'the loud end is drawn above it');

  // Under the ceiling, nothing is flagged; without loudness the section is absent.
  app.send('audioResult', { ok: true, continueChat: false, measurement: f.masterMeasurement({ integratedLufs: -14.2, truePeakDbTP: -1.0, loudnessCurve: curve }) });
  await see('.loudness-figures dd', '−14,2\u202fLUFS');
  assert.equal(await page.locator('.loudness .figure-warn, .true-peak-warning, .true-peak-over').count(), 0);
  app.send('audioResult', { ok: true, continueChat: false, measurement: f.masterMeasurement({ truePeakDbTP: -20.5, loudnessCurve: [] }) });
  await see('.loudness-figures dd', 'trop faible ou trop court');
  assert.equal(await page.locator('.loudness-curve').count(), 0);
  app.send('audioResult', { ok: true, continueChat: false, measurement: f.measurement() });
  await see('.measurement[data-scope="clip"]');
  assert.equal(await page.locator('.loudness').count(), 0);
});

test('the project list with a scan in progress, warnings and its commands', async () => {
  connect();
  await page.click('#tab-projects');
  await see('.empty-state', 'Aucun dossier de projets indexé.');
  await page.click('#choose-folder');
  await app.waitFor('chooseProjectFolder');

  app.send('projectScanProgress', { running: true, completed: 0, total: 0 });
  await see('#projects-body .card-progress', 'Recherche des Live Sets');
  app.send('projectScanProgress', { running: true, completed: 12, total: 40 });
  await see('#projects-body .card-progress', 'Lecture des projets : 12 sur 40');
  assert.equal(await page.getAttribute('#projects-body [role="progressbar"]', 'aria-valuenow'), '30');
  app.send('projectScanProgress', { running: false, completed: 40, total: 40 });
  app.send('projectIndex', f.projectIndex());
  await see('.project-list');
  await gone('#projects-body .card-progress');

  assert.deepEqual(await page.locator('.project-title').allInnerTexts(), ['Nuit Blanche', 'Aube', 'Esquisse 7']);
  const first = await page.locator('.project').first().innerText();
  for (const part of ['Étape 5 · Mix', 'Prochain pas : Équilibrer les niveaux', 'Reste : environ 2 h', '124 BPM', 'modifié le 28 oct. 2026']) {
    assert.ok(first.includes(part), `${part} dans « ${first} »`);
  }
  assert.equal(await page.locator('.project').first().locator('.seg-on').count(), 5);
  assert.match(await textOf('.project:nth-child(2)'), /128,5 BPM/);
  assert.equal(await textOf('.project:nth-child(3) .warnings'), 'Aucun tempo trouvé dans ce projet.');
  await page.click('.index-warnings summary');
  await see('.index-warnings .warnings', 'Impossible de décompresser Vieux morceau.als');

  await page.click('.project:nth-child(2) button:has-text("Ouvrir")');
  assert.deepEqual(await app.waitFor('openProject'), { type: 'openProject', path: '/home/lea/Musique/Projets/Aube Project/Aube.als' });
  app.send('projectScanResult', { ok: true, message: 'Ouverture demandée à Ableton Live.' });
  await see('#projects-body .notice-ok', 'Ouverture demandée à Ableton Live.');

  await page.click('#rescan');
  await app.waitFor('rescanProjects');

  await page.click('#clear-index');
  await page.click('#clear-cancel');
  await page.click('#clear-index');
  await page.click('#clear-confirm');
  await app.waitFor('clearProjectIndex');
  app.send('projectIndex', { indexed: false, projects: [] });
  app.send('projectScanResult', { ok: true, message: 'Index local effacé. Aucun fichier Ableton n’a été modifié.' });
  await see('.empty-state');
  await see('#projects-body .notice-ok', 'Index local effacé.');

  assert.deepEqual(app.types(), ['ready', 'chooseProjectFolder', 'openProject', 'rescanProjects', 'clearProjectIndex']);
});

test('onboarding: profile, organisation, stage, completion and preferences', async () => {
  connect();
  app.send('preferenceProfile', f.preferenceProfile());
  await page.click('#tab-profile');
  await see('.onboarding-step[data-step="stage"]', 'Vantorel détecte l’étape 3 · Arrangement');

  await page.click('.segment:has-text("Avancé")');
  await page.fill('#profile-genre', '  Techno mélodique ');
  await page.click('.segment:has-text("Le club")');
  await page.fill('#profile-mainBlocker', 'Finir les arrangements');
  // The app's 2 s poll must not wipe what is being typed.
  app.send('onboardingState', f.onboarding({ profile: { ...f.onboarding().profile, genre: 'House' } }));
  await page.waitForTimeout(100);
  assert.equal(await page.inputValue('#profile-genre'), '  Techno mélodique ');

  await page.click('#profile-save');
  assert.deepEqual((await app.waitFor('saveProducerProfile')).profile, {
    level: 'avancé', genre: '  Techno mélodique ', references: '', targetFormat: 'club', mainBlocker: 'Finir les arrangements', answerStyle: '',
  });
  await see('#profile-status', 'Enregistrement…');
  app.send('onboardingError', { message: 'Complète les cinq choix obligatoires du profil producteur.' });
  await see('#profile-status .error-text', 'Complète les cinq choix obligatoires');

  await page.click('.segment:has-text("Expliquées")');
  await page.click('#profile-save');
  assert.equal((await app.waitFor('saveProducerProfile', { count: 2 })).profile.answerStyle, 'expliqué');
  const profile = { level: 'avancé', genre: 'Techno mélodique', references: '', targetFormat: 'club', mainBlocker: 'Finir les arrangements', answerStyle: 'expliqué', complete: true };
  app.send('producerProfileSaved', f.onboarding({ profile }));
  await see('#profile-status .ok-text', 'Profil enregistré.');
  await see('.onboarding-step.step-ok[data-step="profile"]');
  assert.equal(await page.inputValue('#profile-genre'), 'Techno mélodique', 'the form shows what the app stored');

  await page.click('button[data-action="organize"]');
  await app.waitFor('requestOnboardingOrganization');
  assert.equal(await page.isVisible('#screen-assistant'), true, 'the organisation plan will show in the assistant');
  app.send('planResult', { ok: true, plan: f.plan({ planId: 'O', title: 'Organiser les pistes' }), prompt: 'Identifie, renomme et colore toutes les pistes avant d’analyser le mix.' });
  await see('.plan-card', 'Organiser les pistes');

  await page.click('#tab-profile');
  assert.equal(await page.isDisabled('button[data-action="complete"]'), true);
  await page.selectOption('#stage-choice', '4');
  await page.click('button[data-action="validate"]');
  assert.deepEqual(await app.waitFor('validateProjectStage'), { type: 'validateProjectStage', stage: 4 });
  app.send('onboardingState', f.onboarding({ profile, organized: true, validatedStage: 4 }));
  await see('.onboarding-step.step-ok[data-step="stage"]', 'Tu as confirmé l’étape 4 · Transitions');
  await page.click('button[data-action="complete"]');
  await app.waitFor('completeOnboarding');
  app.send('onboardingState', f.onboarding({ profile, organized: true, validatedStage: 4, completed: true }));
  await see('#profile-body .notice-ok', 'Accueil terminé pour ce projet');

  await page.click('button[data-action="reset"]');
  await page.click('#reset-confirm');
  await app.waitFor('resetOnboarding');

  assert.deepEqual(await page.locator('.pref-label').allInnerTexts(), ['Création de clip MIDI', 'Organisation des pistes']);
  assert.equal(await page.locator('.pref-detail').first().innerText(), '2 validé(s), 0 refusé(s), 1 annulé(s)');
  await page.click('#prefs-reset');
  await page.click('#prefs-confirm');
  await app.waitFor('resetPreferenceProfile');
  app.send('preferenceProfile', f.preferenceProfile([]));
  await see('#preferences-body .empty', 'Rien pour l’instant');

  assert.deepEqual(since(1), ['saveProducerProfile', 'saveProducerProfile', 'requestOnboardingOrganization', 'validateProjectStage', 'completeOnboarding', 'resetOnboarding', 'resetPreferenceProfile']);
});

test('a session that ends forgets the project’s onboarding: no save or stage left waiting', async () => {
  connect();
  await page.click('#tab-profile');
  await page.click('.segment:has-text("Avancé")');
  await page.click('#profile-save');
  await app.waitFor('saveProducerProfile');
  await see('#profile-status', 'Enregistrement…');
  // Live quits before the app confirms: without a project it never will.
  app.send('contextInvalidated', { message: 'Ableton est fermé. Ouvre un projet pour démarrer une nouvelle session.' });
  await see('#profile-status .ok-text', 'Profil envoyé à Vantorel.');
  await see('#profile-body .empty', 'Ouvre un projet dans Ableton');

  // Saved with no project open: sent, nothing awaited.
  await page.click('#profile-save');
  await app.waitFor('saveProducerProfile', { count: 2 });
  await see('#profile-status .ok-text', 'Profil envoyé à Vantorel.');

  connect();
  await page.click('#tab-stages');
  await page.locator('[data-action^="validate-"]').first().waitFor({ state: 'attached', timeout: 4000 });
  app.send('sessionReset', { reason: 'projectChanged' });
  await gone('[data-action^="validate-"]');
});

test('compact mode, hiding the panel, and the sizes the panel may take', async () => {
  connect();
  await page.click('#tab-listen');
  await page.click('#btn-compact');
  assert.deepEqual(await app.waitFor('compact'), { type: 'compact', compact: true });
  await page.setViewportSize({ width: 390, height: 440 });
  assert.equal(await page.getAttribute('#btn-compact', 'aria-pressed'), 'true');
  assert.equal(await page.isHidden('.tabs'), true);
  assert.equal(await page.isVisible('#screen-assistant'), true);
  const composer = await page.locator('#composer').boundingBox();
  assert.ok(composer.y + composer.height <= 440, 'the request box stays on screen');

  await page.click('#btn-compact');
  assert.deepEqual(await app.waitFor('compact', { count: 2 }), { type: 'compact', compact: false });
  await page.setViewportSize({ width: 438, height: 720 });
  assert.equal(await page.isVisible('#screen-listen'), true, 'back where the producer was');

  await page.click('#btn-minimize');
  await app.waitFor('minimize');

  // The drag strip keeps the middle free of controls: the page's own
  // buttons sit within the 125 px on the right.
  const strip = await page.$$eval('.top-controls button', (bs) => bs.map((b) => b.getBoundingClientRect().left));
  for (const left of strip) assert.ok(left >= 438 - 125, `control at ${left}`);
  assert.equal((await page.locator('#drag-strip').boundingBox()).height, 64);

  // Keyboard: arrows move between tabs, and the focus can be seen.
  await page.focus('#tab-listen');
  await page.keyboard.press('ArrowRight');
  assert.equal(await page.evaluate(() => document.activeElement.id), 'tab-projects');
  assert.equal(await page.isVisible('#screen-projects'), true);
  const ring = await page.$eval('#tab-projects', (el) => getComputedStyle(el).boxShadow);
  assert.notEqual(ring, 'none');

  for (const size of [{ width: 390, height: 560 }, { width: 600, height: 900 }]) {
    await page.setViewportSize(size);
    const overflow = await page.evaluate(() => document.documentElement.scrollWidth - document.documentElement.clientWidth);
    assert.equal(overflow, 0, `no sideways scrolling at ${size.width} × ${size.height}`);
  }
  assert.deepEqual(since(1), ['compact', 'compact', 'minimize']);
});

test('hostile names stay inert text; malformed and unknown events are ignored', async () => {
  const hostile = '<img src=x onerror="window.__pwned=1">';
  const long = `Projet ${'très '.repeat(120)}long`;
  const rtl = 'مشروع الليل';
  connect({
    session: f.session({ project: hostile, tracks: [{ name: hostile }] }),
    identity: { source: 'liveName', saved: true, name: hostile },
    lifecycle: f.lifecycle({ project: rtl }),
  });
  app.send('projectIndex', f.projectIndex({
    projects: [
      { ...f.projectIndex().projects[0], name: long },
      { ...f.projectIndex().projects[1], name: rtl, warnings: [hostile] },
      { ...f.projectIndex().projects[2], name: '🔥 Drop final 🎛️' },
    ],
    warnings: [`<script>window.__pwned=2</script>`],
  }));
  app.send('chatResult', { ok: true, source: 'claude', answer: `Le clip **${hostile}** <b>non gras</b>`, visual: f.visual({ selectedTrack: hostile, project: rtl }) });
  app.send('planResult', { ok: true, plan: f.plan({ title: hostile, actions: [{ id: '1', command: 'tracks.rename', title: hostile, detail: rtl, mode: 'write', reversible: true }] }), prompt: hostile });
  app.send('keyResult', { ok: true, key: 'C major', confidence: 0.9, analyzedSeconds: 0, track: rtl, clip: hostile, kind: 'midi' });

  await see('#project-name', hostile);
  await see('.bubble-assistant strong', hostile);
  assert.match(await textOf('.bubble-assistant .answer'), /<b>non gras<\/b>/);
  assert.equal(await textOf('.plan-title'), hostile);
  assert.equal(await textOf('.visual-selected .strong'), hostile);
  await page.click('#tab-projects');
  assert.deepEqual(await page.locator('.project-title').allInnerTexts(), [long, rtl, '🔥 Drop final 🎛️']);
  const clipped = await page.$eval('.project-title', (el) => el.scrollWidth > el.clientWidth);
  assert.ok(clipped, 'a very long name is cut with an ellipsis, not spread over the screen');
  assert.equal(await page.$eval('.project-title bdi', (el) => el.getAttribute('dir')), 'auto');
  await page.click('#tab-listen');
  await see('.key-source', hostile);
  assert.deepEqual(await page.evaluate(() => [window.__pwned, document.querySelectorAll('img, script:not([type="module"])').length]), [undefined, 0]);
  assert.equal(await page.evaluate(() => document.documentElement.scrollWidth - document.documentElement.clientWidth), 0);

  for (const raw of ['pas du JSON', '[1,2]', 'null', '42', '{"value":{}}', '{"event":7,"value":{}}']) app.sendRaw(raw);
  const junk = [
    ['nouvelÉvénement', { ok: true }],
    ['session', 'texte'],
    ['session', [1, 2]],
    ['planResult', { ok: true, plan: 'x' }],
    ['planResult', { ok: true, plan: { planId: 5, actions: 'x' } }],
    ['planProgress', { planId: null, index: 'a' }],
    ['lifecycle', { milestones: 'x' }],
    ['lifecycle', { currentMilestone: 'trois', milestones: [null, 3, { id: 'x' }, { id: 2, evidence: [1, null], missing: 'x' }] }],
    ['audioResult', { ok: true, measurement: { waveform: 'x', spectrogram: [[null, 'a'], 3], bandEnergyPercent: [] } }],
    ['chatResult', null],
    ['chatResult', { ok: true, answer: 12, visual: { roles: 'x', trackCount: 'huit' } }],
    ['projectIndex', { indexed: true, projects: [null, 5, { name: 7, stage: 'x', tracks: 'x' }], warnings: [3] }],
    ['setupStatus', 7],
    ['masterCaptureProgress', { jobId: 3 }],
    ['onboardingState', { profile: 'x', validatedStage: 'deux' }],
    ['preferenceProfile', { summaryLines: [null, 3, 'ok · 1'] }],
    ['undoResult', { ok: true, result: 'x' }],
    ['sessionReset', 'x'],
  ];
  for (const [event, value] of junk) app.send(event, value);
  app.send('chatResult', { ok: true, source: 'codex', answer: 'Toujours là.' });
  await page.click('#tab-assistant');
  await see('.bubble-assistant', 'Toujours là.');
  await page.click('#tab-projects');
  assert.equal(await page.locator('.project').count(), 1, 'only the one well-formed entry');
  assert.deepEqual(await page.evaluate(() => window.__pwned), undefined);
});

test('in the app’s panel the page uses the native handler instead of the loopback server', async () => {
  const native = await context.newPage();
  await native.addInitScript(() => {
    window.__posted = [];
    window.webkit = { messageHandlers: { vantorel: { postMessage: (m) => window.__posted.push(JSON.parse(JSON.stringify(m))) } } };
  });
  const streams = app.streamCount();
  await native.goto(`${app.origin}/`);
  await native.waitForFunction(() => window.__posted.length > 0);
  await native.evaluate((s) => window.VantorelNative && window.VantorelNative.receive({ event: 'session', value: s }), f.session({ project: 'Depuis le panneau' }));
  await native.locator('#project-name', { hasText: 'Depuis le panneau' }).waitFor();
  await native.click('#btn-minimize');
  assert.deepEqual(await native.evaluate(() => window.__posted), [{ type: 'ready' }, { type: 'minimize' }]);
  assert.equal(app.streamCount(), streams, 'no event stream opened');
  await native.close();

  // Without the handler and without the token, the page explains itself.
  const bare = await context.newPage();
  await bare.goto(`${app.origin}/`);
  await bare.locator('#link-banner', { hasText: 'Adresse incomplète' }).waitFor();
  await bare.goto(`${app.origin}/#token=mauvais`);
  await bare.reload();
  await bare.locator('#link-banner', { hasText: 'Vantorel refuse cette adresse' }).waitFor();
  await bare.close();
  assert.deepEqual(app.types(), ['ready'], 'nothing reached the app from the pages without the token');
});
