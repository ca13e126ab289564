#include "service/supervision/evaluate.h"

#include <cstdint>
#include <cstdio>

#include "service/supervision/alarm.h"
#include "service/supervision/alarm_text.h"
#include "service/supervision/supervision.h"
#include "service/ups/ups_command.h"
#include "service/ups/ups_status.h"

namespace {

EvaluateCommandFn g_command_hook = nullptr;

void send(const char* command) { supervision_send(command); }

// The scheduled shutdown and the shutdown already under way. Returns the
// "shutdown under way" flag.
int shutdown_schedule(uint8_t* c, int64_t now) {
  const int grace = sup_policy.shutdown_alarm_timeout;
  UpsSchedule& s = ups_schedule;
  s.restart_time = 0;  // a restart is only kept while the output is off
  if (alarm_active(ALARM_SHUTTING_DOWN)) {
    s.shutdown_time = 0;
    // The UPS is told once, one grace time after the raise, so the
    // computer has that long to shut itself down.
    if (ups_alarms[ALARM_SHUTTING_DOWN].since + grace < now && s.shutdown_kind != 0) {
      char command[16];
      std::snprintf(command, sizeof command, "#down %d", s.shutdown_kind);
      send(command);
      s.shutdown_kind = 0;
    }
    c[ALARM_SHUTTING_DOWN] = 1;
    return 1;
  }
  if (s.shutdown_time == 0) return c[ALARM_SHUTTING_DOWN];
  if (s.shutdown_time < now + grace) {
    c[ALARM_SHUTTING_DOWN] = 1;
    return 1;
  }
  c[ALARM_SHUTDOWN_SCHEDULED] = 1;
  return c[ALARM_SHUTTING_DOWN];
}

void start_shutdown(uint8_t* c, int& underway) {
  if (underway) return;
  ups_schedule.shutdown_kind = sup_policy.shutdown_type;
  c[ALARM_SHUTTING_DOWN] = 1;
  underway = 1;
}

void shutdown_conditions(uint8_t* c, int underway, int64_t now) {
  const UpsMeasurements& m = ups_status.published;
  const PolicySettings& p = sup_policy;
  if (m.test_result == TEST_RUNNING && p.discharge_lowest != 0 && m.batt_percent != 0 &&
      m.batt_percent < p.discharge_lowest)
    send("#test 0");
  if (p.shutdown_on_battery_low != 0 && m.out_mode == MODE_BATTERY && m.batt_percent != 0 &&
      m.batt_percent < p.shutdown_on_battery_low) {
    c[ALARM_BATTERY_LOW] = 1;
    start_shutdown(c, underway);
  }
  if (p.shutdown_on_temper_high != 0 && m.batt_temp != 0 && m.batt_temp > p.shutdown_on_temper_high) {
    c[ALARM_HIGH_TEMPERATURE] = 1;
    start_shutdown(c, underway);
  }
  if (p.utility_fail_action && alarm_active(ALARM_INPUT_LOST) &&
      ups_alarms[ALARM_INPUT_LOST].since + static_cast<int64_t>(p.utility_fail_timeout) < now && !underway) {
    c[ALARM_SHUTTING_DOWN] = 1;
    ups_schedule.shutdown_kind = p.shutdown_type;
  }
}

}  // namespace

void evaluate_set_command_hook(EvaluateCommandFn fn) { g_command_hook = fn; }

void supervision_send(const char* command) {
  if (g_command_hook) {
    g_command_hook(command);
    return;
  }
  char answer[64];
  ups_command(command, answer);
}

void alarm_evaluate() {
  const int64_t now = svc_seconds();
  uint8_t* c = ups_status.published.cond;
  if (link_error) {
    if (data_state != 2) c[ALARM_NOT_READY] = 1;
    c[ALARM_LINK_FAILURE] = 1;
  } else if (data_state != 2) {
    c[ALARM_NOT_READY] = 1;
  } else if (ups_status.published.out_mode == MODE_STANDBY) {
    ups_schedule.shutdown_time = 0;
    ups_schedule.shutdown_kind = 0;
    if (ups_schedule.restart_time != 0 && ups_schedule.restart_time < now) {
      ups_schedule.restart_time = 0;
      send("#start");
    }
  } else {
    int underway = shutdown_schedule(c, now);
    shutdown_conditions(c, underway, now);
  }
  for (int k = 0; k < kAlarmCount; ++k) alarm_set(c[k] ? static_cast<uint32_t>(k) : kAlarmRemoved + static_cast<uint32_t>(k));
}
