// Reading event payloads leniently and writing numbers, dates and labels the
// French way. No DOM here, so the rules can be checked without a browser.

// A value of the wrong type counts as absent, as everywhere in the app.
export const str = (v) => (typeof v === 'string' ? v : undefined);
export const num = (v) => (typeof v === 'number' && Number.isFinite(v) ? v : undefined);
export const int = (v) => (typeof v === 'number' && Number.isFinite(v) ? Math.trunc(v) : undefined);
export const bool = (v) => v === true;
export const obj = (v) => (v !== null && typeof v === 'object' && !Array.isArray(v) ? v : undefined);
export const arr = (v) => (Array.isArray(v) ? v : []);
export const strings = (v) => arr(v).filter((x) => typeof x === 'string');
export const objects = (v) => arr(v).filter((x) => obj(x) !== undefined);

const MINUS = '\u2212';
const NNBSP = '\u202f';

/** Rounds halves away from zero, immune to 0.755 × 100 = 75.49999…. */
export function roundHalfAway(x) {
  const clean = Number(x.toPrecision(12));
  return Math.sign(clean) * Math.round(Math.abs(clean));
}

/** French decimal number: comma, narrow spaces between thousands, a true minus sign. */
export function number(value, digits = 1) {
  if (num(value) === undefined) return '—';
  const factor = 10 ** digits;
  const rounded = roundHalfAway(value * factor) / factor;
  const text = new Intl.NumberFormat('fr-FR', {
    minimumFractionDigits: digits,
    maximumFractionDigits: digits,
  }).format(Object.is(rounded, -0) ? 0 : rounded);
  return text.replace('-', MINUS);
}

export function withUnit(value, unit, digits = 1) {
  const text = number(value, digits);
  return text === '—' ? text : `${text}${NNBSP}${unit}`;
}

export function integer(value) {
  return number(value, 0);
}

export function percent(ratio) {
  if (num(ratio) === undefined) return '—';
  return `${roundHalfAway(ratio * 100)}${NNBSP}%`;
}

export function plural(count, one, many) {
  return `${integer(count)} ${Math.abs(count) >= 2 ? many : one}`;
}

/** Key detection confidence, in the words the app's own key message uses. */
export function confidenceWord(confidence) {
  if (confidence < 0.55) return 'faible';
  if (confidence < 0.75) return 'moyenne';
  return 'élevée';
}

const NOTE_FR = {
  C: 'do', D: 'ré', E: 'mi', F: 'fa', G: 'sol', A: 'la', B: 'si',
};

/** "F♯ minor" → "fa dièse mineur"; anything unexpected gives undefined. */
export function keyInFrench(key) {
  const m = /^([A-G])([♯#♭b]?)\s+(major|minor)$/.exec(String(key).trim());
  if (!m) return undefined;
  const accidental = m[2] === '♯' || m[2] === '#' ? ' dièse' : m[2] ? ' bémol' : '';
  return `${NOTE_FR[m[1]]}${accidental} ${m[3] === 'minor' ? 'mineur' : 'majeur'}`;
}

export function parseDate(text) {
  if (typeof text !== 'string') return undefined;
  const t = Date.parse(text);
  return Number.isFinite(t) ? new Date(t) : undefined;
}

export function dateTime(value) {
  const d = value instanceof Date ? value : parseDate(value);
  if (!d) return '—';
  return new Intl.DateTimeFormat('fr-FR', { day: 'numeric', month: 'short', year: 'numeric', hour: '2-digit', minute: '2-digit' }).format(d);
}

export function shortDate(value) {
  const d = value instanceof Date ? value : parseDate(value);
  if (!d) return '—';
  return new Intl.DateTimeFormat('fr-FR', { day: 'numeric', month: 'short', year: 'numeric' }).format(d);
}

export function clock(unixSeconds) {
  if (num(unixSeconds) === undefined) return undefined;
  return new Intl.DateTimeFormat('fr-FR', { hour: '2-digit', minute: '2-digit', second: '2-digit' }).format(new Date(unixSeconds * 1000));
}

/** A context age in milliseconds, as a producer reads it. */
export function age(ms) {
  if (num(ms) === undefined || ms < 0) return '—';
  if (ms < 1000) return `${Math.round(ms)}${NNBSP}ms`;
  if (ms < 60000) return withUnit(ms / 1000, 's');
  return withUnit(ms / 60000, 'min', 0);
}

export function fileSize(bytes) {
  if (num(bytes) === undefined || bytes < 0) return '—';
  if (bytes < 1024 * 1024) return withUnit(bytes / 1024, 'Ko', 0);
  return withUnit(bytes / (1024 * 1024), 'Mo');
}

export function hertz(value) {
  if (num(value) === undefined) return '—';
  return value >= 1000 ? withUnit(value / 1000, 'kHz') : withUnit(value, 'Hz', 0);
}

const ROLES = {
  kick: 'Kick', clap: 'Clap', snare: 'Caisse claire', hat: 'Hi-hat', percussion: 'Percussions',
  drums: 'Batterie', bass: 'Basse', harmony: 'Harmonie', music: 'Musique', lead: 'Lead',
  vocal: 'Voix', fx: 'FX', unknown: 'Indéterminé', other: 'Autre', chords: 'Accords', loop: 'Boucle',
};

export function roleLabel(role) {
  return ROLES[role] || role;
}

const SOURCES = {
  codex: 'Codex',
  claude: 'Claude Code',
  ai: 'Planificateur distant',
  local: 'Vantorel',
  'local-key-analysis': 'Analyse locale de tonalité',
  'agent-unavailable': 'Agent indisponible',
};

export function sourceLabel(source) {
  return SOURCES[source] || source;
}

export const AGENTS = { codex: 'Codex', claude: 'Claude Code' };

// Action types are the command names the preference profile records.
const ACTION_TYPES = {
  analyze: 'Analyse du mix',
  organize: 'Organisation des pistes',
  buildArrangement: 'Construction d’arrangement',
  importSample: 'Import de sample',
  play: 'Lecture',
  stop: 'Arrêt',
  tempo: 'Tempo',
  createMidiTrack: 'Création de piste MIDI',
  createAudioTrack: 'Création de piste audio',
  createMidiClip: 'Création de clip MIDI',
  replaceMidiClip: 'Réécriture de clip MIDI',
  renameTrack: 'Renommage de piste',
  trackState: 'Mute, solo ou armement',
  trackVolume: 'Volume de piste',
  undo: 'Annulation',
  listenMaster: 'Écoute du master',
};

/** "organize · 2 validé(s), …" → {label: "Organisation des pistes", detail: "2 validé(s), …"} */
export function preferenceLine(line) {
  const at = line.indexOf(' · ');
  if (at <= 0) return { label: line, detail: '' };
  const type = line.slice(0, at);
  return { label: ACTION_TYPES[type] || type, detail: line.slice(at + 3) };
}

export const STAGE_TITLES = ['Idée', 'Groove', 'Arrangement', 'Transitions', 'Mix', 'Pre-master'];

const RESET_REASONS = {
  projectChanged: 'Un autre projet est ouvert dans Ableton : la conversation repart de zéro.',
  abletonRestarted: 'Ableton a redémarré : la conversation repart de zéro.',
  abletonClosed: 'Ableton est fermé : la conversation a été effacée.',
};

export function resetReason(reason) {
  return RESET_REASONS[reason] || 'La conversation a été réinitialisée.';
}

const CAPTURE_STATUS = {
  ready: 'Enregistrement terminé, mesure en cours',
  failed: 'La capture a échoué',
};

export function captureStatus(status) {
  return CAPTURE_STATUS[status] || 'Enregistrement du master';
}

/** Capture progress as a 0…1 ratio: the bridge may report a fraction or a percentage. */
export function progressRatio(progress) {
  if (num(progress) === undefined || progress < 0) return 0;
  return progress > 1 ? Math.min(progress / 100, 1) : progress;
}
