// The six stages as a ladder: where the project stands, what each stage has
// shown, what is still missing, when stages were reached or lost, and the
// producer's own confirmation of the stage they are at.

import { byId, h, s, replace, keepFocus } from './dom.js';
import { str, int, obj, objects, strings, dateTime, integer, STAGE_TITLES } from './format.js';

const STATE_WORDS = { reached: 'Atteinte', inProgress: 'En cours', notStarted: 'À venir' };

export function mount(ctx) {
  const root = byId('stages-body');
  const strip = byId('stage-strip');
  let lifecycle;
  let signature;
  let onboarding;
  let validating;   // stage number whose confirmation awaits an answer
  let error;
  const open = new Set();

  function stageTitle(id) {
    const m = lifecycle && objects(lifecycle.milestones).find((x) => int(x.id) === id);
    return (m && str(m.title)) || STAGE_TITLES[id - 1] || `Étape ${id}`;
  }

  function ladderPicture(milestones, current) {
    const W = 300;
    const gap = 6;
    const w = (W - gap * 5) / 6;
    return s('svg', {
      viewBox: `0 0 ${W} 10`, class: 'ladder-picture', role: 'img', preserveAspectRatio: 'none',
      'aria-label': `Étape ${current} sur 6`,
    }, milestones.map((m, i) => s('rect', {
      x: (i * (w + gap)).toFixed(1), y: 0, width: w.toFixed(1), height: 10, rx: 5,
      class: `rung rung-${m.state}`,
    })));
  }

  function draw() {
    keepFocus(root, drawNow);
    drawStrip();
  }

  function drawStrip() {
    if (!lifecycle) {
      strip.hidden = true;
      return;
    }
    const current = int(lifecycle.currentMilestone) ?? 1;
    const milestones = normalised();
    const m = milestones.find((x) => x.id === current);
    const next = m && m.state !== 'reached' ? m.missing[0] : undefined;
    replace(strip, h('button', {
      type: 'button', class: 'stage-strip-button',
      onclick: () => ctx.shell.show('stages'),
      'aria-label': `Étape ${current} sur 6, ${stageTitle(current)}. Voir les étapes`,
    },
    h('span', { class: 'stage-strip-title' }, `Étape ${current}/6 · ${stageTitle(current)}`),
    ladderPicture(milestones, current),
    next ? h('span', { class: 'stage-strip-next', dir: 'auto' }, `Prochain pas : ${next}`) : null));
    strip.hidden = false;
  }

  function normalised() {
    return objects(lifecycle.milestones)
      .map((m) => ({
        id: int(m.id),
        title: str(m.title),
        state: ['reached', 'inProgress', 'notStarted'].includes(m.state) ? m.state : 'notStarted',
        evidence: strings(m.evidence),
        missing: strings(m.missing),
        achievedAt: str(m.achievedAt),
      }))
      .filter((m) => m.id >= 1 && m.id <= 6)
      .sort((a, b) => a.id - b.id);
  }

  function drawNow() {
    if (!lifecycle) {
      replace(root,
        h('h2', { class: 'screen-title' }, 'Étapes du morceau'),
        h('p', { class: 'empty' }, 'Les six étapes apparaissent dès que Vantorel lit un projet ouvert dans Ableton : Idée, Groove, Arrangement, Transitions, Mix et Pre-master.'));
      return;
    }
    const current = int(lifecycle.currentMilestone) ?? 1;
    const milestones = normalised();
    const validated = onboarding ? int(onboarding.validatedStage) : undefined;
    const project = str(lifecycle.project);

    const rungs = milestones.map((m) => {
      const isCurrent = m.id === current;
      const expanded = isCurrent || open.has(m.id);
      const details = h('details', {
        class: ['rung-item', `rung-item-${m.state}`, isCurrent ? 'rung-current' : null],
        open: expanded,
        'data-stage': m.id,
        ontoggle: (e) => {
          if (e.target.open) open.add(m.id);
          else open.delete(m.id);
        },
      },
      h('summary', { class: 'rung-summary' },
        h('span', { class: 'rung-node', 'aria-hidden': 'true' }, m.state === 'reached' ? '✓' : String(m.id)),
        h('span', { class: 'rung-name' }, h('span', { class: 'rung-number' }, `Étape ${m.id}`), ' ', m.title || STAGE_TITLES[m.id - 1]),
        h('span', { class: `rung-state rung-state-${m.state}` }, isCurrent && m.state !== 'reached' ? 'Étape actuelle' : STATE_WORDS[m.state]),
        validated === m.id ? h('span', { class: 'tag tag-validated' }, 'Confirmée par toi') : null),
      h('div', { class: 'rung-detail' },
        m.achievedAt ? h('p', { class: 'rung-date' }, `Atteinte le ${dateTime(m.achievedAt)}`) : null,
        m.evidence.length ? h('div', { class: 'rung-block' },
          h('h4', {}, 'Constaté'),
          h('ul', { class: 'evidence' }, m.evidence.map((e) => h('li', { dir: 'auto' }, e)))) : null,
        m.missing.length ? h('div', { class: 'rung-block' },
          h('h4', {}, 'Il manque'),
          h('ul', { class: 'missing' }, m.missing.map((e) => h('li', { dir: 'auto' }, e))))
          : h('p', { class: 'rung-complete' }, 'Critères remplis.'),
        onboarding && validated !== m.id ? h('button', {
          type: 'button', class: 'button button-quiet', 'data-action': `validate-${m.id}`,
          disabled: validating !== undefined,
          onclick: () => validate(m.id),
        }, validating === m.id ? 'Confirmation…' : 'Je suis à cette étape') : null));
      return details;
    });

    const events = objects(lifecycle.timeline)
      .map((e) => ({ id: int(e.milestoneID), kind: str(e.kind), at: str(e.timestamp) }))
      .filter((e) => e.id >= 1 && e.id <= 6 && (e.kind === 'reached' || e.kind === 'regressed'))
      .reverse();

    replace(root,
      h('h2', { class: 'screen-title' }, 'Étapes du morceau'),
      h('div', { class: 'ladder-head' },
        h('p', { class: 'ladder-current' }, `Étape ${integer(current)} sur 6 · `, h('strong', {}, stageTitle(current))),
        project ? h('p', { class: 'ladder-project' }, h('bdi', { dir: 'auto' }, project)) : null,
        ladderPicture(milestones, current)),
      error ? h('div', { class: 'notice notice-error', role: 'alert' }, error) : null,
      h('div', { class: 'ladder' }, rungs),
      h('section', { class: 'timeline', 'aria-label': 'Historique des étapes' },
        h('h3', {}, 'Historique'),
        events.length
          ? h('ol', { class: 'timeline-list' }, events.map((e) => h('li', { class: `timeline-${e.kind}` },
            h('span', { class: 'timeline-what' }, `${e.kind === 'reached' ? 'Atteinte' : 'Perdue'} : étape ${e.id} · ${stageTitle(e.id)}`),
            h('span', { class: 'timeline-when' }, dateTime(e.at)))))
          : h('p', { class: 'empty' }, 'Aucune étape atteinte pour l’instant.')));
  }

  function validate(stage) {
    if (ctx.post({ type: 'validateProjectStage', stage }) === false) return;
    validating = stage;
    error = undefined;
    draw();
  }

  ctx.on('lifecycle', (value) => {
    const v = obj(value);
    if (!v || !Array.isArray(v.milestones)) return;
    // The app re-evaluates on every poll; only a change is worth a redraw.
    const next = JSON.stringify({ ...v, updatedAt: null });
    if (next === signature) return;
    signature = next;
    lifecycle = v;
    draw();
  });

  ctx.on('onboardingState', (value) => {
    const v = obj(value);
    if (!v) return;
    const first = !onboarding;
    const before = onboarding ? int(onboarding.validatedStage) : undefined;
    onboarding = v;
    const settled = validating !== undefined;
    validating = undefined;
    if (first || settled || before !== int(v.validatedStage)) draw();
  });

  ctx.on('onboardingError', (value) => {
    const v = obj(value);
    if (!v || validating === undefined) return;
    validating = undefined;
    error = str(v.message) || 'La confirmation de l’étape a échoué.';
    draw();
  });

  ctx.on('contextInvalidated', () => {
    lifecycle = undefined;
    signature = undefined;
    forgetOnboarding();
    draw();
  });

  // The project's onboarding belongs to the session that sent it: after a
  // reset an awaited confirmation may never come.
  function forgetOnboarding() {
    onboarding = undefined;
    validating = undefined;
  }

  ctx.on('sessionReset', () => {
    forgetOnboarding();
    draw();
  });

  draw();
}
