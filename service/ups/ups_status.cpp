#include "service/ups/ups_status.h"

#include <cstring>

#include "service/core/clock.h"
#include "service/core/text.h"

UpsStatus ups_status;
int data_state = 0;
int link_error = 0;

namespace {

int64_t g_seconds = 0;
uint32_t g_seconds_tick = 0;
UpsAlarmBitsFn g_alarm_bits = nullptr;

}  // namespace

void ups_status_reset() {
  std::memset(&ups_status, 0, sizeof ups_status);
  copy_cut(ups_status.platform, "norvel");
}

void ups_clear_work() { std::memset(&ups_status.work, 0, sizeof ups_status.work); }

void ups_publish() { ups_status.published = ups_status.work; }

// The drivers only ever set condition flags and phase "lost" flags; they
// never clear them. Left alone, a flag raised once (on battery, input lost)
// would stay in every later cycle and the supervision would see a mains
// failure that never ends. So each cycle starts with those flags down and
// the lost phases' frequencies at 0, and the replies of the cycle raise
// what the UPS reports now. Everything else carries over on purpose: the
// self-test bookkeeping (test_id, test_start, test_duration, a passed
// result) is built from one cycle to the next, and measurements are
// rewritten by every reply anyway.
void ups_begin_cycle() {
  UpsMeasurements& w = ups_status.work;
  std::memset(w.cond, 0, sizeof w.cond);
  for (PhaseIn& p : w.input) {
    p.lost = 0;
    p.freq_x10 = 0;
  }
  for (PhaseOut& p : w.output) {
    p.lost = 0;
    p.freq_x10 = 0;
  }
}

int64_t svc_seconds() {
  // Unsigned distance: the first read after a long uptime (tick past 2^31)
  // must still count forwards, not jump to a negative time.
  uint32_t now = tick_ms();
  uint32_t d = (now - g_seconds_tick) / 1000u;
  g_seconds += d;
  g_seconds_tick += d * 1000u;
  return g_seconds;
}

void svc_seconds_reset() {
  g_seconds = 0;
  g_seconds_tick = 0;
}

void ups_set_alarm_bits_hook(UpsAlarmBitsFn fn) { g_alarm_bits = fn; }

uint32_t ups_status_word() { return g_alarm_bits ? g_alarm_bits() : 0u; }

uint32_t ups_api_status_word() {
  uint32_t word = ups_status_word();
  if (data_state != 2) word |= 1u << COND_DATA_NOT_READY;
  if (link_error) word |= 1u << COND_LINK_FAILURE;
  return word;
}
