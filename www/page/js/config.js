'use strict';
// System settings: name and remark, language and time zone, the password
// and remote access.
kv.start(() => {
  const { T, $, el } = kv;
  const file = '$config_inf';
  let current = {};
  let hasPassword = false;

  // Offsets in seconds with local time = UTC - offset, as the service
  // counts them; the browser's own zone comes first.
  function fillZones(selected) {
    const sel = $('#tz');
    sel.textContent = '';
    const own = new Date().getTimezoneOffset() * 60;
    const zones = [];
    for (let q = -12 * 4; q <= 14 * 4; q++) {
      const minutes = q * 15;
      if (minutes % 30 !== 0 && ![345, 525, 765, 525].includes(Math.abs(minutes))) continue;
      zones.push(-minutes * 60);
    }
    if (!zones.includes(selected)) zones.push(selected);
    zones.sort((a, b) => b - a);
    const label = (off) => {
      const m = -off / 60;
      const sign = m < 0 ? '\u2212' : '+';
      const a = Math.abs(m);
      return 'UTC' + sign + String(Math.floor(a / 60)).padStart(2, '0') + ':' + String(a % 60).padStart(2, '0') + (off === own ? ' \u00b7 ' + T('config', 'this_computer') : '');
    };
    for (const z of zones) sel.append(el('option', { value: String(z), text: label(z), selected: z === selected }));
  }

  async function load() {
    const p = await kv.readProfile(file, ['master']);
    current = p.master;
    // Whether a password is set, without the password leaving the service.
    const set = await kv.run(`profile_get ${file} "[passwd]" pass1 > p\nif [ -n $p ]\n  echo set\nfi`);
    hasPassword = set.trim() === 'set';
    $('#name').value = current.name || '';
    $('#remark').value = current.remark || '';
    $('#remote').checked = current.remote_access === '1';
    $('#pass').value = '';
    $('#pass2').value = '';
    $('#pass-state').textContent = T('config', hasPassword ? 'password_set' : 'password_none');
    const tz = current.timezone === undefined ? new Date().getTimezoneOffset() * 60 : parseInt(current.timezone, 10) || 0;
    fillZones(tz);
    const sel = $('#language');
    if (!sel.options.length) {
      let list = [];
      try {
        list = JSON.parse(await (await fetch('/locale/list.htm', { cache: 'no-store' })).text());
      } catch (e) {
        list = [[kv.lang, kv.lang]];
      }
      for (const [code, name] of list) sel.append(el('option', { value: code, text: name }));
    }
    sel.value = kv.lang;
  }

  function clean(id, max) {
    const v = $(id).value.trim();
    if (/[\r\n"\\]|##/.test(v) || kv.bytes(v) > max) {
      kv.toast(T('config', 'bad_text'), 'bad');
      $(id).focus();
      return null;
    }
    return v;
  }

  $('#form').addEventListener('submit', (e) => {
    e.preventDefault();
    const name = clean('#name', 120);
    const remark = clean('#remark', 120);
    if (name === null || remark === null) return;
    const pass = $('#pass').value;
    if (pass !== $('#pass2').value) {
      kv.toast(T('config', 'password_mismatch'), 'bad');
      return;
    }
    if (pass && (/[\r\n]|##|^\s|\s$/.test(pass) || kv.bytes(pass) > 63)) {
      kv.toast(T('config', 'password_bad'), 'bad');
      return;
    }
    const remote = $('#remote').checked;
    if (remote && !pass && !hasPassword) {
      kv.toast(T('config', 'remote_needs_password'), 'bad');
      return;
    }
    const language = $('#language').value;
    const lines = [
      kv.setScript(file, 'master', 'name', name),
      kv.setScript(file, 'master', 'remark', remark),
      kv.setScript(file, 'master', 'timezone', $('#tz').value),
      kv.setScript(file, 'master', 'remote_access', remote ? '1' : ''),
    ];
    if (pass) lines.push(kv.setScript(file, 'passwd', 'pass1', pass));
    const langChanged = language && language !== kv.lang;
    if (langChanged) lines.push('set_language ' + kv.quote(language), kv.setScript(file, 'master', 'language', language));
    lines.push('restart');
    kv.busy($('#save'), async () => {
      await kv.runOk(lines.join('\n'));
      if (langChanged) {
        location.reload();
        return;
      }
      kv.toast(T('config', 'saved'), 'ok');
      await load();
    });
  });

  kv.watch([], null, 5000);
  kv.busy($('#save'), load);
});
