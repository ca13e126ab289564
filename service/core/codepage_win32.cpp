// The system's OEM code page, as the console and older tools that wrote
// these files used it.
#include <windows.h>

#include <climits>

#include "service/core/profile.h"

std::string oem_to_utf8(std::string_view text) {
  if (text.empty() || text.size() > INT_MAX / 4) return {};
  int in_len = static_cast<int>(text.size());
  int wide_len = MultiByteToWideChar(CP_OEMCP, 0, text.data(), in_len, nullptr, 0);
  if (wide_len <= 0) return {};
  std::wstring wide(static_cast<size_t>(wide_len), L'\0');
  MultiByteToWideChar(CP_OEMCP, 0, text.data(), in_len, wide.data(), wide_len);
  int out_len = WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_len, nullptr, 0, nullptr, nullptr);
  if (out_len <= 0) return {};
  std::string out(static_cast<size_t>(out_len), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_len, out.data(), out_len, nullptr, nullptr);
  return out;
}
