'use strict';
// Alarms: the active alarms, and the alarm log read page by page from the
// service and shown newest first, a page at a time.
kv.start(() => {
  const { T, $, el, duration } = kv;
  const perPage = 25;
  let entries = [];
  let page = 0;
  let filter = 'all';

  function showActive(list) {
    const ul = $('#active-list');
    ul.textContent = '';
    const n = Array.isArray(list) ? list.length : 0;
    $('#active-count').textContent = n ? T('alarm', 'count', n) : '';
    if (!n) {
      ul.append(el('li', { class: 'empty good', text: T('main', 'no_alarms') }));
      return;
    }
    for (const [, seconds, number, text] of list) {
      ul.append(
        el('li', {}, el('span', { class: 'dot' + (number === 9 || number === 5 ? ' warn' : '') }), el('span', { class: 'text', text }),
          el('span', { class: 'when', text: T('main', 'active_for', duration(seconds)) })),
      );
    }
  }

  // The log answers the entries later than a time, a page at a time. The
  // next question starts one second before the last time received, so that
  // entries sharing that second are not lost; entries already seen are
  // dropped by their time and code.
  async function loadLog() {
    const seen = new Set();
    const all = [];
    let from = 0;
    for (let guard = 0; guard < 400; guard++) {
      const [page] = await kv.get('alarm_log ' + from);
      if (!Array.isArray(page) || !page.length) break;
      let fresh = 0;
      for (const e of page) {
        const key = e[0] + ':' + e[1];
        if (seen.has(key)) continue;
        seen.add(key);
        all.push(e);
        fresh++;
      }
      const last = page[page.length - 1][0];
      // Nothing new: every entry of that second is in, move past it.
      from = fresh ? last - 1 : last;
    }
    all.sort((a, b) => b[0] - a[0]);
    return all;
  }

  function visible() {
    return filter === 'raised' ? entries.filter((e) => !(e[1] & 0x8000)) : entries;
  }

  function render() {
    const list = visible();
    const pages = Math.max(1, Math.ceil(list.length / perPage));
    page = Math.min(page, pages - 1);
    const body = $('#log-table tbody');
    body.textContent = '';
    for (const [time, code, text] of list.slice(page * perPage, page * perPage + perPage)) {
      const removed = (code & 0x8000) !== 0;
      body.append(
        el('tr', {}, el('td', { class: 'num', text: kv.dateTime(time) }), el('td', { text }),
          el('td', {}, el('span', { class: 'chip ' + (removed ? 'ok' : 'bad'), text: T('log', removed ? 'cleared' : 'raised') }))),
      );
    }
    $('#log-empty').hidden = list.length > 0;
    $('#log-table').hidden = list.length === 0;
    $('#newer').disabled = page === 0;
    $('#older').disabled = page >= pages - 1;
    if (list.length) {
      const first = list[page * perPage];
      const last = list[Math.min(list.length, page * perPage + perPage) - 1];
      $('#page-info').textContent = T('log', 'page_info', page + 1, pages, kv.shortTime(last[0]), kv.shortTime(first[0]));
    } else {
      $('#page-info').textContent = '';
    }
  }

  async function reload(button) {
    await kv.busy(button, async () => {
      entries = await loadLog();
      render();
    });
  }

  kv.$$('#filter button').forEach((b) =>
    b.addEventListener('click', () => {
      kv.$$('#filter button').forEach((x) => x.classList.toggle('on', x === b));
      filter = b.dataset.filter;
      page = 0;
      render();
    }),
  );
  $('#newer').addEventListener('click', () => {
    page = Math.max(0, page - 1);
    render();
  });
  $('#older').addEventListener('click', () => {
    page++;
    render();
  });
  $('#reload').addEventListener('click', (e) => reload(e.currentTarget));
  $('#clear').addEventListener('click', async (e) => {
    if (!(await kv.confirm(T('log', 'clear_confirm'), T('log', 'clear'), true))) return;
    await kv.busy(e.currentTarget, async () => {
      const [ok] = await kv.cmd('clear_alarm_log');
      if (ok !== true) throw new kv.ServiceError('refused');
      kv.toast(T('log', 'cleared_done'), 'ok');
      entries = [];
      render();
    });
  });

  let lastCount = -1;
  kv.watch([], (data) => {
    if (!data) return;
    showActive(data.alarm_list);
    // A change of the active alarms means new log entries.
    const n = Array.isArray(data.alarm_list) ? data.alarm_list.length : 0;
    if (lastCount >= 0 && n !== lastCount) reload(null);
    lastCount = n;
  });
  reload($('#reload'));
});
