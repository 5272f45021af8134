// A scripted stand-in for the app's loopback web channel: serves the page,
// speaks the browser-mode contract (token in the fragment, events over
// server-sent events, messages POSTed with the page token) and records what
// the page posts, so that a test can play the app's side of a conversation.

import http from 'node:http';
import fs from 'node:fs/promises';
import path from 'node:path';
import crypto from 'node:crypto';
import { fileURLToPath } from 'node:url';

export const WEB_ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../resources/web');

const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.svg': 'image/svg+xml',
  '.png': 'image/png',
};

const MAX_BODY = 1024 * 1024;

export async function startStandIn() {
  const token = crypto.randomBytes(32).toString('base64url');
  const clients = new Set();
  const pendingEvents = [];
  const messages = [];
  const scripts = new Map();
  const waiters = [];
  const rejected = [];

  function deliver(line) {
    if (clients.size === 0) {
      pendingEvents.push(line);
      return;
    }
    for (const res of clients) res.write(line);
  }

  function settleWaiters() {
    for (let i = waiters.length - 1; i >= 0; i -= 1) {
      const w = waiters[i];
      const found = messages.filter(w.match);
      if (found.length >= w.count) {
        waiters.splice(i, 1);
        clearTimeout(w.timer);
        w.resolve(found[w.count - 1]);
      }
    }
  }

  async function serveFile(req, res) {
    const url = new URL(req.url, 'http://127.0.0.1');
    let rel = decodeURIComponent(url.pathname);
    if (rel === '/') rel = '/index.html';
    const file = path.resolve(WEB_ROOT, `.${rel}`);
    if (!file.startsWith(WEB_ROOT + path.sep)) {
      res.writeHead(404).end();
      return;
    }
    try {
      const body = await fs.readFile(file);
      res.writeHead(200, {
        'Content-Type': TYPES[path.extname(file)] || 'application/octet-stream',
        'Content-Security-Policy': "default-src 'self'",
        'Cache-Control': 'no-store',
      });
      res.end(body);
    } catch {
      res.writeHead(404).end();
    }
  }

  const server = http.createServer((req, res) => {
    const url = new URL(req.url, 'http://127.0.0.1');
    if (req.method === 'GET' && url.pathname === '/events') {
      if (url.searchParams.get('token') !== token) {
        rejected.push('events');
        res.writeHead(403).end();
        return;
      }
      res.writeHead(200, {
        'Content-Type': 'text/event-stream; charset=utf-8',
        'Cache-Control': 'no-store',
        Connection: 'keep-alive',
      });
      res.write('retry: 300\n\n');
      clients.add(res);
      req.on('close', () => clients.delete(res));
      while (pendingEvents.length) res.write(pendingEvents.shift());
      return;
    }
    if (req.method === 'POST' && url.pathname === '/message') {
      if (req.headers['x-vantorel-page-token'] !== token) {
        rejected.push('message');
        res.writeHead(403).end();
        req.resume();
        return;
      }
      const chunks = [];
      let size = 0;
      req.on('data', (c) => {
        size += c.length;
        if (size <= MAX_BODY) chunks.push(c);
      });
      req.on('end', () => {
        if (size > MAX_BODY) {
          res.writeHead(413).end();
          return;
        }
        let message;
        try {
          message = JSON.parse(Buffer.concat(chunks).toString('utf8'));
        } catch {
          res.writeHead(400).end();
          return;
        }
        res.writeHead(204).end();
        messages.push(message);
        settleWaiters();
        const script = message && typeof message.type === 'string' && scripts.get(message.type);
        if (script) script(message);
      });
      return;
    }
    if (req.method === 'GET') {
      serveFile(req, res);
      return;
    }
    res.writeHead(405).end();
  });

  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const { port } = server.address();
  const origin = `http://127.0.0.1:${port}`;

  const app = {
    origin,
    token,
    url: `${origin}/#token=${token}`,
    messages,
    rejected,
    /** The app's send(event, value). */
    send(event, value) {
      deliver(`data: ${JSON.stringify({ event, value })}\n\n`);
    },
    /** Anything at all, to prove the page survives it. */
    sendRaw(data) {
      deliver(`data: ${data}\n\n`);
    },
    /** What the app does when the page posts a message of this type. */
    when(type, fn) {
      scripts.set(type, fn);
    },
    types() {
      return messages.map((m) => (m && typeof m === 'object' ? m.type : undefined));
    },
    /** Resolves with the count-th message matching (a type or a predicate). */
    waitFor(match, { count = 1, timeout = 5000 } = {}) {
      const test = typeof match === 'function' ? match : (m) => m && m.type === match;
      return new Promise((resolve, reject) => {
        const w = { match: test, count, resolve, timer: null };
        w.timer = setTimeout(() => {
          const i = waiters.indexOf(w);
          if (i >= 0) waiters.splice(i, 1);
          reject(new Error(`message ${typeof match === 'string' ? match : 'attendu'} jamais reçu ; reçus : ${JSON.stringify(app.types())}`));
        }, timeout);
        waiters.push(w);
        settleWaiters();
      });
    },
    /** Cuts every open event stream, as a restart of the channel would. */
    dropStreams() {
      for (const res of clients) res.end();
      clients.clear();
    },
    streamCount: () => clients.size,
    close() {
      for (const res of clients) res.destroy();
      return new Promise((resolve) => server.close(resolve));
    },
  };
  return app;
}
