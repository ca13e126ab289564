// Time sources of the service. Everything that needs "now" asks here, so a
// test can drive the whole service through an injected clock.
#pragma once
#include <cstdint>

// Milliseconds of a monotonic clock; wraps at 2^32 like the system tick
// count. Compare two ticks only through tick_diff.
uint32_t tick_ms();
// Seconds since 1970-01-01 00:00:00 UTC from the system clock.
int64_t unix_time();

// Signed distance a - b of two tick values, correct across the wrap.
inline int32_t tick_diff(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }

struct ClockSource {
  uint32_t (*tick)();
  int64_t (*unix_seconds)();
};
// Replaces the time sources (nullptr restores the system clock). Not
// thread-safe: install before starting threads.
void clock_override(const ClockSource* source);

// The operating system's clocks, behind the seam above.
uint32_t os_tick_ms();
int64_t os_unix_time();
void sleep_ms(uint32_t ms);
