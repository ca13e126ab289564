// The alarm engine: 32 numbered alarms raised and cleared by the
// evaluation, persisted in the user configuration across restarts, logged,
// handed to the mail text and to the local actions.
#pragma once
#include <cstdint>
#include <string>

constexpr int kAlarmCount = 32;

// Alarm numbers (the condition numbers of the status record).
enum AlarmNumber : int {
  ALARM_NOT_READY = 0,
  ALARM_LINK_FAILURE = 1,
  ALARM_BEEPER_ON = 2,
  ALARM_SHUTTING_DOWN = 4,
  ALARM_SHUTDOWN_SCHEDULED = 5,
  ALARM_OUTPUT_OFF = 6,
  ALARM_SYSTEM_OFF = 7,
  ALARM_TEST_RUNNING = 9,
  ALARM_TEST_FAILED = 10,
  ALARM_ON_MAINS = 11,
  ALARM_ON_BYPASS = 12,
  ALARM_ON_BATTERY = 13,
  ALARM_BATTERY_LOW = 14,
  ALARM_BATTERY_DEPLETED = 15,
  ALARM_BATTERY_REPLACE = 16,
  ALARM_INPUT_LOST = 17,
  ALARM_HIGH_TEMPERATURE = 21,
};

struct AlarmEntry {
  int32_t since;  // svc_seconds at the raise; 0 while inactive
  uint32_t seq;   // sequence number of the raise
};
extern AlarmEntry ups_alarms[kAlarmCount];
// Last sequence number handed out.
extern int32_t alarm_seq;

constexpr int32_t kAlarmSeqFirst = 10000;
constexpr int32_t kAlarmSeqLast = 100000;

// Raises alarm k (code k) or clears it (code 0x8000 + k), k 0 to 31.
void alarm_set(uint32_t code);
bool alarm_active(int k);
// Zeroes the table; alarm_seq becomes 10000.
void alarm_table_reset();
// Reads the persisted alarms (after alarm_table_reset).
void alarm_restore();
// Bit k set while alarm k is active.
uint32_t alarm_status_bits();
// The active alarms 3 to 31 except 11, earliest first, as
// "[[seq,seconds,number,\"text\"],...]" ("[]" when none); appends to out
// and returns the appended length.
int alarm_list_json(std::string& out);

// The device API items served here: "alarm_list", "alarm", and
// "alarm_log " with "-z", "last" or a start time. Appends the answer and
// returns its length; 0 for an item that is none of these.
int alarm_api_get(const char* item, std::string& out);
