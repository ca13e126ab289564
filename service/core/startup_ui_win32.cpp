#include <windows.h>

#include <cstdio>

#include "service/core/startup.h"

// Until the application object exists the UI thread waits for a quit
// request: console Ctrl-C / Ctrl-Break / close, or the named event
// "kelvane-quit-<process id>" that tests and tools set.
namespace {
HANDLE g_quit = nullptr;

BOOL WINAPI on_console(DWORD) {
  if (g_quit) SetEvent(g_quit);
  return TRUE;
}
}  // namespace

void ui_prepare() {
  wchar_t name[64];
  std::swprintf(name, 64, L"kelvane-quit-%lu", static_cast<unsigned long>(GetCurrentProcessId()));
  g_quit = CreateEventW(nullptr, TRUE, FALSE, name);
  SetConsoleCtrlHandler(on_console, TRUE);
}

void ui_wait_quit() {
  if (g_quit) WaitForSingleObject(g_quit, INFINITE);
}
