// Profile screen: the producer's five answers, this project's onboarding
// (organise the tracks, confirm the stage, finish) and what Vantorel has
// learnt from the plans the producer accepted, refused or undid.

import { byId, h, replace, name, keepFocus } from './dom.js';
import { str, int, bool, obj, strings, preferenceLine, STAGE_TITLES } from './format.js';

const FIELDS = [
  { key: 'level', label: 'Ton niveau', choices: [['débutant', 'Débutant'], ['intermédiaire', 'Intermédiaire'], ['avancé', 'Avancé'], ['pro', 'Pro']] },
  { key: 'genre', label: 'Ton genre', max: 80, placeholder: 'Ex. : techno mélodique' },
  { key: 'references', label: 'Tes références (facultatif)', max: 240, placeholder: 'Artistes ou morceaux qui t’inspirent' },
  { key: 'targetFormat', label: 'Pour quoi tu finis tes morceaux', choices: [['club', 'Le club'], ['streaming', 'Le streaming'], ['les deux', 'Les deux']] },
  { key: 'mainBlocker', label: 'Ce qui te bloque le plus', max: 80, placeholder: 'Ex. : finir les arrangements' },
  { key: 'answerStyle', label: 'Les réponses que tu préfères', choices: [['direct', 'Directes'], ['expliqué', 'Expliquées'], ['approfondi', 'Approfondies']] },
];

export function mount(ctx) {
  const root = byId('profile-body');
  const prefRoot = byId('preferences-body');
  let onboarding;
  let profileSig;
  let dirty = false;       // the form holds edits the app has not seen yet
  let saving = false;
  let saveSent = false;    // an error may still answer the last save
  let saved;               // confirmation line after "producerProfileSaved"
  let error;               // the form's own error (saving the profile)
  let stepError;           // an onboarding step's error
  let busy;                // the onboarding step whose answer is awaited
  let confirmReset = false;
  let preferences;
  let confirmPrefReset = false;
  const form = buildForm();

  function buildForm() {
    const controls = {};
    const el = h('form', { class: 'profile-form', novalidate: true, onsubmit: (e) => { e.preventDefault(); save(); } },
      FIELDS.map((f) => {
        const id = `profile-${f.key}`;
        let control;
        if (f.choices) {
          control = h('div', { class: 'segmented', role: 'radiogroup', 'aria-labelledby': `${id}-label` },
            f.choices.map(([value, label]) => h('label', { class: 'segment' },
              h('input', { type: 'radio', name: id, value, onchange: () => { dirty = true; saved = undefined; } }),
              h('span', {}, label))));
        } else {
          control = h('input', {
            type: 'text', id, maxlength: f.max, placeholder: f.placeholder, dir: 'auto',
            oninput: () => { dirty = true; saved = undefined; },
          });
        }
        controls[f.key] = control;
        return h('div', { class: 'field' },
          f.choices
            ? h('span', { class: 'field-label', id: `${id}-label` }, f.label)
            : h('label', { class: 'field-label', for: id }, f.label),
          control);
      }),
      h('div', { class: 'form-status', id: 'profile-status', 'aria-live': 'polite' }),
      h('button', { type: 'submit', class: 'button button-primary', id: 'profile-save' }, 'Enregistrer mon profil'));
    return { el, controls };
  }

  function readForm() {
    const profile = {};
    for (const f of FIELDS) {
      const c = form.controls[f.key];
      if (f.choices) {
        const checked = c.querySelector('input:checked');
        profile[f.key] = checked ? checked.value : '';
      } else {
        profile[f.key] = c.value;
      }
    }
    return profile;
  }

  function fillForm(profile) {
    for (const f of FIELDS) {
      const c = form.controls[f.key];
      const value = str(profile[f.key]) || '';
      if (f.choices) {
        for (const input of c.querySelectorAll('input')) input.checked = input.value === value;
      } else {
        c.value = value;
      }
    }
  }

  function save() {
    if (ctx.post({ type: 'saveProducerProfile', profile: readForm() }) === false) return;
    error = undefined;
    // The app confirms a save for the open project only; without one there
    // is no answer to wait for.
    saving = onboarding !== undefined;
    saveSent = true;
    saved = saving ? undefined : 'Profil envoyé à Vantorel.';
    drawStatus();
  }

  function drawStatus() {
    const status = form.el.querySelector('#profile-status');
    if (saving) replace(status, h('span', { class: 'muted' }, 'Enregistrement…'));
    else if (error) replace(status, h('span', { class: 'error-text', role: 'alert' }, error));
    else if (saved) replace(status, h('span', { class: 'ok-text' }, saved));
    else replace(status);
  }

  function step({ id, done, title, detail, action }) {
    return h('li', { class: ['onboarding-step', done ? 'step-ok' : null], 'data-step': id },
      h('span', { class: 'check-mark', 'aria-hidden': 'true' }),
      h('div', { class: 'check-body' },
        h('div', { class: 'check-title' }, title, h('span', { class: 'visually-hidden' }, done ? ' : fait' : ' : à faire')),
        detail ? h('div', { class: 'check-detail' }, detail) : null,
        action ? h('div', { class: 'check-actions' }, action) : null));
  }

  function drawProject() {
    if (!onboarding) {
      return h('section', { class: 'card' },
        h('h3', { class: 'card-title' }, 'Accueil du projet'),
        h('p', { class: 'empty' }, 'Ouvre un projet dans Ableton : Vantorel te guide pour organiser ses pistes et situer son étape.'));
    }
    const profile = obj(onboarding.profile) || {};
    const organized = bool(onboarding.organized);
    const detected = int(onboarding.detectedStage);
    const validated = int(onboarding.validatedStage);
    const completed = bool(onboarding.completed);
    const complete = bool(profile.complete);
    const select = h('select', { id: 'stage-choice', 'aria-label': 'Étape du projet' },
      STAGE_TITLES.map((t, i) => h('option', { value: String(i + 1), selected: (validated ?? detected ?? 1) === i + 1 }, `Étape ${i + 1} · ${t}`)));
    return h('section', { class: 'card', 'aria-labelledby': 'onboarding-title' },
      h('h3', { class: 'card-title', id: 'onboarding-title' }, 'Accueil du projet ', name(str(onboarding.project) || '', { class: 'muted' })),
      completed ? h('div', { class: 'notice notice-ok', role: 'status' }, 'Accueil terminé pour ce projet : Vantorel connaît ton profil, tes pistes et ton étape.') : null,
      h('ol', { class: 'checklist' },
        step({
          id: 'profile', done: complete, title: 'Ton profil de producteur',
          detail: complete ? 'Les cinq choix sont faits.' : 'Réponds aux cinq questions ci-dessous.',
        }),
        step({
          id: 'organize', done: organized, title: 'Pistes identifiées, renommées et colorées',
          detail: organized ? 'Fait dans Ableton.' : 'Vantorel prépare un plan ; rien ne change avant ta confirmation.',
          action: organized ? null : h('button', {
            type: 'button', class: 'button button-quiet', 'data-action': 'organize', disabled: busy === 'organize',
            onclick: () => {
              if (ctx.post({ type: 'requestOnboardingOrganization' }) === false) return;
              busy = 'organize';
              ctx.stream.expectAnswer();
              ctx.shell.show('assistant');
            },
          }, 'Préparer l’organisation'),
        }),
        step({
          id: 'stage', done: validated !== undefined, title: 'Ton étape confirmée',
          detail: [
            detected !== undefined ? `Vantorel détecte l’étape ${detected} · ${STAGE_TITLES[detected - 1] || ''}. ` : '',
            validated !== undefined ? `Tu as confirmé l’étape ${validated} · ${STAGE_TITLES[validated - 1] || ''}.` : 'Confirme où en est vraiment ton morceau.',
          ].join(''),
          action: h('div', { class: 'inline-row' }, select, h('button', {
            type: 'button', class: 'button button-quiet', 'data-action': 'validate', disabled: busy === 'validate',
            onclick: () => {
              const stage = Number(select.value);
              if (ctx.post({ type: 'validateProjectStage', stage }) === false) return;
              busy = 'validate';
              stepError = undefined;
              draw();
            },
          }, 'Confirmer')),
        })),
      h('div', { class: 'toolbar' },
        h('button', {
          type: 'button', class: 'button button-primary', 'data-action': 'complete',
          disabled: completed || !complete || !organized || validated === undefined || busy === 'complete',
          onclick: () => {
            if (ctx.post({ type: 'completeOnboarding' }) === false) return;
            busy = 'complete';
            draw();
          },
        }, completed ? 'Accueil terminé' : 'Terminer l’accueil'),
        h('button', {
          type: 'button', class: 'button button-quiet', 'data-action': 'reset',
          onclick: () => { confirmReset = true; draw(); byId('reset-confirm')?.focus(); },
        }, 'Recommencer l’accueil')),
      confirmReset ? h('div', { class: 'confirm-line', role: 'group', 'aria-label': 'Recommencer l’accueil' },
        h('span', {}, 'Effacer ton profil et l’accueil de tous tes projets ?'),
        h('button', {
          type: 'button', class: 'button button-danger', id: 'reset-confirm',
          onclick: () => { confirmReset = false; dirty = false; ctx.post({ type: 'resetOnboarding' }); draw(); },
        }, 'Recommencer'),
        h('button', { type: 'button', class: 'button button-quiet', onclick: () => { confirmReset = false; draw(); } }, 'Annuler')) : null);
  }

  function draw() {
    keepFocus(root, () => {
      const profile = onboarding && obj(onboarding.profile);
      replace(root,
        h('h2', { class: 'screen-title' }, 'Profil'),
        stepError ? h('div', { class: 'notice notice-error', role: 'alert' }, stepError) : null,
        drawProject(),
        h('section', { class: 'card', 'aria-labelledby': 'producer-title' },
          h('h3', { class: 'card-title', id: 'producer-title' }, 'Ton profil de producteur'),
          h('p', { class: 'fine' }, profile && bool(profile.complete)
            ? 'Vantorel adapte ses réponses à ces choix. Ils restent sur cette machine.'
            : 'Cinq choix, une seule fois : Vantorel adapte ses réponses à ta façon de produire. Ils restent sur cette machine.'),
          form.el));
    });
    drawStatus();
  }

  function drawPreferences() {
    keepFocus(prefRoot, () => {
      const lines = preferences ? strings(preferences.summaryLines) : [];
      replace(prefRoot, h('section', { class: 'card', 'aria-labelledby': 'prefs-title' },
        h('h3', { class: 'card-title', id: 'prefs-title' }, 'Ce que Vantorel a appris de tes choix'),
        lines.length
          ? h('ul', { class: 'pref-lines' }, lines.map((line) => {
            const { label, detail } = preferenceLine(line);
            return h('li', {}, h('span', { class: 'pref-label' }, label), h('span', { class: 'pref-detail' }, detail));
          }))
          : h('p', { class: 'empty' }, 'Rien pour l’instant : chaque plan que tu confirmes, refuses ou annules est noté ici, sur cette machine seulement.'),
        lines.length ? h('button', {
          type: 'button', class: 'button button-quiet', id: 'prefs-reset',
          onclick: () => { confirmPrefReset = true; drawPreferences(); byId('prefs-confirm')?.focus(); },
        }, 'Effacer ces préférences') : null,
        confirmPrefReset ? h('div', { class: 'confirm-line', role: 'group', 'aria-label': 'Effacer les préférences' },
          h('span', {}, 'Oublier tout ce que Vantorel a appris de tes choix ?'),
          h('button', {
            type: 'button', class: 'button button-danger', id: 'prefs-confirm',
            onclick: () => { confirmPrefReset = false; ctx.post({ type: 'resetPreferenceProfile' }); drawPreferences(); },
          }, 'Effacer'),
          h('button', { type: 'button', class: 'button button-quiet', onclick: () => { confirmPrefReset = false; drawPreferences(); } }, 'Garder')) : null));
    });
  }

  function receive(value, confirmation) {
    const v = obj(value);
    if (!v) return;
    const profile = obj(v.profile) || {};
    const sig = JSON.stringify(profile);
    const answered = busy !== undefined || saving || confirmation;
    const changed = JSON.stringify(onboarding) !== JSON.stringify(v);
    onboarding = v;
    if (confirmation) {
      saveSent = false;
      saving = false;
      dirty = false;
      saved = 'Profil enregistré.';
    }
    busy = undefined;
    if (changed) stepError = undefined;
    // Never overwrite what the producer is typing with the app's copy.
    if (!dirty && sig !== profileSig) fillForm(profile);
    profileSig = sig;
    if (answered || changed) draw();
  }

  ctx.on('onboardingState', (value) => receive(value, false));
  ctx.on('producerProfileSaved', (value) => receive(value, true));
  ctx.on('onboardingError', (value) => {
    const v = obj(value);
    if (!v) return;
    const message = str(v.message) || 'L’enregistrement a échoué.';
    if (busy !== undefined) stepError = message;
    else if (saving || saveSent) {
      error = message;
      saved = undefined;
    } else return;
    saveSent = false;
    saving = false;
    busy = undefined;
    draw();
  });

  // The onboarding shown belongs to the project of the session that sent it.
  // Without a project the app confirms no save, so one still awaited when
  // the session ends is reported as sent, not left "Enregistrement…".
  function forgetOnboarding() {
    if (onboarding === undefined && busy === undefined && !saving) return;
    onboarding = undefined;
    busy = undefined;
    stepError = undefined;
    if (saving) {
      saving = false;
      saved = 'Profil envoyé à Vantorel.';
    }
    draw();
  }

  ctx.on('contextInvalidated', forgetOnboarding);
  ctx.on('sessionReset', forgetOnboarding);

  ctx.on('preferenceProfile', (value) => {
    const v = obj(value);
    if (!v) return;
    preferences = v;
    drawPreferences();
  });

  // The organisation plan is the answer to that step.
  ctx.on('planResult', () => {
    if (busy === 'organize') {
      busy = undefined;
      draw();
    }
  });

  draw();
  drawPreferences();
}
