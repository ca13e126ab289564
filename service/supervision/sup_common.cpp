#include "service/supervision/sup_common.h"

#include <cstdarg>
#include <cstdio>

#include "service/core/file_util.h"

namespace {

std::string g_marker_root = "/tmp";

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

}  // namespace

CivilTime civil_from_unix(int64_t t) {
  CivilTime c{};
  int64_t days = floor_div(t, 86400);
  int64_t rem = t - days * 86400;
  c.hour = static_cast<int>(rem / 3600);
  c.minute = static_cast<int>(rem % 3600 / 60);
  c.second = static_cast<int>(rem % 60);
  // 1970-01-01 was a Thursday.
  c.weekday = static_cast<int>(((days % 7) + 11) % 7);
  // Days to civil date, counting eras of 400 years from 0000-03-01.
  int64_t z = days + 719468;
  int64_t era = floor_div(z, 146097);
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  c.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  c.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  c.year = static_cast<int>(yoe + era * 400 + (c.month <= 2));
  return c;
}

void marker_root_set(const char* folder) { g_marker_root = folder ? folder : "/tmp"; }

std::string marker_path(const char* name) { return g_marker_root + "/" + name; }

void marker_create(const char* name) {
  FILE* f = file_open(marker_path(name).c_str(), "wb");
  if (!f) return;
  std::fputc('1', f);
  std::fclose(f);
}

bool marker_exists(const char* name) { return path_kind(marker_path(name).c_str()) == 2; }

void marker_delete(const char* name) { file_delete(marker_path(name).c_str()); }

std::string_view utf8_cut(std::string_view text, size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  size_t n = max_bytes;
  // Step back over continuation bytes to the start of the cut sequence.
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return text.substr(0, n);
}

void json_escape_append(std::string& out, std::string_view text) {
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += ch;
    }
  }
}

bool safe_name(std::string_view name, size_t max_bytes) {
  if (name.empty() || name.size() > max_bytes) return false;
  if (name.find("..") != std::string_view::npos) return false;
  for (char ch : name) {
    bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' ||
              ch == '-' || ch == '.';
    if (!ok) return false;
  }
  return true;
}

std::string log_path(const char* name, int device_index) {
  char path[128];
  if (device_index == 0) std::snprintf(path, sizeof path, "%s/%s.log", "user", name);
  else std::snprintf(path, sizeof path, "%s/%s_%d.log", "user", name, device_index);
  return path;
}
