// Small pieces shared by the alarm and record logs and the alarm texts:
// the clock threshold, little-endian fields, calendar break-down, the
// drive-root scratch folder of the time markers, and text cutting.
#pragma once
#include "service/core/text.h"
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

// Times after this second come from a set clock; earlier ones were taken
// while the clock was unset and get repaired or dropped later. The second
// itself counts as neither.
constexpr int64_t kClockValidAfter = 1583020800;  // 2020-03-01 00:00:00 UTC
inline bool time_valid(int64_t t) { return t > kClockValidAfter; }
inline bool time_unset(int64_t t) { return t < kClockValidAfter; }

inline uint16_t get_u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t get_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
inline int64_t get_i64(const uint8_t* p) {
  uint64_t lo = get_u32(p), hi = get_u32(p + 4);
  return static_cast<int64_t>(lo | (hi << 32));
}
inline void put_u16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put_u32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put_i64(uint8_t* p, int64_t v) {
  auto u = static_cast<uint64_t>(v);
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(u >> (8 * i));
}

// A Unix time broken down as UTC (proleptic Gregorian, any year).
struct CivilTime {
  int year, month, day;  // month 1..12, day 1..31
  int hour, minute, second;
  int weekday;  // 0 = Sunday
};
CivilTime civil_from_unix(int64_t t);

// Folder of the time markers and of the text-group override files. The
// service names them "/tmp/...": from the root of the current drive, which
// on Linux is the system's /tmp. Tests point it at a folder of their own.
void marker_root_set(const char* folder);  // nullptr restores "/tmp"
std::string marker_path(const char* name);
// Creates the marker with the content "1"; a missing folder is no error.
void marker_create(const char* name);
bool marker_exists(const char* name);
void marker_delete(const char* name);

// Cuts text to at most max_bytes without splitting a UTF-8 sequence.
std::string_view utf8_cut(std::string_view text, size_t max_bytes);
// Appends text as the inside of a JSON string: quotes, backslashes and
// control characters escaped, so a text from a resource file cannot break
// the document that carries it.
void json_escape_append(std::string& out, std::string_view text);
// A name that may become part of a file name: letters, digits, "_", "-"
// and "." without "..", 1 to max_bytes long.
bool safe_name(std::string_view name, size_t max_bytes);

// Fixed-length log files: paths and seeking beyond 2 GiB.
std::string log_path(const char* name, int device_index);
int file_seek(std::FILE* f, int64_t offset);
