#include "service/cloud/notify.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "service/core/clock.h"
#include "service/core/file_util.h"
#include "service/core/profile.h"
#include "service/core/text.h"
#include "service/net/socket.h"
#include "service/supervision/device_table.h"
#include "service/supervision/mail_text.h"
#include "service/supervision/sup_common.h"
#include "service/supervision/supervision.h"

NotifySettings notify_settings;

namespace {

struct QueueModule : Handler {
  bool registered = false;
};
struct NotifyModule : Handler {
  bool registered = false;
};
QueueModule g_queue;
NotifyModule g_notify;

uint32_t g_counter = 1;
std::string g_in_flight;
const char* g_nowan = kNoWanMarker;

template <size_t N>
void set_text(char (&dest)[N], std::string_view value) {
  copy_cut(std::span<char>(dest, N), utf8_cut(value, N - 1));
}

void kick() {
  if (g_queue.registered) fmessage_post(&g_queue, kQueueTimer, 0, 0);
}

// A text of the mail language's locale file; English when the language
// has none, the key itself when neither has it.
std::string locale_email_text(const char* key) {
  for (const char* lang : {static_cast<const char*>(mail_language), "en"}) {
    char path[96];
    std::snprintf(path, sizeof path, "www/locale/%s/locale.txt", lang);
    std::string value = profile_get(path, "[email]", key);
    if (!value.empty()) return value;
  }
  return key;
}

// Host of an address line: after "://", up to a line feed, "/" or ":".
// Empty without "://".
std::string_view host_of(std::string_view address) {
  size_t at = address.find("://");
  if (at == std::string_view::npos) return {};
  std::string_view rest = address.substr(at + 3);
  return rest.substr(0, rest.find_first_of("\n/:"));
}

int64_t queue_bytes() {
  DirList list;
  if (dir_list(kPostQueue, 2, list) < 0) return 0;
  int64_t sum = 0;
  for (const DirEntry& e : list.entries) sum += file_size((std::string(kPostQueue) + "/" + e.name).c_str());
  return sum;
}

bool ends_with(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}
bool begins_with_post(std::string_view name) {
  return name.size() >= 5 && (name[0] | 0x20) == 'p' && (name[1] | 0x20) == 'o' && (name[2] | 0x20) == 's' &&
         (name[3] | 0x20) == 't' && name[4] == '.';
}

// The failure tick of a ".e" name: the hex number before ".e". false when
// the name holds none.
bool failure_tick(std::string_view name, uint32_t* tick) {
  std::string_view stem = name.substr(0, name.size() - 2);
  size_t dot = stem.rfind('.');
  if (dot == std::string_view::npos || dot + 1 >= stem.size() || stem.size() - dot - 1 > 8) return false;
  uint32_t v = 0;
  for (char c : stem.substr(dot + 1)) {
    int d = c >= '0' && c <= '9' ? c - '0' : (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10 : -1;
    if (d < 0) return false;
    v = v * 16 + static_cast<uint32_t>(d);
  }
  *tick = v;
  return true;
}

std::string pick_entry() {
  DirList list;
  if (dir_list(kPostQueue, 2, list) < 0) return {};
  for (const DirEntry& e : list.entries) {
    if (begins_with_post(e.name) && !ends_with(e.name, ".e")) return e.name;
  }
  uint32_t now = tick_ms();
  for (const DirEntry& e : list.entries) {
    uint32_t failed = 0;
    if (!begins_with_post(e.name) || !ends_with(e.name, ".e")) continue;
    // A name without a readable tick is old enough: it must not stay
    // stuck in the queue forever.
    if (!failure_tick(e.name, &failed) || tick_diff(now, failed) > static_cast<int32_t>(kPostRetryMs)) return e.name;
  }
  return {};
}

void upload_done(int result);

void send_next() {
  if (!g_in_flight.empty()) return;
  for (int guard = 0; guard < 64; ++guard) {
    std::string name = pick_entry();
    if (name.empty()) return;
    std::string path = std::string(kPostQueue) + "/" + name;
    std::string text;
    FILE* f = file_open(path.c_str(), "rb");
    if (f) {
      char buffer[kPostReadMax];
      size_t n = std::fread(buffer, 1, sizeof buffer, f);
      std::fclose(f);
      text.assign(buffer, n);
    }
    size_t line_end = text.find('\n');
    // An entry without an address line can never be sent.
    if (line_end == std::string::npos) {
      file_delete(path.c_str());
      continue;
    }
    std::string address = text.substr(0, line_end);
    std::string_view rest = std::string_view(text).substr(line_end + 1);
    if (file_write_atomic(kPostUrlFile, address) != 0) return;
    if (rest.empty()) {
      file_delete(kPostBodyFile);
    } else if (file_write_atomic(kPostBodyFile, rest) != 0) {
      return;
    }
    g_in_flight = path;
    if (upload_start(address.c_str(), upload_done) == 0) return;
    // An address the uploader refuses stays refused: sending the entry
    // again would only spin.
    file_delete(path.c_str());
    g_in_flight.clear();
  }
  kick();
}

void upload_done(int result) {
  if (g_in_flight.empty()) return;
  const std::string path = g_in_flight;
  bool remove = result == 0 || ends_with(path, ".e");
  if (!remove) {
    std::string url;
    file_read_all(kPostUrlFile, url, 256);
    std::string_view host = host_of(trim_view(url));
    // A literal address gets no second attempt (nothing about it can have
    // changed); an unusable address line would keep the entry forever.
    if (host.empty() || host.size() > static_cast<size_t>(kNoWanHostMax) || address_family(host) != 0) remove = true;
  }
  if (remove) {
    file_delete(path.c_str());
  } else {
    char renamed[kMaxPath + 32];
    std::snprintf(renamed, sizeof renamed, "%s.%x.e", path.c_str(), tick_ms());
    if (file_move(path.c_str(), renamed) != 0) file_delete(path.c_str());
  }
  g_in_flight.clear();
  kick();
}

void queue_handle(Handler*, uint32_t id, int64_t, int64_t) {
  if (id == kQueueTimer) send_next();
}

void notify_handle(Handler*, uint32_t id, int64_t, int64_t) {
  if (id == kNotifyTimer) notify_flush();
}

std::string strip_line_breaks(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c != '\r' && c != '\n') out += c;
  }
  return out;
}

void json_escape_into(std::string& out, std::string_view text) {
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
}

}  // namespace

bool notify_receiver_ok(std::string_view receiver) {
  if (receiver.size() < 2 || receiver.find('@', 1) == std::string_view::npos) return false;
  for (char c : receiver) {
    auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f) return false;
  }
  return true;
}

std::string notify_receivers_from(std::string_view value) {
  std::string list;
  SplitList items = text_split(value, ';');
  for (const std::string& item : items.items) {
    if (!notify_receiver_ok(item)) continue;
    if (item.size() + list.size() > static_cast<size_t>(kReceiverBudget)) continue;
    list += item;
    list += '\0';
  }
  return list;
}

std::string notify_smtp_text(std::string_view host, int port, std::string_view sender, std::string_view password) {
  std::string out = "[\"";
  json_escape_into(out, host);
  out += "\",";
  out += std::to_string(port);
  out += ",\"";
  json_escape_into(out, sender);
  out += "\",\"";
  json_escape_into(out, password);
  out += "\"]";
  return out;
}

std::string notify_compose(std::string_view receiver, std::string_view subject, std::string_view smtp,
                           std::string_view text) {
  std::string out;
  out += notify_settings.relay;
  out += '\n';
  if (!smtp.empty()) {
    out += "smtp:";
    out += strip_line_breaks(smtp);
    out += "\r\n";
  }
  out += "To:";
  out += receiver;
  out += "\r\n";
  std::string clean = strip_line_breaks(subject);
  out += "Subject:=?utf-8?B?" + base64_encode(clean).substr(0, 1023) + "?=\r\n";
  out += "Content-Type: text/plain; charset=UTF-8\r\n";
  out += "\r\n";
  out += clean;
  out += "\r\n\r\n";
  out += text;
  out += "\r\n\r\n\r\n\r\n";
  out += notify_settings.signing;
  out += "\r\n\r\n";
  return out;
}

void notify_load_settings() {
  std::memset(&notify_settings, 0, sizeof notify_settings);
  mail_settings_load();
  set_text(notify_settings.relay, trim_view(profile_get(kDefaultConfigFile, "[email]", "relay_server")));
  set_text(notify_settings.signing, profile_get(kDefaultConfigFile, "[email]", "signing"));
}

void notify_request_test_mail() { notify_settings.test_mail = true; }

void notify_flush() {
  NotifySettings& s = notify_settings;
  if (s.test_mail) {
    s.test_mail = false;
    s.receivers[0] = s.receivers[1] = '\0';
    s.subject[0] = '\0';
    std::string lang = profile_get(kUserConfig, "[email]", "language");
    if (lang.empty()) lang = profile_get(kUserConfig, "[master]", "language");
    if (lang.empty()) lang = "en";
    set_text(mail_language, lang);
    mail_text_clear();
    mail_text_append(utf8_cut(locale_email_text("test_content"), kMailTextCapacity - 1));
  }
  if (mail_text_length() == 0) return;
  if (s.receivers[0] == '\0') {
    std::string list = notify_receivers_from(profile_get(kUserConfig, "[email]", "receiver"));
    std::memset(s.receivers, 0, sizeof s.receivers);
    std::memcpy(s.receivers, list.data(), list.size());
  }
  if (s.relay[0] && s.receivers[0]) {
    if (s.subject[0] == '\0') {
      std::string subject = profile_get(kUserConfig, "[email]", "subject");
      if (subject.empty()) subject = locale_email_text("subject");
      set_text(s.subject, strip_line_breaks(subject));
    }
    ProfileList smtp = profile_read_section(kUserConfig, "[email_smtp]");
    auto value = [&](const char* key) {
      const std::string* v = smtp.find(key);
      return v ? *v : std::string();
    };
    std::string account;
    std::string host = value("host"), port = value("port"), sender = value("sender");
    if (!host.empty() && !port.empty() && !sender.empty())
      account = notify_smtp_text(host, parse_int(port.c_str()), sender, value("sender_pass"));
    std::string_view text(mail_text, static_cast<size_t>(mail_text_length()));
    for (const char* r = s.receivers; *r && r < s.receivers + kReceiverCapacity; r += std::strlen(r) + 1)
      post_enqueue(notify_compose(r, s.subject, account, text));
  }
  mail_text_clear();
}

int post_enqueue(std::string_view text) {
  if (text.size() > static_cast<size_t>(kPostMax)) return -1;
  if (queue_bytes() + static_cast<int64_t>(text.size()) > kPostQueueMax) return -1;
  if (path_kind(g_nowan) != 0) {
    std::string_view host = host_of(text.substr(0, text.find('\n')));
    if (host.empty() || host.size() > static_cast<size_t>(kNoWanHostMax) || address_family(host) == 0) return -1;
  }
  char path[64];
  std::snprintf(path, sizeof path, "%s/post.%08x", kPostQueue, g_counter++);
  if (text.empty()) {
    file_delete(path);
    return -1;
  }
  FILE* f = file_open(path, "wb");
  if (!f) return -1;
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = std::fclose(f) == 0 && ok;
  if (!ok) {
    file_delete(path);
    return -1;
  }
  if (g_in_flight.empty()) kick();
  return 0;
}

int notify_start() {
  dir_create("tmp");
  if (dir_create(kPostQueue) != 0) return -1;
  g_counter = 1;
  g_in_flight.clear();
  g_queue.handler = queue_handle;
  // A second start (after a loop that ended without the module stop)
  // must not leave the handler registered twice.
  fmessage_unregister(&g_queue);
  if (fmessage_register(&g_queue, 0) != 0) return -1;
  g_queue.registered = true;
  fmessage_timer(&g_queue, kQueueTimer, kPostRetryMs);
  if (notify_base_start() != 0) return -1;
  g_notify.handler = notify_handle;
  fmessage_unregister(&g_notify);
  if (fmessage_register(&g_notify, 0) != 0) return -1;
  g_notify.registered = true;
  fmessage_timer(&g_notify, kNotifyTimer, kNotifyFlushMs);
  notify_load_settings();
  mail_set_flush_hook(notify_flush);
  return 0;
}

void notify_stop() {
  mail_set_flush_hook(nullptr);
  upload_abort();
  g_in_flight.clear();
  if (g_notify.registered) fmessage_unregister(&g_notify);
  if (g_queue.registered) fmessage_unregister(&g_queue);
  g_notify.registered = g_queue.registered = false;
  notify_base_stop();
}

void notify_override_nowan(const char* path) { g_nowan = path ? path : kNoWanMarker; }

const char* post_in_flight() { return g_in_flight.c_str(); }
