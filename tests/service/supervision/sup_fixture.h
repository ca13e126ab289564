// Shared fixture of the supervision tests: a fresh program folder with the
// scratch folders, the test clock, the console captured, the markers in the
// program's own "tmp", and the local actions and UPS commands recorded
// instead of carried out.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "service/core/file_util.h"
#include "service/supervision/alarm.h"
#include "service/supervision/alarm_log.h"
#include "service/supervision/alarm_text.h"
#include "service/supervision/device_table.h"
#include "service/supervision/evaluate.h"
#include "service/supervision/local_action.h"
#include "service/supervision/mail_text.h"
#include "service/supervision/record.h"
#include "service/supervision/sup_common.h"
#include "service/supervision/supervision.h"
#include "service/ups/ups_command.h"
#include "service/ups/ups_console.h"
#include "service/ups/ups_status.h"
#include "tests/support/test_support.h"

namespace suptest {

// 2023-11-14 22:13:20 UTC
constexpr int64_t kNow = 1700000000;

inline std::vector<std::string>& actions() {
  static std::vector<std::string> a;
  return a;
}
inline std::vector<std::string>& commands() {
  static std::vector<std::string> c;
  return c;
}
inline void record_play(const char* path) { actions().push_back(std::string("play ") + path); }
inline bool record_script() {
  actions().push_back("script");
  return true;
}
inline void record_balloon(int alarm, const char* text) {
  actions().push_back("balloon " + std::to_string(alarm) + " " + text);
}
inline void record_command(const char* command) { commands().push_back(command); }
inline const LocalActionOps kRecordingOps{record_play, record_script};

// The English alarm resource as the web package ships it.
inline std::string english_resource() {
  return "[alarm]\n"
         "alarm_x_format=[%s] Alarm removed\n"
         "alarm_1=Serial port communication failure\n"
         "alarm_1x=Serial port communication restored\n"
         "alarm_4=Shutting down\n"
         "alarm_5=Shutdown scheduled\n"
         "alarm_6=Output off\n"
         "alarm_6x=Output on\n"
         "alarm_7=System off\n"
         "alarm_7x=System on\n"
         "alarm_8=Waiting for incoming call to power on\n"
         "alarm_9=Testing\n"
         "alarm_9x=Test completed\n"
         "alarm_10=Test failed\n"
         "alarm_11=Using mains power\n"
         "alarm_12=Using bypass\n"
         "alarm_13=Using battery\n"
         "alarm_14=Battery low\n"
         "alarm_15=Battery depleted\n"
         "alarm_16=Battery replacement required\n"
         "alarm_17=Input mains power abnormal\n"
         "alarm_17x=Input mains power restored\n"
         "alarm_18=Bypass abnormal\n"
         "alarm_19=Output abnormal\n"
         "alarm_20=Output overload\n"
         "alarm_21=Internal high temperature\n"
         "alarm_25=Charging system fault\n"
         "alarm_26=Fan fault\n"
         "alarm_27=Fuse fault\n"
         "alarm_28=Fault\n"
         "alarm_29=Telecom card communication fault\n"
         "alarm_30=SNMP card communication fault\n";
}

inline void write_english_resource() {
  dir_create("www");
  dir_create("www/resource");
  dir_create("www/resource/en");
  kvtest::write_file("www/resource/en/0_locale.txt", english_resource());
}

// One alarm log entry as stored.
struct LogEntry {
  int64_t time;
  uint32_t code;
};
inline std::vector<LogEntry> read_alarm_log() {
  std::string data = kvtest::read_file("user/alarm.log");
  std::vector<LogEntry> out;
  for (size_t i = 0; i + 16 <= data.size(); i += 16) {
    auto* p = reinterpret_cast<const uint8_t*>(data.data() + i);
    out.push_back(LogEntry{get_i64(p), get_u32(p + 8)});
  }
  return out;
}
inline std::string alarm_log_bytes(const std::vector<LogEntry>& entries) {
  std::string out;
  for (const LogEntry& e : entries) {
    uint8_t b[16] = {};
    put_i64(b, e.time);
    put_u32(b + 8, e.code);
    out.append(reinterpret_cast<const char*>(b), 16);
  }
  return out;
}

class SupervisionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_create("user");
    dir_create("tmp");
    marker_root_set("tmp");
    ups_console_capture(&console_, true);
    svc_seconds_reset();
    actions().clear();
    commands().clear();
    local_action_set_ops(&kRecordingOps);
    local_action_set_balloon_hook(record_balloon);
    evaluate_set_command_hook(record_command);
    device_table_create(1);
    device_get(0)->record_format = record_json;
    alarm_table_reset();
    sup_policy = PolicySettings{};
    sup_settings = SupervisionSettings{};
    copy_settings_text(sup_settings.language, "en");
    copy_settings_text(sup_settings.name, "UPS-Room-1");
    ups_status_reset();
    ups_schedule = UpsSchedule{};
    data_state = 0;
    link_error = 0;
    mail_text_clear();
    copy_settings_text(mail_language, "en");
    mail_time_offset = 0;
  }
  void TearDown() override {
    supervision_stop();
    marker_root_set(nullptr);
    local_action_set_ops(nullptr);
    local_action_set_balloon_hook(nullptr);
    evaluate_set_command_hook(nullptr);
    mail_set_flush_hook(nullptr);
    device_set_query_hook(nullptr);
    device_table_release();
    ups_console_capture(nullptr);
  }
  template <size_t N>
  static void copy_settings_text(char (&dest)[N], const char* text) {
    std::snprintf(dest, N, "%s", text);
  }
  // A clean published cycle on mains with a full battery.
  static void publish_mains() {
    UpsMeasurements& m = ups_status.published;
    m = UpsMeasurements{};
    m.out_mode = MODE_MAINS;
    m.batt_percent = 100;
    m.batt_status = BATT_NORMAL;
    m.batt_temp = 25;
    m.cond[COND_ON_MAINS] = 1;
  }
  static void publish_battery(int percent) {
    UpsMeasurements& m = ups_status.published;
    m = UpsMeasurements{};
    m.out_mode = MODE_BATTERY;
    m.batt_percent = percent;
    m.batt_temp = 25;
    m.cond[COND_ON_BATTERY] = 1;
    m.cond[COND_INPUT_LOST] = 1;
  }
  void advance_s(int seconds) { clock_.advance_ms(static_cast<uint32_t>(seconds) * 1000u); }
  int64_t now_s() { return svc_seconds(); }

  kvtest::TempProgramFolder folder_;
  kvtest::FakeClock clock_{1000, kNow};
  std::string console_;
};

}  // namespace suptest
