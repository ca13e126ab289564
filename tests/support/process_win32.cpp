#include <windows.h>

#include <cstdio>

#include "service/core/win32_text.h"
#include "tests/support/process.h"

namespace kvtest {

int64_t real_ms() { return static_cast<int64_t>(GetTickCount64()); }

namespace {
HANDLE as_handle(int64_t h) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(h)); }

std::wstring quote(const std::string& arg) {
  std::wstring w = utf8_to_wide(arg);
  if (!w.empty() && w.find_first_of(L" \t\"") == std::wstring::npos) return w;
  std::wstring q = L"\"";
  for (wchar_t c : w) {
    if (c == L'"') q += L'\\';
    q += c;
  }
  return q + L"\"";
}

void read_available(ChildProcess& child) {
  for (;;) {
    DWORD avail = 0;
    if (!PeekNamedPipe(as_handle(child.out), nullptr, 0, nullptr, &avail, nullptr) || avail == 0) return;
    char buf[4096];
    DWORD got = 0;
    if (!ReadFile(as_handle(child.out), buf, avail < sizeof buf ? avail : sizeof buf, &got, nullptr) || got == 0) return;
    child.output.append(buf, got);
  }
}
}  // namespace

bool child_start(const std::string& exe, const std::vector<std::string>& args, const std::string& cwd,
                 ChildProcess& child) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE rd = nullptr, wr = nullptr;
  if (!CreatePipe(&rd, &wr, &sa, 0)) return false;
  SetHandleInformation(rd, HANDLE_FLAG_INHERIT, 0);
  std::wstring cmd = quote(exe);
  for (const std::string& a : args) cmd += L" " + quote(a);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = wr;
  si.hStdError = wr;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION pi{};
  std::wstring wcwd = path_to_wide(cwd.c_str());
  BOOL ok = CreateProcessW(path_to_wide(exe.c_str()).c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, nullptr,
                           cwd.empty() ? nullptr : wcwd.c_str(), &si, &pi);
  CloseHandle(wr);
  if (!ok) {
    CloseHandle(rd);
    return false;
  }
  CloseHandle(pi.hThread);
  child.pid = pi.dwProcessId;
  child.handle = reinterpret_cast<intptr_t>(pi.hProcess);
  child.out = reinterpret_cast<intptr_t>(rd);
  return true;
}

bool child_read_until(ChildProcess& child, std::string_view needle, int timeout_ms) {
  int64_t end = real_ms() + timeout_ms;
  for (;;) {
    if (child.out >= 0) read_available(child);
    if (child.output.find(needle) != std::string::npos) return true;
    if (real_ms() >= end) return false;
    Sleep(10);
  }
}

void child_request_quit(ChildProcess& child) {
  wchar_t name[64];
  std::swprintf(name, 64, L"kelvane-quit-%lu", static_cast<unsigned long>(child.pid));
  HANDLE ev = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
  if (!ev) return;
  SetEvent(ev);
  CloseHandle(ev);
}

int child_wait(ChildProcess& child, int timeout_ms) {
  if (child.handle < 0) return -1;
  if (WaitForSingleObject(as_handle(child.handle), static_cast<DWORD>(timeout_ms)) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  GetExitCodeProcess(as_handle(child.handle), &code);
  if (child.out >= 0) {
    read_available(child);
    CloseHandle(as_handle(child.out));
    child.out = -1;
  }
  CloseHandle(as_handle(child.handle));
  child.handle = -1;
  child.pid = -1;
  return static_cast<int>(code);
}

void child_kill(ChildProcess& child) {
  if (child.handle < 0) return;
  TerminateProcess(as_handle(child.handle), 1);
  child_wait(child, 5000);
}

bool copy_file(const std::string& from, const std::string& to) {
  return CopyFileW(path_to_wide(from.c_str()).c_str(), path_to_wide(to.c_str()).c_str(), FALSE) != 0;
}

}  // namespace kvtest

#include <winsock2.h>

namespace kvtest {

void set_env(const char* name, const char* value) {
  SetEnvironmentVariableW(utf8_to_wide(name).c_str(), utf8_to_wide(value).c_str());
}

bool tcp_probe(int port) {
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<u_short>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  closesocket(s);
  return ok;
}

}  // namespace kvtest
