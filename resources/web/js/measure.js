// Measurement card: listening to the selected clip or to a master capture,
// drawn from the numbers of the measurement — waveform, spectrogram, band
// shares, levels, loudness and true peak, and stereo image.

import { byId, h, s, replace, name, progressBar, setProgress } from './dom.js';
import {
  str, num, int, bool, obj, arr, number, withUnit, hertz, integer, percent,
  confidenceWord, progressRatio, captureStatus,
} from './format.js';

export const BANDS = [
  ['sub_20_60', 'Sub', '20–60 Hz'],
  ['bass_60_120', 'Basses', '60–120 Hz'],
  ['lowMid_120_400', 'Bas-médiums', '120–400 Hz'],
  ['mid_400_2000', 'Médiums', '400 Hz–2 kHz'],
  ['presence_2000_6000', 'Présence', '2–6 kHz'],
  ['air_6000_20000', 'Air', '6–20 kHz'],
];

// What the streaming platforms normalise to and the ceiling they ask for:
// references to read the curve against, not targets.
export const STREAMING_LUFS = -14;
export const STREAMING_CEILING_DBTP = -1;

export function mount(ctx) {
  const root = byId('measure-card');
  let listening = false;
  let capture;        // last "masterCaptureProgress"
  let result;         // last "audioResult"

  function draw() {
    const body = [];
    if (listening) {
      body.push(h('div', { class: 'card-progress', role: 'status' },
        progressBar('Écoute du clip', null), 'Écoute et mesure du clip sélectionné…'));
    }
    if (capture) {
      const bars = int(capture.bars);
      const ratio = progressRatio(num(capture.progress));
      const bar = progressBar('Capture du master', ratio);
      const done = bars ? Math.min(bars, Math.floor(ratio * bars + 1e-9)) : undefined;
      body.push(h('div', { class: 'card-progress capture-progress', role: 'status' }, bar,
        h('span', {}, `${captureStatus(str(capture.status))} — `,
          bars ? `${integer(done)} mesure${done >= 2 ? 's' : ''} sur ${integer(bars)} · ` : '',
          percent(ratio))));
      setProgress(bar, ratio);
    }
    if (result && bool(result.ok) && obj(result.measurement)) {
      body.push(measurementView(obj(result.measurement)));
      body.push(followUp());
    } else if (result && !bool(result.ok)) {
      body.push(h('div', { class: 'notice notice-error', role: 'alert', dir: 'auto' }, str(result.message) || 'La mesure a échoué.'));
    } else if (!listening && !capture) {
      body.push(h('p', { class: 'empty' }, 'Sélectionne un clip audio dans Ableton : Vantorel mesure son fichier source sur cette machine (niveaux, dynamique, spectre, stéréo). Pour le rendu final, demande à l’assistant « écoute le master ».'));
    }
    replace(root, h('section', { class: 'card', 'aria-labelledby': 'measure-title' },
      h('header', { class: 'card-head' },
        h('h2', { class: 'card-title', id: 'measure-title' }, 'Mesure audio'),
        h('button', {
          type: 'button', class: 'button button-quiet', id: 'listen-clip', disabled: listening,
          onclick: () => {
            if (ctx.post({ type: 'listenSelectedClip' }) !== false) {
              listening = true;
              draw();
            }
          },
        }, 'Écouter le clip sélectionné')),
      h('div', { 'aria-live': 'polite' }, body)));
  }

  function followUp() {
    const input = h('input', {
      type: 'text', id: 'measure-question', maxlength: 2000, dir: 'auto',
      placeholder: 'Ex. : le bas du spectre est-il trop chargé ?',
      'aria-label': 'Question sur cette mesure',
    });
    return h('form', {
      class: 'follow-up',
      onsubmit: (e) => {
        e.preventDefault();
        const question = input.value.trim();
        if (!question) return;
        if (ctx.post({ type: 'chatRequest', question }) === false) return;
        input.value = '';
        ctx.stream.add(h('div', { class: 'bubble bubble-user', dir: 'auto' }, question));
        ctx.stream.expectAnswer();
        ctx.shell.show('assistant');
      },
    },
    h('label', { for: 'measure-question', class: 'follow-up-label' }, 'Une question sur cette mesure ?'),
    h('div', { class: 'follow-up-row' }, input, h('button', { type: 'submit', class: 'button button-quiet' }, 'Demander')));
  }

  ctx.on('audioProgress', (value) => {
    const v = obj(value);
    if (!v) return;
    listening = bool(v.active);
    draw();
  });

  ctx.on('masterCaptureProgress', (value) => {
    const v = obj(value);
    if (!v || !str(v.jobId)) return;
    capture = v;
    result = undefined;
    draw();
    ctx.shell.badge('listen');
  });

  ctx.on('audioResult', (value) => {
    const v = obj(value);
    if (!v) return;
    const refocus = listening && (document.activeElement === document.body || root.contains(document.activeElement));
    listening = false;
    capture = undefined;
    result = v;
    draw();
    if (refocus) byId('listen-clip').focus();
    ctx.shell.badge('listen');
  });

  // A failed plan step may end a master capture without an audio result.
  ctx.on('planExecutionResult', (value) => {
    if (capture && obj(value)) {
      capture = undefined;
      draw();
    }
  });

  draw();
}

function measurementView(m) {
  const master = str(m.scope) === 'renderedMasterResampling';
  const title = master
    ? [h('span', {}, 'Master rendu'), str(m.project) ? [' · ', name(m.project)] : null]
    : [h('span', {}, 'Clip '), name(str(m.clip) || 'Clip sélectionné', { class: 'strong' }),
      ' sur ', name(str(m.track) || 'Piste sélectionnée', { class: 'strong' })];

  const analyzed = num(m.analyzedSeconds);
  const total = num(m.sourceDurationSeconds);
  const rate = num(m.sampleRate);
  const channels = int(m.channelCount);
  const facts = [
    analyzed !== undefined ? `${withUnit(analyzed, 's')} mesurées${total !== undefined && !master ? ` sur ${withUnit(total, 's')}` : ''}` : null,
    rate !== undefined ? hertz(rate) : null,
    channels !== undefined ? (channels === 1 ? 'mono' : channels === 2 ? 'stéréo' : `${channels} canaux`) : null,
  ].filter(Boolean).join(' · ');

  const parts = [
    h('div', { class: 'measure-title' }, title),
    facts ? h('p', { class: 'fine' }, facts) : null,
  ];

  if (master) {
    const bars = int(m.captureBars);
    const removed = m.temporaryTrackRemoved;
    parts.push(h('p', { class: 'capture-facts' },
      bars !== undefined ? `${integer(bars)} mesure${bars >= 2 ? 's' : ''} capturée${bars >= 2 ? 's' : ''}` : 'Capture terminée',
      removed === true ? ' · piste temporaire supprimée' : null));
    if (removed === false) {
      parts.push(h('div', { class: 'notice notice-warn', role: 'alert', dir: 'auto' },
        str(m.cleanupWarning) || 'La piste temporaire n’a pas pu être supprimée : retire-la à la main dans Ableton.'));
    }
  }

  parts.push(waveform(arr(m.waveform).map((x) => num(x) ?? 0), m));

  const peak = num(m.samplePeakDbFS);
  const clipped = num(m.clippedSamplePercent);
  parts.push(h('dl', { class: 'figures' },
    figure('Crête', withUnit(peak, 'dBFS'), peak !== undefined && peak > -0.3 ? 'warn' : null),
    figure('RMS', withUnit(num(m.rmsDbFS), 'dBFS')),
    figure('Facteur de crête', withUnit(num(m.crestFactorDb), 'dB')),
    figure('Plage dynamique', withUnit(num(m.dynamicRangeDb), 'dB'))));
  parts.push(loudness(m));
  parts.push(h('p', { class: 'fine figures-more' }, [
    `Centre spectral ${hertz(num(m.spectralCentroidHz))}`,
    `écrêtage ${withUnit(clipped, '%', 2)}`,
    `décalage DC ${number(num(m.dcOffset), 4)}`,
  ].join(' · ')));

  parts.push(bands(obj(m.bandEnergyPercent) || {}));
  parts.push(spectrogram(arr(m.spectrogram), num(m.sampleRate)));
  parts.push(stereo(num(m.stereoCorrelation), num(m.stereoWidthPercent)));

  const key = str(m.key);
  const keyConfidence = num(m.keyConfidence);
  if (key) {
    parts.push(h('p', { class: 'measure-key' }, 'Tonalité de l’extrait : ', h('strong', { dir: 'ltr' }, key),
      keyConfidence !== undefined ? ` · confiance ${confidenceWord(keyConfidence)}, ${percent(keyConfidence)}` : ''));
  }

  const notice = str(m.measurementNotice);
  const privacy = str(m.privacy);
  if (notice || privacy) parts.push(h('p', { class: 'fine measure-notice' }, [notice, privacy].filter(Boolean).join(' ')));

  return h('div', { class: 'measurement', 'data-scope': master ? 'master' : 'clip' }, parts);
}

// Integrated loudness, range and true peak beside the levels, then the
// short-term loudness over the excerpt. Older measurements carry none of
// these and show nothing here.
function loudness(m) {
  const integrated = num(m.integratedLufs);
  const range = num(m.loudnessRangeLu);
  const truePeak = num(m.truePeakDbTP);
  const curve = arr(m.loudnessCurve).map((x) => num(x)).filter((x) => x !== undefined);
  if (integrated === undefined && range === undefined && truePeak === undefined && !curve.length) return null;
  const over = truePeak !== undefined && truePeak > STREAMING_CEILING_DBTP;
  const parts = [
    h('h3', { class: 'section-title' }, 'Loudness et crête vraie'),
    h('dl', { class: 'figures loudness-figures' },
      figure('Loudness intégrée', integrated === undefined ? 'trop faible ou trop court' : withUnit(integrated, 'LUFS')),
      figure('Plage de loudness', range === undefined ? '—' : withUnit(range, 'LU')),
      figure('Crête vraie', withUnit(truePeak, 'dBTP'), over ? 'warn' : null),
      figure('Court terme max.', withUnit(num(m.shortTermLufsMax), 'LUFS'))),
  ];
  if (over) {
    parts.push(h('p', { class: 'notice notice-warn true-peak-warning', dir: 'auto' },
      `La crête vraie dépasse ${withUnit(STREAMING_CEILING_DBTP, 'dBTP', 0)} : l’encodage des plateformes risque de saturer.`));
  }
  if (curve.length >= 2) parts.push(loudnessCurve(curve, truePeak));
  return h('div', { class: 'loudness' }, parts);
}

// The curve on a dB scale from −40 to 0, with the streaming loudness
// reference and the true-peak ceiling as labelled lines.
function loudnessCurve(values, truePeak) {
  const W = 720;
  const H = 160;
  const TOP = 0;
  const BOTTOM = -40;
  const y = (db) => ((TOP - Math.min(Math.max(db, BOTTOM), TOP)) / (TOP - BOTTOM)) * H;
  const x = (i) => (i / (values.length - 1)) * W;
  const line = (db, cls, label) => [
    s('line', { x1: 0, x2: W, y1: y(db).toFixed(1), y2: y(db).toFixed(1), class: cls }),
    s('text', { x: W - 4, y: (y(db) - 4).toFixed(1), 'text-anchor': 'end', class: `${cls}-label` }, label),
  ];
  const points = values.map((v, i) => `${x(i).toFixed(1)},${y(v).toFixed(1)}`).join(' ');
  const peakMark = truePeak === undefined ? null
    : s('line', {
      x1: 0, x2: W, y1: y(truePeak).toFixed(1), y2: y(truePeak).toFixed(1),
      class: ['true-peak-line', truePeak > STREAMING_CEILING_DBTP ? 'true-peak-over' : null].filter(Boolean).join(' '),
    });
  const svg = s('svg', {
    viewBox: `0 0 ${W} ${H}`, class: 'loudness-curve', role: 'img',
    'aria-label': `Loudness court terme sur ${values.length} points, de ${withUnit(Math.min(...values), 'LUFS')} à ${withUnit(Math.max(...values), 'LUFS')}`,
  },
  line(STREAMING_LUFS, 'reference-lufs', `${withUnit(STREAMING_LUFS, 'LUFS', 0)} · référence streaming`),
  line(STREAMING_CEILING_DBTP, 'reference-ceiling', `${withUnit(STREAMING_CEILING_DBTP, 'dBTP', 0)} · plafond streaming`),
  peakMark,
  s('polyline', { points, class: 'loudness-line' }));
  return h('figure', { class: 'loudness-plot' }, svg,
    h('figcaption', { class: 'fine' }, 'Loudness court terme (3 s) au fil de l’extrait ; le trait rouge est la crête vraie.'));
}

function figure(label, value, tone) {
  return h('div', { class: ['figure', tone ? `figure-${tone}` : null] }, h('dt', {}, label), h('dd', {}, value));
}

function canvas(width, height, label) {
  const c = h('canvas', { width, height, role: 'img', 'aria-label': label });
  return c;
}

function css(name, fallback) {
  const v = getComputedStyle(document.documentElement).getPropertyValue(name).trim();
  return v || fallback;
}

function waveform(points, m) {
  const W = 720;
  const H = 120;
  const peak = num(m.samplePeakDbFS);
  const c = canvas(W, H, points.length
    ? `Forme d’onde${peak !== undefined ? `, crête ${withUnit(peak, 'dBFS')}` : ''}`
    : 'Forme d’onde indisponible');
  c.className = 'waveform';
  const g = c.getContext('2d');
  if (!g) return c;
  g.fillStyle = css('--wave-bg', '#f2f1ee');
  g.fillRect(0, 0, W, H);
  g.fillStyle = css('--line', '#d9d6d0');
  g.fillRect(0, H / 2 - 0.5, W, 1);
  if (!points.length) return c;
  const step = W / points.length;
  const barWidth = Math.max(1, step * 0.7);
  points.forEach((p, i) => {
    const v = Math.min(Math.abs(p), 1);
    const hh = Math.max(1, v * (H / 2 - 4));
    g.fillStyle = Math.abs(p) >= 0.999 ? css('--danger', '#cf4a3c') : css('--accent', '#4656d8');
    g.fillRect(i * step + (step - barWidth) / 2, H / 2 - hh, barWidth, hh * 2);
  });
  return c;
}

function bands(map) {
  const values = BANDS.map(([key]) => num(map[key]));
  if (values.every((v) => v === undefined)) {
    return h('p', { class: 'fine' }, 'Extrait trop court pour répartir l’énergie par bandes.');
  }
  const max = Math.max(1, ...values.map((v) => v ?? 0));
  return h('div', { class: 'bands', role: 'group', 'aria-label': 'Répartition de l’énergie par bandes' },
    h('h3', { class: 'section-title' }, 'Énergie par bandes'),
    BANDS.map(([key, label, range], i) => {
      const v = values[i] ?? 0;
      return h('div', { class: 'band', 'data-band': key },
        h('span', { class: 'band-label' }, label, h('small', {}, range)),
        h('span', { class: 'band-track' }, h('span', { class: 'band-fill', style: { width: `${((v / max) * 100).toFixed(1)}%` } })),
        h('span', { class: 'band-value' }, withUnit(v, '%')));
    }));
}

// Heat map colours from silence to the loudest cell.
const HEAT = [[20, 22, 48], [67, 43, 132], [166, 58, 136], [240, 122, 67], [253, 230, 138]];

export function heat(v) {
  const x = Math.min(Math.max(v, 0), 1) * (HEAT.length - 1);
  const i = Math.min(Math.floor(x), HEAT.length - 2);
  const t = x - i;
  const c = HEAT[i].map((a, k) => Math.round(a + (HEAT[i + 1][k] - a) * t));
  return `rgb(${c[0]}, ${c[1]}, ${c[2]})`;
}

function spectrogram(rows, sampleRate) {
  const frames = rows.map((r) => arr(r).map((x) => num(x) ?? 0));
  const usable = frames.filter((r) => r.length > 0);
  if (!usable.length) return h('p', { class: 'fine' }, 'Spectrogramme indisponible pour un extrait aussi court.');
  const W = 720;
  const H = 280;
  const AXIS = 44;
  const cells = Math.max(...usable.map((r) => r.length));
  const c = canvas(W, H, `Spectrogramme : ${usable.length} instants, du grave (en bas) à l’aigu (en haut)`);
  c.className = 'spectrogram';
  const g = c.getContext('2d');
  if (!g) return c;
  g.fillStyle = heat(0);
  g.fillRect(0, 0, W, H);
  const cw = (W - AXIS) / usable.length;
  const ch = H / cells;
  usable.forEach((row, x) => {
    row.forEach((v, y) => {
      g.fillStyle = heat(v);
      g.fillRect(AXIS + x * cw, H - (y + 1) * ch, Math.ceil(cw), Math.ceil(ch));
    });
  });
  // Frequency marks on the same log scale the cells use.
  const limit = Math.min((sampleRate ?? 44100) / 2, 20000);
  g.font = '20px sans-serif';
  g.textBaseline = 'middle';
  for (const [f, label] of [[100, '100'], [1000, '1k'], [10000, '10k']]) {
    if (f >= limit) continue;
    const pos = (Math.log(f / 20) / Math.log(limit / 20)) * cells;
    const y = H - pos * ch;
    g.fillStyle = 'rgba(255,255,255,0.35)';
    g.fillRect(AXIS, y, W - AXIS, 1);
    g.fillStyle = '#e8e6f4';
    g.fillText(label, 4, y);
  }
  return h('figure', { class: 'spectro' }, h('h3', { class: 'section-title' }, 'Spectrogramme'), c,
    h('figcaption', { class: 'fine' }, 'Temps de gauche à droite, fréquences en Hz du grave à l’aigu ; plus c’est clair, plus c’est fort.'));
}

function stereo(correlation, width) {
  if (correlation === undefined && width === undefined) {
    return h('div', { class: 'stereo stereo-mono' }, h('h3', { class: 'section-title' }, 'Image stéréo'),
      h('p', { class: 'fine' }, 'Fichier mono : pas d’image stéréo à mesurer.'));
  }
  const corr = Math.min(Math.max(correlation ?? 0, -1), 1);
  const R = 70;
  const cx = 90;
  const cy = 92;
  const point = (value, r = R) => {
    const angle = Math.PI * (1 - (value + 1) / 2);
    return [cx + r * Math.cos(angle), cy - r * Math.sin(angle)];
  };
  const arc = (from, to, cls) => {
    const [x1, y1] = point(from);
    const [x2, y2] = point(to);
    return s('path', { d: `M ${x1.toFixed(1)} ${y1.toFixed(1)} A ${R} ${R} 0 0 1 ${x2.toFixed(1)} ${y2.toFixed(1)}`, class: cls });
  };
  const [nx, ny] = point(corr, R - 12);
  const gauge = s('svg', {
    viewBox: '0 0 180 110', class: 'gauge', role: 'img',
    'aria-label': `Corrélation stéréo ${number(corr, 2)} sur une échelle de −1 à +1`,
  },
  arc(-1, 0, 'gauge-zone gauge-bad'),
  arc(0, 0.5, 'gauge-zone gauge-mid'),
  arc(0.5, 1, 'gauge-zone gauge-good'),
  s('line', { x1: cx, y1: cy, x2: nx.toFixed(1), y2: ny.toFixed(1), class: 'gauge-needle' }),
  s('circle', { cx, cy, r: 4, class: 'gauge-hub' }),
  s('text', { x: cx - R, y: cy + 14, 'text-anchor': 'middle', class: 'gauge-label' }, '−1'),
  s('text', { x: cx, y: cy - R - 10, 'text-anchor': 'middle', class: 'gauge-label' }, '0'),
  s('text', { x: cx + R, y: cy + 14, 'text-anchor': 'middle', class: 'gauge-label' }, '+1'));

  const widthRatio = width === undefined ? 0 : Math.min(width, 200) / 200;
  let hint = 'Image stéréo large et compatible mono.';
  if (corr < 0) hint = 'Corrélation négative : risque d’annulation en mono.';
  else if (corr < 0.5) hint = 'Image très large : vérifie la compatibilité mono.';
  else if ((width ?? 0) < 5) hint = 'Image presque mono.';

  return h('div', { class: 'stereo' },
    h('h3', { class: 'section-title' }, 'Image stéréo'),
    h('div', { class: 'stereo-row' },
      h('div', { class: 'stereo-gauge' }, gauge,
        h('div', { class: 'stereo-value' }, 'Corrélation ', h('strong', {}, correlation === undefined ? '—' : (corr > 0 ? '+' : '') + number(corr, 2)))),
      h('div', { class: 'stereo-width' },
        h('div', { class: 'stereo-value' }, 'Largeur ', h('strong', {}, withUnit(width, '%', 0))),
        h('div', { class: 'width-track' },
          h('div', { class: 'width-fill', style: { width: `${(widthRatio * 100).toFixed(1)}%` } }),
          h('div', { class: 'width-mark', title: '100 %' })),
        h('p', { class: 'fine' }, hint))));
}
