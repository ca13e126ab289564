#include <windows.h>

#include <ctime>

#include "service/core/clock.h"

uint32_t os_tick_ms() { return static_cast<uint32_t>(GetTickCount64()); }

int64_t os_unix_time() { return static_cast<int64_t>(std::time(nullptr)); }

void sleep_ms(uint32_t ms) { Sleep(ms); }
