#include "service/api/api_text.h"

#include <cstdarg>
#include <cstdio>

#include "service/core/text.h"

namespace {

// Length of the valid UTF-8 sequence at the start of text, 0 when the
// first byte starts none. Accepts the 1- to 6-byte forms the service's own
// validator accepts, so every text it passes stays as it is.
size_t utf8_sequence(std::string_view text) {
  auto lead = static_cast<unsigned char>(text[0]);
  size_t n;
  if (lead < 0x80) return 1;
  if (lead < 0xC0) return 0;
  if (lead < 0xE0) n = 2;
  else if (lead < 0xF0) n = 3;
  else if (lead < 0xF8) n = 4;
  else if (lead < 0xFC) n = 5;
  else if (lead < 0xFE) n = 6;
  else return 0;
  if (text.size() < n) return 0;
  for (size_t i = 1; i < n; ++i)
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) return 0;
  return n;
}

}  // namespace

void api_append_string(std::string& out, std::string_view text) {
  out += '"';
  while (!text.empty()) {
    auto c = static_cast<unsigned char>(text[0]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else if (c >= 0x80) {
      size_t n = utf8_sequence(text);
      if (n == 0) {
        out += "\xEF\xBF\xBD";
        n = 1;
      } else {
        out.append(text.substr(0, n));
      }
      text.remove_prefix(n);
      continue;
    } else {
      out += static_cast<char>(c);
    }
    text.remove_prefix(1);
  }
  out += '"';
}

bool api_value_storable(std::string_view value) {
  if (!utf8_valid(value)) return false;
  if (value.find_first_of("\r\n") != std::string_view::npos) return false;
  if (value.find("##") != std::string_view::npos) return false;
  return trim_view(value) == value;
}

bool api_language_code(std::string_view value, size_t max_bytes) {
  if (value.empty() || value.size() > max_bytes) return false;
  for (char c : value) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

int api_append_result(std::string& out, std::span<const char> buffer, int n) {
  if (n <= 0 || buffer.empty()) return 0;
  auto len = static_cast<size_t>(n);
  if (len >= buffer.size()) len = buffer.size() - 1;
  out.append(buffer.data(), len);
  return static_cast<int>(len);
}
