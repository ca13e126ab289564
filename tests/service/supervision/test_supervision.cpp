// Settings load with its console lines, the discharge-test calendar, and
// the supervision start-up with its timers on the event loop.
#include <string>
#include <vector>

#include "service/core/profile.h"
#include "service/net/fmessage.h"
#include "service/ups/ups_link.h"
#include "tests/service/supervision/sup_fixture.h"

namespace {

using namespace suptest;

class SettingsTest : public SupervisionTest {
 protected:
  void load(const std::string& config) {
    kvtest::write_file("user/config.inf", config);
    console_.clear();
    settings_load();
  }
};

struct ConsoleCase {
  const char* master;
  const char* lines;
};
class SettingsConsole : public SettingsTest, public ::testing::WithParamInterface<ConsoleCase> {};

TEST_P(SettingsConsole, Lines) {
  load(std::string("[master]\nlanguage=en\n") + GetParam().master);
  EXPECT_EQ(console_, GetParam().lines);
  // The device API may always send control commands.
  EXPECT_EQ(sup_policy.app_shutdown, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SettingsConsole,
    ::testing::Values(
        ConsoleCase{"",
                    "app_shutdown=0\nrecord_interval=0\ndischarge_lowest=0\nutility_fail_action=0\n"
                    "utility_fail_timeout=0\nshutdown_on_battery_low=0\nshutdown_on_temper_high=0\nshutdown_alarm=0\n"
                    "shutdown_alarm_timeout=6\nshutdown_type=0\n"},
        ConsoleCase{"app_shutdown=0\nrecord_interval=300\ndischarge_lowest=40\nutility_fail_timeout=120\n"
                    "shutdown_on_battery_low=30\nshutdown_on_temper_high=50\nshutdown_alarm_timeout=10\n"
                    "shutdown_self=0\n",
                    "app_shutdown=0\nrecord_interval=300\ndischarge_lowest=40\nutility_fail_action=1\n"
                    "utility_fail_timeout=120\nshutdown_on_battery_low=30\nshutdown_on_temper_high=50\n"
                    "shutdown_alarm=1\nshutdown_alarm_timeout=30\nshutdown_type=1\n"},
        ConsoleCase{"app_shutdown=1\nshutdown_alarm_timeout=45\nshutdown_self=7\nutility_fail_timeout=123456789\n",
                    "app_shutdown=1\nrecord_interval=0\ndischarge_lowest=0\nutility_fail_action=1\n"
                    "utility_fail_timeout=123456789\nshutdown_on_battery_low=0\nshutdown_on_temper_high=0\n"
                    "shutdown_alarm=1\nshutdown_alarm_timeout=45\nshutdown_type=2\n"},
        // A key without a value is no key.
        ConsoleCase{"shutdown_self=\nshutdown_alarm_timeout=0x1e\n",
                    "app_shutdown=0\nrecord_interval=0\ndischarge_lowest=0\nutility_fail_action=0\n"
                    "utility_fail_timeout=0\nshutdown_on_battery_low=0\nshutdown_on_temper_high=0\nshutdown_alarm=1\n"
                    "shutdown_alarm_timeout=30\nshutdown_type=0\n"}));

TEST_F(SettingsTest, IdentityValuesWithTheirFallbacksAndCapacities) {
  dir_create("www");
  dir_create("www/conf");
  kvtest::write_file("www/conf/system.conf", "[product]\npcode=KV-1000\nversion=26.0711\n");
  kvtest::write_file("www/conf/default.inf", "[master]\nname=Kelvane UPS\n\n[passwd]\npass9=guest\n");
  std::string long_remark;
  for (int i = 0; i < 100; ++i) long_remark += "\xc3\xa9";  // 200 bytes of two-byte characters
  load("[master]\nremark=" + long_remark + "\n\n[passwd]\npass1=admin\n");
  EXPECT_STREQ(sup_settings.pcode, "KV-1000");
  EXPECT_STREQ(sup_settings.release, "26.0711");
  EXPECT_STREQ(sup_settings.name, "Kelvane UPS");
  EXPECT_STREQ(sup_settings.default_name, "Kelvane UPS");
  EXPECT_STREQ(settings_password(1), "admin");
  EXPECT_STREQ(settings_password(9), "guest");
  EXPECT_STREQ(settings_password(2), "");
  EXPECT_STREQ(ups_status.platform, "norvel");
  // Cut to the capacity without splitting a character.
  EXPECT_EQ(std::string(sup_settings.remark), long_remark.substr(0, 126));
  // A missing language is stored as "un" and written back.
  EXPECT_STREQ(sup_settings.language, "un");
  EXPECT_EQ(profile_get("user/config.inf", "[master]", "language"), "un");
  load("[master]\nname=Rack 2\nlanguage=de\n");
  EXPECT_STREQ(sup_settings.name, "Rack 2");
  EXPECT_STREQ(sup_settings.language, "de");
}

TEST_F(SettingsTest, LoadResetsTheStatusAlarmsAndSchedule) {
  data_state = 2;
  link_error = 1;
  ups_status.published.batt_percent = 50;
  ups_schedule.shutdown_time = 99;
  alarm_set(13);
  load("[modules]\nups_alarm_id=10001\n\n[ups_alarm]\n17 10001\n");
  EXPECT_EQ(data_state, 0);
  EXPECT_EQ(link_error, 0);
  EXPECT_EQ(ups_status.published.batt_percent, 0);
  EXPECT_EQ(ups_schedule.shutdown_time, 0);
  EXPECT_EQ(alarm_status_bits(), 1u << 17);
  EXPECT_EQ(alarm_seq, 10101);
}

// ---------------------------------------------------------------------------
// Discharge calendar.

struct DischargeCase {
  const char* name;
  int period;
  int64_t last;
  int64_t now;
  int32_t offset = -28800;
  int charge = 100;
  int out_mode = MODE_MAINS;
  int capabilities = 15;
  int blocking_alarm = -1;
  int link = 0;
  bool due = false;
};

class DischargeCalendar : public SettingsTest, public ::testing::WithParamInterface<DischargeCase> {};

TEST_P(DischargeCalendar, Due) {
  const DischargeCase& c = GetParam();
  load("[master]\nlanguage=en\n");
  data_state = 2;
  link_error = c.link;
  ups_status.capabilities = c.capabilities;
  publish_mains();
  ups_status.published.out_mode = c.out_mode;
  ups_status.published.batt_percent = c.charge;
  if (c.blocking_alarm >= 0) alarm_set(static_cast<uint32_t>(c.blocking_alarm));
  sup_discharge = DischargeSchedule{c.offset, c.period, c.last};
  clock_.set_unix(c.now);
  commands().clear();
  discharge_check();
  if (c.due) {
    EXPECT_EQ(commands(), (std::vector<std::string>{"#test 3"}));
    EXPECT_EQ(sup_discharge.discharge_time, c.now);
    EXPECT_EQ(profile_get("user/config.inf", "[modules]", "discharge_time"), std::to_string(c.now));
  } else {
    EXPECT_TRUE(commands().empty());
    EXPECT_EQ(sup_discharge.discharge_time, c.last);
  }
}

constexpr int64_t kWed = 1736337600;      // 2025-01-08 12:00 UTC
constexpr int64_t kThu = 1736424000;      // 2025-01-09 12:00
constexpr int64_t kSat = 1736596800;      // 2025-01-11 12:00 (20:00 at UTC+8)
constexpr int64_t kSatLate = 1736625600;  // 2025-01-11 20:00 (Sunday 04:00 at UTC+8)
constexpr int64_t kSun = 1736683200;      // 2025-01-12 12:00
constexpr int64_t kSunBefore = 1736078400;  // 2025-01-05 12:00

DischargeCase dc(const char* name, int period, int64_t last, int64_t now, bool due) {
  DischargeCase c;
  c.name = name;
  c.period = period;
  c.last = last;
  c.now = now;
  c.due = due;
  return c;
}
DischargeCase with(DischargeCase c, void (*change)(DischargeCase&)) {
  change(c);
  return c;
}

INSTANTIATE_TEST_SUITE_P(
    Table, DischargeCalendar,
    ::testing::Values(
        dc("weekly_first_check_any_weekday", 7, 0, kWed, true), dc("weekly_two_days_gap", 7, kWed, kThu, false),
        dc("weekly_saturday", 7, kWed, kSat, false), dc("weekly_local_sunday", 7, kWed, kSatLate, true),
        with(dc("weekly_utc_saturday", 7, kWed, kSatLate, false), [](DischargeCase& c) { c.offset = 0; }),
        dc("weekly_sunday", 7, kWed, kSun, true), dc("weekly_next_sunday", 7, kSunBefore, kSun, true),
        dc("quarterly_april_first_local", 91, kSunBefore, 1743451200, true),
        dc("quarterly_march_31", 91, kSunBefore, 1743422400, false),
        dc("monthly_first", 30, 1744254000, 1746068400, true), dc("monthly_second", 30, 1744254000, 1746154800, false),
        dc("yearly_january_first", 365, 1735560000, 1735732800, true),
        dc("other_period_exactly_ten_days", 10, kWed, 1737201600, false),
        dc("other_period_more_than_ten_days", 10, kWed, 1737288000, true),
        dc("clock_before_2022_12_31", 7, 0, 1672401600, false),
        with(dc("charge_89", 7, 0, kWed, false), [](DischargeCase& c) { c.charge = 89; }),
        with(dc("charge_not_reported", 7, 0, kWed, true), [](DischargeCase& c) { c.charge = 0; }),
        with(dc("on_battery", 7, 0, kWed, false), [](DischargeCase& c) { c.out_mode = MODE_BATTERY; }),
        with(dc("shutdown_scheduled", 7, 0, kWed, false), [](DischargeCase& c) { c.blocking_alarm = 5; }),
        with(dc("battery_low", 7, 0, kWed, false), [](DischargeCase& c) { c.blocking_alarm = 14; }),
        with(dc("no_deep_test", 7, 0, kWed, false), [](DischargeCase& c) { c.capabilities = 7; }),
        with(dc("link_failed", 7, 0, kWed, false), [](DischargeCase& c) { c.link = 1; })),
    [](const ::testing::TestParamInfo<DischargeCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Start-up on the event loop.

int no_ports(std::span<PortName>) { return 0; }
int no_probe(const char*) { return -1; }
const PortScanOps kNoPorts{no_probe, no_ports};

class StartupTest : public SupervisionTest {
 protected:
  void SetUp() override {
    SupervisionTest::SetUp();
    write_english_resource();
    fmessage_init();
    ups_link_set_ops(nullptr, &kNoPorts);
  }
  void TearDown() override {
    supervision_stop();
    ups_link_stop();
    notify_base_stop();
    fmessage_shutdown();
    ups_link_set_ops(nullptr, nullptr);
    SupervisionTest::TearDown();
  }
  void start(const std::string& config) {
    kvtest::write_file("user/config.inf", config);
    restart();
  }
  // The link finds no UPS here and would soon report a link failure; the
  // test plays the link itself.
  void restart() {
    ASSERT_EQ(notify_base_start(), 0);
    ASSERT_EQ(supervision_start(), 0);
    ups_link_stop();
  }
  // Moves the clock on in steps of 100 ms, delivering what falls due.
  void pass_ms(uint32_t ms) {
    for (uint32_t done = 0; done < ms; done += 100) {
      clock_.advance_ms(100);
      for (int i = 0; i < 1000 && fmessage_step() == 1; ++i) {
      }
    }
  }
  static void ready_on(UpsMeasurements (*make)()) {
    data_state = 2;
    ups_status.in_phases = 1;
    ups_status.out_phases = 1;
    ups_status.capabilities = 15;
    ups_status.published = make();
  }
  static UpsMeasurements on_battery() {
    publish_battery(70);
    return ups_status.published;
  }
  static UpsMeasurements on_mains() {
    publish_mains();
    return ups_status.published;
  }
};

TEST_F(StartupTest, EvaluatesEveryTwoSecondsAndRecordsAfterLoggedChanges) {
  start("[master]\nlanguage=en\nrecord_interval=60\n");
  EXPECT_EQ(device_get(0)->record_format, record_json);
  pass_ms(2000);
  EXPECT_TRUE(alarm_active(ALARM_NOT_READY));
  ready_on(on_battery);
  pass_ms(2000);
  EXPECT_TRUE(alarm_active(ALARM_ON_BATTERY));
  EXPECT_EQ(path_kind("user/record.log"), 0);
  // A data record follows a logged change 2 s later, and one every minute.
  pass_ms(2000);
  EXPECT_EQ(file_size("user/record.log"), 48);
  pass_ms(52000);
  EXPECT_EQ(file_size("user/record.log"), 48);
  pass_ms(6000);
  EXPECT_EQ(file_size("user/record.log"), 94);
  std::string out;
  record_log_list(-1, out);
  // Alarms 13 and 17 in the status word.
  EXPECT_EQ(out.substr(0, 19), "[[1700000006,139264");
}

TEST_F(StartupTest, RestartRestoresAlarmsWithoutLoggingThemAgain) {
  start("[master]\nlanguage=en\n");
  ready_on(on_battery);
  pass_ms(2000);
  ASSERT_TRUE(alarm_active(ALARM_ON_BATTERY));
  uint32_t seq = ups_alarms[ALARM_ON_BATTERY].seq;
  size_t logged = read_alarm_log().size();
  supervision_stop();
  ups_link_stop();
  notify_base_stop();
  restart();
  EXPECT_TRUE(alarm_active(ALARM_ON_BATTERY));
  EXPECT_EQ(ups_alarms[ALARM_ON_BATTERY].seq, seq);
  EXPECT_EQ(alarm_seq, static_cast<int32_t>(ups_alarms[ALARM_INPUT_LOST].seq) + 100);
  EXPECT_EQ(read_alarm_log().size(), logged);
  // Back on mains: the first evaluation with data clears and logs it.
  ready_on(on_mains);
  pass_ms(2000);
  EXPECT_FALSE(alarm_active(ALARM_ON_BATTERY));
  auto log = read_alarm_log();
  ASSERT_EQ(log.size(), logged + 2);
  EXPECT_EQ(log[logged].code, 0x8000u + 13);
  EXPECT_EQ(log[logged + 1].code, 0x8000u + 17);
}

TEST_F(StartupTest, TimezoneAndDischargeSchedule) {
  struct Case {
    const char* master;
    int32_t offset;
  };
  const Case cases[] = {{"", -28800}, {"timezone=\n", -28800}, {"timezone=0\n", 0}, {"timezone=3600\n", 3600}};
  for (const Case& c : cases) {
    start(std::string("[master]\nlanguage=en\n") + c.master);
    EXPECT_EQ(sup_discharge.timezone_offset, c.offset) << c.master;
    supervision_stop();
    ups_link_stop();
  }
  start("[master]\nlanguage=en\ndischarge_period=7\n\n[modules]\ndischarge_time=4102444800\n");
  EXPECT_EQ(sup_discharge.discharge_period, 7);
  EXPECT_EQ(sup_discharge.discharge_time, 4102444800);  // 2100: beyond 32 bits
}

TEST_F(StartupTest, DischargeTimerChecksEveryTenMinutes) {
  clock_.set_unix(kWed);
  start("[master]\nlanguage=en\ndischarge_period=7\n");
  ready_on(on_mains);
  pass_ms(599000);
  EXPECT_TRUE(commands().empty());
  pass_ms(2000);
  EXPECT_EQ(commands(), (std::vector<std::string>{"#test 3"}));
  EXPECT_NE(profile_get("user/config.inf", "[modules]", "discharge_time"), "");
}

TEST_F(StartupTest, LogTimesFromAnUnsetClockAreRepairedOnceItIsSet) {
  clock_.set_unix(5000);  // a machine that starts without a set clock
  start("[master]\nlanguage=en\n");
  ready_on(on_battery);
  pass_ms(2000);  // alarms 13 and 17 at svc 3
  ASSERT_EQ(read_alarm_log().size(), 2u);
  EXPECT_LT(read_alarm_log()[0].time, 6000);
  EXPECT_EQ(kvtest::read_file("tmp/error_time_alarm"), "1");
  pass_ms(2000);  // the record after them, at svc 5
  pass_ms(10000);
  // The clock gets set; at the next check (svc 17, kNow + 2) the entries
  // are moved to the time they were really taken.
  clock_.set_unix(kNow);
  pass_ms(2000);
  auto log = read_alarm_log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].time, kNow + 2 - 14);
  EXPECT_EQ(log[1].time, kNow + 2 - 14);
  EXPECT_EQ(path_kind("tmp/error_time_alarm"), 0);
  EXPECT_EQ(path_kind("tmp/error_time_record"), 0);
  std::string out;
  record_log_list(-1, out);
  EXPECT_EQ(out.substr(0, 13), "[[1699999990,") << out;
}

TEST_F(StartupTest, StartPurgesEntriesOfAnUnsetClock) {
  kvtest::write_file("user/alarm.log", alarm_log_bytes({{50, 13}, {kNow, 17}}));
  start("[master]\nlanguage=en\n");
  auto log = read_alarm_log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].code, 17u);
}

}  // namespace
