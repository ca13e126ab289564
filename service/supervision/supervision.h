// The supervision: its event-loop handler, the settings it works with, the
// start-up that loads them and starts the UPS link, and the automatic deep
// discharge test of the battery.
#pragma once
#include <cstdint>

#include "service/net/fmessage.h"

constexpr uint32_t SUP_RECORD = XF_TIMER + 22;
constexpr uint32_t SUP_DISCHARGE = XF_TIMER + 24;
constexpr uint32_t SUP_EVALUATE = XF_TIMER + 26;
constexpr uint32_t SUP_AFTER_ALARM = XF_TIMER + 30;

constexpr uint32_t kEvaluateMs = 2000;
constexpr uint32_t kAfterAlarmMs = 2000;
constexpr uint32_t kDischargeCheckMs = 600000;

constexpr const char* kUserConfig = "user/config.inf";
constexpr const char* kDefaultConfigFile = "www/conf/default.inf";
constexpr const char* kSystemConfigFile = "www/conf/system.conf";

// Identity and access values (UTF-8, zero-terminated, cut at a character
// boundary when the configured text is longer).
struct SupervisionSettings {
  char pcode[32];
  char release[16];
  char default_name[128];
  char name[128];
  char remark[128];
  char language[96];
  char passwords[9][64];  // user n in slot n - 1; only users 1 and 9
};
extern SupervisionSettings sup_settings;
// Password of user 1 or 9, "" for any other.
const char* settings_password(int user);

// The shutdown policy and its neighbours, from "[master]" of the user
// configuration; 0 when a key is absent.
struct PolicySettings {
  int app_shutdown;             // command permission of the device API
  int utility_fail_timeout;     // s of mains failure before shutting down
  int utility_fail_action;      // 1 when the timeout is set
  int shutdown_on_battery_low;  // percent, while on battery
  int shutdown_on_temper_high;  // degrees C
  int shutdown_alarm_timeout;   // grace time, s: 6, or at least 30
  int shutdown_alarm;           // 1: the computer is shut down locally
  int shutdown_type;            // 0 none, 1 "#down 1", 2 "#down 2"
  int discharge_lowest;         // percent: a running test is cancelled below
  int record_interval;          // s between data records; 0 none
};
extern PolicySettings sup_policy;

// The automatic deep discharge test.
struct DischargeSchedule {
  int32_t timezone_offset;   // s; local time = UTC - offset
  int32_t discharge_period;  // days: 365, 91, 30, 7 by the calendar, any other by age
  int64_t discharge_time;    // Unix time of the last automatic test, 0 none
};
extern DischargeSchedule sup_discharge;

// The handler object of the supervision.
struct SupervisionModule : Handler {
  bool registered;
};
extern SupervisionModule supervision_module;

// Start-up (service start and the "restart" command): device 0 of the
// device table gets the device query and the record formatter, the settings
// are loaded, the UPS link is started, the handler is registered with its
// timers. The device table must exist (notify_base_start). 0 or -1.
int supervision_start();
// Module stop, first step: unregisters the handler (with its timers) and
// stops a playing alarm sound. The UPS link is stopped by ups_link_stop.
// Always 0.
int supervision_stop();

// The settings load of the start-up; exposed for tests.
void settings_load();
// SUP_DISCHARGE: starts a deep test when everything allows it and the day
// is due.
void discharge_check();
// Arms SUP_AFTER_ALARM (a logged alarm change wants a data record).
void supervision_after_alarm();
