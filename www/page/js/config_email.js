'use strict';
// Mail settings: who receives alarm mails, their subject and language, and
// optionally the user's own SMTP account, which the relay server uses.
kv.start(() => {
  const { T, $ } = kv;
  const file = '$config_inf';

  function syncOwn() {
    $('#smtp').disabled = !$('#own').checked;
  }

  async function load() {
    const p = await kv.readProfile(file, ['email', 'email_smtp']);
    const e = p.email;
    const s = p.email_smtp;
    $('#receivers').value = (e.receiver || '').split(';').map((x) => x.trim()).filter(Boolean).join('\n');
    $('#subject').value = e.subject || '';
    $('#mail-lang').value = e.language || '';
    $('#own').checked = !!(s.host && s.port && s.sender);
    $('#host').value = s.host || '';
    $('#port').value = s.port || '587';
    $('#sender').value = s.sender || '';
    $('#sender-pass').value = s.sender_pass || '';
    syncOwn();
    const relay = await kv.run('profile_get /conf/default.inf "[email]" relay_server');
    $('#no-relay').hidden = relay.trim() !== '';
  }

  // Values may hold anything but what would break a profile line.
  function plain(text) {
    return !/[\r\n]|##/.test(text);
  }

  function collect() {
    const list = $('#receivers').value.split(/[\s;,]+/).map((x) => x.trim()).filter(Boolean);
    for (const a of list) {
      if (a.indexOf('@') < 1 || /["\\]/.test(a)) {
        kv.toast(T('config_email', 'bad_address', a), 'bad');
        return null;
      }
    }
    const receiver = list.join(';');
    if (kv.bytes(receiver) > 500) {
      kv.toast(T('config_email', 'too_many'), 'bad');
      return null;
    }
    const subject = $('#subject').value.trim();
    if (!plain(subject) || /["\\]/.test(subject) || kv.bytes(subject) > 120) {
      kv.toast(T('config', 'bad_text'), 'bad');
      return null;
    }
    const v = { receiver, subject, language: $('#mail-lang').value, own: $('#own').checked };
    if (v.own) {
      v.host = $('#host').value.trim();
      v.port = Number($('#port').value);
      v.sender = $('#sender').value.trim();
      v.pass = $('#sender-pass').value;
      if (!v.host || !Number.isInteger(v.port) || v.port < 1 || v.port > 65535 || v.sender.indexOf('@') < 1) {
        kv.toast(T('config_email', 'bad_smtp'), 'bad');
        return null;
      }
      if (![v.host, v.sender, v.pass].every(plain) || /["\\]/.test(v.host + v.sender + v.pass)) {
        kv.toast(T('config', 'bad_text'), 'bad');
        return null;
      }
    }
    return v;
  }

  function script(v, test) {
    const lines = [
      kv.setScript(file, 'email', 'receiver', v.receiver),
      kv.setScript(file, 'email', 'subject', v.subject),
      kv.setScript(file, 'email', 'language', v.language),
    ];
    if (v.own) {
      lines.push(kv.setScript(file, 'email_smtp', 'host', v.host), kv.setScript(file, 'email_smtp', 'port', String(v.port)),
        kv.setScript(file, 'email_smtp', 'sender', v.sender), kv.setScript(file, 'email_smtp', 'sender_pass', v.pass));
    } else {
      lines.push('profile_clr ' + file + ' "[email_smtp]"');
    }
    lines.push('restart');
    if (test) lines.push('send_email_test');
    return lines.join('\n');
  }

  async function save(button, test) {
    const v = collect();
    if (!v) return;
    if (test && !v.receiver) {
      kv.toast(T('config_email', 'need_receiver'), 'bad');
      return;
    }
    await kv.busy(button, async () => {
      await kv.runOk(script(v, test));
      kv.toast(T('config_email', test ? 'test_sent' : 'saved'), 'ok');
      await load();
    });
  }

  async function languages() {
    try {
      const list = JSON.parse(await (await fetch('/locale/list.htm', { cache: 'no-store' })).text());
      for (const [code, name] of list) $('#mail-lang').append(kv.el('option', { value: code, text: name }));
    } catch (e) {
      /* the list stays with its first entry */
    }
  }

  $('#own').addEventListener('change', syncOwn);
  $('#form').addEventListener('submit', (e) => {
    e.preventDefault();
    save($('#save'), false);
  });
  $('#test').addEventListener('click', (e) => save(e.currentTarget, true));
  kv.watch([], null, 5000);
  kv.busy($('#save'), async () => {
    await languages();
    await load();
  });
});
