#include "service/core/text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Number of bytes of the form that lead byte c starts, 0 for a byte that
// cannot start one.
int utf8_form_length(unsigned char c) {
  if (c < 0x80) return 1;
  if (c < 0xC0) return 0;
  if (c < 0xE0) return 2;
  if (c < 0xF0) return 3;
  if (c < 0xF8) return 4;
  if (c < 0xFC) return 5;
  if (c < 0xFE) return 6;
  return 0;
}

// Bits of the lead byte that belong to the code point, per form length.
constexpr uint32_t kLeadMask[7] = {0, 0x7F, 0x1F, 0x0F, 0x07, 0x03, 0x01};

}  // namespace

int32_t parse_int(const char* text) {
  if (!text) return 0;
  // Unsigned arithmetic: the wrap is the documented behaviour, not UB.
  uint32_t value = 0;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    for (const char* p = text + 2; hex_digit(*p) >= 0; ++p) value = value * 16 + hex_digit(*p);
    return static_cast<int32_t>(value);
  }
  const char* p = text;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  for (; is_digit(*p); ++p) value = value * 10 + static_cast<uint32_t>(*p - '0');
  return static_cast<int32_t>(negative ? 0u - value : value);
}

float parse_float(const char* text) {
  if (!text) return 0;
  const char* p = text;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  const char* start = p;
  bool nonzero_integer = false;
  for (; is_digit(*p); ++p) nonzero_integer |= *p != '0';
  if (*p == '.') {
    ++p;
    while (is_digit(*p)) ++p;
  }
  float value = 0;
  // from_chars is locale-independent and rounds correctly; the span is
  // already limited to the accepted grammar.
  auto [end, ec] = std::from_chars(start, p, value, std::chars_format::fixed);
  (void)end;
  if (ec == std::errc::result_out_of_range) value = nonzero_integer ? HUGE_VALF : 0.0f;
  else if (ec != std::errc()) value = 0;
  return negative ? -value : value;
}

int text_find_line(std::string_view text, std::string_view pattern) {
  if (pattern.empty()) return -1;
  size_t pos = 0;
  while (pos < text.size()) {
    if (text.compare(pos, pattern.size(), pattern) == 0) return static_cast<int>(pos + pattern.size());
    size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) break;
    pos = nl + 1;
  }
  return -1;
}

SplitList text_split(std::string_view text, char delimiter) {
  SplitList list;
  auto is_delimiter = [delimiter](char c) { return c == delimiter || (delimiter == ' ' && c == '\t'); };
  size_t pos = 0;
  for (;;) {
    // With a white-space delimiter this skip also swallows delimiter runs.
    while (pos < text.size() && is_space(text[pos])) ++pos;
    if (pos >= text.size()) break;
    size_t end = pos;
    while (end < text.size() && !is_delimiter(text[end])) ++end;
    list.items.emplace_back(trim_view(text.substr(pos, end - pos)));
    list.offsets.push_back(static_cast<int>(pos));
    if (end >= text.size()) break;
    pos = end + 1;
  }
  return list;
}

std::string_view trim_view(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && is_space(text[begin])) ++begin;
  while (end > begin && is_space(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

int text_trim(char* source, std::span<char> dest) {
  if (!source) {
    if (!dest.empty()) dest[0] = '\0';
    return 0;
  }
  size_t end = std::strlen(source);
  while (end > 0 && is_space(source[end - 1])) --end;
  source[end] = '\0';
  size_t begin = 0;
  while (begin < end && is_space(source[begin])) ++begin;
  if (dest.empty()) return 0;
  size_t n = std::min(end - begin, dest.size() - 1);
  // dest may overlap the source.
  std::memmove(dest.data(), source + begin, n);
  dest[n] = '\0';
  return static_cast<int>(n);
}

int text_trim(char* text) {
  if (!text) return 0;
  return text_trim(text, std::span<char>(text, std::strlen(text) + 1));
}

int copy_cut(std::span<char> out, std::string_view text) {
  if (out.empty()) return 0;
  size_t n = std::min(text.size(), out.size() - 1);
  // An empty view may carry a null pointer, which memmove must not see.
  if (n) std::memmove(out.data(), text.data(), n);
  out[n] = '\0';
  return static_cast<int>(n);
}

int header_value(std::string_view text, std::span<char> out, std::string_view name) {
  if (!out.empty()) out[0] = '\0';
  // The text is C text to its callers: nothing after a NUL counts.
  text = text.substr(0, text.find('\0'));
  size_t nl = text.find('\n');
  while (nl != std::string_view::npos) {
    size_t line = nl + 1;
    nl = text.find('\n', line);
    if (text.compare(line, name.size(), name) != 0) continue;
    size_t p = line + name.size();
    if (p >= text.size() || text[p] != ':') continue;
    ++p;
    while (p < text.size() && (text[p] == ' ' || text[p] == '\t')) ++p;
    size_t end = p;
    while (end < text.size() && text[end] != '\r' && text[end] != '\n') ++end;
    size_t len = end - p;
    if (len + 1 > out.size()) return static_cast<int>(len + 1);
    return copy_cut(out, text.substr(p, len));
  }
  return 0;
}

uint32_t utf8_next(const char*& cursor, const char* end) {
  if (cursor >= end) return 0;
  auto lead = static_cast<unsigned char>(*cursor++);
  int length = utf8_form_length(lead);
  if (length == 0) return 0;
  uint32_t cp = lead & kLeadMask[length];
  for (int i = 1; i < length; ++i) {
    if (cursor >= end) return 0;
    auto c = static_cast<unsigned char>(*cursor++);
    if (!is_continuation(c)) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  return cp;
}

int utf8_put(std::span<char> out, uint32_t cp) {
  int length;
  if (cp < 0x80) length = 1;
  else if (cp < 0x800) length = 2;
  else if (cp < 0x10000) length = 3;
  else if (cp < 0x200000) length = 4;
  else if (cp < 0x4000000) length = 5;
  else if (cp < 0x80000000) length = 6;
  else return 0;
  if (out.size() < static_cast<size_t>(length)) return 0;
  if (length == 1) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  // Lead byte: length one bits, a zero, then the top bits of the value.
  auto lead_marker = static_cast<uint32_t>((0xFF00 >> length) & 0xFF);
  for (int i = length - 1; i > 0; --i) {
    out[i] = static_cast<char>(0x80 | (cp & 0x3F));
    cp >>= 6;
  }
  out[0] = static_cast<char>(lead_marker | cp);
  return length;
}

bool utf8_valid(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    int length = utf8_form_length(static_cast<unsigned char>(text[i]));
    if (length == 0 || text.size() - i < static_cast<size_t>(length)) return false;
    for (int k = 1; k < length; ++k) {
      if (!is_continuation(static_cast<unsigned char>(text[i + k]))) return false;
    }
    i += length;
  }
  return true;
}

int base64_encode(std::span<const uint8_t> data, std::span<char> out) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  size_t needed = 4 * ((data.size() + 2) / 3);
  if (out.size() < needed + 1 || needed > 0x7FFFFFFF) {
    if (!out.empty()) out[0] = '\0';
    return -1;
  }
  size_t o = 0;
  for (size_t i = 0; i < data.size(); i += 3) {
    size_t left = data.size() - i;
    uint32_t group = static_cast<uint32_t>(data[i]) << 16;
    if (left > 1) group |= static_cast<uint32_t>(data[i + 1]) << 8;
    if (left > 2) group |= data[i + 2];
    out[o++] = kAlphabet[(group >> 18) & 0x3F];
    out[o++] = kAlphabet[(group >> 12) & 0x3F];
    out[o++] = left > 1 ? kAlphabet[(group >> 6) & 0x3F] : '=';
    out[o++] = left > 2 ? kAlphabet[group & 0x3F] : '=';
  }
  out[o] = '\0';
  return static_cast<int>(o);
}

std::string base64_encode(std::string_view data) {
  std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
  auto bytes = std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  int n = base64_encode(bytes, std::span<char>(out));
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}

int append_format(std::string& out, const char* format, ...) {
  char buf[512];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (n < 0) return 0;
  if (static_cast<size_t>(n) < sizeof buf) {
    out.append(buf, static_cast<size_t>(n));
    return n;
  }
  std::string big(static_cast<size_t>(n) + 1, '\0');
  va_start(args, format);
  std::vsnprintf(big.data(), big.size(), format, args);
  va_end(args);
  out.append(big.data(), static_cast<size_t>(n));
  return n;
}
