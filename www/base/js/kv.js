'use strict';
// Shared browser code of the web interface: the script channel to the
// service, the texts of the interface language, number and time formats,
// the header with its connection state, and the viewer's title bar.
(function () {
  const kv = (window.kv = {});
  const lang = document.documentElement.lang || 'en';
  kv.lang = lang;
  // Browser locale tags where the interface's codes differ from them.
  const tag = ({ iw: 'he', no: 'nb', zh: 'zh-CN' }[lang] || lang) + '-u-nu-latn';
  kv.tag = tag;

  // ---- Script channel -------------------------------------------------
  // The service runs whatever script the page posts to command.ts and
  // answers with the script's output; an error answers with its message.

  class ServiceError extends Error {
    constructor(message, detail) {
      super(message);
      this.detail = detail || '';
    }
  }
  kv.ServiceError = ServiceError;

  // A script token in double quotes that reads back as exactly text:
  // backslash, quote and dollar are escaped so that neither the scanner
  // nor the substitution sees them; line breaks never belong in a value.
  kv.quote = function (text) {
    return '"' + String(text).replace(/[\r\n\t\0]/g, ' ').replace(/[\\"$]/g, (c) => '\\' + c) + '"';
  };

  kv.run = async function (script) {
    let r;
    try {
      r = await fetch('/base/js/command.ts', {
        method: 'POST',
        headers: { 'Content-Type': 'text/plain; charset=utf-8' },
        body: script,
        cache: 'no-store',
      });
    } catch (e) {
      throw new ServiceError('offline');
    }
    if (!r.ok) throw new ServiceError('http', 'HTTP ' + r.status);
    return await r.text();
  };

  // A script error names the script and its line: "x ( line 3 ) :".
  function scriptFailed(text) {
    return /\( line \d+ \) :/.test(text) || text.startsWith('too may script vars');
  }

  // Runs a script whose output must be "ok" (settings and commands).
  kv.runOk = async function (script) {
    const text = await kv.run(script + '\necho ok\n');
    if (text.trim() !== 'ok') throw new ServiceError('script', text);
    return true;
  };

  // One device API request; resolves to its "return" array.
  kv.api = async function (request) {
    const text = await kv.run('wlink_request_data ' + kv.quote(JSON.stringify(request)));
    let doc;
    try {
      doc = JSON.parse(text);
    } catch (e) {
      throw new ServiceError(scriptFailed(text) ? 'script' : 'answer', text);
    }
    if (!doc || !Array.isArray(doc.return)) throw new ServiceError('not_ready', text);
    return doc.return;
  };
  kv.get = (...items) => kv.api({ get: items });
  kv.cmd = (...items) => kv.api({ cmd: items });

  // ---- Texts ----------------------------------------------------------

  // Profile text (the format of every configuration and locale file):
  // sections of key=value lines, "#" lines and "##" tails are comments.
  kv.parseProfile = function (text) {
    const out = {};
    let section = null;
    for (let line of String(text).split('\n')) {
      line = line.replace(/\r$/, '');
      if (line.startsWith('#')) continue;
      if (line.startsWith('[')) {
        const end = line.indexOf(']');
        section = end > 0 ? line.slice(1, end) : null;
        if (section !== null && !out[section]) out[section] = {};
        continue;
      }
      if (section === null) continue;
      const cut = line.indexOf('##');
      if (cut >= 0) line = line.slice(0, cut);
      const eq = line.indexOf('=');
      if (eq < 0) continue;
      const key = line.slice(0, eq).trim();
      const value = line.slice(eq + 1).trim();
      if (key && value && !(key in out[section])) out[section][key] = value;
    }
    return out;
  };

  let texts = {};
  // The text of key in section with {0}, {1} ... filled in; the key itself
  // when the language has no such text.
  kv.T = function (section, key, ...args) {
    let s = (texts[section] && texts[section][key]) || key;
    args.forEach((a, i) => {
      s = s.split('{' + i + '}').join(a);
    });
    return s;
  };

  async function fetchText(url) {
    const r = await fetch(url, { cache: 'no-store' });
    if (!r.ok) throw new Error(url);
    return await r.text();
  }

  const textsLoaded = fetchText('/locale/locale.txt')
    .then((t) => {
      texts = kv.parseProfile(t);
    })
    .catch(() => {});

  // ---- Formats ----------------------------------------------------------

  const numberFormats = {};
  kv.num = function (v, digits = 0) {
    if (v === null || v === undefined || v === '' || Number.isNaN(Number(v))) return '\u2014';
    const f = (numberFormats[digits] ||= new Intl.NumberFormat(tag, {
      minimumFractionDigits: digits,
      maximumFractionDigits: digits,
    }));
    return f.format(Number(v));
  };
  // Value with its unit, or a dash.
  kv.unit = function (v, unitKey, digits = 0) {
    if (v === null || v === undefined || Number.isNaN(Number(v))) return '\u2014';
    return kv.num(v, digits) + '\u00a0' + kv.T('base', unitKey);
  };

  // "2 d 3 h", "1 h 05 min", "3 min 12 s", "45 s".
  kv.duration = function (seconds) {
    let s = Math.max(0, Math.round(Number(seconds) || 0));
    const d = Math.floor(s / 86400);
    const h = Math.floor((s % 86400) / 3600);
    const m = Math.floor((s % 3600) / 60);
    s %= 60;
    const u = (k) => kv.T('base', k);
    const two = (n) => String(n).padStart(2, '0');
    if (d) return `${d}\u00a0${u('unit_d')} ${h}\u00a0${u('unit_h')}`;
    if (h) return `${h}\u00a0${u('unit_h')} ${two(m)}\u00a0${u('unit_min')}`;
    if (m) return s ? `${m}\u00a0${u('unit_min')} ${two(s)}\u00a0${u('unit_s')}` : `${m}\u00a0${u('unit_min')}`;
    return `${s}\u00a0${u('unit_s')}`;
  };

  const dateFormat = new Intl.DateTimeFormat(tag, { dateStyle: 'medium', timeStyle: 'medium' });
  const shortFormat = new Intl.DateTimeFormat(tag, { month: 'short', day: 'numeric', hour: '2-digit', minute: '2-digit' });
  kv.dateTime = (unix) => dateFormat.format(new Date(unix * 1000));
  kv.shortTime = (unix) => shortFormat.format(new Date(unix * 1000));
  // Local time as 2026-07-11 14:05:09, for files.
  kv.isoLocal = function (unix) {
    const d = new Date(unix * 1000);
    const p = (n) => String(n).padStart(2, '0');
    return `${d.getFullYear()}-${p(d.getMonth() + 1)}-${p(d.getDate())} ${p(d.getHours())}:${p(d.getMinutes())}:${p(d.getSeconds())}`;
  };

  // ---- Page helpers -----------------------------------------------------

  kv.$ = (sel, root = document) => root.querySelector(sel);
  kv.$$ = (sel, root = document) => Array.from(root.querySelectorAll(sel));
  kv.el = function (name, attrs, ...children) {
    const e = document.createElement(name);
    for (const [k, v] of Object.entries(attrs || {})) {
      if (v === null || v === undefined || v === false) continue;
      if (k === 'class') e.className = v;
      else if (k === 'text') e.textContent = v;
      else e.setAttribute(k, v === true ? '' : v);
    }
    for (const c of children) if (c !== null && c !== undefined) e.append(c);
    return e;
  };
  kv.setText = function (id, text) {
    const e = document.getElementById(id);
    if (e) e.textContent = text;
  };

  kv.toast = function (message, kind = '') {
    let area = kv.$('.toast-area');
    if (!area) {
      area = kv.el('div', { class: 'toast-area', role: 'status', 'aria-live': 'polite' });
      document.body.append(area);
    }
    const t = kv.el('div', { class: 'toast ' + kind, text: message });
    area.append(t);
    setTimeout(() => t.remove(), kind === 'bad' ? 7000 : 3500);
  };

  // A modal question; resolves true when confirmed.
  kv.confirm = function (message, okText, danger) {
    return new Promise((resolve) => {
      const ok = kv.el('button', { class: 'btn ' + (danger ? 'danger' : 'primary'), value: 'ok', text: okText || kv.T('dialog', 'ok') });
      const cancel = kv.el('button', { class: 'btn', value: 'cancel', text: kv.T('dialog', 'cancel') });
      const form = kv.el('form', { method: 'dialog' }, kv.el('p', { text: message }), kv.el('div', { class: 'actions end' }, cancel, ok));
      const d = kv.el('dialog', {}, form);
      document.body.append(d);
      d.addEventListener('close', () => {
        resolve(d.returnValue === 'ok');
        d.remove();
      });
      d.showModal();
      cancel.focus();
    });
  };

  // The user-facing text of a failure.
  kv.errorText = function (e) {
    if (e instanceof ServiceError) {
      if (e.message === 'offline') return kv.T('dialog', 'offline');
      if (e.message === 'not_ready') return kv.T('dialog', 'not_ready');
      const first = String(e.detail || '').split('\n').filter((l) => l.trim()).slice(0, 2).join(' ');
      return kv.T('dialog', 'failed') + (first ? ': ' + first : '');
    }
    return kv.T('dialog', 'failed');
  };

  // Runs an action for a button: busy while it runs, errors shown. Save
  // buttons start busy in the page itself, so nothing can be typed into a
  // form and then overwritten by its first load.
  kv.busy = async function (button, action) {
    if (button) {
      button.disabled = true;
      button.classList.add('busy');
    }
    try {
      return await action();
    } catch (e) {
      kv.toast(kv.errorText(e), 'bad');
      return undefined;
    } finally {
      if (button) {
        button.disabled = false;
        button.classList.remove('busy');
      }
    }
  };

  // ---- Profile files ------------------------------------------------------

  // Sections of a profile file (a web or program path such as
  // "$config_inf"), as {section: {key: value}}.
  kv.readProfile = async function (file, sections) {
    const script = sections.map((s) => `echo +n "\\n[${s}]"\nprofile_get ${file} ${kv.quote('[' + s + ']')}`).join('\n');
    const all = kv.parseProfile(await kv.run(script));
    const out = {};
    for (const s of sections) out[s] = all[s] || {};
    return out;
  };

  // The script statement that writes one value (an empty value removes the
  // key, which readers then take as 0 or as the default).
  kv.setScript = function (file, section, key, value) {
    const head = `${file} ${kv.quote('[' + section + ']')} ${kv.quote(key)}`;
    if (value === '' || value === null || value === undefined) return 'profile_clr ' + head;
    return 'profile_set ' + head + ' ' + kv.quote(value);
  };

  kv.bytes = (text) => new TextEncoder().encode(String(text)).length;

  // ---- UPS state --------------------------------------------------------

  kv.bit = (word, k) => ((Number(word) >>> k) & 1) === 1;

  // The operating mode from the output source and the status word:
  // {cls, key} with key a text of [ups_mode].
  kv.mode = function (word, outMode) {
    if (kv.bit(word, 1)) return { cls: 'bad', key: 'link_failure' };
    if (kv.bit(word, 0)) return { cls: 'idle', key: 'searching' };
    if (kv.bit(word, 4)) return { cls: 'bad', key: 'shutting_down' };
    if (outMode === 5 || (outMode === undefined && kv.bit(word, 13))) return { cls: 'warn', key: 'battery' };
    if (outMode === 4 || (outMode === undefined && kv.bit(word, 12))) return { cls: 'info', key: 'bypass' };
    if (outMode === 2 || (outMode === undefined && kv.bit(word, 6))) return { cls: 'idle', key: 'standby' };
    if (outMode === 3 || (outMode === undefined && kv.bit(word, 11))) return { cls: 'ok', key: 'mains' };
    return { cls: 'idle', key: 'unknown' };
  };

  function updateHeader(stat, alarms, failed) {
    const chip = document.getElementById('kv-conn');
    if (!chip) return;
    chip.textContent = '';
    if (failed) {
      chip.className = 'conn bad';
      chip.append(kv.T('ups_mode', failed === 'offline' ? 'offline' : 'not_ready'));
      return;
    }
    const m = kv.mode(stat[0]);
    chip.className = 'conn ' + m.cls;
    chip.append(kv.T('ups_mode', m.key));
    const n = Array.isArray(alarms) ? alarms.length : 0;
    if (n) chip.append(' ', kv.el('span', { class: 'badge', title: kv.T('alarm', 'active'), text: String(n) }));
  }

  // Polls the device API every period ms with stat and alarm_list first and
  // the page's own items after them; onData gets an object by item name.
  kv.watch = function (items, onData, period = 3000) {
    const all = ['stat', 'alarm_list', ...items.filter((i) => i !== 'stat' && i !== 'alarm_list')];
    let timer = 0;
    let stopped = false;
    async function tick() {
      clearTimeout(timer);
      try {
        const r = await kv.get(...all);
        const data = {};
        all.forEach((name, i) => (data[name] = r[i]));
        if (!Array.isArray(data.stat)) data.stat = [1];
        updateHeader(data.stat, data.alarm_list);
        if (onData) onData(data);
      } catch (e) {
        const why = e instanceof ServiceError && e.message === 'offline' ? 'offline' : 'not_ready';
        updateHeader(null, null, why);
        if (onData) onData(null, e);
      }
      if (!stopped) timer = setTimeout(tick, period);
    }
    tick();
    return {
      refresh: tick,
      stop() {
        stopped = true;
        clearTimeout(timer);
      },
    };
  };

  // ---- Viewer title bar and header ----------------------------------------

  // Inside the viewer the window has no frame: the browser's view fills
  // the whole window. "?viewer=1" or "?viewer=0" decides for the tab.
  kv.inViewer = function () {
    const p = new URLSearchParams(location.search).get('viewer');
    if (p === '1' || p === '0') sessionStorage.setItem('kv-viewer', p);
    const s = sessionStorage.getItem('kv-viewer');
    if (s) return s === '1';
    if (navigator.webdriver) return false;
    const zoom = window.outerWidth / Math.max(1, window.innerWidth);
    const frameless = Math.abs(window.outerHeight - window.innerHeight * zoom) <= 2;
    const fullscreen = window.innerHeight * zoom >= screen.height && window.outerWidth >= screen.width;
    return frameless && !fullscreen;
  };

  function windowCommand(name) {
    window.location.href = 'cefcmd://' + name + '/';
  }

  function setupTitlebar() {
    const bar = document.getElementById('kv-titlebar');
    if (!bar || !kv.inViewer()) return;
    bar.hidden = false;
    bar.addEventListener('dblclick', (e) => {
      if (!e.target.closest('button')) windowCommand('toggle-maximize');
    });
    kv.$$('button[data-cef]', bar).forEach((b) => b.addEventListener('click', () => windowCommand(b.dataset.cef)));
  }

  async function languages() {
    const cached = sessionStorage.getItem('kv-languages');
    if (cached) return JSON.parse(cached);
    const list = JSON.parse(await fetchText('/locale/list.htm'));
    sessionStorage.setItem('kv-languages', JSON.stringify(list));
    return list;
  }

  // Switches the interface language (and the language of alarm texts).
  kv.setLanguage = async function (code) {
    await kv.runOk('set_language ' + kv.quote(code) + '\nwlink_request_data ' + kv.quote(JSON.stringify({ set: { language: code } })) + ' > null');
  };

  async function setupLanguageMenu() {
    const sel = document.getElementById('kv-lang');
    if (!sel) return;
    let list = [];
    try {
      list = await languages();
    } catch (e) {
      list = [];
    }
    if (!list.some((l) => l[0] === lang)) list.unshift([lang, lang]);
    for (const [code, name] of list) sel.append(kv.el('option', { value: code, text: name, selected: code === lang }));
    sel.addEventListener('change', async () => {
      sel.disabled = true;
      try {
        await kv.setLanguage(sel.value);
        location.reload();
      } catch (e) {
        kv.toast(kv.errorText(e), 'bad');
        sel.value = lang;
        sel.disabled = false;
      }
    });
  }

  function markNavigation() {
    const page = document.body.dataset.page;
    kv.$$('[data-nav]').forEach((a) => a.classList.toggle('active', a.dataset.nav === page));
    const tab = document.body.dataset.tab;
    kv.$$('[data-tab]').forEach((a) => a.classList.toggle('active', a.dataset.tab === tab));
  }

  // Runs fn once the document and the texts are there.
  kv.start = function (fn) {
    const go = async () => {
      await textsLoaded;
      setupTitlebar();
      markNavigation();
      setupLanguageMenu();
      if (fn) fn();
    };
    if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', go);
    else go();
  };
})();
