#include <string>

#include "service/core/text.h"
#include "service/core/win32_text.h"

std::wstring utf8_to_wide(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    uint32_t cp = utf8_next(p, end);
    uint32_t low = cp & 0xFFFF;
    if (low != 0) out.push_back(static_cast<wchar_t>(low));
  }
  return out;
}

std::string wide_to_utf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t w : text) {
    char buf[8];
    int n = utf8_put(buf, static_cast<uint32_t>(w) & 0xFFFF);
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

std::wstring path_to_wide(const char* path) {
  std::wstring w = utf8_to_wide(path ? path : "");
  for (wchar_t& c : w) {
    if (c == L'/') c = L'\\';
  }
  return w;
}
