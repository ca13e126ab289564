// The UPS status record: identity, ratings and the double-buffered
// measurements, plus the UPS-level flags that say whether they can be
// trusted. One process-wide object, touched only on the event thread.
#pragma once
#include <cstdint>

struct PhaseIn {
  int lost;      // voltage below 80 % of the rated voltage
  int freq_x10;  // tenths of a hertz; left 0 while lost
  int volt;
  int extra;
};

struct PhaseOut {
  int lost;
  int freq_x10;
  int volt;
  int load;  // percent of the rated load
  int extra;
};

constexpr int kUpsConditions = 32;
constexpr int kUpsPhases = 3;

struct UpsMeasurements {
  int batt_status;  // 0 not reported, 1 undetermined, 2 normal, 3 low, 4 depleted, 5 bad
  int batt_remain;  // minutes
  int batt_percent;
  int batt_volt_x10;
  int batt_extra;
  int batt_temp;
  PhaseIn input[kUpsPhases];
  PhaseIn bypass[kUpsPhases];
  int out_mode;  // 0 not reported, 2 standby, 3 mains, 4 bypass, 5 battery
  PhaseOut output[kUpsPhases];
  int test_id;           // 0 none, 1 short, 2 quick, 3 deep discharge
  uint32_t test_start;   // tick when the running test was first seen
  int test_duration;     // ms: 10 while running, the length once ended
  int test_result;       // 0 never, 1 passed, 2 warning, 3 failed, 4 aborted, 5 running
  char test_text[32];
  uint8_t cond[kUpsConditions];
  int16_t codes[32];
};

struct UpsStatus {
  char brand[128];
  char model[128];
  char firmware[128];
  char platform[128];
  int config_items[5];
  int in_phases;
  int in_freq_x10;
  int in_volt;
  int out_phases;
  int out_freq_x10;
  int out_volt;
  int rated_power;
  int rated_batt_x10;
  int ups_type;      // 0 online, 1 standby (line-interactive)
  int capabilities;  // 1 shutdown, 2 self test, 4 quick test, 8 deep discharge test
  UpsMeasurements published;  // readers use only this block
  UpsMeasurements work;       // only the drivers write this block
};

// Condition numbers, shared with the alarm numbering of the supervision.
enum UpsCondition : int {
  COND_DATA_NOT_READY = 0,
  COND_LINK_FAILURE = 1,
  COND_BEEPER_ON = 2,
  COND_SHUTTING_DOWN = 4,
  COND_SHUTDOWN_SCHEDULED = 5,
  COND_OUTPUT_OFF = 6,
  COND_SYSTEM_OFF = 7,
  COND_TEST_RUNNING = 9,
  COND_TEST_FAILED = 10,
  COND_ON_MAINS = 11,
  COND_ON_BYPASS = 12,
  COND_ON_BATTERY = 13,
  COND_BATTERY_LOW = 14,
  COND_INPUT_LOST = 17,
  COND_OUTPUT_ABNORMAL = 19,
  COND_OVERLOAD = 20,
  COND_HIGH_TEMPERATURE = 21,
  COND_FAULT = 28,
};

enum UpsOutMode : int { MODE_NONE = 0, MODE_STANDBY = 2, MODE_MAINS = 3, MODE_BYPASS = 4, MODE_BATTERY = 5 };
enum UpsBatteryStatus : int { BATT_NORMAL = 2, BATT_LOW = 3 };
enum UpsTestResult : int {
  TEST_NONE = 0,
  TEST_PASSED = 1,
  TEST_WARNING = 2,
  TEST_FAILED = 3,
  TEST_ABORTED = 4,
  TEST_RUNNING = 5,
};

extern UpsStatus ups_status;
// 0 no driver selected, 1 selected and first cycle running, 2 data ready.
extern int data_state;
// 1 after six consecutive link errors, 0 after the next success.
extern int link_error;

// Settings load: everything zero, the platform identifier set.
void ups_status_reset();
// Start of a detection sequence: the work block emptied.
void ups_clear_work();
// End of a poll cycle: the work block becomes the published block.
void ups_publish();
// Start of a poll cycle: drops the per-cycle state of the work block (see
// the comment in the source) while keeping the self-test bookkeeping.
void ups_begin_cycle();

// Seconds since the first read, advanced in whole seconds from the tick
// count so that it survives the 49.7-day wrap.
int64_t svc_seconds();
// Restarts the seconds clock (tests).
void svc_seconds_reset();

// Status word: bit k set while alarm k is active. The alarm table belongs
// to the supervision, which installs the hook; without it no alarm is set.
using UpsAlarmBitsFn = uint32_t (*)();
void ups_set_alarm_bits_hook(UpsAlarmBitsFn fn);
uint32_t ups_status_word();
// The device API's view: bit 0 also while data are not ready, bit 1 while
// the link has failed.
uint32_t ups_api_status_word();
