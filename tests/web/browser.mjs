// Debian's Chromium, driven by playwright-core: one browser per run, a fresh
// context (and so fresh storage) per flow. No browser is ever downloaded.

import { chromium } from 'playwright-core';

const FLAGS = [
  '--no-sandbox',
  '--disable-gpu',
  '--disable-quic',
  '--no-first-run',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
];

export const PANEL = { width: 438, height: 720 };
export const COMPACT = { width: 390, height: 440 };

export async function launch() {
  // playwright gives each launch its own fresh, temporary --user-data-dir.
  return chromium.launch({
    executablePath: process.env.VANTOREL_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: FLAGS,
  });
}

/**
 * A page on the stand-in, with every console error and uncaught exception
 * collected in `problems` so that a flow can insist there were none.
 */
export async function openPanel(browser, app, { viewport = PANEL } = {}) {
  const context = await browser.newContext({
    viewport,
    locale: 'fr-FR',
    timezoneId: 'Europe/Paris',
    deviceScaleFactor: 1,
    reducedMotion: 'reduce',
  });
  const page = await context.newPage();
  const problems = [];
  page.on('pageerror', (err) => problems.push(`exception : ${err.message}`));
  page.on('console', (msg) => {
    if (msg.type() === 'error') problems.push(`console : ${msg.text()}`);
  });
  await page.goto(app.url);
  await app.waitFor('ready');
  return { page, context, problems };
}
