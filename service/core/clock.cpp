#include "service/core/clock.h"

namespace {
const ClockSource kSystemClock{os_tick_ms, os_unix_time};
const ClockSource* g_clock = &kSystemClock;
}  // namespace

uint32_t tick_ms() { return g_clock->tick(); }
int64_t unix_time() { return g_clock->unix_seconds(); }
void clock_override(const ClockSource* source) { g_clock = source ? source : &kSystemClock; }
