'use strict';
// UPS settings: the shutdown policy, the record interval and the battery
// test. Durations are minutes on the page and seconds in the file.
kv.start(() => {
  const { T, $ } = kv;
  const file = '$config_inf';
  let master = {};

  const int = (v) => {
    const n = parseInt(v, 10);
    return Number.isFinite(n) ? n : 0;
  };

  function toggle(check, ...inputs) {
    const sync = () => inputs.forEach((i) => ($(i).disabled = !$(check).checked));
    $(check).addEventListener('change', sync);
    sync();
  }

  function fill() {
    const m = master;
    const fail = int(m.utility_fail_timeout);
    $('#fail-on').checked = fail > 0;
    if (fail > 0) $('#fail-min').value = Math.max(1, Math.round(fail / 60));
    const low = int(m.shutdown_on_battery_low);
    $('#low-on').checked = low > 0;
    if (low > 0) $('#low-pct').value = low;
    const temp = int(m.shutdown_on_temper_high);
    $('#temp-on').checked = temp > 0;
    if (temp > 0) $('#temp-c').value = temp;
    const grace = int(m.shutdown_alarm_timeout);
    $('#pc-on').checked = grace > 0;
    if (grace > 0) $('#grace').value = Math.max(30, grace);
    $('#ups-off').checked = m.shutdown_self !== undefined;
    $('#rec-min').value = Math.round(int(m.record_interval) / 60);
    $('#period').value = String(int(m.discharge_period));
    if (!$('#period').value) $('#period').value = '0';
    $('#lowest').value = int(m.discharge_lowest);
    kv.$$('input[type=checkbox]').forEach((c) => c.dispatchEvent(new Event('change')));
  }

  // The value of a number field within its bounds, or null after telling
  // the user.
  function checked(id) {
    const e = $(id);
    const v = Number(e.value);
    if (e.disabled) return 0;
    if (!Number.isInteger(v) || v < Number(e.min) || v > Number(e.max)) {
      kv.toast(T('config', 'bad_number', e.min, e.max), 'bad');
      e.focus();
      return null;
    }
    return v;
  }

  async function load() {
    master = (await kv.readProfile(file, ['master'])).master;
    fill();
  }

  $('#form').addEventListener('submit', (e) => {
    e.preventDefault();
    const v = {};
    for (const [key, id] of [['fail', '#fail-min'], ['low', '#low-pct'], ['temp', '#temp-c'], ['grace', '#grace'], ['rec', '#rec-min'], ['lowest', '#lowest']]) {
      v[key] = checked(id);
      if (v[key] === null) return;
    }
    const set = (key, value) => kv.setScript(file, 'master', key, value ? String(value) : '');
    // shutdown_self 0 and 1 both switch the output off; a value already
    // there stays.
    const self = $('#ups-off').checked ? (master.shutdown_self !== undefined ? master.shutdown_self : '0') : '';
    const script = [
      set('utility_fail_timeout', $('#fail-on').checked ? v.fail * 60 : 0),
      set('shutdown_on_battery_low', $('#low-on').checked ? v.low : 0),
      set('shutdown_on_temper_high', $('#temp-on').checked ? v.temp : 0),
      set('shutdown_alarm_timeout', $('#pc-on').checked ? v.grace : 0),
      self === '' ? kv.setScript(file, 'master', 'shutdown_self', '') : kv.setScript(file, 'master', 'shutdown_self', self),
      set('record_interval', v.rec * 60),
      set('discharge_period', int($('#period').value)),
      set('discharge_lowest', v.lowest),
      'restart',
    ].join('\n');
    kv.busy($('#save'), async () => {
      await kv.runOk(script);
      kv.toast(T('config', 'saved'), 'ok');
      await load();
    });
  });

  toggle('#fail-on', '#fail-min');
  toggle('#low-on', '#low-pct');
  toggle('#temp-on', '#temp-c');
  toggle('#pc-on', '#grace');
  kv.watch([], null, 5000);
  kv.busy($('#save'), load);
});
