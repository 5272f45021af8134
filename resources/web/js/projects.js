// Projects screen: the local index of the producer's .als files, how far
// each one is, and opening one in Live. Files are only ever read.

import { byId, h, s, replace, name, progressBar, keepFocus } from './dom.js';
import { str, num, int, bool, obj, objects, strings, integer, number, shortDate, dateTime, STAGE_TITLES } from './format.js';

export function mount(ctx) {
  const root = byId('projects-body');
  let index;
  let scan;          // last "projectScanProgress"
  let outcome;       // last "projectScanResult"
  let confirmClear = false;

  function stageMeter(stage) {
    return s('svg', { viewBox: '0 0 66 8', class: 'stage-meter', 'aria-hidden': 'true' },
      [1, 2, 3, 4, 5, 6].map((i) => s('rect', { x: (i - 1) * 11, y: 0, width: 9, height: 8, rx: 2, class: i <= stage ? 'seg seg-on' : 'seg' })));
  }

  function projectItem(p) {
    const stage = int(p.stage) ?? 0;
    const stageName = str(p.stageName) || STAGE_TITLES[stage - 1] || '';
    const tempo = num(p.tempo);
    const tracks = objects(p.tracks).length;
    const warnings = strings(p.warnings);
    const path = str(p.path);
    const label = str(p.name) || 'Projet sans nom';
    const meta = [
      tempo !== undefined ? `${number(tempo, Number.isInteger(tempo) ? 0 : 1)} BPM` : null,
      `${integer(tracks)} piste${tracks >= 2 ? 's' : ''}`,
      str(p.modifiedAt) ? `modifié le ${shortDate(p.modifiedAt)}` : null,
    ].filter(Boolean).join(' · ');
    return h('li', { class: 'project' },
      h('div', { class: 'project-top' },
        h('span', { class: 'project-title', title: label }, name(label)),
        path ? h('button', {
          type: 'button', class: 'button button-small', 'data-action': `open-${path}`,
          'aria-label': `Ouvrir ${label} dans Ableton`,
          onclick: () => ctx.post({ type: 'openProject', path }),
        }, 'Ouvrir') : null),
      h('div', { class: 'project-stage' }, stageMeter(stage),
        h('span', {}, stage ? `Étape ${stage} · ${stageName}` : stageName)),
      str(p.missing) ? h('p', { class: 'project-next', dir: 'auto' }, h('span', { class: 'label' }, 'Prochain pas : '), p.missing) : null,
      str(p.timeRemaining) ? h('p', { class: 'project-time', dir: 'auto' }, h('span', { class: 'label' }, 'Reste : '), p.timeRemaining) : null,
      h('p', { class: 'fine' }, meta),
      warnings.length ? h('ul', { class: 'warnings' }, warnings.map((w) => h('li', { dir: 'auto' }, w))) : null);
  }

  function draw() {
    keepFocus(root, drawNow);
  }

  function drawNow() {
    const indexed = index && bool(index.indexed);
    const projects = indexed ? objects(index.projects) : [];
    const warnings = indexed ? strings(index.warnings) : [];
    const running = scan && bool(scan.running);
    const body = [];

    if (running) {
      const total = int(scan.total) ?? 0;
      const done = int(scan.completed) ?? 0;
      body.push(h('div', { class: 'card-progress', role: 'status' },
        progressBar('Lecture des projets', total > 0 ? done : null, total),
        total > 0 ? `Lecture des projets : ${integer(done)} sur ${integer(total)}` : 'Recherche des Live Sets dans le dossier…'));
    }
    if (outcome && str(outcome.message)) {
      body.push(h('div', {
        class: ['notice', bool(outcome.ok) ? 'notice-ok' : 'notice-error'],
        role: bool(outcome.ok) ? 'status' : 'alert', dir: 'auto',
      }, outcome.message));
    }

    if (!index) {
      body.push(h('p', { class: 'empty' }, 'Chargement de l’index local…'));
    } else if (!indexed) {
      body.push(h('div', { class: 'empty-state' },
        h('p', {}, 'Aucun dossier de projets indexé.'),
        h('p', { class: 'fine' }, 'Choisis le dossier où tu ranges tes projets Ableton : Vantorel lit localement les fichiers .als, sans jamais les modifier, et classe tes morceaux du plus proche de la fin au plus récent.')));
    } else {
      const folder = str(index.folderPath);
      body.push(h('p', { class: 'fine index-meta' },
        folder ? ['Dossier ', name(folder, { class: 'path' })] : 'Dossier indexé',
        str(index.scannedAt) ? ` · lu le ${dateTime(index.scannedAt)}` : ''));
      if (warnings.length) {
        body.push(h('details', { class: 'index-warnings' },
          h('summary', {}, `${integer(warnings.length)} fichier${warnings.length >= 2 ? 's' : ''} illisible${warnings.length >= 2 ? 's' : ''}`),
          h('ul', { class: 'warnings' }, warnings.map((w) => h('li', { dir: 'auto' }, w)))));
      }
      body.push(projects.length
        ? h('ul', { class: 'project-list', 'aria-label': 'Projets indexés' }, projects.map(projectItem))
        : h('p', { class: 'empty' }, 'Aucun Live Set (.als) trouvé dans ce dossier.'));
    }

    const tools = [
      h('button', { type: 'button', class: 'button button-primary', id: 'choose-folder', onclick: () => ctx.post({ type: 'chooseProjectFolder' }) },
        indexed ? 'Changer de dossier…' : 'Choisir le dossier de projets…'),
    ];
    if (indexed) {
      tools.push(h('button', { type: 'button', class: 'button button-quiet', id: 'rescan', disabled: running, onclick: () => ctx.post({ type: 'rescanProjects' }) }, 'Relire le dossier'));
      tools.push(h('button', {
        type: 'button', class: 'button button-quiet', id: 'clear-index',
        onclick: () => { confirmClear = true; draw(); byId('clear-confirm')?.focus(); },
      }, 'Effacer l’index'));
    }
    const confirm = confirmClear ? h('div', { class: 'confirm-line', role: 'group', 'aria-label': 'Effacer l’index local' },
      h('span', {}, 'Effacer l’index local ? Tes fichiers Ableton ne sont pas touchés.'),
      h('button', {
        type: 'button', class: 'button button-danger', id: 'clear-confirm',
        onclick: () => { confirmClear = false; ctx.post({ type: 'clearProjectIndex' }); draw(); },
      }, 'Effacer'),
      h('button', { type: 'button', class: 'button button-quiet', id: 'clear-cancel', onclick: () => { confirmClear = false; draw(); byId('clear-index')?.focus(); } }, 'Garder')) : null;

    replace(root,
      h('h2', { class: 'screen-title' }, 'Projets'),
      h('div', { class: 'toolbar' }, tools),
      confirm,
      h('div', { 'aria-live': 'polite' }, body));
  }

  ctx.on('projectIndex', (value) => {
    const v = obj(value);
    if (!v) return;
    index = v;
    // A published index is the end of any scan that was running.
    scan = undefined;
    draw();
  });

  ctx.on('projectScanProgress', (value) => {
    const v = obj(value);
    if (!v) return;
    scan = v;
    if (bool(v.running)) outcome = undefined;
    draw();
  });

  ctx.on('projectScanResult', (value) => {
    const v = obj(value);
    if (!v) return;
    outcome = v;
    draw();
    if (ctx.shell.current() !== 'projects') ctx.shell.badge('projects');
  });

  draw();
}
