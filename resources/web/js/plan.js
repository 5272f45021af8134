// Plan cards: a plan is shown step by step and nothing happens in Ableton
// until the producer confirms that very plan. The card then follows the run
// (progress, result, undo). Its buttons stay disabled from the click until
// the app answers, so one click is one request.

import { h, replace, progressBar, setProgress } from './dom.js';
import { str, num, int, bool, obj, objects, integer, percent, progressRatio, captureStatus } from './format.js';

const EXPIRED = 'Ce plan a expiré : le contexte Ableton a changé depuis sa préparation. Prépare-le à nouveau une fois Ableton synchronisé.';

export function mount(ctx) {
  const cards = new Map(); // planId → card
  let awaiting;            // the card whose confirmation awaits an answer
  let running;             // the card whose steps are running

  function makeCard(planId, plan, prompt) {
    const card = {
      planId,
      plan,
      prompt,
      state: 'pending',
      el: h('article', { class: 'plan-card', 'data-plan-id': planId, 'aria-label': `Plan : ${str(plan.title) || 'plan d’actions'}` }),
      status: h('div', { class: 'plan-status', role: 'status' }),
      progress: null,
      progressText: null,
      capture: null,
      steps: [],
      actions: h('div', { class: 'plan-actions' }),
    };
    const actions = objects(plan.actions);
    const title = str(plan.title) || 'Plan d’actions';
    const intent = str(plan.intent);
    const source = str(plan.source);
    const revision = int(plan.expectedRevision);
    card.el.append(
      h('header', { class: 'plan-head' },
        h('span', { class: 'plan-kicker' }, 'Plan à confirmer'),
        h('h3', { class: 'plan-title', dir: 'auto' }, title),
        intent ? h('p', { class: 'plan-intent', dir: 'auto' }, intent) : null,
        prompt ? h('p', { class: 'plan-prompt' }, 'Demande : « ', h('bdi', { dir: 'auto' }, prompt), ' »') : null),
      h('ol', { class: 'plan-steps' }, actions.map((a, i) => {
        const li = h('li', { class: 'plan-step', 'data-step': i },
          h('span', { class: 'step-mark', 'aria-hidden': 'true' }, String(i + 1)),
          h('div', { class: 'step-body' },
            h('div', { class: 'step-title', dir: 'auto' }, str(a.title) || `Étape ${i + 1}`),
            str(a.detail) ? h('div', { class: 'step-detail', dir: 'auto' }, a.detail) : null,
            h('div', { class: 'step-tags' },
              a.mode === 'read'
                ? h('span', { class: 'tag tag-read' }, 'Lecture seule')
                : h('span', { class: 'tag tag-write' }, 'Modifie le projet'),
              a.mode === 'read' ? null : bool(a.reversible)
                ? h('span', { class: 'tag tag-undo' }, 'Annulable')
                : h('span', { class: 'tag tag-final' }, 'Non annulable'))));
        card.steps.push(li);
        return li;
      })),
      h('p', { class: 'plan-meta' },
        source === 'local-safety-planner' ? 'Plan local vérifié' : source ? 'Plan du planificateur distant, vérifié localement' : 'Plan vérifié',
        revision !== undefined ? ` · révision ${integer(revision)}` : ''),
      card.status,
      card.actions);
    cards.set(planId, card);
    drawActions(card);
    return card;
  }

  // A card for a run whose plan this page did not show (the conversation
  // was reset while it ran).
  function orphanCard(planId) {
    const card = makeCard(planId, { title: 'Plan en cours', actions: [] }, undefined);
    card.state = 'running';
    ctx.stream.add(card.el);
    return card;
  }

  function button(label, cls, onclick, disabled = false) {
    return h('button', { type: 'button', class: ['button', cls], onclick, disabled }, label);
  }

  function setStatus(card, text, kind = 'info') {
    card.status.className = `plan-status plan-status-${kind}`;
    card.status.setAttribute('role', kind === 'error' ? 'alert' : 'status');
    replace(card.status, text ? h('span', { dir: 'auto' }, text) : null);
  }

  function kicker(card, text) {
    const k = card.el.querySelector('.plan-kicker');
    if (k) k.textContent = text;
    card.el.dataset.state = card.state;
  }

  function drawActions(card) {
    const focusInside = card.el.contains(document.activeElement);
    const busy = card.state === 'confirming' || card.state === 'declining';
    const list = [];
    if (card.state === 'pending' || busy) {
      list.push(button('Confirmer', 'button-primary', () => confirm(card), busy));
      list.push(button('Refuser', 'button-quiet', () => decline(card), busy));
    } else if ((card.state === 'done' || card.state === 'failed') && card.undoAvailable) {
      list.push(button(card.state === 'done' ? 'Annuler dans Ableton' : 'Annuler la dernière étape appliquée', 'button-quiet', () => undo(card), card.undoing));
    } else if ((card.state === 'expired' || card.state === 'refused') && card.prompt) {
      list.push(button('Préparer à nouveau', 'button-quiet', () => prepareAgain(card), card.preparing));
    }
    replace(card.actions, list);
    if (focusInside) {
      const first = card.actions.querySelector('button:not([disabled])');
      if (first) {
        first.focus();
      } else {
        card.el.tabIndex = -1;
        card.el.focus();
      }
    }
    kicker(card, {
      pending: 'Plan à confirmer', confirming: 'Confirmation envoyée', declining: 'Refus envoyé',
      running: 'En cours dans Ableton', done: 'Plan exécuté', failed: 'Plan interrompu',
      declined: 'Plan refusé', expired: 'Plan expiré', replaced: 'Plan remplacé', refused: 'Plan non exécuté',
    }[card.state] || '');
  }

  function confirm(card) {
    if (card.state !== 'pending') return;
    const message = { type: 'executePlan', planId: card.planId };
    if (card.prompt) message.prompt = card.prompt;
    if (ctx.post(message) === false) return;
    card.state = 'confirming';
    awaiting = card;
    setStatus(card, 'Confirmation envoyée à Ableton…');
    drawActions(card);
  }

  function decline(card) {
    if (card.state !== 'pending') return;
    if (ctx.post({ type: 'declinePlan', planId: card.planId }) === false) return;
    card.state = 'declining';
    setStatus(card, 'Refus envoyé…');
    drawActions(card);
  }

  function undo(card) {
    if (ctx.post({ type: 'undo' }) === false) return;
    card.undoing = true;
    undoCard = card;
    setStatus(card, 'Annulation demandée à Ableton…');
    drawActions(card);
  }
  let undoCard;

  function prepareAgain(card) {
    if (ctx.post({ type: 'planRequest', prompt: card.prompt }) === false) return;
    card.preparing = true;
    ctx.stream.expectAnswer();
    drawActions(card);
  }

  function expire(card, text) {
    card.state = 'expired';
    if (awaiting === card) awaiting = undefined;
    setStatus(card, text, 'warn');
    drawActions(card);
  }

  function ensureProgress(card) {
    if (!card.progress) {
      card.progressText = h('div', { class: 'plan-progress-text', dir: 'auto' });
      card.progress = progressBar('Progression du plan', 0);
      card.capture = h('div', { class: 'plan-capture' });
      card.status.before(h('div', { class: 'plan-progress', 'aria-live': 'polite' }, card.progressText, card.progress, card.capture));
    }
  }

  function markSteps(card, doneCount, runningIndex, failedIndex) {
    card.steps.forEach((li, i) => {
      li.classList.toggle('step-done', i < doneCount);
      li.classList.toggle('step-running', i === runningIndex);
      li.classList.toggle('step-failed', i === failedIndex);
      if (i === runningIndex) li.setAttribute('aria-current', 'step');
      else li.removeAttribute('aria-current');
    });
  }

  ctx.on('planResult', (value) => {
    const v = obj(value);
    if (!v) return;
    if (!bool(v.ok)) {
      ctx.stream.notice(str(v.message) || 'Le plan n’a pas pu être préparé.', 'error');
      return;
    }
    const plan = obj(v.plan);
    const planId = plan && str(plan.planId);
    if (!planId) return;
    // The app keeps one pending plan: a new one replaces any other.
    for (const other of cards.values()) {
      if (other.state === 'pending' || other.state === 'confirming' || other.state === 'declining'
        || other.state === 'expired' || other.state === 'refused') {
        if (other.state !== 'expired' && other.state !== 'refused') setStatus(other, 'Remplacé par le plan ci-dessous.', 'info');
        other.state = 'replaced';
        drawActions(other);
      }
      if (other.preparing) { other.preparing = false; drawActions(other); }
    }
    if (cards.has(planId)) cards.get(planId).el.remove();
    const card = makeCard(planId, plan, str(v.prompt));
    ctx.stream.add(card.el);
  });

  ctx.on('planRefreshNotice', (value) => {
    const v = obj(value);
    if (!v) return;
    const text = str(v.message) || 'Le plan est recalculé avec l’état actuel du projet.';
    if (awaiting) {
      awaiting.state = 'replaced';
      setStatus(awaiting, text, 'info');
      drawActions(awaiting);
      awaiting = undefined;
    } else {
      ctx.stream.notice(text);
    }
    ctx.stream.expectAnswer();
  });

  ctx.on('planProgress', (value) => {
    const v = obj(value);
    const planId = v && str(v.planId);
    if (!planId) return;
    const index = int(v.index) ?? 0;
    const total = int(v.total) ?? 0;
    const card = cards.get(planId) || orphanCard(planId);
    if (awaiting === card) awaiting = undefined;
    running = card;
    card.state = 'running';
    ensureProgress(card);
    const title = str(v.title);
    card.progressText.textContent = total > 0
      ? `Étape ${integer(index + 1)} sur ${integer(total)}${title ? ` : ${title}` : ''}`
      : title || 'Exécution…';
    setProgress(card.progress, index, total);
    card.capture.textContent = '';
    markSteps(card, index, index);
    setStatus(card, '');
    drawActions(card);
  });

  ctx.on('masterCaptureProgress', (value) => {
    const v = obj(value);
    if (!v || !running || running.state !== 'running') return;
    const bars = int(v.bars);
    const ratio = progressRatio(num(v.progress));
    const status = str(v.status);
    const done = bars ? Math.min(bars, Math.floor(ratio * bars + 1e-9)) : undefined;
    running.capture.textContent = `${captureStatus(status)} — ${bars ? `${integer(done)} mesure${done >= 2 ? 's' : ''} sur ${integer(bars)}, ` : ''}${percent(ratio)}`;
  });

  ctx.on('planExecutionResult', (value) => {
    const v = obj(value);
    if (!v) return;
    const planId = str(v.planId);
    const message = str(v.message) || (bool(v.ok) ? 'Plan exécuté dans Ableton.' : 'Le plan n’a pas été exécuté.');
    let card = planId ? cards.get(planId) : awaiting;
    if (!card && planId) card = orphanCard(planId);
    if (!card) {
      ctx.stream.notice(message, bool(v.ok) ? 'info' : 'error');
      return;
    }
    if (awaiting === card) awaiting = undefined;
    if (running === card) running = undefined;
    const total = int(v.total);
    const completed = int(v.completed);
    card.undoAvailable = bool(v.undoAvailable);
    if (bool(v.ok)) {
      card.state = 'done';
      ensureProgress(card);
      setProgress(card.progress, 1, 1);
      card.progressText.textContent = total !== undefined ? `${integer(total)} étape${total >= 2 ? 's' : ''} sur ${integer(total)} appliquée${total >= 2 ? 's' : ''}` : 'Terminé';
      markSteps(card, card.steps.length, -1);
      setStatus(card, message, 'ok');
    } else if (planId && completed !== undefined) {
      card.state = 'failed';
      ensureProgress(card);
      setProgress(card.progress, completed, total || 1);
      card.progressText.textContent = `${integer(completed)} étape${completed >= 2 ? 's' : ''} sur ${integer(total ?? 0)} appliquée${completed >= 2 ? 's' : ''}`;
      markSteps(card, completed, -1, completed);
      setStatus(card, message, 'error');
    } else {
      // Refused before any step ran: nothing changed in Ableton.
      card.state = 'refused';
      setStatus(card, message, 'error');
    }
    drawActions(card);
  });

  ctx.on('planDeclined', (value) => {
    const v = obj(value);
    if (!v) return;
    const text = str(v.message) || 'Plan refusé.';
    const card = [...cards.values()].find((c) => c.state === 'declining');
    if (!card) {
      ctx.stream.notice(text);
      return;
    }
    card.state = 'declined';
    setStatus(card, text, 'info');
    drawActions(card);
  });

  ctx.on('undoResult', (value) => {
    const v = obj(value);
    if (!v) return;
    const result = obj(v.result);
    const summary = result && str(result.summary);
    const text = bool(v.ok)
      ? summary ? `Annulé dans Ableton : ${summary}` : 'Dernière action annulée dans Ableton.'
      : str(v.message) || 'L’annulation a échoué.';
    const card = undoCard;
    undoCard = undefined;
    if (!card) {
      ctx.stream.notice(text, bool(v.ok) ? 'info' : 'error');
      return;
    }
    card.undoing = false;
    if (bool(v.ok)) card.undoAvailable = false;
    setStatus(card, text, bool(v.ok) ? 'ok' : 'error');
    drawActions(card);
  });

  ctx.on('contextInvalidated', () => {
    for (const card of cards.values()) {
      if (card.state === 'pending' || card.state === 'declining') expire(card, EXPIRED);
    }
  });

  // The conversation has just been cleared (the chat handles the event first).
  ctx.on('sessionReset', () => {
    let expired = false;
    for (const [planId, card] of cards) {
      if (card.state === 'running' || card.state === 'confirming') {
        ctx.stream.add(card.el);
        continue;
      }
      if (card.state === 'pending' || card.state === 'declining') expired = true;
      cards.delete(planId);
    }
    if (undoCard && !cards.has(undoCard.planId)) undoCard = undefined;
    if (expired) ctx.stream.notice('Le plan en attente a expiré : relance ta demande si tu en as toujours besoin.', 'warn');
  });
}
