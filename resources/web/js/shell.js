// The frame around the screens: the drag strip's controls (set-up, compact
// mode, hide), the tabs, the unread markers and the banner that reports the
// link between the page and the app itself.

import { byId } from './dom.js';

export function mount(ctx) {
  const tabs = [...document.querySelectorAll('[role="tab"]')];
  const screens = new Map(
    [...document.querySelectorAll('.screen')].map((el) => [el.id.replace(/^screen-/, ''), el]),
  );
  let current = 'assistant';
  let beforeSetup = 'assistant';
  let compact = false;
  const listeners = [];

  function show(name, { focus = false } = {}) {
    if (!screens.has(name)) return;
    if (name === 'setup' && current !== 'setup') beforeSetup = current;
    current = name;
    for (const [id, el] of screens) el.hidden = id !== name;
    for (const tab of tabs) {
      const selected = tab.dataset.screen === name;
      tab.setAttribute('aria-selected', String(selected));
      tab.tabIndex = selected || (name === 'setup' && tab.dataset.screen === beforeSetup) ? 0 : -1;
      if (selected) tab.querySelector('.badge').hidden = true;
    }
    byId('btn-setup').setAttribute('aria-pressed', String(name === 'setup'));
    if (focus) {
      const tab = tabs.find((t) => t.dataset.screen === name);
      if (tab) tab.focus();
    }
    for (const fn of listeners) fn(name);
  }

  function badge(name) {
    if (name === current) return;
    const tab = tabs.find((t) => t.dataset.screen === name);
    if (tab) tab.querySelector('.badge').hidden = false;
  }

  tabs.forEach((tab, i) => {
    tab.addEventListener('click', () => show(tab.dataset.screen));
    tab.addEventListener('keydown', (e) => {
      const step = { ArrowRight: 1, ArrowLeft: -1 }[e.key];
      let target;
      if (step) target = tabs[(i + step + tabs.length) % tabs.length];
      else if (e.key === 'Home') target = tabs[0];
      else if (e.key === 'End') target = tabs[tabs.length - 1];
      if (!target) return;
      e.preventDefault();
      show(target.dataset.screen, { focus: true });
    });
  });

  byId('btn-setup').addEventListener('click', () => {
    if (current === 'setup') show(beforeSetup);
    else show('setup');
  });

  byId('btn-compact').addEventListener('click', () => setCompact(!compact));
  byId('btn-minimize').addEventListener('click', () => ctx.post({ type: 'minimize' }));

  let beforeCompact = 'assistant';
  function setCompact(on) {
    compact = on;
    document.body.classList.toggle('compact', on);
    const button = byId('btn-compact');
    button.setAttribute('aria-pressed', String(on));
    const label = on ? 'Revenir au panneau complet' : 'Mode compact';
    button.title = label;
    button.setAttribute('aria-label', label);
    ctx.post({ type: 'compact', compact: on });
    if (on) {
      beforeCompact = current;
      show('assistant');
    } else {
      show(beforeCompact);
    }
  }

  const banner = byId('link-banner');
  let bannerTimer;
  function linkStatus({ state, message }) {
    clearTimeout(bannerTimer);
    if (state === 'open') {
      banner.hidden = true;
      return;
    }
    banner.textContent = message || '';
    banner.className = `link-banner link-${state}`;
    banner.hidden = !message;
    // A lost message is worth a glance, not a permanent banner.
    if (state === 'send-failed') bannerTimer = setTimeout(() => { banner.hidden = true; }, 8000);
  }

  show('assistant');
  return {
    show,
    badge,
    linkStatus,
    current: () => current,
    isCompact: () => compact,
    onShow: (fn) => listeners.push(fn),
  };
}
