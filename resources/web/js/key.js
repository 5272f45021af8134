// Key detection card: the key of the clip selected in Live, how sure the
// analysis is, and what it was based on.

import { byId, h, replace, name, progressBar } from './dom.js';
import { str, num, bool, obj, confidenceWord, percent, keyInFrench, withUnit } from './format.js';

export function mount(ctx) {
  const root = byId('key-card');
  let result;
  let pending = false;

  function draw() {
    const body = [];
    if (pending) {
      body.push(h('div', { class: 'card-progress', role: 'status' },
        progressBar('Détection de la tonalité', null), 'Analyse du clip sélectionné…'));
    }
    if (result && bool(result.ok)) {
      const key = str(result.key) || '—';
      const confidence = num(result.confidence);
      const french = keyInFrench(key);
      const kind = str(result.kind);
      const seconds = num(result.analyzedSeconds);
      const basis = kind === 'midi'
        ? 'Analyse des notes MIDI du clip'
        : `Analyse audio locale${seconds !== undefined ? ` de ${withUnit(seconds, 's')}` : ''}`;
      body.push(h('div', { class: 'key-result' },
        h('div', { class: 'key-main' },
          h('span', { class: 'key-name', dir: 'ltr' }, key),
          french ? h('span', { class: 'key-french' }, french) : null),
        confidence !== undefined ? h('div', { class: 'confidence' },
          h('div', { class: 'confidence-label' }, `Confiance ${confidenceWord(confidence)} · ${percent(confidence)}`),
          h('div', { class: `meter meter-${confidence < 0.55 ? 'low' : confidence < 0.75 ? 'mid' : 'high'}` },
            h('div', { class: 'meter-fill', style: { width: `${Math.min(Math.max(confidence, 0), 1) * 100}%` } }))) : null,
        h('p', { class: 'key-source' },
          'Clip ', name(str(result.clip) || 'Clip sélectionné', { class: 'strong' }),
          ' sur ', name(str(result.track) || 'Piste sélectionnée', { class: 'strong' })),
        h('p', { class: 'fine' }, `${basis}, pas sur la gamme renseignée dans Ableton.`)));
    } else if (result) {
      body.push(h('div', { class: 'notice notice-error', role: 'alert', dir: 'auto' }, str(result.message) || 'La détection de tonalité a échoué.'));
    } else if (!pending) {
      body.push(h('p', { class: 'empty' }, 'Sélectionne un clip audio ou MIDI dans Ableton, puis lance la détection.'));
    }
    replace(root, h('section', { class: 'card', 'aria-labelledby': 'key-title' },
      h('header', { class: 'card-head' },
        h('h2', { class: 'card-title', id: 'key-title' }, 'Tonalité'),
        h('button', {
          type: 'button', class: 'button button-quiet', id: 'find-key', disabled: pending,
          onclick: () => {
            if (ctx.post({ type: 'findKey' }) === false) return;
            pending = true;
            draw();
          },
        }, 'Détecter la tonalité')),
      h('div', { 'aria-live': 'polite' }, body)));
  }

  ctx.on('keyResult', (value) => {
    const v = obj(value);
    if (!v) return;
    result = v;
    // The button was disabled under the producer's focus: give it back.
    const refocus = pending && (document.activeElement === document.body || root.contains(document.activeElement));
    pending = false;
    draw();
    if (refocus) byId('find-key').focus();
    ctx.shell.badge('listen');
  });

  draw();
}
