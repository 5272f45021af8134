// The session header: is Live connected, which project is open, is it saved,
// and how fresh is the mirror the answers rely on.

import { byId, h, replace } from './dom.js';
import { str, num, int, bool, obj, integer, number, age, clock, percent } from './format.js';

export function mount(ctx) {
  const pill = byId('connection-pill');
  const projectName = byId('project-name');
  const projectSaved = byId('project-saved');
  const meta = byId('session-meta');
  const message = byId('session-message');
  const topProject = byId('top-project');

  let snapshot;
  let identity;
  let status;

  function setPill(state, text) {
    pill.className = `pill pill-${state}`;
    pill.textContent = text;
  }

  function drawProject() {
    const title = (identity && (str(identity.name) || (identity.source === 'unsaved' && 'Nouveau morceau')))
      || (snapshot && str(snapshot.project))
      || undefined;
    if (!snapshot && !identity) {
      projectName.textContent = 'Aucun projet synchronisé';
      projectName.classList.add('muted');
      projectSaved.textContent = '';
      topProject.textContent = 'Finition de tes morceaux Ableton';
      return;
    }
    projectName.classList.remove('muted');
    projectName.textContent = title || 'Live Set';
    projectName.title = title || '';
    topProject.textContent = title || 'Live Set';
    projectSaved.className = 'project-saved';
    if (!identity) {
      projectSaved.textContent = '';
    } else if (!bool(identity.saved)) {
      projectSaved.textContent = str(identity.message) || 'Non enregistré';
      projectSaved.classList.add('unsaved');
    } else if (identity.source === 'sessionFingerprint') {
      const confidence = num(identity.confidence);
      projectSaved.textContent = confidence === undefined
        ? 'Enregistré · reconnu dans l’index'
        : `Enregistré · reconnu dans l’index à ${percent(confidence)}`;
      projectSaved.title = str(identity.path) || '';
    } else if (identity.source === 'indexedName') {
      projectSaved.textContent = 'Enregistré · dans l’index local';
      projectSaved.title = str(identity.path) || '';
    } else {
      projectSaved.textContent = 'Enregistré';
    }
  }

  function drawMeta() {
    const parts = [];
    const revision = status ? int(status.revision) : snapshot && int(snapshot.revision);
    if (revision !== undefined) parts.push(`Révision ${integer(revision)}`);
    if (snapshot) {
      const tempo = num(snapshot.tempo);
      if (tempo !== undefined) parts.push(`${number(tempo, Number.isInteger(tempo) ? 0 : 1)} BPM`);
      if (Array.isArray(snapshot.tracks)) parts.push(snapshot.tracks.length === 1 ? '1 piste' : `${integer(snapshot.tracks.length)} pistes`);
    }
    meta.title = '';
    if (status) {
      parts.push(`contexte de ${age(num(status.ageMs) ?? 0)}`);
      const captured = clock(num(status.capturedAtUnix));
      if (captured) meta.title = `Contexte capté dans Ableton à ${captured}`;
    }
    meta.textContent = parts.join(' · ');
  }

  function showMessage(text, withSetupLink) {
    if (!text) {
      message.hidden = true;
      replace(message);
      return;
    }
    replace(message, h('span', { dir: 'auto' }, text));
    if (withSetupLink) {
      message.appendChild(h('button', {
        type: 'button',
        class: 'link-button',
        onclick: () => ctx.shell.show('setup'),
      }, 'Installer le bridge'));
    }
    message.hidden = false;
  }

  function disconnect(value, fromConnection) {
    snapshot = undefined;
    identity = undefined;
    status = undefined;
    const v = obj(value) || {};
    const text = str(v.message) || 'Ableton n’est pas connecté.';
    if (fromConnection && bool(v.connected)) return;
    setPill('offline', 'Hors ligne');
    const needsBridge = fromConnection && v.bridgeInstalled === false;
    let hint = text;
    if (fromConnection && v.abletonRunning === false && !/ableton est fermé/i.test(text)) hint = `${text} Ouvre Ableton Live pour reprendre.`;
    showMessage(hint, needsBridge);
    drawProject();
    drawMeta();
  }

  ctx.on('connection', (value) => {
    const v = obj(value);
    if (!v) return;
    if (bool(v.connected)) {
      setPill('online', 'Connecté');
      showMessage('');
      return;
    }
    disconnect(v, true);
  });

  ctx.on('contextInvalidated', (value) => disconnect(value, false));

  ctx.on('session', (value) => {
    const v = obj(value);
    if (!v) return;
    snapshot = v;
    setPill('online', 'Connecté');
    showMessage('');
    drawProject();
    drawMeta();
  });

  ctx.on('contextStatus', (value) => {
    const v = obj(value);
    if (!v) return;
    status = v;
    drawMeta();
  });

  ctx.on('projectIdentity', (value) => {
    const v = obj(value);
    if (!v) return;
    identity = v;
    drawProject();
  });

  drawProject();
}
