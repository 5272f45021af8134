// Building blocks for the screens. Everything that comes from the app (track,
// clip and project names, answers, warnings) reaches the document through
// text nodes or attribute values, never through markup, so a name such as
// `<img src=x onerror=…>` stays a name.

const SVG_NS = 'http://www.w3.org/2000/svg';

function append(node, child) {
  if (child === null || child === undefined || child === false) return;
  if (Array.isArray(child)) {
    for (const c of child) append(node, c);
  } else if (typeof child === 'string' || typeof child === 'number') {
    node.appendChild(document.createTextNode(String(child)));
  } else {
    node.appendChild(child);
  }
}

function setAttributes(node, attrs) {
  for (const [key, value] of Object.entries(attrs || {})) {
    if (value === null || value === undefined || value === false) continue;
    if (key === 'class') node.setAttribute('class', Array.isArray(value) ? value.filter(Boolean).join(' ') : value);
    else if (key === 'text') node.textContent = String(value);
    else if (key.startsWith('on') && typeof value === 'function') node.addEventListener(key.slice(2), value);
    else if (key === 'style' && typeof value === 'object') {
      // CSSOM writes are allowed by the page's Content-Security-Policy,
      // style attributes are not.
      for (const [prop, v] of Object.entries(value)) node.style.setProperty(prop, String(v));
    } else node.setAttribute(key, value === true ? '' : String(value));
  }
}

/** h('p', {class: 'x'}, 'text', child…) → HTMLElement */
export function h(tag, attrs, ...children) {
  const node = document.createElement(tag);
  setAttributes(node, attrs);
  append(node, children);
  return node;
}

/** The same for SVG elements. */
export function s(tag, attrs, ...children) {
  const node = document.createElementNS(SVG_NS, tag);
  setAttributes(node, attrs);
  append(node, children);
  return node;
}

export function clear(node) {
  while (node.firstChild) node.removeChild(node.firstChild);
  return node;
}

export function replace(node, ...children) {
  clear(node);
  append(node, children);
  return node;
}

export function byId(id) {
  return document.getElementById(id);
}

/** Text from outside, isolated so that right-to-left names do not reorder the sentence around them. */
export function name(text, attrs = {}) {
  return h('bdi', { dir: 'auto', ...attrs }, String(text));
}

/**
 * Splits an answer into paragraphs and `**bold**` runs, the only markup the
 * assistant's answers carry. An unpaired `**` stays literal.
 * Returns [[{text, bold}]] (one array per paragraph line group).
 */
export function parseBold(text) {
  const paragraphs = String(text).replace(/\r\n?/g, '\n').split(/\n{2,}/);
  return paragraphs
    .map((para) => {
      const runs = [];
      let rest = para;
      for (;;) {
        const open = rest.indexOf('**');
        const close = open < 0 ? -1 : rest.indexOf('**', open + 2);
        if (open < 0 || close < 0) {
          if (rest) runs.push({ text: rest, bold: false });
          break;
        }
        if (open > 0) runs.push({ text: rest.slice(0, open), bold: false });
        const inner = rest.slice(open + 2, close);
        if (inner) runs.push({ text: inner, bold: true });
        else runs.push({ text: '****', bold: false });
        rest = rest.slice(close + 2);
      }
      return runs;
    })
    .filter((runs) => runs.length > 0);
}

/** Paragraph elements for an answer; single line breaks stay line breaks. */
export function richText(text) {
  return parseBold(text).map((runs) => {
    const p = h('p', { dir: 'auto' });
    for (const run of runs) {
      const lines = run.text.split('\n');
      const target = run.bold ? p.appendChild(h('strong')) : p;
      lines.forEach((line, i) => {
        if (i > 0) target.appendChild(h('br'));
        if (line) target.appendChild(document.createTextNode(line));
      });
    }
    return p;
  });
}

/** A progress bar; `value` null draws an indeterminate one. */
export function progressBar(label, value, max = 1) {
  const bar = h('div', { class: 'progress', role: 'progressbar', 'aria-label': label });
  const fill = bar.appendChild(h('div', { class: 'progress-fill' }));
  setProgress(bar, value, max);
  void fill;
  return bar;
}

export function setProgress(bar, value, max = 1) {
  const fill = bar.firstChild;
  if (value === null || value === undefined || !Number.isFinite(value) || !(max > 0)) {
    bar.classList.add('indeterminate');
    bar.removeAttribute('aria-valuenow');
    fill.style.removeProperty('width');
    return;
  }
  const ratio = Math.min(Math.max(value / max, 0), 1);
  bar.classList.remove('indeterminate');
  bar.setAttribute('aria-valuemin', '0');
  bar.setAttribute('aria-valuemax', '100');
  bar.setAttribute('aria-valuenow', String(Math.round(ratio * 100)));
  fill.style.setProperty('width', `${(ratio * 100).toFixed(1)}%`);
}

/**
 * Runs a redraw of `root` and gives the focus back to the control that had
 * it, found again by its id or data-action, so that keyboard users keep
 * their place when an event redraws a screen.
 */
export function keepFocus(root, redraw) {
  const active = document.activeElement;
  let selector;
  if (active && root.contains(active) && active !== root) {
    if (active.id) selector = `#${CSS.escape(active.id)}`;
    else if (active.dataset && active.dataset.action) selector = `[data-action="${CSS.escape(active.dataset.action)}"]`;
  }
  redraw();
  if (selector) {
    const again = root.querySelector(selector);
    if (again && !again.disabled) again.focus();
  }
}
