#include "service/web/page_runner.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "service/core/file_util.h"
#include "service/core/profile.h"
#include "service/core/text.h"
#include "service/script/script.h"
#include "service/web/request_folder.h"
#include "service/web/web_request.h"

namespace {

// A request field is read into this many bytes (with the NUL).
constexpr int kFieldCapacity = 256;
constexpr int64_t kSessionMax = 1024;
constexpr const char* kStoreFull = "too may script vars";
constexpr const char* kRedirectRefused = "redirect target refused\n";

const PageProcessValues* g_values = nullptr;
// The lookup answers only while a page runs: between pages the web layer
// still asks the store (for the running script's name), and the request
// being processed then is no page's.
bool g_page_running = false;

// Names a page asked for that the request does not carry. The request does
// not change while its page runs, so a miss stays a miss; without this a
// loop that tests an unset flag would scan the request on every round.
constexpr int kMisses = 64;
constexpr std::size_t kMissName = 32;
char g_miss[kMisses][kMissName];
int g_miss_count = 0;
int g_miss_next = 0;

bool miss_known(std::string_view name) {
  if (name.size() >= kMissName) return false;
  for (int i = 0; i < g_miss_count; ++i) {
    if (name == g_miss[i]) return true;
  }
  return false;
}

void miss_remember(std::string_view name) {
  if (name.size() >= kMissName) return;
  std::memcpy(g_miss[g_miss_next], name.data(), name.size());
  g_miss[g_miss_next][name.size()] = '\0';
  g_miss_next = (g_miss_next + 1) % kMisses;
  if (g_miss_count < kMisses) ++g_miss_count;
}

void misses_clear() {
  g_miss_count = 0;
  g_miss_next = 0;
}

// Offset just after the line end of the first empty line of the request
// (a line holding nothing but an optional "\r"), or npos when it has none.
// The request line itself is never the empty line.
std::size_t body_offset(std::string_view request) {
  std::size_t pos = request.find('\n');
  while (pos != std::string_view::npos) {
    std::size_t start = pos + 1;
    std::size_t nl = request.find('\n', start);
    if (nl == std::string_view::npos) return std::string_view::npos;
    std::string_view line = request.substr(start, nl - start);
    if (line.empty() || line == "\r") return nl + 1;
    pos = nl;
  }
  return std::string_view::npos;
}

std::string_view request_body(std::string_view request) {
  std::size_t at = body_offset(request);
  return at == std::string_view::npos ? request : request.substr(at);
}

// The URL: between the first and the second space of the request line.
std::string_view request_url(std::string_view request) {
  std::string_view line = request.substr(0, request.find('\n'));
  std::size_t sp1 = line.find(' ');
  if (sp1 == std::string_view::npos) return {};
  std::size_t sp2 = line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos) return {};
  return line.substr(sp1 + 1, sp2 - sp1 - 1);
}

// The value after the first "name=" in text that follows one of the
// separators (or the text's start when at_start), up to the next "&". false
// when there is none.
bool find_field(std::string_view text, std::string_view name, bool at_start, std::string_view seps,
                std::string_view* value) {
  std::size_t pos = 0;
  for (;;) {
    pos = text.find(name, pos);
    if (pos == std::string_view::npos) return false;
    bool placed = pos == 0 ? at_start : seps.find(text[pos - 1]) != std::string_view::npos;
    std::size_t eq = pos + name.size();
    if (placed && eq < text.size() && text[eq] == '=') {
      std::string_view rest = text.substr(eq + 1);
      *value = rest.substr(0, rest.find('&'));
      return true;
    }
    ++pos;
  }
}

// A found form or query value made usable: not empty, at most 255 bytes
// and decodable. Decoded into out; false when unusable.
bool decode_field(std::string_view value, char (&out)[kFieldCapacity]) {
  if (value.empty() || value.size() >= kFieldCapacity) return false;
  std::memcpy(out, value.data(), value.size());
  out[value.size()] = '\0';
  return url_decode(out, static_cast<int>(value.size())) > 0;
}

// Names the lookup answers from the request at all: what cannot be a
// field name, and what the engine and the runner keep for themselves.
bool field_name_ok(std::string_view name) {
  if (name.empty() || name.size() >= kFieldCapacity) return false;
  if (name == "script" || name == "script_error" || name == "redirect") return false;
  for (char ch : name) {
    auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c == 0x7F || c == '=' || c == '&' || c == '?' || c == ':') return false;
  }
  return true;
}

std::string_view stored(const char* name, const char* value) {
  const char* kept = script_set_var(name, value);
  return kept ? std::string_view(kept) : std::string_view();
}

std::string_view decimal(const char* name, long long value) {
  char text[24];
  std::snprintf(text, sizeof text, "%lld", value);
  return stored(name, text);
}

std::string_view lookup_field(std::string_view name, const char* cname) {
  if (!field_name_ok(name) || miss_known(name)) return {};
  std::string_view request = web_request_text();
  char value[kFieldCapacity];
  std::string_view found;
  if (find_field(request_body(request), name, true, "&", &found) && decode_field(found, value))
    return stored(cname, value);
  // Only the query: a "&" inside the path starts no parameter.
  std::string_view url = request_url(request);
  std::string_view query = url.substr(std::min(url.find('?'), url.size()));
  if (find_field(query, name, false, "?&", &found) && decode_field(found, value))
    return stored(cname, value);
  std::size_t at = body_offset(request);
  std::string_view head = at == std::string_view::npos ? request : request.substr(0, at);
  if (header_value(head, value, name) > 0 && value[0]) return stored(cname, value);
  miss_remember(name);
  return {};
}

const char* value_of(const char* (*fn)()) {
  const char* v = fn ? fn() : nullptr;
  return v ? v : "";
}

std::string_view extension_of(const char* path) {
  std::string_view p(path);
  std::size_t slash = p.rfind('/');
  std::string_view leaf = slash == std::string_view::npos ? p : p.substr(slash + 1);
  std::size_t dot = leaf.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : leaf.substr(dot);
}

bool equal_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    if (x != b[i]) return false;
  }
  return true;
}

std::string session_ip(const char* folder) {
  std::string path = std::string(folder) + "/session";
  std::string text;
  if (request_file_read(path.c_str(), text, kSessionMax) < 0) return {};
  ProfileList keys = profile_parse(text);
  const std::string* ip = keys.find("request_ip");
  return ip ? *ip : std::string();
}

// Writes the body as the page's numbered file and answers with it; the head
// follows from the page's extension.
void answer_body(const char* folder, const char* answer, const char* file_path, std::string_view body) {
  std::string ext(extension_of(file_path));
  if (ext.empty() || ext.size() > 8) ext = ".htm";
  char page[kRequestFolderPathMax + 16];
  if (request_file_free_name(folder, 200, ext.c_str(), page) < 0) return;
  if (body.empty()) {
    request_file_delete(page);
  } else if (request_file_write(page, body) != 0) {
    return;
  }
  answer_file(answer, page);
}

constexpr int kNoStore = -2;

// Prepares the store and runs the page; the output length, -1 when the page
// did not run (the store's "script_error" says why, if anything), kNoStore
// when there is no store.
int run_in_store(const char* folder, const char* url_path, const char* file_path, std::span<char> output) {
  if (script_store_create(kScriptPageStore) != 0) return kNoStore;
  std::string ip = session_ip(folder);
  // Each preset stops the page under the store-full rule when it does not
  // fit; the rest are then not tried.
  if (!script_set_var("system_conf", "/conf/system.inf") || !script_set_var("config_inf", "/user/config.inf") ||
      !script_set_var("request_ip", ip.c_str()) || !script_set_var("url", url_path ? url_path : ""))
    return -1;
  std::string text;
  if (file_read_all(file_path, text, kScriptPageStore) < 0) {
    // Larger than the store, or gone since it was mapped: the first is the
    // store-full case, the second has nothing to show.
    if (file_size(file_path) > kScriptPageStore) {
      script_store_create(kScriptPageStore);
      script_set_var("script_error", kStoreFull);
    }
    return -1;
  }
  const char* page = script_add_text(text);
  if (!page || script_stopped()) return -1;
  int mode = equal_nocase(extension_of(file_path), ".ts") ? SCRIPT_FILE : SCRIPT_PAGE;
  return script_run(output, file_path, page, mode);
}

}  // namespace

void page_set_process_values(const PageProcessValues* values) { g_values = values; }

std::string_view request_lookup(const char* cname) {
  if (!g_page_running || !cname) return {};
  std::string_view name(cname);
  if (name == "os") return value_of(g_values ? g_values->os : nullptr);
  if (name == "language") return value_of(g_values ? g_values->language : nullptr);
  if (name == "port") return decimal(cname, g_values && g_values->port ? g_values->port() : 0);
  std::string_view request = web_request_text();
  if (name == "request") return request;
  if (name == "request_body") return request_body(request);
  if (name == "request_bodysize") {
    std::size_t at = body_offset(request);
    return decimal(cname, static_cast<long long>(at == std::string_view::npos ? request.size() : request.size() - at));
  }
  return lookup_field(name, cname);
}

void run_page(const char* folder, const char* url_path, const char* file_path) {
  if (!folder || !file_path) return;
  std::string answer = std::string(folder) + "/answer";
  misses_clear();
  g_page_running = true;
  std::unique_ptr<char[]> output(new (std::nothrow) char[kScriptPageOutput]);
  int length = kNoStore;
  if (output) {
    output[0] = '\0';
    length = run_in_store(folder, url_path, file_path, std::span<char>(output.get(), kScriptPageOutput));
  }
  // Read back from the store only: the lookup never answers these two.
  std::string redirect = script_get_var("redirect");
  std::string error = script_get_var("script_error");
  g_page_running = false;
  script_store_release();

  if (!redirect.empty()) {
    if (answer_redirect(answer.c_str(), redirect.c_str()) == 0) return;
    // A target the writer refuses (a line break, too long) would leave the
    // client without any answer.
    error = kRedirectRefused;
  }
  if (!error.empty()) {
    answer_body(folder, answer.c_str(), file_path, error);
    return;
  }
  if (length < 0) {
    answer_body(folder, answer.c_str(), file_path, length == kNoStore ? kPageStoreUnavailable : "");
    return;
  }
  answer_body(folder, answer.c_str(), file_path, std::string_view(output.get(), static_cast<std::size_t>(length)));
}
