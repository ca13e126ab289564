#include "service/supervision/supervision.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "service/core/clock.h"
#include "service/core/profile.h"
#include "service/core/text.h"
#include "service/supervision/alarm.h"
#include "service/supervision/device_table.h"
#include "service/supervision/evaluate.h"
#include "service/supervision/local_action.h"
#include "service/supervision/record.h"
#include "service/supervision/sup_common.h"
#include "service/ups/ups_command.h"
#include "service/ups/ups_console.h"
#include "service/ups/ups_link.h"
#include "service/ups/ups_status.h"

SupervisionSettings sup_settings;
PolicySettings sup_policy;
DischargeSchedule sup_discharge;
SupervisionModule supervision_module;

namespace {

constexpr int32_t kDefaultTimezone = -28800;
constexpr int kDeepTestCapability = 8;
constexpr int64_t kDischargeClockSet = 1672444800;  // 2022-12-31 00:00:00 UTC
constexpr int64_t kDischargeMinGap = 172800;        // two days
// Timer periods beyond this would not compare correctly on the tick clock.
constexpr int kMaxRecordInterval = 24 * 86400;

bool g_time_fixed = false;

// Copies a configured text, cut at a character boundary to the capacity.
template <size_t N>
void set_text(char (&dest)[N], std::string_view value) {
  copy_cut(std::span<char>(dest, N), utf8_cut(value, N - 1));
}

void handle(Handler*, uint32_t id, int64_t, int64_t) {
  switch (id) {
    case SUP_RECORD:
      record_write_current();
      break;
    case SUP_DISCHARGE:
      discharge_check();
      break;
    case SUP_EVALUATE:
      alarm_evaluate();
      // The notification's 2 s check of the clock rides on this timer.
      if (!g_time_fixed) g_time_fixed = time_fix_check() == 1;
      break;
    case SUP_AFTER_ALARM:
      fmessage_timer(&supervision_module, SUP_AFTER_ALARM, 0);
      fmessage_post(&supervision_module, SUP_RECORD, 0, 0);
      break;
    default:
      break;
  }
}

void load_identity() {
  set_text(sup_settings.pcode, profile_get(kSystemConfigFile, "[product]", "pcode"));
  set_text(sup_settings.release, profile_get(kSystemConfigFile, "[product]", "version"));
  set_text(sup_settings.passwords[0], profile_get(kUserConfig, "[passwd]", "pass1"));
  set_text(sup_settings.passwords[8], profile_get(kDefaultConfigFile, "[passwd]", "pass9"));
  std::string language = profile_get(kUserConfig, "[master]", "language");
  if (language.empty()) {
    language = "un";
    profile_write_value(kUserConfig, "[master]", "language", "un");
  }
  set_text(sup_settings.language, language);
  std::string default_name = profile_get(kDefaultConfigFile, "[master]", "name");
  std::string name = profile_get(kUserConfig, "[master]", "name");
  set_text(sup_settings.name, name.empty() ? default_name : name);
  set_text(sup_settings.default_name, default_name);
  copy_cut(ups_status.platform, "norvel");
  set_text(sup_settings.remark, profile_get(kUserConfig, "[master]", "remark"));
}

// Values are read whole: one of more than seven characters is still the
// number the user wrote, not its first digits.
int policy_value(const ProfileList& master, const char* key, bool* present = nullptr) {
  const std::string* v = master.find(key);
  if (present) *present = v != nullptr;
  return v ? parse_int(v->c_str()) : 0;
}

void load_policy() {
  ProfileList master = profile_read_section(kUserConfig, "[master]");
  PolicySettings& p = sup_policy;
  p.app_shutdown = policy_value(master, "app_shutdown");
  p.utility_fail_timeout = policy_value(master, "utility_fail_timeout");
  p.utility_fail_action = p.utility_fail_timeout != 0 ? 1 : 0;
  p.shutdown_on_battery_low = policy_value(master, "shutdown_on_battery_low");
  p.shutdown_on_temper_high = policy_value(master, "shutdown_on_temper_high");
  p.shutdown_alarm_timeout = policy_value(master, "shutdown_alarm_timeout");
  p.shutdown_alarm = p.shutdown_alarm_timeout != 0 ? 1 : 0;
  bool self_present = false;
  int self = policy_value(master, "shutdown_self", &self_present);
  if (self_present) p.shutdown_type = self != 0 ? 2 : 1;
  p.discharge_lowest = policy_value(master, "discharge_lowest");
  p.record_interval = policy_value(master, "record_interval");
  // Without the local shutdown the UPS still waits a little; with it the
  // computer gets at least half a minute.
  if (p.shutdown_alarm == 0) p.shutdown_alarm_timeout = 6;
  else if (p.shutdown_alarm_timeout < 30) p.shutdown_alarm_timeout = 30;
}

void print_policy() {
  const PolicySettings& p = sup_policy;
  ups_print("app_shutdown=%d\n", p.app_shutdown);
  ups_print("record_interval=%d\n", p.record_interval);
  ups_print("discharge_lowest=%d\n", p.discharge_lowest);
  ups_print("utility_fail_action=%d\n", p.utility_fail_action);
  ups_print("utility_fail_timeout=%d\n", p.utility_fail_timeout);
  ups_print("shutdown_on_battery_low=%d\n", p.shutdown_on_battery_low);
  ups_print("shutdown_on_temper_high=%d\n", p.shutdown_on_temper_high);
  ups_print("shutdown_alarm=%d\n", p.shutdown_alarm);
  ups_print("shutdown_alarm_timeout=%d\n", p.shutdown_alarm_timeout);
  ups_print("shutdown_type=%d\n", p.shutdown_type);
}

void load_discharge_schedule() {
  std::string tz = profile_get(kUserConfig, "[master]", "timezone");
  sup_discharge.timezone_offset = tz.empty() ? kDefaultTimezone : parse_int(tz.c_str());
  sup_discharge.discharge_period = parse_int(profile_get(kUserConfig, "[master]", "discharge_period").c_str());
  sup_discharge.discharge_time = 0;
  if (sup_discharge.discharge_period == 0) return;
  // 64 bits, so the schedule survives 2038.
  std::string t = profile_get(kUserConfig, "[modules]", "discharge_time");
  sup_discharge.discharge_time = std::strtoll(t.c_str(), nullptr, 10);
}

bool calendar_day_due(int period, int64_t now) {
  CivilTime local = civil_from_unix(now - sup_discharge.timezone_offset);
  switch (period) {
    case 365:
      return local.month == 1 && local.day == 1;
    case 91:
      return local.day == 1 && (local.month == 1 || local.month == 4 || local.month == 7 || local.month == 10);
    case 30:
      return local.day == 1;
    case 7:
      return local.weekday == 0;
    default:
      return false;
  }
}

bool discharge_allowed() {
  if (data_state != 2 || link_error) return false;
  if (!(ups_status.capabilities & kDeepTestCapability)) return false;
  const UpsMeasurements& m = ups_status.published;
  if (m.out_mode != MODE_MAINS) return false;
  for (int k : {ALARM_SHUTTING_DOWN, ALARM_SHUTDOWN_SCHEDULED, ALARM_BATTERY_LOW, ALARM_BATTERY_DEPLETED,
                ALARM_BATTERY_REPLACE})
    if (alarm_active(k)) return false;
  return m.batt_percent == 0 || m.batt_percent >= 90;
}

}  // namespace

const char* settings_password(int user) {
  if (user == 1) return sup_settings.passwords[0];
  if (user == 9) return sup_settings.passwords[8];
  return "";
}

void settings_load() {
  std::memset(&sup_settings, 0, sizeof sup_settings);
  sup_policy = PolicySettings{};
  ups_schedule = UpsSchedule{};
  alarm_table_reset();
  data_state = 0;
  link_error = 0;
  ups_status_reset();
  load_identity();
  load_policy();
  print_policy();
  alarm_seq = kAlarmSeqFirst;
  alarm_restore();
  // Control commands of the device API are always allowed; the configured
  // value only shows in the console line above.
  sup_policy.app_shutdown = 1;
}

void discharge_check() {
  if (!discharge_allowed()) return;
  const int64_t now = unix_time();
  if (now < kDischargeClockSet) return;
  const int64_t last = sup_discharge.discharge_time;
  if (last != 0 && now - last < kDischargeMinGap) return;
  const int period = sup_discharge.discharge_period;
  bool due = calendar_day_due(period, now) || now - last > static_cast<int64_t>(period) * 86400;
  if (!due) return;
  sup_discharge.discharge_time = now;
  profile_write_value(kUserConfig, "[modules]", "discharge_time", std::to_string(now).c_str());
  supervision_send("#test 3");
}

void supervision_after_alarm() {
  if (supervision_module.registered) fmessage_timer(&supervision_module, SUP_AFTER_ALARM, kAfterAlarmMs);
}

int supervision_start() {
  if (!device_get(0) && device_table_create(1) != 0) return -1;
  DeviceEntry* d = device_get(0);
  d->query = device_query_hook();
  d->record_format = record_json;
  settings_load();
  ups_set_alarm_bits_hook(alarm_status_bits);
  ups_set_cycle_hook(alarm_evaluate);
  if (ups_link_start() != 0) return -1;
  if (supervision_module.registered) fmessage_unregister(&supervision_module);
  supervision_module.handler = handle;
  if (fmessage_register(&supervision_module, 0) != 0) return -1;
  supervision_module.registered = true;
  g_time_fixed = false;
  int interval = sup_policy.record_interval;
  if (interval > kMaxRecordInterval) interval = kMaxRecordInterval;
  if (interval > 0) fmessage_timer(&supervision_module, SUP_RECORD, static_cast<uint32_t>(interval) * 1000u);
  fmessage_timer(&supervision_module, SUP_EVALUATE, kEvaluateMs);
  load_discharge_schedule();
  if (sup_discharge.discharge_period != 0) fmessage_timer(&supervision_module, SUP_DISCHARGE, kDischargeCheckMs);
  return 0;
}

int supervision_stop() {
  if (supervision_module.registered) fmessage_unregister(&supervision_module);
  supervision_module.registered = false;
  ups_set_cycle_hook(nullptr);
  sound_stop();
  return 0;
}
