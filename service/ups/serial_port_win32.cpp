// Serial ports on Windows: COM devices with a device control block, read
// time-outs that make every read return at once, and the SERIALCOMM list
// of the registry for discovery.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "service/core/clock.h"
#include "service/core/text.h"
#include "service/ups/serial_port.h"
#include "service/ups/ups_console.h"

namespace {

// An aborted operation is retried, but not for ever.
constexpr int kAbortRetries = 16;

HANDLE handle_of(sport_t h) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(h)); }

// Device path of a COM name as UTF-16; false when the name has no number.
bool device_path(const char* name, wchar_t (&path)[32]) {
  char narrow[32];
  if (sport_com_path(name, narrow) < 0) return false;
  for (size_t i = 0; i < sizeof narrow; ++i) {
    path[i] = static_cast<wchar_t>(static_cast<unsigned char>(narrow[i]));
    if (!narrow[i]) break;
  }
  return true;
}

HANDLE open_device(const char* name) {
  wchar_t path[32];
  if (!device_path(name, path)) return INVALID_HANDLE_VALUE;
  return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

bool configure(HANDLE h, int32_t baud) {
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) return false;
  dcb.BaudRate = static_cast<DWORD>(baud);
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  if (!SetCommState(h, &dcb)) return false;
  COMMTIMEOUTS t;
  t.ReadIntervalTimeout = MAXDWORD;
  t.ReadTotalTimeoutMultiplier = 0;
  t.ReadTotalTimeoutConstant = 0;
  t.WriteTotalTimeoutMultiplier = 0;
  t.WriteTotalTimeoutConstant = 0;
  if (!SetCommTimeouts(h, &t)) return false;
  PurgeComm(h, PURGE_TXCLEAR | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_RXABORT);
  return true;
}

// After an abort the driver refuses further I/O until the error is read.
void clear_abort(HANDLE h) {
  DWORD errors = 0;
  ClearCommError(h, &errors, nullptr);
}

std::string utf16_to_utf8(const wchar_t* text, int length) {
  if (length <= 0) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring utf8_to_utf16(const char* text) {
  int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), n);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

}  // namespace

sport_t sport_open(const char* name, int32_t baud) {
  if (!name) return -1;
  HANDLE h = open_device(name);
  if (h == INVALID_HANDLE_VALUE || h == nullptr) {
    ups_print("sport ( %s ) open ..... Failed\n", name);
    return -1;
  }
  ups_print("sport ( %s ) open ..... OK\n", name);
  if (!configure(h, baud)) {
    CloseHandle(h);
    return -1;
  }
  return static_cast<sport_t>(reinterpret_cast<intptr_t>(h));
}

int sport_close(sport_t handle) {
  if (!sport_valid(handle)) return 0;
  CloseHandle(handle_of(handle));
  return 0;
}

int sport_read(sport_t handle, uint8_t* buffer, int length) {
  if (!sport_valid(handle)) return -1;
  HANDLE h = handle_of(handle);
  int got = 0;
  int aborts = 0;
  while (got < length) {
    DWORD n = 0;
    if (!ReadFile(h, buffer + got, static_cast<DWORD>(length - got), &n, nullptr)) {
      if (GetLastError() == ERROR_OPERATION_ABORTED && ++aborts <= kAbortRetries) {
        clear_abort(h);
        continue;
      }
      return -1;
    }
    if (n == 0) break;
    got += static_cast<int>(n);
  }
  return got;
}

int sport_write(sport_t handle, const uint8_t* data, int length, int budget_ms) {
  if (length <= 0) return 0;
  if (!sport_valid(handle)) return -1;
  HANDLE h = handle_of(handle);
  uint32_t start = tick_ms();
  int sent = 0;
  int aborts = 0;
  while (sent < length) {
    DWORD n = 0;
    if (!WriteFile(h, data + sent, static_cast<DWORD>(length - sent), &n, nullptr)) {
      if (GetLastError() == ERROR_OPERATION_ABORTED && ++aborts <= kAbortRetries) {
        clear_abort(h);
        continue;
      }
      return -1;
    }
    sent += static_cast<int>(n);
    if (budget_ms == 0) return sent;
    if (budget_ms > 0 && tick_diff(tick_ms(), start) >= budget_ms) return sent;
    if (n == 0) sleep_ms(10);
  }
  return sent;
}

int sport_probe(const char* name) {
  if (!name) return -1;
  HANDLE h = open_device(name);
  if (h == INVALID_HANDLE_VALUE || h == nullptr) return -1;
  CloseHandle(h);
  return 0;
}

const char* sport_system_root() { return "HARDWARE\\DEVICEMAP\\SERIALCOMM"; }

int sport_list_system(std::span<PortName> out, const char* root) {
  if (!root) root = sport_system_root();
  std::wstring key_path = utf8_to_utf16(root);
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
  int count = 0;
  for (DWORD index = 0; count < static_cast<int>(out.size()); ++index) {
    // 256-byte buffers for name and data, as the registry list is read
    // everywhere else.
    wchar_t value_name[128];
    wchar_t data[129];
    DWORD name_len = 128;
    DWORD data_bytes = 256;
    DWORD type = 0;
    LONG rc = RegEnumValueW(key, index, value_name, &name_len, nullptr, &type,
                            reinterpret_cast<BYTE*>(data), &data_bytes);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
    int chars = static_cast<int>(data_bytes / sizeof(wchar_t));
    data[chars < 128 ? chars : 128] = L'\0';
    std::string text = utf16_to_utf8(data, static_cast<int>(wcslen(data)));
    if (text.size() < 3) continue;
    bool com = (text[0] == 'C' || text[0] == 'c') && (text[1] == 'O' || text[1] == 'o') &&
               (text[2] == 'M' || text[2] == 'm');
    if (!com) continue;
    int32_t number = parse_int(text.c_str() + 3);
    if (number <= 0) continue;
    std::snprintf(out[count].text, sizeof out[count].text, "COM%d", number);
    ++count;
  }
  RegCloseKey(key);
  return count;
}
