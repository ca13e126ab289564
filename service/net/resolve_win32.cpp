// The system side of name resolution on Windows.
#include <windows.h>
// After windows.h: it needs its types.
#include <ntsecapi.h>

#include <string>

#include "service/core/win32_text.h"
#include "service/net/resolve.h"

const char* dns_system_hosts_path() {
  // Windows may live on another drive or in another folder than C:\Windows.
  static const std::string path = [] {
    wchar_t folder[MAX_PATH];
    UINT n = GetSystemDirectoryW(folder, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return std::string("C:/Windows/System32/drivers/etc/hosts");
    std::string utf8 = wide_to_utf8(std::wstring(folder, n));
    for (char& c : utf8) {
      if (c == '\\') c = '/';
    }
    return utf8 + "/drivers/etc/hosts";
  }();
  return path.c_str();
}

int dns_random_bytes(std::span<uint8_t> out) {
  // RtlGenRandom takes a ULONG length; ask in slices.
  size_t done = 0;
  while (done < out.size()) {
    ULONG n = static_cast<ULONG>(out.size() - done > 65536 ? 65536 : out.size() - done);
    if (!RtlGenRandom(out.data() + done, n)) return -1;
    done += n;
  }
  return 0;
}
