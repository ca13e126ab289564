'use strict';
// History: the record log as a chart and a table, fetched page by page
// (each page holds the records after the last time received), and its
// export as CSV.
kv.start(() => {
  const { T, $, el, num } = kv;
  const maxRecords = 20000;
  const pagesPerRequest = 20;
  let range = 86400;
  let records = [];
  let plot = null;

  // One request fetches up to pagesPerRequest pages: the script asks the
  // record log again after the last record of each page and prints the
  // pages as one JSON array of pages.
  function pageScript(from) {
    return [
      'f = ' + Math.floor(from),
      'k = 0',
      'echo "["',
      'while [ $k < ' + pagesPerRequest + ' ]',
      '  wlink_request_data #{"get":["record_log $f"]}# > r',
      '  json $r return 0 > p',
      '  json_count $p > c',
      '  if [ -z $c || $c == 0 ]',
      '    break',
      '  fi',
      '  if [ $k > 0 ]',
      '    echo ","',
      '  fi',
      '  echo $p',
      '  c = $c - 1',
      '  json $p $c 0 > t',
      '  f = $t - 1',
      '  ++ $k',
      'done',
      'echo "]"',
    ].join('\n');
  }

  async function fetchRecords(from, progress) {
    const seen = new Set();
    const out = [];
    let f = from;
    for (let guard = 0; guard < 2000 && out.length < maxRecords; guard++) {
      const text = await kv.run(pageScript(f));
      let pages;
      try {
        pages = JSON.parse(text);
      } catch (e) {
        throw new kv.ServiceError('answer', text);
      }
      if (!Array.isArray(pages) || !pages.length) break;
      let fresh = 0;
      let last = f;
      for (const page of pages) {
        if (!Array.isArray(page)) continue;
        for (const r of page) {
          if (!Array.isArray(r)) continue;
          last = Math.max(last, r[0]);
          const key = JSON.stringify(r);
          if (seen.has(key)) continue;
          seen.add(key);
          out.push(r);
          fresh++;
        }
      }
      progress(out.length);
      if (!fresh) {
        if (last <= f) break;
        f = last;
        continue;
      }
      if (pages.length < pagesPerRequest) break;
      f = last - 1;
    }
    out.sort((a, b) => a[0] - b[0]);
    return out.slice(0, maxRecords);
  }

  // A record: [time, status, [n_in, [lost, hz, v, x]...], [n_out, mode,
  // [lost, hz, v, x, load]...], [status, on_batt_s, remain_min, %, °C, V, x]].
  function parts(r) {
    const inp = Array.isArray(r[2]) ? r[2].slice(1, 1 + r[2][0]) : [];
    const out = Array.isArray(r[3]) ? r[3].slice(2, 2 + r[3][0]) : [];
    const batt = Array.isArray(r[4]) ? r[4] : [];
    return { time: r[0], word: r[1], mode: Array.isArray(r[3]) ? r[3][1] : 0, inp, out, batt };
  }

  const colours = ['#1f63b5', '#6a3fb5', '#0f8c8c', '#d2691e', '#1b8a4b', '#c0392b', '#8a6d1f', '#b5407a', '#4e6a85'];

  function seriesList(phasesIn, phasesOut) {
    const list = [];
    const suffix = (n, i) => (n > 1 ? ' L' + (i + 1) : '');
    for (let i = 0; i < phasesIn; i++) list.push({ label: T('record', 'input_v') + suffix(phasesIn, i), scale: 'V', pick: (p) => p.inp[i] && p.inp[i][2] });
    for (let i = 0; i < phasesOut; i++) list.push({ label: T('record', 'output_v') + suffix(phasesOut, i), scale: 'V', pick: (p) => p.out[i] && p.out[i][2] });
    for (let i = 0; i < phasesOut; i++) list.push({ label: T('record', 'load') + suffix(phasesOut, i), scale: '%', pick: (p) => p.out[i] && p.out[i][4] });
    list.push({ label: T('record', 'charge'), scale: '%', pick: (p) => p.batt[3] });
    list.push({ label: T('record', 'temperature'), scale: '%', pick: (p) => p.batt[4] || null });
    list.push({ label: T('record', 'batt_v'), scale: '%', pick: (p) => p.batt[5], show: false });
    return list;
  }

  const axisTime = new Intl.DateTimeFormat(kv.tag, { hour: '2-digit', minute: '2-digit' });
  const axisSeconds = new Intl.DateTimeFormat(kv.tag, { hour: '2-digit', minute: '2-digit', second: '2-digit' });
  const axisDay = new Intl.DateTimeFormat(kv.tag, { month: 'short', day: 'numeric', hour: '2-digit' });

  function draw() {
    const box = $('#chart');
    if (plot) {
      plot.destroy();
      plot = null;
    }
    box.textContent = '';
    $('#no-data').hidden = records.length > 0;
    if (!records.length) return;
    const ps = records.map(parts);
    const last = ps[ps.length - 1];
    const list = seriesList(last.inp.length, last.out.length);
    const data = [ps.map((p) => p.time)];
    for (const s of list) data.push(ps.map((p) => (s.pick(p) === undefined ? null : s.pick(p))));
    const span = ps[ps.length - 1].time - ps[0].time;
    const fmt = span > 2 * 86400 ? axisDay : span > 1200 ? axisTime : axisSeconds;
    const opts = {
      width: Math.max(280, box.clientWidth),
      height: 340,
      scales: { x: { time: true }, V: { auto: true }, '%': { range: [0, 100] } },
      series: [
        { value: (u, v) => (v === null ? '\u2014' : kv.dateTime(v)) },
        ...list.map((s, i) => ({
          label: s.label,
          scale: s.scale,
          show: s.show !== false,
          stroke: colours[i % colours.length],
          width: 1.6,
          spanGaps: false,
          value: (u, v) => (v === null || v === undefined ? '\u2014' : num(v, s.scale === 'V' ? 0 : 0)),
        })),
      ],
      axes: [
        { values: (u, splits) => splits.map((v) => fmt.format(new Date(v * 1000))) },
        { scale: 'V', label: T('base', 'unit_v'), size: 56 },
        { scale: '%', side: 1, label: T('record', 'right_axis'), grid: { show: false }, size: 50 },
      ],
      cursor: { drag: { x: true, y: false } },
    };
    plot = new uPlot(opts, data, box);
  }

  function modeText(p) {
    return T('ups_mode', kv.mode(p.word, p.mode).key);
  }

  function showLatest() {
    const body = $('#latest tbody');
    body.textContent = '';
    for (const r of records.slice(-12).reverse()) {
      const p = parts(r);
      const first = (arr, i) => (arr[0] ? arr[0][i] : undefined);
      body.append(
        el('tr', {},
          el('td', { class: 'num', text: kv.dateTime(p.time) }),
          el('td', { text: modeText(p) }),
          el('td', { class: 'n', text: kv.unit(first(p.inp, 2), 'unit_v') }),
          el('td', { class: 'n', text: kv.unit(first(p.out, 2), 'unit_v') }),
          el('td', { class: 'n', text: num(first(p.out, 4)) + '\u00a0%' }),
          el('td', { class: 'n', text: num(p.batt[3]) + '\u00a0%' }),
          el('td', { class: 'n', text: p.batt[4] ? kv.unit(p.batt[4], 'unit_c') : '\u2014' })),
      );
    }
  }

  async function load(button) {
    await kv.busy(button, async () => {
      const note = $('#loading');
      note.hidden = false;
      note.textContent = T('record', 'loading', 0);
      try {
        const [now] = await kv.get('time');
        const from = (Number(now) || Date.now() / 1000) - range;
        records = await fetchRecords(from, (n) => (note.textContent = T('record', 'loading', num(n))));
      } finally {
        note.hidden = true;
      }
      const full = records.length >= maxRecords;
      $('#summary').textContent = records.length
        ? T('record', 'summary', num(records.length), kv.shortTime(records[0][0]), kv.shortTime(records[records.length - 1][0])) + (full ? ' \u00b7 ' + T('record', 'capped') : '')
        : '';
      draw();
      showLatest();
    });
  }

  function csvCell(v) {
    const s = v === null || v === undefined ? '' : String(v);
    return /[",\n;]/.test(s) ? '"' + s.replace(/"/g, '""') + '"' : s;
  }

  function exportCsv() {
    if (!records.length) {
      kv.toast(T('record', 'no_data'), 'bad');
      return;
    }
    const ps = records.map(parts);
    const nIn = Math.max(...ps.map((p) => p.inp.length));
    const nOut = Math.max(...ps.map((p) => p.out.length));
    const head = [T('record', 'csv_time'), T('record', 'csv_unix'), T('record', 'col_mode'), T('record', 'csv_status')];
    const ph = (n, i) => (n > 1 ? ' L' + (i + 1) : '');
    for (let i = 0; i < nIn; i++) head.push(T('record', 'input_v') + ph(nIn, i), T('record', 'input_hz') + ph(nIn, i));
    for (let i = 0; i < nOut; i++) head.push(T('record', 'output_v') + ph(nOut, i), T('record', 'output_hz') + ph(nOut, i), T('record', 'load') + ph(nOut, i));
    head.push(T('record', 'charge'), T('record', 'batt_v'), T('record', 'temperature'), T('record', 'csv_remain'), T('record', 'csv_on_batt'));
    const lines = [head.map(csvCell).join(',')];
    for (const p of ps) {
      const row = [kv.isoLocal(p.time), p.time, modeText(p), p.word >>> 0];
      for (let i = 0; i < nIn; i++) row.push(p.inp[i] ? p.inp[i][2] : '', p.inp[i] ? p.inp[i][1] : '');
      for (let i = 0; i < nOut; i++) row.push(p.out[i] ? p.out[i][2] : '', p.out[i] ? p.out[i][1] : '', p.out[i] ? p.out[i][4] : '');
      row.push(p.batt[3], p.batt[5], p.batt[4], p.batt[2], p.batt[1]);
      lines.push(row.map(csvCell).join(','));
    }
    const blob = new Blob(['\ufeff' + lines.join('\r\n') + '\r\n'], { type: 'text/csv;charset=utf-8' });
    const stamp = kv.isoLocal(Date.now() / 1000).replace(/[-: ]/g, '').slice(0, 12);
    const a = el('a', { href: URL.createObjectURL(blob), download: 'ups-history-' + stamp + '.csv' });
    document.body.append(a);
    a.click();
    setTimeout(() => {
      URL.revokeObjectURL(a.href);
      a.remove();
    }, 1000);
  }

  kv.$$('#range button').forEach((b) =>
    b.addEventListener('click', () => {
      kv.$$('#range button').forEach((x) => x.classList.toggle('on', x === b));
      range = Number(b.dataset.range);
      load($('#reload'));
    }),
  );
  $('#reload').addEventListener('click', (e) => load(e.currentTarget));
  $('#csv').addEventListener('click', exportCsv);
  $('#clear').addEventListener('click', async (e) => {
    if (!(await kv.confirm(T('record', 'clear_confirm'), T('record', 'clear'), true))) return;
    await kv.busy(e.currentTarget, async () => {
      const [ok] = await kv.cmd('clear_record_log');
      if (ok !== true) throw new kv.ServiceError('refused');
      records = [];
      draw();
      showLatest();
      $('#summary').textContent = '';
      kv.toast(T('record', 'cleared_done'), 'ok');
    });
  });
  let resizeTimer = 0;
  window.addEventListener('resize', () => {
    clearTimeout(resizeTimer);
    resizeTimer = setTimeout(() => plot && plot.setSize({ width: Math.max(280, $('#chart').clientWidth), height: 340 }), 150);
  });

  kv.watch([], null, 5000);
  load($('#reload'));
});
