'use strict';
// Control: beeper, self tests, scheduled shutdown and restart of the UPS,
// and raw commands with their answers.
kv.start(() => {
  const { T, $, duration, bit } = kv;

  // Runs one command item; anything but true is reported.
  async function command(item, done) {
    const [result] = await kv.cmd(item);
    if (result !== true) {
      kv.toast(T('ups_error', 'refused'), 'bad');
      return false;
    }
    kv.toast(done, 'ok');
    watch.refresh();
    return true;
  }

  function chip(id, cls, text) {
    const c = document.getElementById(id);
    c.className = 'chip ' + cls;
    c.textContent = text;
  }

  function show(data) {

    if (!data) return;
    const word = data.stat[0];
    const ready = !bit(word, 0) && !bit(word, 1);
    $('#not-ready').hidden = ready;
    kv.$$('main button').forEach((b) => {
      if (b.id !== 'raw-send') b.disabled = !ready;
    });
    $('#raw-send').disabled = !ready;
    chip('beeper-state', bit(word, 2) ? 'info' : 'idle', T('ctrl', bit(word, 2) ? 'beeper_on' : 'beeper_off'));

    const t = Array.isArray(data.test) ? data.test : [0, 0, 0];
    const running = t[2] === 5 || bit(word, 9);
    chip('test-state', running ? 'info' : t[2] === 1 ? 'ok' : t[2] === 3 ? 'bad' : t[2] === 2 || t[2] === 4 ? 'warn' : 'idle',
      T('ups_show', 'test_result_' + (running ? 5 : t[2])));
    $('#test-detail').textContent = t[0] ? T('ctrl', 'test_detail', T('ups_show', 'test_kind_' + t[0]), duration(t[1])) : T('ctrl', 'test_none');

    const out = Array.isArray(data.output) ? data.output[1] : 0;
    const off = out === 2 || bit(word, 6);
    chip('output-state', off ? 'idle' : 'ok', T('ctrl', off ? 'output_off' : 'output_on'));
    $('#when-on').hidden = off;
    $('#when-off').hidden = !off;
    const d = Array.isArray(data.down) ? data.down : [0, 0, 0];
    const downPending = d[0] && d[1] > 0;
    $('#down-pending').hidden = !downPending && !bit(word, 4);
    $('#down-text').textContent = bit(word, 4) ? T('ctrl', 'shutting_down') : T('ctrl', 'shutdown_pending', duration(d[1]));
    $('#start-pending').hidden = !(d[2] > 0);
    $('#start-text').textContent = T('ctrl', 'restart_pending', duration(d[2]));
  }

  const watch = kv.watch(['output', 'test', 'down'], show, 2000);

  $('#beep').addEventListener('click', (e) => kv.busy(e.currentTarget, () => command('beep', T('ctrl', 'done'))));

  kv.$$('[data-test]').forEach((b) =>
    b.addEventListener('click', async () => {
      const kind = b.dataset.test;
      if (kind === '3' && !(await kv.confirm(T('ctrl', 'test_deep_confirm'), T('ctrl', 'test_deep')))) return;
      kv.busy(b, () => command('test ' + kind, T('ctrl', kind === '0' ? 'test_cancelled' : 'test_started')));
    }),
  );

  function minutes(id) {
    const v = Number($(id).value);
    if (!Number.isInteger(v) || v < 1 || v > 9999) {
      kv.toast(T('ctrl', 'bad_minutes'), 'bad');
      $(id).focus();
      return 0;
    }
    return v;
  }

  $('#down-schedule').addEventListener('click', async (e) => {
    const m = minutes('#down-min');
    if (!m) return;
    const b = e.currentTarget;
    if (!(await kv.confirm(T('ctrl', 'shutdown_confirm', duration(m * 60)), T('ctrl', 'schedule'), true))) return;
    kv.busy(b, () => command('down 1 ' + m * 60, T('ctrl', 'scheduled')));
  });
  $('#down-now').addEventListener('click', async (e) => {
    const b = e.currentTarget;
    if (!(await kv.confirm(T('ctrl', 'shutdown_now_confirm'), T('ctrl', 'shutdown_now'), true))) return;
    kv.busy(b, () => command('down 1', T('ctrl', 'done')));
  });
  $('#down-cancel').addEventListener('click', (e) => kv.busy(e.currentTarget, () => command('down cancel', T('ctrl', 'cancelled'))));
  $('#start-now').addEventListener('click', (e) => kv.busy(e.currentTarget, () => command('start', T('ctrl', 'done'))));
  $('#start-schedule').addEventListener('click', (e) => {
    const m = minutes('#start-min');
    if (m) kv.busy(e.currentTarget, () => command('start ' + m * 60, T('ctrl', 'scheduled')));
  });
  $('#start-cancel').addEventListener('click', (e) => kv.busy(e.currentTarget, () => command('start cancel', T('ctrl', 'cancelled'))));

  // A raw command goes to the UPS as it is; its reply line lands in the
  // answer file, which is read until it appears.
  $('#raw-form').addEventListener('submit', (e) => {
    e.preventDefault();
    const text = $('#raw-text').value.trim();
    const box = $('#raw-answer');
    if (!text) return;
    kv.busy($('#raw-send'), async () => {
      box.textContent = '> ' + text + '\n';
      const [result] = await kv.cmd('@' + text);
      if (result !== 'queued') {
        box.textContent += T('ups_error', 'refused');
        return;
      }
      for (let i = 0; i < 20; i++) {
        await new Promise((r) => setTimeout(r, 400));
        const answer = await kv.run('cat /tmp/cmd_answer');
        if (!answer) continue;
        box.textContent += answer === '\u0001' ? T('ups_error', 'raw_failed') : answer;
        return;
      }
      box.textContent += T('ups_error', 'raw_timeout');
    });
  });
});
