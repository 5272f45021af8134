// The assistant: the conversation, the request box and the small drawing of
// the project that some answers carry. Other screens (the plan cards) add
// their cards to the same conversation through the stream returned by mount.

import { byId, h, s, clear, richText, name } from './dom.js';
import { str, num, int, bool, obj, objects, integer, number, plural, roleLabel, sourceLabel, resetReason } from './format.js';

const SUGGESTIONS = [
  'Qu’est-ce qui me manque pour passer à l’étape suivante ?',
  'Analyse l’arrangement de mon morceau',
  'Quelle est la tonalité du clip sélectionné ?',
  'Organise et colore mes pistes',
];

export function mount(ctx) {
  const stream = byId('chat-stream');
  const form = byId('composer');
  const input = byId('composer-input');
  let waiting = 0;
  let thinking;

  function scrollToEnd() {
    stream.scrollTop = stream.scrollHeight;
  }

  function add(node) {
    const welcome = stream.querySelector('.welcome');
    if (welcome) welcome.remove();
    if (thinking && thinking.parentNode === stream) stream.insertBefore(node, thinking);
    else stream.appendChild(node);
    scrollToEnd();
    if (ctx.shell.current() !== 'assistant') ctx.shell.badge('assistant');
    return node;
  }

  function drawThinking() {
    if (waiting > 0 && !thinking) {
      thinking = h('div', { class: 'thinking', role: 'status' },
        h('span', { class: 'dots', 'aria-hidden': 'true' }, h('i'), h('i'), h('i')), 'Vantorel réfléchit…');
      stream.appendChild(thinking);
      scrollToEnd();
    } else if (waiting === 0 && thinking) {
      thinking.remove();
      thinking = undefined;
    }
  }

  function expectAnswer() {
    waiting += 1;
    drawThinking();
  }

  function answered() {
    waiting = Math.max(0, waiting - 1);
    drawThinking();
  }

  function welcome() {
    clear(stream);
    thinking = undefined;
    stream.appendChild(h('div', { class: 'welcome' },
      h('p', { class: 'welcome-title' }, 'Que veux-tu faire sur ce morceau ?'),
      h('p', { class: 'welcome-text' }, 'Pose une question sur ton projet, ou demande une action : Vantorel te montre toujours le plan avant de toucher à Ableton.'),
      h('div', { class: 'suggestions' }, SUGGESTIONS.map((text) => h('button', {
        type: 'button',
        class: 'chip',
        onclick: () => send(text),
      }, text)))));
  }

  function send(text) {
    const prompt = text.trim();
    if (!prompt) return;
    if (ctx.post({ type: 'assistantRequest', prompt }) === false) return;
    add(h('div', { class: 'bubble bubble-user', dir: 'auto' }, prompt));
    expectAnswer();
  }

  form.addEventListener('submit', (e) => {
    e.preventDefault();
    const text = input.value;
    if (!text.trim()) {
      input.focus();
      return;
    }
    send(text);
    input.value = '';
    input.focus();
  });

  input.addEventListener('keydown', (e) => {
    if (e.key === 'Enter' && !e.shiftKey && !e.isComposing) {
      e.preventDefault();
      form.requestSubmit();
    }
  });

  ctx.on('chatResult', (value) => {
    const v = obj(value);
    if (!v) return;
    answered();
    if (bool(v.ok)) {
      const answer = str(v.answer) || '';
      const source = str(v.source);
      const visual = obj(v.visual);
      add(h('article', { class: 'bubble bubble-assistant' },
        h('div', { class: 'answer' }, richText(answer)),
        visual ? projectVisual(visual) : null,
        source ? h('div', { class: 'source' }, sourceLabel(source)) : null));
    } else {
      add(h('div', { class: 'bubble bubble-error', role: 'alert', dir: 'auto' },
        str(v.message) || 'L’assistant n’a pas pu répondre.'));
    }
  });

  // A plan is the answer to the request that produced it.
  ctx.on('planResult', (value) => {
    if (obj(value)) answered();
  });

  ctx.on('sessionReset', (value) => {
    const v = obj(value) || {};
    welcome();
    add(h('div', { class: 'notice notice-info', role: 'status' }, resetReason(str(v.reason))));
    drawThinking();
  });

  welcome();
  return {
    add,
    expectAnswer,
    notice(text, kind = 'info') {
      return add(h('div', { class: `notice notice-${kind}`, role: kind === 'error' ? 'alert' : 'status', dir: 'auto' }, text));
    },
  };
}

/** The small picture of the project that answers about it carry. */
export function projectVisual(v) {
  const trackCount = int(v.trackCount) ?? 0;
  const contentTracks = int(v.contentTracks) ?? 0;
  const bars = num(v.arrangementBars) ?? 0;
  const sections = int(v.sectionCount) ?? 0;
  const roles = objects(v.roles)
    .map((r) => ({ role: str(r.role) || 'other', count: int(r.count) ?? 0 }))
    .filter((r) => r.count > 0)
    .slice(0, 8);
  const selectedTrack = str(v.selectedTrack);
  const selectedRole = str(v.selectedRole);
  const project = str(v.project) || 'Projet Ableton';

  const barsText = `${number(bars, Number.isInteger(bars) ? 0 : 1)} mesure${bars >= 2 ? 's' : ''}`;
  const summary = `${plural(trackCount, 'piste', 'pistes')}, dont ${integer(contentTracks)} avec du contenu ; `
    + `arrangement de ${barsText} en ${plural(sections, 'section', 'sections')}`;

  const W = 320;
  const parts = [];
  let y = 4;

  // One cell per track, filled when the track holds something.
  const cells = Math.min(trackCount, 48);
  if (cells > 0) {
    const gap = 3;
    const size = Math.min(18, (W - gap * (cells - 1)) / cells);
    for (let i = 0; i < cells; i += 1) {
      const filled = trackCount <= 48 ? i < contentTracks : i < Math.round((contentTracks / trackCount) * cells);
      parts.push(s('rect', {
        x: (i * (size + gap)).toFixed(1), y, width: size.toFixed(1), height: size.toFixed(1), rx: 3,
        class: filled ? 'v-track v-track-full' : 'v-track',
      }));
    }
    y += Math.min(18, size) + 14;
  }

  // The arrangement on a ruler that keeps its scale from one answer to the next.
  const span = Math.max(128, Math.ceil(bars / 32) * 32);
  const length = (Math.min(bars, span) / span) * W;
  parts.push(s('rect', { x: 0, y, width: W, height: 10, rx: 5, class: 'v-ruler' }));
  if (length > 0) parts.push(s('rect', { x: 0, y, width: length.toFixed(1), height: 10, rx: 5, class: 'v-arrangement' }));
  for (let b = 32; b < span; b += 32) {
    const x = (b / span) * W;
    parts.push(s('line', { x1: x.toFixed(1), x2: x.toFixed(1), y1: y + 12, y2: y + 16, class: 'v-tick' }));
    parts.push(s('text', { x: x.toFixed(1), y: y + 26, class: 'v-tick-label', 'text-anchor': 'middle' }, String(b)));
  }
  y += 36;

  const maxCount = Math.max(1, ...roles.map((r) => r.count));
  for (const r of roles) {
    const label = roleLabel(r.role);
    const selected = selectedRole !== undefined && r.role === selectedRole;
    parts.push(s('text', { x: 0, y: y + 10, class: selected ? 'v-role v-role-selected' : 'v-role' }, label));
    const bw = ((W - 130) * r.count) / maxCount;
    parts.push(s('rect', { x: 100, y: y + 1, width: Math.max(bw, 3).toFixed(1), height: 11, rx: 3, class: selected ? 'v-bar v-bar-selected' : 'v-bar' }));
    parts.push(s('text', { x: (100 + Math.max(bw, 3) + 6).toFixed(1), y: y + 10, class: 'v-count' }, String(r.count)));
    y += 17;
  }

  const svg = s('svg', { viewBox: `0 0 ${W} ${y}`, class: 'visual-svg', role: 'img', 'aria-label': summary }, parts);

  return h('figure', { class: 'visual' },
    h('figcaption', {},
      h('span', { class: 'visual-project' }, name(project)),
      h('span', { class: 'visual-stats' },
        stat(integer(trackCount), trackCount >= 2 ? 'pistes' : 'piste'),
        stat(integer(contentTracks), 'avec contenu'),
        stat(number(bars, Number.isInteger(bars) ? 0 : 1), bars >= 2 ? 'mesures' : 'mesure'),
        stat(integer(sections), sections >= 2 ? 'sections' : 'section'))),
    svg,
    selectedRole !== undefined ? h('p', { class: 'visual-selected' },
      'Piste sélectionnée : ',
      selectedTrack !== undefined ? name(selectedTrack, { class: 'strong' }) : 'sans nom',
      ` · ${roleLabel(selectedRole)}`) : null);
}

function stat(value, label) {
  return h('span', { class: 'stat' }, h('b', {}, value), ` ${label}`);
}
