// Set-up screen: what is installed and running, and the buttons that fix
// what is missing. Everything shown comes from "setupStatus" and the results
// of the set-up commands.

import { byId, h, replace, name, keepFocus } from './dom.js';
import { str, bool, obj, AGENTS } from './format.js';

export function mount(ctx) {
  const root = byId('setup-body');
  let status;          // last "setupStatus"
  let live;            // {connected, message} from the connection events
  let install;         // last "installationResult", or {pending}
  const agents = {};   // agent → last "agentConnectionResult"
  let autoShown = false;
  let userMoved = false;

  ctx.shell.onShow((screen) => { if (screen !== 'setup') userMoved = true; });

  function row({ id, ok, warn, title, detail, actions = [] }) {
    const state = ok ? 'ok' : warn ? 'warn' : 'todo';
    const word = ok ? 'Fait' : warn ? 'À vérifier' : 'À faire';
    return h('li', { class: `check check-${state}`, 'data-check': id },
      h('span', { class: 'check-mark', 'aria-hidden': 'true' }),
      h('div', { class: 'check-body' },
        h('div', { class: 'check-title' }, title, h('span', { class: 'visually-hidden' }, ` : ${word}`)),
        detail ? h('div', { class: 'check-detail' }, detail) : null,
        actions.length ? h('div', { class: 'check-actions' }, actions) : null));
  }

  function button(label, message, { primary = false, disabled = false } = {}) {
    return h('button', {
      type: 'button',
      class: ['button', primary ? 'button-primary' : 'button-quiet'],
      disabled,
      onclick: () => {
        if (ctx.post(message) !== false && message.type === 'installBridge') {
          install = { pending: true };
          draw();
        }
      },
      'data-action': message.type + (message.agent ? `-${message.agent}` : ''),
    }, label);
  }

  function agentRow(agent) {
    const display = AGENTS[agent];
    const available = status ? bool(status[`${agent}Available`]) : false;
    const preferred = status && status.preferredAgent === agent;
    const result = agents[agent];
    const pending = result && bool(result.pending);
    const parts = [];
    parts.push(available ? 'Installé sur cette machine' : 'Introuvable sur cette machine');
    if (agent === 'codex' && str(status?.codexModel)) parts.push(`modèle ${status.codexModel}`);
    if (preferred) parts.push('utilisé pour tes réponses');
    const lines = [h('div', {}, parts.join(' · '))];
    if (result && str(result.message)) {
      lines.push(h('div', {
        class: ['result-line', pending ? 'result-pending' : bool(result.ok) ? 'result-ok' : 'result-error'],
        role: bool(result.ok) || pending ? 'status' : 'alert',
      }, result.message));
    }
    return row({
      id: `agent-${agent}`,
      ok: preferred,
      warn: available && !preferred,
      title: display,
      detail: lines,
      actions: [button(preferred ? `Reconnecter ${display}` : `Connecter ${display}`, { type: 'connectAgent', agent }, {
        primary: !preferred && available && !status?.preferredAgent,
        disabled: pending,
      })],
    });
  }

  function draw() {
    keepFocus(root, drawNow);
  }

  function drawNow() {
    if (!status) {
      replace(root,
        h('h2', { class: 'screen-title' }, 'Installation'),
        h('p', { class: 'empty' }, 'En attente de l’état de l’installation…'));
      return;
    }
    const bundled = bool(status.bridgeBundled);
    const installed = bool(status.bridgeInstalled);
    const configured = bool(status.configurationInstalled);
    const ready = bool(status.readyForAbletonSetup) || (bundled && installed && configured);
    const running = bool(status.abletonRunning);
    const path = str(status.destinationPath);

    let bridgeDetail;
    if (!bundled) bridgeDetail = 'Le bridge est absent de cette copie de Vantorel : réinstalle Vantorel.';
    else if (installed) bridgeDetail = [h('span', {}, 'Installé dans '), name(path || 'le dossier Remote Scripts', { class: 'path' })];
    else bridgeDetail = 'Vantorel copie son Remote Script dans la User Library d’Ableton, sans toucher à tes projets.';

    const installLines = [];
    if (install && install.pending) {
      installLines.push(h('div', { class: 'result-line result-pending', role: 'status' }, 'Installation en cours…'));
    } else if (install && bool(install.ok)) {
      const where = str(install.destinationPath);
      installLines.push(h('div', { class: 'result-line result-ok', role: 'status' },
        'Bridge installé', where ? [' dans ', name(where, { class: 'path' })] : null, '. ',
        bool(install.abletonRunning)
          ? 'Ableton est ouvert : redémarre-le, ou resélectionne la surface de contrôle VantorelBridge, pour charger cette version.'
          : 'Ouvre Ableton Live et choisis VantorelBridge comme surface de contrôle (Réglages › Link, Tempo & MIDI).'));
    } else if (install && bool(install.ok) === false && str(install.message)) {
      installLines.push(h('div', { class: 'result-line result-error', role: 'alert' }, install.message));
    }

    const launch = bool(status.launchAtLogin);
    const approval = bool(status.launchAtLoginRequiresApproval);
    const toggle = h('input', {
      type: 'checkbox',
      id: 'launch-at-login',
      class: 'switch',
      checked: launch,
      onchange: (e) => ctx.post({ type: 'setLaunchAtLogin', enabled: e.target.checked }),
    });

    const connected = live ? live.connected : false;
    const liveDetail = connected
      ? 'Vantorel lit le Live Set ouvert.'
      : (live && live.message) || (running ? 'En attente de la réponse du bridge…' : 'Ouvre Ableton Live 12 avec un projet.');

    const message = str(status.message);
    const everythingReady = ready && connected && (status.preferredAgent === 'codex' || status.preferredAgent === 'claude');

    replace(root,
      h('h2', { class: 'screen-title' }, 'Installation'),
      h('p', { class: 'screen-intro' }, 'Ce qu’il faut pour que Vantorel suive ton projet dans Ableton et te réponde.'),
      message ? h('div', {
        class: ['notice', bool(status.error) ? 'notice-error' : 'notice-ok'],
        role: bool(status.error) ? 'alert' : 'status',
      }, message) : null,
      everythingReady ? h('div', { class: 'notice notice-ok ready-line' },
        h('span', {}, 'Tout est prêt.'),
        h('button', { type: 'button', class: 'button button-primary', onclick: () => ctx.shell.show('assistant') }, 'Ouvrir l’assistant')) : null,
      h('ul', { class: 'checklist' },
        row({
          id: 'bridge',
          ok: ready,
          warn: bundled && installed !== configured,
          title: 'Bridge Ableton',
          detail: [h('div', {}, bridgeDetail), installLines],
          actions: bundled ? [button(installed ? 'Réparer le bridge' : 'Installer le bridge', { type: 'installBridge' }, {
            primary: !ready,
            disabled: install && install.pending,
          })] : [],
        }),
        row({
          id: 'configuration',
          ok: configured,
          title: 'Configuration',
          detail: configured
            ? 'Clé d’accès locale partagée entre Vantorel et Live.'
            : 'La clé d’accès locale est créée avec le bridge.',
        }),
        row({
          id: 'ableton',
          ok: running,
          title: 'Ableton Live',
          detail: running ? 'Ouvert.' : 'Fermé : ouvre Ableton Live 12.',
        }),
        row({
          id: 'connection',
          ok: connected,
          warn: running && !connected,
          title: 'Connexion au Live Set',
          detail: liveDetail,
          actions: [button('Revérifier la connexion', { type: 'recheckConnection' })],
        }),
        h('li', { class: 'check-group' }, h('div', { class: 'check-group-title' }, 'Agents disponibles')),
        agentRow('codex'),
        agentRow('claude'),
        row({
          id: 'launch',
          ok: launch && !approval,
          warn: approval,
          title: h('label', { for: 'launch-at-login', class: 'switch-label' }, 'Lancer à l’ouverture de session', toggle),
          detail: approval
            ? 'Le lancement automatique attend ton autorisation dans les réglages du système.'
            : launch ? 'Vantorel démarre avec ta session.' : 'Vantorel ne démarre que si tu l’ouvres.',
          actions: approval ? [button('Ouvrir les réglages', { type: 'openLoginSettings' })] : [],
        })));
  }

  ctx.on('setupStatus', (value) => {
    const v = obj(value);
    if (!v) return;
    status = v;
    if (install && install.pending && bool(v.error)) install = undefined;
    draw();
    const ready = bool(v.readyForAbletonSetup);
    if (!ready && !autoShown && !userMoved) {
      autoShown = true;
      ctx.shell.show('setup');
      userMoved = false;
    }
  });

  ctx.on('installationResult', (value) => {
    const v = obj(value);
    if (!v) return;
    install = v;
    draw();
  });

  ctx.on('agentConnectionResult', (value) => {
    const v = obj(value);
    if (!v || (v.agent !== 'codex' && v.agent !== 'claude')) return;
    agents[v.agent] = v;
    draw();
  });

  ctx.on('showSetup', () => ctx.shell.show('setup'));

  const offline = (value) => {
    const v = obj(value) || {};
    live = { connected: false, message: str(v.message) };
    if (status) draw();
  };
  ctx.on('connection', (value) => {
    const v = obj(value);
    if (v && bool(v.connected)) live = { connected: true };
    else offline(value);
    if (status) draw();
  });
  ctx.on('contextInvalidated', offline);
  ctx.on('session', (value) => {
    if (!obj(value)) return;
    const was = live && live.connected;
    live = { connected: true };
    if (status && !was) draw();
  });

  draw();
}
