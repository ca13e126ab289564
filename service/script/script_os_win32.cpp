#include <windows.h>

#include <cstdlib>
#include <string>

#include "service/script/script_os.h"

namespace {

// UTF-8 to UTF-16; with as_path, "/" becomes "\\" for the file system.
std::wstring widen(const char* text, bool as_path) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text, -1, w.data(), n);
  w.resize(static_cast<std::size_t>(n - 1));
  if (as_path) {
    for (wchar_t& c : w) {
      if (c == L'/') c = L'\\';
    }
  }
  return w;
}

}  // namespace

int script_os_system(const char* command_line) {
  if (!command_line || !command_line[0]) return -1;
  const std::wstring w = widen(command_line, false);
  if (w.empty()) return -1;
  return _wsystem(w.c_str());
}

int64_t script_os_mtime(const char* path) {
  const std::wstring w = widen(path, true);
  if (w.empty()) return -1;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &data)) {
    const DWORD e = GetLastError();
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? -1 : -2;
  }
  ULARGE_INTEGER t;
  t.LowPart = data.ftLastWriteTime.dwLowDateTime;
  t.HighPart = data.ftLastWriteTime.dwHighDateTime;
  // 100-ns intervals since 1601-01-01 to seconds since 1970-01-01.
  constexpr uint64_t kEpochDiff = 11644473600ull;
  const uint64_t seconds = t.QuadPart / 10000000ull;
  if (seconds < kEpochDiff) return 0;
  return static_cast<int64_t>(seconds - kEpochDiff);
}
