#include "service/web/web_request.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "service/core/file_util.h"
#include "service/core/profile.h"
#include "service/core/text.h"
#include "service/web/request_folder.h"
#include "service/web/web_gate.h"

namespace {

// Longest URL (before decoding) and decoded path the processor accepts.
constexpr size_t kUrlMax = 127;
constexpr int kDecodedPathMax = 120;
constexpr int kRangeHeaderCapacity = 128;
constexpr size_t kLocationMax = 2047;
constexpr int kMimeLoadedMax = 1024;
constexpr int64_t kMimeFileMax = 1 << 20;

PageRunner g_runner = nullptr;
const char* (*g_language)() = nullptr;
const char* (*g_script_name)() = nullptr;
int g_port = 0;

std::string g_request;

// Searched in this order; the last row answers every other extension.
const MimeType kBuiltinMime[] = {
    {"css", "cssfile", "text/css"},
    {"txt", "textfile", "text/plain"},
    {"htm", "textfile", "text/html"},
    {"html", "textfile", "text/html"},
    {"js", "textfile", "application/javascript"},
    {"ts", "textfile", "text/html"},
    {"json", "textfile", "application/json"},
    {"png", "octetfile", "image/png"},
    {"jpg", "octetfile", "image/jpg"},
    {"gif", "octetfile", "image/gif"},
    {"svg", "octetfile", "image/svg+xml"},
    {"class", "octetfile", "application/java-class"},
    {"jar", "octetfile", "application/java-archive"},
    {"apk", "octetfile", "application/vnd.android.package-archive"},
    {"", "octetfile", "application/octet-stream"},
};
constexpr size_t kBuiltinMimeCount = sizeof kBuiltinMime / sizeof kBuiltinMime[0];

bool g_mime_loaded = false;
std::vector<MimeType> g_mime;

constexpr const char* kHeadText =
    "HTTP/1.1 200 OK\r\nContent-Type: %s; charset=utf-8\r\nContent-Length: %lld\r\n"
    "Cache-Control: no-cache, max-age=0\r\nPragma: no-cache\r\nConnection: Keep-Alive\r\n"
    "Access-Control-Allow-Origin: *\r\nAccess-Control-Allow-Methods: GET, POST\r\n"
    "Access-Control-Allow-Headers: Content-Type\r\n\r\n";
constexpr const char* kHeadCss =
    "HTTP/1.1 200 OK\r\nContent-Type: %s; charset=utf-8\r\nContent-Length: %lld\r\n"
    "Connection: Keep-Alive\r\nCache-Control:max-age=600\r\n\r\n";
constexpr const char* kHeadOctet =
    "HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %lld\r\nAccept-Ranges: bytes\r\n"
    "Connection: Keep-Alive\r\nCache-Control:max-age=600\r\n\r\n";
constexpr const char* kHead404 =
    "HTTP/1.1 404 Not Found\r\nContent-Type: %s; charset=utf-8\r\nContent-Length: %lld\r\n"
    "Cache-Control: no-cache\r\nPragma: no-cache\r\nConnection: Keep-Alive\r\n\r\n";
constexpr const char* kHeadRange =
    "HTTP/1.1 206 Partial Content\r\nContent-Type: %s\r\nContent-Length: %lld\r\nAccept-Ranges: bytes\r\n"
    "Content-Range: bytes %lld-%lld/%lld\r\nConnection: Keep-Alive\r\nCache-Control:max-age=600\r\n\r\n";
constexpr const char* kHeadUnsatisfiable =
    "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */%lld\r\nContent-Length: 0\r\n"
    "Connection: Keep-Alive\r\n\r\n";
constexpr const char* kHeadRedirect =
    "HTTP/1.1 302 Found\r\nLocation: %s\r\nContent-Length: 0\r\nConnection: Keep-Alive\r\n\r\n";
constexpr const char* kHeadForbidden =
    "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: %lld\r\n"
    "Cache-Control: no-cache\r\nConnection: Keep-Alive\r\n\r\n";
constexpr const char* kHeadUnauthorized =
    "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"kelvane\", charset=\"UTF-8\"\r\n"
    "Content-Type: text/plain; charset=utf-8\r\nContent-Length: %lld\r\n"
    "Cache-Control: no-cache\r\nConnection: Keep-Alive\r\n\r\n";

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

std::string_view last_element(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Text after the last "." of the last path element ("" without one).
std::string_view extension_of(std::string_view path) {
  std::string_view leaf = last_element(path);
  size_t dot = leaf.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : leaf.substr(dot + 1);
}

// The name is compared without regard to case: on Windows "X.HTM" is the
// same file as "x.htm" and must not be sent as raw script source.
bool is_script_extension(std::string_view ext) {
  return equal_nocase(ext, "htm") || equal_nocase(ext, "css") || equal_nocase(ext, "js") || equal_nocase(ext, "ts");
}

// Windows opens these as devices in every folder, whatever the extension.
bool is_device_name(std::string_view element) {
  std::string_view base = element.substr(0, element.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  static const char* const kNames[] = {"con", "prn", "aux", "nul", "conin$", "conout$", "clock$"};
  for (const char* name : kNames) {
    if (equal_nocase(base, name)) return true;
  }
  if (base.size() == 4 && (equal_nocase(base.substr(0, 3), "com") || equal_nocase(base.substr(0, 3), "lpt")))
    return base[3] >= '0' && base[3] <= '9';
  return false;
}

// A mapped path stays below the program folder: relative, no "..", no
// drive or stream (":"), no backslash, no control bytes, and no element that
// Windows would silently change (trailing dot or blank) or open as a device.
bool path_contained(std::string_view path) {
  if (path.empty() || path[0] == '/') return false;
  for (char ch : path) {
    auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F || c == '\\' || c == ':') return false;
  }
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    size_t end = slash == std::string_view::npos ? path.size() : slash;
    std::string_view element = path.substr(pos, end - pos);
    if (!element.empty() && element != ".") {
      if (element.back() == '.' || element.back() == ' ') return false;
      if (is_device_name(element)) return false;
    }
    if (slash == std::string_view::npos) break;
    pos = slash + 1;
  }
  return true;
}

// memcpy of an empty view may be handed a null pointer, which it must not.
char* put_bytes(char* to, std::string_view from) {
  if (!from.empty()) std::memcpy(to, from.data(), from.size());
  return to + from.size();
}

bool language_name_ok(std::string_view name) {
  if (name.empty() || name.size() > 16) return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

// "dir/name/leaf" from "dir/leaf"; false when it does not fit.
bool insert_folder(std::string_view path, std::string_view name, std::span<char> out) {
  size_t slash = path.rfind('/');
  std::string_view dir = slash == std::string_view::npos ? std::string_view() : path.substr(0, slash + 1);
  std::string_view leaf = slash == std::string_view::npos ? path : path.substr(slash + 1);
  size_t need = dir.size() + name.size() + 1 + leaf.size();
  if (need + 1 > out.size()) return false;
  char* p = put_bytes(out.data(), dir);
  p = put_bytes(p, name);
  *p++ = '/';
  p = put_bytes(p, leaf);
  *p = '\0';
  return true;
}

bool copy_path(std::span<char> out, std::string_view a, std::string_view b = {}) {
  if (a.size() + b.size() + 1 > out.size()) return false;
  *put_bytes(put_bytes(out.data(), a), b) = '\0';
  return true;
}

std::string_view current_script() {
  const char* script = g_script_name ? g_script_name() : nullptr;
  return script ? script : "";
}

const char* current_language() {
  const char* lang = g_language ? g_language() : nullptr;
  return lang && lang[0] ? lang : "en";
}

// Folder of the answer file ("tmp/httpd_tmp_7/answer" gives "tmp/httpd_tmp_7").
bool answer_folder(const char* answer, std::span<char> out) {
  std::string_view a(answer ? answer : "");
  size_t slash = a.rfind('/');
  if (slash == std::string_view::npos || slash == 0) return false;
  return copy_path(out, a.substr(0, slash));
}

// The answer list is line- and ";"-separated: a file path that holds either
// would be read back as other files.
bool answer_path_ok(std::string_view path) {
  if (path.empty()) return false;
  for (char ch : path) {
    auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F || c == ';') return false;
  }
  return true;
}

// Writes a head (formatted in full) as the next numbered file and the
// answer list naming it followed by the body lines.
int write_answer(const char* answer, std::string_view head, std::string_view body_lines) {
  char folder[kRequestFolderPathMax + 1];
  char head_path[kRequestFolderPathMax + 16];
  if (!answer_folder(answer, folder)) return -1;
  if (request_file_free_name(folder, 100, "", head_path) < 0) return -1;
  if (request_file_write(head_path, head) != 0) return -1;
  std::string list(head_path);
  list += '\n';
  list += body_lines;
  return request_file_write(answer, list);
}

std::string format_head(const char* format, const char* type, long long length) {
  char head[1024];
  int n = std::snprintf(head, sizeof head, format, type, length);
  if (n <= 0 || n >= static_cast<int>(sizeof head)) return {};
  return std::string(head, static_cast<size_t>(n));
}

// 206 for [first, last) of a file of size bytes; 416 when nothing of the
// file lies in the range.
int write_range_answer(const char* answer, const char* file, int64_t first, int64_t last, int64_t size) {
  if (!answer_path_ok(file)) return -1;
  char head[1024];
  int n;
  if (first >= size) {
    n = std::snprintf(head, sizeof head, kHeadUnsatisfiable, static_cast<long long>(size));
    if (n <= 0 || n >= static_cast<int>(sizeof head)) return -1;
    return write_answer(answer, std::string_view(head, static_cast<size_t>(n)), "");
  }
  const MimeType* mime = mime_lookup(extension_of(file));
  n = std::snprintf(head, sizeof head, kHeadRange, mime->type, static_cast<long long>(last - first),
                    static_cast<long long>(first), static_cast<long long>(last - 1), static_cast<long long>(size));
  if (n <= 0 || n >= static_cast<int>(sizeof head)) return -1;
  char line[kMaxPath + 64];
  int m = std::snprintf(line, sizeof line, "%s;%lld;%lld\n", file, static_cast<long long>(first),
                        static_cast<long long>(last));
  if (m <= 0 || m >= static_cast<int>(sizeof line)) return -1;
  return write_answer(answer, std::string_view(head, static_cast<size_t>(n)), line);
}

// Decimal digits at pos into value (saturating); the count of digits.
size_t read_digits(std::string_view text, size_t pos, int64_t* value) {
  size_t start = pos;
  int64_t v = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    if (v < (INT64_MAX - 9) / 10) v = v * 10 + (text[pos] - '0');
    ++pos;
  }
  *value = v;
  return pos - start;
}

// The location of a folder redirect, percent-encoded again: the decoded
// path may hold blanks, "%" or bytes a Location header cannot carry raw.
std::string encode_location(std::string_view path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  // "//x/" would read as another host to a browser; "/%2Fx/" maps alike.
  if (path.starts_with("//")) {
    out = "/%2F";
    path.remove_prefix(2);
  }
  for (char ch : path) {
    auto c = static_cast<unsigned char>(ch);
    bool plain = c > 0x20 && c < 0x7F && c != '%' && c != '"' && c != '<' && c != '>' && c != '\\' && c != '^' &&
                 c != '`' && c != '{' && c != '|' && c != '}';
    if (plain) {
      out += ch;
      continue;
    }
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

// Head of the request: up to and including its first empty line.
std::string_view request_head(std::string_view request) {
  size_t pos = 0;
  while (pos < request.size()) {
    size_t nl = request.find('\n', pos);
    if (nl == std::string_view::npos) return request;
    std::string_view line = request.substr(pos, nl - pos);
    if (pos > 0 && (line.empty() || line == "\r")) return request.substr(0, nl + 1);
    pos = nl + 1;
  }
  return request;
}

void answer_not_found(const char* answer) {
  char file[kMaxPath + 1];
  if (map_web_path("/404.htm", file) < 0) return;
  answer_file(answer, file);
}

void run_script_page(const char* folder, const char* answer, const char* url_path, const char* file) {
  if (!g_runner) {
    // Without the engine the page cannot be produced; its source must not
    // be sent in its place.
    answer_not_found(answer);
    return;
  }
  g_runner(folder, url_path, file);
}

}  // namespace

std::string_view web_request_text() { return g_request; }

void web_set_page_runner(PageRunner runner) { g_runner = runner; }
void web_set_language_hook(const char* (*language)()) { g_language = language; }
void web_set_script_name_hook(const char* (*script_name)()) { g_script_name = script_name; }
void web_set_port(int port) { g_port = port; }

void web_request_reset() {
  g_mime_loaded = false;
  g_mime.clear();
  g_request.clear();
}

int url_decode(char* text, int length) {
  if (!text || length <= 0) return 0;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    if (c == 'z') return 35;
    return -1;
  };
  int out = 0;
  for (int i = 0; i < length; ++i) {
    char c = text[i];
    if (c == '+') {
      text[out++] = ' ';
      continue;
    }
    if (c != '%') {
      text[out++] = c;
      continue;
    }
    if (i + 2 >= length) return 0;
    int hi = digit(text[i + 1]);
    int lo = digit(text[i + 2]);
    if (hi < 0 || lo < 0) return 0;
    text[out++] = static_cast<char>((hi * 16 + lo) & 0xFF);
    i += 2;
  }
  text[out] = '\0';
  return out;
}

namespace {

// localise_path giving the kind of what it found (0 for nothing).
int localise_kind(std::span<char> buffer, std::string_view name) {
  if (buffer.empty() || !language_name_ok(name)) return 0;
  std::string_view path(buffer.data());
  char candidate[kMaxPath + 1];
  int kind = insert_folder(path, name, candidate) ? path_kind(candidate) : 0;
  if (kind) return copy_path(buffer, candidate) ? kind : 0;
  if (name.size() < 4) return 0;
  std::string_view shorter = name.substr(0, 4);
  shorter = shorter.substr(0, shorter.find('-'));
  if (shorter.empty()) return 0;
  kind = insert_folder(path, shorter, candidate) ? path_kind(candidate) : 0;
  if (kind) return copy_path(buffer, candidate) ? kind : 0;
  return 0;
}

}  // namespace

bool localise_path(std::span<char> buffer, std::string_view name) { return localise_kind(buffer, name) != 0; }

namespace {

// kind (when given) receives what the probes found there: 0 nothing, 1 a
// folder, 2 a file; -1 when it was not looked at.
int map_path(std::string_view path, std::string_view script, std::span<char> out, int* kind = nullptr) {
  if (kind) *kind = -1;
  if (out.empty()) return -1;
  out[0] = '\0';
  if (path.find('\0') != std::string_view::npos) return -1;
  std::string_view result_head, result_tail;
  bool probe = true;
  if (path.starts_with("//")) {
    result_tail = path.substr(2);
    probe = false;
  } else if (path == "/appinfo.inf" || path == "/start.png") {
    result_tail = path.substr(1);
    probe = false;
  } else if (path.starts_with("/")) {
    static const char* const kRoots[] = {"/var", "/tmp", "/data", "/user"};
    for (const char* root : kRoots) {
      std::string_view r(root);
      if (path == r || (path.starts_with(r) && path[r.size()] == '/')) {
        result_tail = path.substr(1);
        probe = false;
        break;
      }
    }
    if (probe) {
      result_head = "www";
      result_tail = path;
    }
  } else {
    size_t slash = script.rfind('/');
    result_head = slash == std::string_view::npos ? std::string_view() : script.substr(0, slash + 1);
    result_tail = path;
    // A relative path must not climb out of the script's folder either.
    if (!path_contained(result_tail)) return -1;
  }
  char mapped[kMaxPath + 1];
  if (!copy_path(mapped, result_head, result_tail)) return -1;
  if (!path_contained(mapped)) return -1;
  if (probe) {
    char trial[kMaxPath + 1];
    const char* lang = current_language();
    const char* const kProbes[] = {lang, "en", nullptr, "js", "css"};
    int found_kind = 0;
    for (int i = 0; i < 5 && !found_kind; ++i) {
      copy_path(trial, mapped);
      if (!kProbes[i]) {
        found_kind = path_kind(trial);
      } else {
        if (i == 1 && std::strcmp(lang, "en") == 0) continue;
        found_kind = localise_kind(trial, kProbes[i]);
      }
      if (found_kind) copy_path(mapped, trial);
    }
    if (kind) *kind = found_kind;
  }
  size_t len = std::strlen(mapped);
  if (!copy_path(out, mapped)) return -1;
  return static_cast<int>(len);
}

}  // namespace

int map_script_path(const char* path, const char* script, std::span<char> out) {
  if (!path) return -1;
  return map_path(path, script ? script : "", out);
}

int map_web_path(std::string_view path, std::span<char> out) { return map_path(path, current_script(), out); }

void mime_table_load() {
  g_mime.clear();
  g_mime_loaded = true;
  char path[kMaxPath + 1];
  if (map_web_path("/mime.txt", path) < 0 || path_kind(path) != 2) return;
  int size = profile_section_size(path, nullptr);
  if (size <= 0 || size > kMimeFileMax) return;
  std::vector<char> text(static_cast<size_t>(size) + 2);
  int length = profile_section_text(path, nullptr, text);
  if (length <= 0 || length >= static_cast<int>(text.size())) return;
  std::string_view all(text.data(), static_cast<size_t>(length));
  size_t pos = 0;
  while (pos < all.size() && static_cast<int>(g_mime.size()) < kMimeLoadedMax) {
    size_t nl = all.find('\n', pos);
    std::string_view line = all.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
    pos = nl == std::string_view::npos ? all.size() : nl + 1;
    size_t c1 = line.find(':');
    if (c1 == std::string_view::npos) continue;
    size_t c2 = line.find(':', c1 + 1);
    if (c2 == std::string_view::npos) continue;
    std::string_view ext = trim_view(line.substr(0, c1));
    std::string_view kind = trim_view(line.substr(c1 + 1, c2 - c1 - 1));
    std::string_view type = trim_view(line.substr(c2 + 1));
    // Rows whose fields do not fit are skipped rather than cut: a cut MIME
    // type would be a different type.
    if (ext.empty() || kind.empty() || type.empty()) continue;
    if (ext.size() > 7 || kind.size() > 15 || type.size() > 127) continue;
    if (!answer_path_ok(type)) continue;
    MimeType row{};
    copy_cut(row.extension, ext);
    copy_cut(row.kind, kind);
    copy_cut(row.type, type);
    g_mime.push_back(row);
  }
}

const MimeType* mime_lookup(std::string_view extension) {
  for (const MimeType& row : g_mime) {
    if (std::strcmp(row.extension, "*") == 0 || equal_nocase(row.extension, extension)) return &row;
  }
  for (size_t i = 0; i + 1 < kBuiltinMimeCount; ++i) {
    if (equal_nocase(kBuiltinMime[i].extension, extension)) return &kBuiltinMime[i];
  }
  return &kBuiltinMime[kBuiltinMimeCount - 1];
}

int answer_file(const char* answer, const char* file) {
  if (!file || !answer_path_ok(file)) return -1;
  int64_t size = request_file_size(file);
  bool present = size >= 0;
  if (!present) size = 0;
  std::string head;
  if (last_element(file) == "404.htm") {
    head = format_head(kHead404, "text/html", size);
  } else {
    const MimeType* mime = mime_lookup(extension_of(file));
    const char* format = kHeadOctet;
    if (std::strcmp(mime->kind, "textfile") == 0) format = kHeadText;
    if (std::strcmp(mime->kind, "cssfile") == 0) format = kHeadCss;
    head = format_head(format, mime->type, size);
  }
  if (head.empty()) return -1;
  // A missing body (no "404.htm") leaves the head alone rather than a part
  // that cannot be opened, which would close the connection.
  std::string body;
  if (present) {
    body = file;
    body += '\n';
  }
  return write_answer(answer, head, body);
}

int answer_range(const char* answer, const char* file, int64_t start, int64_t end) {
  if (!file) return -1;
  int64_t size = request_file_size(file);
  if (size < 0) size = 0;
  int64_t first, last;
  if (end < 0) {
    first = size + end > 0 ? size + end : 0;
    last = size;
  } else {
    last = end != 0 && end + 1 <= size ? end + 1 : size;
    first = start < size ? start : size;
    if (first < 0) first = 0;
  }
  if (last < first) last = first;
  return write_range_answer(answer, file, first, last, size);
}

int answer_redirect(const char* answer, const char* location) {
  if (!location) return -1;
  std::string_view loc(location);
  // A location with a line break would let the request (a "redirect"
  // parameter reaches pages) add its own header lines.
  if (loc.empty() || loc.size() > kLocationMax) return -1;
  for (char ch : loc) {
    auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) return -1;
  }
  char head[kLocationMax + 128];
  int n = std::snprintf(head, sizeof head, kHeadRedirect, location);
  if (n <= 0 || n >= static_cast<int>(sizeof head)) return -1;
  return write_answer(answer, std::string_view(head, static_cast<size_t>(n)), "");
}

int answer_refusal(const char* answer, int status) {
  const char* text = status == kGateUnauthorized ? "Unauthorized\n" : "Forbidden\n";
  const char* format = status == kGateUnauthorized ? kHeadUnauthorized : kHeadForbidden;
  char folder[kRequestFolderPathMax + 1];
  char body_path[kRequestFolderPathMax + 16];
  if (!answer_folder(answer, folder)) return -1;
  if (request_file_free_name(folder, 200, ".txt", body_path) < 0) return -1;
  if (request_file_write(body_path, text) != 0) return -1;
  char head[512];
  int n = std::snprintf(head, sizeof head, format, static_cast<long long>(std::strlen(text)));
  if (n <= 0 || n >= static_cast<int>(sizeof head)) return -1;
  std::string body(body_path);
  body += '\n';
  return write_answer(answer, std::string_view(head, static_cast<size_t>(n)), body);
}

int parse_range(std::string_view value, ByteRange* range) {
  *range = ByteRange{};
  size_t eq = value.find('=');
  if (eq == std::string_view::npos) return -1;
  size_t pos = eq + 1;
  int64_t number = 0;
  if (pos < value.size() && value[pos] == '-') {
    if (read_digits(value, pos + 1, &number) == 0) return -1;
    range->suffix = number;
    return 0;
  }
  size_t digits = read_digits(value, pos, &number);
  if (digits == 0) return -1;
  range->start = number;
  pos += digits;
  if (pos < value.size() && value[pos] == '-' && read_digits(value, pos + 1, &number) > 0) range->last = number;
  return 0;
}

void range_bounds(const ByteRange& range, int64_t size, int64_t* first, int64_t* last) {
  if (range.suffix >= 0) {
    *first = size > range.suffix ? size - range.suffix : 0;
    *last = size;
    return;
  }
  *first = range.start < size ? range.start : size;
  // An explicit last byte counts even when it is 0: "bytes=0-0" asks for
  // one byte, not for the whole file.
  *last = range.last >= 0 && range.last < size ? range.last + 1 : size;
  if (*last < *first) *last = *first;
}

void process_request(const char* folder) {
  if (!g_mime_loaded) mime_table_load();
  char answer[kRequestFolderPathMax + 16];
  char request_path[kRequestFolderPathMax + 16];
  std::snprintf(answer, sizeof answer, "%s/answer", folder);
  std::snprintf(request_path, sizeof request_path, "%s/request", folder);
  g_request.clear();
  if (request_file_read(request_path, g_request, 1 << 24) < 0) g_request.clear();
  struct Release {
    ~Release() { g_request.clear(); }
  } release;

  std::string_view request(g_request);
  std::string_view head = request_head(request);
  std::string_view line = head.substr(0, head.find('\n'));
  size_t sp1 = line.find(' ');
  if (sp1 == std::string_view::npos) return;
  size_t sp2 = line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos) return;
  std::string_view url = line.substr(sp1 + 1, sp2 - sp1 - 1);
  url = url.substr(0, url.find('?'));
  if (url.size() > kUrlMax) return;

  char path[kDecodedPathMax + 16];
  *put_bytes(path, url) = '\0';
  int length = url_decode(path, static_cast<int>(url.size()));
  if (length <= 0 || length > kDecodedPathMax || path[0] != '/') return;
  if (path[length - 1] == '/') {
    std::memcpy(path + length, "main.htm", 9);
    length += 8;
  }
  std::string_view url_path(path, static_cast<size_t>(length));

  char file[kMaxPath + 1];
  int kind = -1;
  if (map_path(url_path, current_script(), file, &kind) < 0) return;
  bool outside_web = std::strncmp(file, "www/", 4) != 0;
  if (outside_web) {
    int refused = gate_check_same_origin(request, g_port);
    if (refused) {
      answer_refusal(answer, refused);
      return;
    }
  }

  std::string location;
  if (kind < 0) kind = path_kind(file);
  if (kind == 1) {
    location = encode_location(url_path);
    location += '/';
  } else if (kind == 2) {
    char value[kRangeHeaderCapacity];
    ByteRange range;
    if (header_value(head, value, "Range") > 0 && parse_range(value, &range) == 0) {
      int64_t size = request_file_size(file);
      if (size < 0) size = 0;
      int64_t first = 0, last = 0;
      range_bounds(range, size, &first, &last);
      write_range_answer(answer, file, first, last, size);
      return;
    }
  } else {
    std::memcpy(path, "/404.htm", 9);
    url_path = std::string_view(path, 8);
    if (map_web_path(url_path, file) < 0) return;
  }

  if (!location.empty()) {
    answer_redirect(answer, location.c_str());
    return;
  }
  bool plain = url_path == "/404.htm" || url_path.starts_with("/lib/") || !is_script_extension(extension_of(file));
  if (plain) {
    answer_file(answer, file);
    return;
  }
  int refused = gate_check_same_origin(request, g_port);
  if (refused) {
    answer_refusal(answer, refused);
    return;
  }
  run_script_page(folder, answer, path, file);
}
