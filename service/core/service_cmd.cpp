#include "service/core/service_cmd.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "service/api/device_api.h"
#include "service/cloud/notify.h"
#include "service/cloud/update.h"
#include "service/core/clock.h"
#include "service/core/file_util.h"
#include "service/core/profile.h"
#include "service/core/service_log.h"
#include "service/core/startup.h"
#include "service/core/startup_modules.h"
#include "service/script/script.h"
#include "service/web/page_runner.h"
#include "service/web/web_request.h"

namespace {

constexpr const char* kAppInfo = "appinfo.inf";
// A section given to "locale" without a key is read into this many bytes.
constexpr std::size_t kLocaleSectionCapacity = 2048;
constexpr std::size_t kLogLineMax = 1023;

DeviceRequestFn g_device = nullptr;
void (*g_update_www)() = nullptr;
void (*g_test_mail_hook)() = nullptr;
void (*g_restart)() = nullptr;
bool g_test_mail = false;

// Bytes of text that fit max without splitting a UTF-8 sequence.
std::size_t utf8_fit(std::string_view text, std::size_t max) {
  if (text.size() <= max) return text.size();
  std::size_t n = max;
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return n;
}

// The whole text into out, or (when it does not fit) "" and its length, as
// the engine expects from service commands.
int put(std::span<char> out, std::string_view text) {
  if (out.empty()) return static_cast<int>(text.size());
  if (text.size() + 1 > out.size()) {
    out[0] = '\0';
    return static_cast<int>(text.size());
  }
  if (!text.empty()) std::memcpy(out.data(), text.data(), text.size());
  out[text.size()] = '\0';
  return static_cast<int>(text.size());
}

int nothing(std::span<char> out) {
  if (!out.empty()) out[0] = '\0';
  return 0;
}

// Language codes name folders ("www/locale/<code>"); anything but letters,
// digits, "-" and "_" could name another path.
bool language_ok(std::string_view code, std::size_t max) {
  if (code.empty() || code.size() > max) return false;
  for (char c : code) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

// A page looks up dozens of texts, mostly from one or two sections, and
// reading and parsing the whole locale file for each would cost more than
// the rest of the page. So while a page runs each section is read once; a
// page sees the locale files as they were when it first asked. Outside a
// page every lookup reads the file.
struct LocaleSection {
  std::string file;
  std::string section;
  ProfileList keys;
};
constexpr std::size_t kLocaleCacheMax = 32;
bool g_locale_cache_on = false;
std::vector<LocaleSection> g_locale_cache;

std::string locale_value(const std::string& file, const char* section, const char* key) {
  if (file.empty()) return {};
  if (!g_locale_cache_on) return profile_get(file.c_str(), section, key);
  for (const LocaleSection& s : g_locale_cache) {
    if (s.file == file && s.section == section) {
      const std::string* v = s.keys.find(key);
      return v ? *v : std::string();
    }
  }
  if (g_locale_cache.size() >= kLocaleCacheMax) g_locale_cache.clear();
  g_locale_cache.push_back({file, section, profile_read_section(file.c_str(), section)});
  const std::string* v = g_locale_cache.back().keys.find(key);
  return v ? *v : std::string();
}

void run_page_with_texts(const char* folder, const char* url_path, const char* file_path) {
  g_locale_cache.clear();
  g_locale_cache_on = true;
  run_page(folder, url_path, file_path);
  g_locale_cache_on = false;
  g_locale_cache.clear();
}

std::string locale_file() {
  char path[kMaxPath + 1];
  if (map_web_path("/locale/locale.txt", path) < 0) return {};
  return path;
}

// A section body that is longer than the command's buffer is cut after its
// last whole line that fits, so no text is shown half.
int locale_section(std::span<char> out, const std::string& file, const char* section) {
  char small[kLocaleSectionCapacity];
  int n = profile_section_text(file.c_str(), section, small);
  if (n <= 0) return put(out, section);
  if (static_cast<std::size_t>(n) < sizeof small) {
    std::string_view body(small, static_cast<std::size_t>(n));
    // Blank lines alone are no text either.
    if (body.find_first_not_of(" \t\r\n") == std::string_view::npos) return put(out, section);
    return put(out, body);
  }
  // The stored body did not fit; without its comments it may.
  std::vector<char> whole(static_cast<std::size_t>(n) + 1);
  int m = profile_section_text(file.c_str(), section, whole);
  if (m <= 0) return put(out, section);
  std::string_view body(whole.data(), static_cast<std::size_t>(m));
  if (body.size() >= kLocaleSectionCapacity) {
    std::string_view head = body.substr(0, kLocaleSectionCapacity - 1);
    std::size_t nl = head.rfind('\n');
    body = nl == std::string_view::npos ? body.substr(0, utf8_fit(body, head.size())) : head.substr(0, nl + 1);
  }
  return put(out, body);
}

int cmd_locale(const char* const* args, int count, std::span<char> out) {
  if (count != 2 && count != 3) return nothing(out);
  const char* section = args[1];
  if (!section[0]) return nothing(out);
  std::string file = locale_file();
  if (count == 2) return locale_section(out, file, section);
  std::string value = locale_value(file, section, args[2]);
  return put(out, value.empty() ? std::string_view(args[2]) : std::string_view(value));
}

int cmd_set_language(const char* const* args, int count, std::span<char> out) {
  if (count != 2) return nothing(out);
  std::string_view code(args[1]);
  if (!language_ok(code, sizeof app_language - 1)) return nothing(out);
  std::memcpy(app_language, code.data(), code.size());
  app_language[code.size()] = '\0';
  profile_write_value(kAppInfo, "[app]", "language", app_language);
  return nothing(out);
}

// One log line per call: a line break inside the text would start a line
// that is not in the log's "<seconds> <text>" form.
int cmd_makelog(const char* const* args, int count, std::span<char> out) {
  if (count != 2 || !args[1][0]) return nothing(out);
  char stamp[24];
  int stamp_len = std::snprintf(stamp, sizeof stamp, "%" PRId64 " ", unix_time());
  std::size_t room = kLogLineMax - 1 - static_cast<std::size_t>(stamp_len > 0 ? stamp_len : 0);
  std::string_view text(args[1]);
  std::string line(text.substr(0, utf8_fit(text, room)));
  for (char& c : line) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = ' ';
  }
  service_log(line.c_str());
  return nothing(out);
}

int cmd_device(const char* const* args, int count, std::span<char> out) {
  if (count != 2 || !args[1][0] || !g_device) return nothing(out);
  int n = g_device(args[1], out);
  // A failing entry is no answer, never "unknown command".
  return n < 0 ? nothing(out) : n;
}

void default_restart() {
  modules_stop();
  modules_start();
}

int cmd_restart(const char* const*, int, std::span<char> out) {
  (g_restart ? g_restart : default_restart)();
  return nothing(out);
}

int cmd_update_www(const char* const*, int, std::span<char> out) {
  if (g_update_www) g_update_www();
  return nothing(out);
}

int cmd_test_mail(const char* const*, int, std::span<char> out) {
  g_test_mail = true;
  if (g_test_mail_hook) g_test_mail_hook();
  return nothing(out);
}

int cmd_webport(const char* const*, int, std::span<char> out) {
  char text[16];
  int n = std::snprintf(text, sizeof text, "%d", web_port.load());
  return put(out, std::string_view(text, static_cast<std::size_t>(n)));
}

struct ServiceCommand {
  const char* name;
  int (*run)(const char* const* args, int count, std::span<char> out);
};

const ServiceCommand kCommands[] = {
    {"update_www", cmd_update_www},
    {"restart", cmd_restart},
    {"webport", cmd_webport},
    {"set_language", cmd_set_language},
    {"locale", cmd_locale},
    {"wlink_request_data", cmd_device},
    {"send_email_test", cmd_test_mail},
    {"makelog", cmd_makelog},
};

// Whether the query could start shows nowhere: the page goes on either way.
void start_update() { webpack_check_update(); }

const char* process_os() { return app_os; }
const char* process_language() { return app_language; }
int process_port() { return web_port.load(); }
const PageProcessValues kProcessValues = {process_os, process_language, process_port};

bool locale_exists(const char* folder, std::string_view language, std::string& path) {
  if (!language_ok(language, 16)) return false;
  path = std::string(folder) + "/" + std::string(language) + "/locale.txt";
  return path_kind(path.c_str()) == 2;
}

}  // namespace

int service_command(const char* const* args, int count, std::span<char> out) {
  if (!args || count <= 0 || !args[0]) return -1;
  for (const ServiceCommand& c : kCommands) {
    if (std::strcmp(args[0], c.name) == 0) return c.run(args, count, out);
  }
  return -1;
}

int locale_text(std::span<char> out, const char* key, const char* section, const char* language) {
  if (out.empty()) return 0;
  std::string_view k(key ? key : "");
  // The tray calls this on the UI thread: the mapping is given the script
  // name ("", none is needed for an absolute path) rather than asking the
  // script store, which belongs to the event thread.
  char folder[kMaxPath + 1];
  if (map_script_path("/locale", "", folder) < 0) std::strcpy(folder, "www/locale");
  std::string_view lang(language ? language : "");
  std::string file;
  bool found = locale_exists(folder, lang, file);
  if (!found && lang.size() > 3) {
    std::string_view shorter = lang.substr(0, 4);
    shorter = shorter.substr(0, shorter.find('-'));
    found = locale_exists(folder, shorter, file) || locale_exists(folder, "en", file) ||
            locale_exists(folder, "zh", file);
  }
  std::string value = found && key ? profile_get(file.c_str(), section, key) : std::string();
  std::string_view text = value.empty() ? k : std::string_view(value);
  std::size_t n = utf8_fit(text, out.size() - 1);
  if (n) std::memcpy(out.data(), text.data(), n);
  out[n] = '\0';
  return static_cast<int>(n);
}

void service_set_device_request(DeviceRequestFn fn) { g_device = fn; }
void service_set_update_www(void (*start)()) { g_update_www = start; }
void service_set_test_mail_hook(void (*request)()) { g_test_mail_hook = request; }
void service_set_restart(void (*restart)()) { g_restart = restart; }

bool service_test_mail_requested() { return g_test_mail; }

bool service_take_test_mail() {
  bool was = g_test_mail;
  g_test_mail = false;
  return was;
}

void web_pages_install() {
  page_set_process_values(&kProcessValues);
  script_set_request_lookup(request_lookup);
  script_set_service_commands(service_command);
  script_set_path_mapper(map_script_path);
  service_set_device_request(device_request);
  service_set_update_www(start_update);
  service_set_test_mail_hook(notify_request_test_mail);
  web_set_page_runner(run_page_with_texts);
}
