// The page's wording rules, checked without a browser.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  percent, confidenceWord, number, keyInFrench, preferenceLine, progressRatio, age,
} from '../../resources/web/js/format.js';
import { parseBold } from '../../resources/web/js/dom.js';

const NNBSP = '\u202f';

test('confidence is worded and rounded like the app’s own key message', () => {
  const rows = [
    // [confidence, word, percent]
    [0.549, 'faible', `55${NNBSP}%`],
    [0.55, 'moyenne', `55${NNBSP}%`],
    [0.749, 'moyenne', `75${NNBSP}%`],
    [0.755, 'élevée', `76${NNBSP}%`], // 0.755 × 100 is 75.4999… in binary
    [0.965, 'élevée', `97${NNBSP}%`],
  ];
  for (const [c, word, pct] of rows) {
    assert.equal(confidenceWord(c), word, `mot pour ${c}`);
    assert.equal(percent(c), pct, `pourcentage pour ${c}`);
  }
});

test('numbers read the French way', () => {
  assert.equal(number(-0.84), '−0,8');
  assert.equal(number(-0.04), '0,0', 'no negative zero');
  assert.equal(number(12345.67, 1), `12${NNBSP}345,7`);
  assert.equal(number(0.25, 1), '0,3', 'halves away from zero');
  assert.equal(number(undefined), '—');
  assert.equal(number(NaN), '—');
  assert.equal(age(180), `180${NNBSP}ms`);
  assert.equal(age(2500), `2,5${NNBSP}s`);
});

test('keys are also given in French names', () => {
  assert.equal(keyInFrench('F♯ minor'), 'fa dièse mineur');
  assert.equal(keyInFrench('C major'), 'do majeur');
  assert.equal(keyInFrench('A# minor'), 'la dièse mineur');
  assert.equal(keyInFrench('H moll'), undefined);
  assert.equal(keyInFrench(''), undefined);
});

test('answers carry **bold** as their only markup', () => {
  const plain = (paras) => paras.map((runs) => runs.map((r) => (r.bold ? `[${r.text}]` : r.text)).join(''));
  assert.deepEqual(plain(parseBold('La tonalité est **F minor** — confiance **71 %**.')), ['La tonalité est [F minor] — confiance [71 %].']);
  assert.deepEqual(plain(parseBold('Un **seul marqueur')), ['Un **seul marqueur'], 'an unpaired marker stays literal');
  assert.deepEqual(plain(parseBold('vide **** ici')), ['vide **** ici']);
  assert.deepEqual(plain(parseBold('Premier.\n\nSecond\nligne.')), ['Premier.', 'Second\nligne.'], 'blank lines part paragraphs');
  assert.deepEqual(plain(parseBold('**<img src=x onerror=alert(1)>**')), ['[<img src=x onerror=alert(1)>]'], 'markup inside bold is text');
});

test('preference lines name the action in French and keep unknown ones', () => {
  assert.deepEqual(preferenceLine('organize · 2 validé(s), 1 refusé(s), 0 annulé(s)'),
    { label: 'Organisation des pistes', detail: '2 validé(s), 1 refusé(s), 0 annulé(s)' });
  assert.deepEqual(preferenceLine('futureCommand · 1 validé(s), 0 refusé(s), 0 annulé(s)'),
    { label: 'futureCommand', detail: '1 validé(s), 0 refusé(s), 0 annulé(s)' });
  assert.deepEqual(preferenceLine('sans séparateur'), { label: 'sans séparateur', detail: '' });
});

test('capture progress accepts a fraction or a percentage', () => {
  assert.equal(progressRatio(0.45), 0.45);
  assert.equal(progressRatio(45), 0.45);
  assert.equal(progressRatio(150), 1);
  assert.equal(progressRatio(-2), 0);
  assert.equal(progressRatio(undefined), 0);
});
