'use strict';
// Real-time status: everything the UPS reports, refreshed every 3 seconds.
kv.start(() => {
  const { T, $, el, num, unit, duration, bit } = kv;

  const icons = {
    ok: '<path d="M9 2v6M15 2v6M6 8h12v4a6 6 0 0 1-12 0zM12 18v4"/>',
    warn: '<rect x="2" y="7" width="17" height="10" rx="2"/><path d="M22 11v2M6 12h4M8 10v4"/>',
    info: '<path d="M3 12h15M13 6l6 6-6 6"/>',
    idle: '<path d="M12 3v9M6.3 6.3a8 8 0 1 0 11.4 0"/>',
    bad: '<path d="M12 3l10 18H2zM12 10v5M12 18v.5"/>',
    search: '<circle cx="11" cy="11" r="7"/><path d="M21 21l-5-5"/>',
  };
  function setIcon(name) {
    $('#hero-icon').innerHTML = '<svg viewBox="0 0 24 24">' + icons[name] + '</svg>';
  }

  function chip(id, cls, text) {
    const c = document.getElementById(id);
    c.className = 'chip ' + cls;
    c.textContent = text;
  }

  function bar(id, percent, cls) {
    const b = document.getElementById(id);
    b.className = 'bar ' + (cls || '');
    b.firstElementChild.style.width = Math.max(0, Math.min(100, Number(percent) || 0)) + '%';
  }

  // Rows of a per-phase table: one column per phase, L1 ... when several.
  function phaseTable(id, phases, rows) {
    const t = document.getElementById(id);
    t.textContent = '';
    if (!phases.length) return;
    if (phases.length > 1) {
      const head = el('tr', {}, el('th', {}));
      phases.forEach((_, i) => head.append(el('th', { class: 'n', text: 'L' + (i + 1) })));
      t.append(el('thead', {}, head));
    }
    const body = el('tbody');
    for (const [label, cell] of rows) {
      const tr = el('tr', {}, el('td', { text: label }));
      phases.forEach((p) => tr.append(el('td', { class: 'n', text: cell(p) })));
      body.append(tr);
    }
    t.append(body);
  }

  function showHero(word, out, batt, phasesIn, alarms) {
    const m = kv.mode(word, out ? out[1] : undefined);
    const hero = $('#hero');
    hero.className = 'hero ' + m.cls;
    setIcon(m.key === 'searching' ? 'search' : m.cls);
    $('#mode-title').textContent = T('ups_mode', m.key);
    let sub = T('ups_mode', m.key + '_sub');
    if (m.key === 'battery' && batt) {
      sub = T('main', 'sub_battery', duration(batt[1]));
      if (batt[2] > 0) sub += ' \u00b7 ' + T('main', 'sub_remaining', duration(batt[2] * 60));
    } else if (m.key === 'mains' && out && out.length > 2) {
      const load = Math.max(...out.slice(2).map((p) => p[4]));
      sub = T('main', 'sub_mains', num(load), batt ? num(batt[3]) : '\u2014');
    }
    if (bit(word, 17) && m.key === 'mains' && phasesIn) sub = T('main', 'sub_input_lost');
    // A running self test puts the load on the battery for a while; the
    // alarm's own text (in the interface language) says why.
    const testing = Array.isArray(alarms) ? alarms.find((a) => a[2] === 9) : null;
    if (testing && m.key === 'battery') sub = testing[3];
    $('#mode-sub').textContent = sub;

    chip('chip-link', bit(word, 1) ? 'bad' : 'ok', T('main', bit(word, 1) ? 'link_failure' : 'link_ok'));
    chip('chip-data', bit(word, 0) ? 'idle' : 'ok', T('main', bit(word, 0) ? 'data_not_ready' : 'data_ready'));
    chip('chip-updated', 'plain', T('main', 'updated', new Date().toLocaleTimeString(kv.tag)));
  }

  const battClass = { 2: 'ok', 3: 'warn', 4: 'bad', 5: 'bad' };

  function showBattery(b, word) {
    if (!Array.isArray(b)) return;
    const [status, onBattery, remain, percent, temp, volt] = b;
    $('#batt-percent').textContent = num(percent);
    bar('batt-bar', percent, percent < 25 ? 'bad' : percent < 50 ? 'warn' : '');
    chip('batt-state', battClass[status] || 'idle', T('ups_show', 'batt_' + status));
    $('#batt-remain').textContent = remain > 0 ? duration(remain * 60) : '\u2014';
    $('#batt-since').textContent = onBattery > 0 || bit(word, 13) ? duration(onBattery) : T('main', 'not_on_battery');
    $('#batt-volt').textContent = unit(volt, 'unit_v', 1);
    $('#batt-temp').textContent = temp ? unit(temp, 'unit_c') : '\u2014';
  }

  function showOutput(o, word) {
    if (!Array.isArray(o)) return;
    const phases = o.slice(2, 2 + o[0]);
    const loads = phases.map((p) => p[4]);
    const load = loads.length ? Math.max(...loads) : 0;
    $('#out-load').textContent = num(load);
    bar('load-bar', load, load >= 100 || bit(word, 20) ? 'bad' : load >= 80 ? 'warn' : '');
    $('#out-source').textContent = T('ups_mode', kv.mode(word, o[1]).key);
    phaseTable('out-table', phases, [
      [T('main', 'voltage'), (p) => unit(p[2], 'unit_v')],
      [T('main', 'frequency'), (p) => unit(p[1], 'unit_hz', 1)],
      [T('main', 'load'), (p) => num(p[4]) + '\u00a0%'],
    ]);
  }

  function showInput(i, word) {
    if (!Array.isArray(i)) return;
    const phases = i.slice(1, 1 + i[0]);
    const lost = phases.some((p) => p[0]) || bit(word, 17);
    chip('in-state', lost ? 'bad' : 'ok', T('main', lost ? 'input_lost' : 'input_normal'));
    $('#in-volt').textContent = phases.length ? num(phases[0][2]) : '\u2014';
    phaseTable('in-table', phases, [
      [T('main', 'voltage'), (p) => unit(p[2], 'unit_v')],
      [T('main', 'frequency'), (p) => (p[0] ? '\u2014' : unit(p[1], 'unit_hz', 1))],
    ]);
  }

  function showAlarms(list) {
    const ul = $('#alarm-list');
    ul.textContent = '';
    if (!Array.isArray(list) || !list.length) {
      ul.append(el('li', { class: 'empty good', text: T('main', 'no_alarms') }));
      return;
    }
    for (const [, seconds, number, text] of list) {
      const cls = number === 9 || number === 5 ? 'warn' : '';
      ul.append(
        el('li', {}, el('span', { class: 'dot ' + cls }), el('span', { class: 'text', text }), el('span', { class: 'when', text: T('main', 'active_for', duration(seconds)) })),
      );
    }
  }

  function showTest(t, d) {
    if (Array.isArray(t)) {
      const [kind, seconds, result] = t;
      $('#test-kind').textContent = T('ups_show', 'test_kind_' + kind);
      let r = T('ups_show', 'test_result_' + result);
      if (result === 5) r += ' \u00b7 ' + duration(seconds);
      else if (result && seconds) r += ' \u00b7 ' + duration(seconds);
      $('#test-result').textContent = r;
    }
    if (Array.isArray(d)) {
      const [kind, down, restart] = d;
      $('#down-in').textContent = kind && down > 0 ? duration(down) : T('main', 'not_scheduled');
      $('#restart-in').textContent = restart > 0 ? duration(restart) : T('main', 'not_scheduled');
    }
  }

  function showIdent(id, r) {
    if (Array.isArray(id)) {
      const [brand, model, firmware, , name, remark] = id;
      const show = (v) => String(v || '').trim() || '\u2014';
      $('#id-brand').textContent = show(brand);
      $('#id-model').textContent = show(model);
      $('#id-firmware').textContent = show(firmware);
      $('#id-remark').textContent = show(remark);
      $('#ident-name').textContent = String(name || '').trim();
    }
    if (Array.isArray(r)) {
      const [inPh, inHz, inV, outPh, outHz, outV, power, battV, type] = r;
      const rating = (v, hz, ph) => (v ? `${unit(v, 'unit_v')} \u00b7 ${unit(hz, 'unit_hz')}` + (ph > 1 ? ' \u00b7 ' + T('main', 'phases', ph) : '') : '\u2014');
      $('#r-power').textContent = power ? unit(power, 'unit_va') : '\u2014';
      $('#r-input').textContent = rating(inV, inHz, inPh);
      $('#r-output').textContent = rating(outV, outHz, outPh);
      $('#r-battery').textContent = battV ? unit(battV, 'unit_v') : '\u2014';
      $('#id-type').textContent = inV || power ? T('ups_show', 'type_' + type) : '\u2014';
    }
  }

  // Before the first data from the UPS every value is unknown, not zero.
  function blank() {
    for (const id of ['batt-percent', 'out-load', 'in-volt', 'batt-remain', 'batt-since', 'batt-volt', 'batt-temp']) $('#' + id).textContent = '\u2014';
    bar('batt-bar', 0);
    bar('load-bar', 0);
    chip('batt-state', 'idle', T('ups_show', 'batt_0'));
    chip('in-state', 'idle', T('ups_show', 'batt_0'));
    $('#out-source').textContent = '';
    $('#out-table').textContent = '';
    $('#in-table').textContent = '';
  }

  kv.watch(['battery', 'input', 'output', 'rating', 'ident', 'test', 'down'], (data) => {
    if (!data) {
      $('#hero').className = 'hero bad';
      setIcon('bad');
      $('#mode-title').textContent = T('ups_mode', 'offline');
      $('#mode-sub').textContent = T('ups_mode', 'offline_sub');
      return;
    }
    const word = data.stat[0];
    const stale = bit(word, 0) || bit(word, 1);
    const haveValues = Array.isArray(data.rating) && data.rating.some((v) => v);
    $('#stale-note').hidden = !(stale && haveValues);
    kv.$$('.grid > .card').forEach((c) => c.classList.toggle('stale', stale && c.id !== 'card-alarms'));
    showHero(word, data.output, data.battery, data.input, data.alarm_list);
    if (stale && !haveValues) {
      blank();
    } else {
      showBattery(data.battery, word);
      showOutput(data.output, word);
      showInput(data.input, word);
    }
    showAlarms(data.alarm_list);
    showTest(data.test, data.down);
    showIdent(data.ident, data.rating);
  }, 2000);
});
