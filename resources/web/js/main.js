// Starts the page: wires the screens to the app's events, opens the channel
// and announces the page with "ready". The page draws only what the events
// carry; what it remembers is the last picture the app sent.

import { open } from './channel.js';
import { obj } from './format.js';
import * as shell from './shell.js';
import * as session from './session.js';
import * as setup from './setup.js';
import * as chat from './chat.js';
import * as plan from './plan.js';
import * as stages from './stages.js';
import * as key from './key.js';
import * as measure from './measure.js';
import * as projects from './projects.js';
import * as profile from './profile.js';

const handlers = new Map();

function on(event, fn) {
  if (!handlers.has(event)) handlers.set(event, []);
  handlers.get(event).push(fn);
}

function dispatch(payload) {
  // Anything that is not {"event": name, …} is ignored, as are unknown names.
  if (!obj(payload) || typeof payload.event !== 'string') return;
  const list = handlers.get(payload.event);
  if (!list) return;
  for (const fn of list) {
    try {
      fn(payload.value);
    } catch (err) {
      // One malformed payload must not take the other screens down with it.
      console.error(`Vantorel : événement « ${payload.event} » ignoré`, err);
    }
  }
}

let channel = { post: () => false };
const ctx = {
  on,
  post: (message) => channel.post(message),
};

function start() {
  ctx.shell = shell.mount(ctx);
  session.mount(ctx);
  setup.mount(ctx);
  ctx.stream = chat.mount(ctx);
  plan.mount(ctx);
  stages.mount(ctx);
  key.mount(ctx);
  measure.mount(ctx);
  projects.mount(ctx);
  profile.mount(ctx);
  channel = open({
    onEvent: dispatch,
    onStatus: (status) => ctx.shell.linkStatus(status),
    onReady: () => ctx.post({ type: 'ready' }),
  });
}

if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start, { once: true });
else start();
