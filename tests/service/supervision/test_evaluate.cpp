// The alarm evaluation and the shutdown policy, on the test clock: the link
// is played by republishing a measurement every 6 s while the evaluation
// runs every 2 s, as in the service.
#include <algorithm>
#include <string>
#include <vector>

#include "tests/service/supervision/sup_fixture.h"

namespace {

using namespace suptest;

class EvaluateTest : public SupervisionTest {
 protected:
  void SetUp() override {
    SupervisionTest::SetUp();
    dir_create("alarm");
  }
  // Loads the policy from "[master]" lines as the start-up does.
  void load(const std::string& master) {
    kvtest::write_file("user/config.inf", "[master]\nlanguage=en\n" + master);
    settings_load();
    data_state = 2;
    ups_status.in_phases = 1;
    ups_status.out_phases = 1;
    ups_status.capabilities = 15;
  }
  // Runs whole seconds: a cycle every 6 s, an evaluation every 2 s; calls
  // each(t) after every second (t counted from the start of the run).
  template <typename Each>
  void run(int seconds, const UpsMeasurements& base, Each each) {
    for (int t = 0; t <= seconds; ++t) {
      if (t % 6 == 0) {
        ups_status.published = base;
        alarm_evaluate();  // after the published cycle
      }
      if (t % 2 == 0) alarm_evaluate();
      each(t);
      advance_s(1);
    }
  }
  static UpsMeasurements battery(int percent) {
    publish_battery(percent);
    return ups_status.published;
  }
  static UpsMeasurements mains() {
    publish_mains();
    return ups_status.published;
  }
  static int count_script() { return static_cast<int>(std::count(actions().begin(), actions().end(), "script")); }
};

struct GraceCase {
  const char* master;
  const char* command;  // nullptr: none within the run
  int command_at;       // seconds after the raise of alarm 4
  bool script;
};
class ShutdownGrace : public EvaluateTest, public ::testing::WithParamInterface<GraceCase> {};

TEST_P(ShutdownGrace, BatteryLowShutsDownAfterTheGraceTime) {
  const GraceCase& g = GetParam();
  load(std::string("shutdown_on_battery_low=30\n") + g.master);
  int raised_at = -1, command_at = -1;
  std::string command;
  run(80, battery(20), [&](int t) {
    if (raised_at < 0 && alarm_active(ALARM_SHUTTING_DOWN)) raised_at = t;
    if (command_at < 0 && !commands().empty()) {
      command_at = t;
      command = commands()[0];
    }
  });
  EXPECT_EQ(raised_at, 0);
  EXPECT_TRUE(alarm_active(ALARM_BATTERY_LOW));
  EXPECT_EQ(count_script(), g.script ? 1 : 0);
  if (g.command) {
    EXPECT_EQ(command, g.command);
    // The command goes out at the first evaluation after the grace time.
    EXPECT_EQ(command_at - raised_at, g.command_at);
    EXPECT_EQ(commands().size(), 1u) << "sent once";
  } else {
    EXPECT_TRUE(commands().empty()) << commands()[0];
  }
  EXPECT_NE(console_.find(g.script ? "shutdown_alarm=1\n" : "shutdown_alarm=0\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ShutdownGrace,
    ::testing::Values(GraceCase{"shutdown_self=1\n", "#down 2", 8, false},                  // grace 6
                      GraceCase{"shutdown_alarm_timeout=10\nshutdown_self=0\n", "#down 1", 32, true},  // grace 30
                      GraceCase{"shutdown_alarm_timeout=45\n", nullptr, 0, true},            // no UPS command
                      GraceCase{"", nullptr, 0, false}));

TEST_F(EvaluateTest, MainsLostLongerThanTheTimeoutShutsDownAndAlarm4SustainsItself) {
  load("utility_fail_timeout=60\nshutdown_self=1\nshutdown_alarm_timeout=30\n");
  int lost_at = -1, down_at = -1;
  run(70, battery(90), [&](int t) {
    if (lost_at < 0 && alarm_active(ALARM_INPUT_LOST)) lost_at = t;
    if (down_at < 0 && alarm_active(ALARM_SHUTTING_DOWN)) down_at = t;
  });
  EXPECT_EQ(lost_at, 0);
  // Active for longer than 60 s: the evaluation at 62 s.
  EXPECT_EQ(down_at, 62);
  EXPECT_EQ(ups_schedule.shutdown_kind, 2);
  EXPECT_EQ(count_script(), 1);
  // Mains coming back does not cancel the shutdown; one grace time after
  // the raise the UPS is told.
  run(40, mains(), [](int) {});
  EXPECT_FALSE(alarm_active(ALARM_INPUT_LOST));
  EXPECT_TRUE(alarm_active(ALARM_SHUTTING_DOWN));
  // Nor does a lost link: the flag stays in the published block.
  link_error = 1;
  alarm_evaluate();
  EXPECT_TRUE(alarm_active(ALARM_SHUTTING_DOWN));
  EXPECT_TRUE(alarm_active(ALARM_LINK_FAILURE));
  link_error = 0;
  // The UPS has switched its output off: the shutdown is over.
  UpsMeasurements off = mains();
  off.out_mode = MODE_STANDBY;
  off.cond[COND_OUTPUT_OFF] = 1;
  run(6, off, [](int) {});
  EXPECT_FALSE(alarm_active(ALARM_SHUTTING_DOWN));
  EXPECT_TRUE(alarm_active(ALARM_OUTPUT_OFF));
  EXPECT_EQ(commands(), (std::vector<std::string>{"#down 2"}));
}

TEST_F(EvaluateTest, MainsBackBeforeTheTimeoutClearsTheAlarm) {
  load("utility_fail_timeout=60\n");
  write_english_resource();
  run(30, battery(90), [](int) {});
  EXPECT_TRUE(alarm_active(ALARM_INPUT_LOST));
  run(6, mains(), [](int) {});
  EXPECT_FALSE(alarm_active(ALARM_INPUT_LOST));
  EXPECT_FALSE(alarm_active(ALARM_SHUTTING_DOWN));
  std::string out;
  alarm_log_list(-1, out);
  EXPECT_NE(out.find("Input mains power restored"), std::string::npos) << out;
}

TEST_F(EvaluateTest, ScheduledShutdownDown1In120WithGrace30) {
  load("shutdown_alarm_timeout=30\n");
  // What the device API item "down 1 120" stores.
  ups_schedule.shutdown_kind = 1;
  ups_schedule.shutdown_time = svc_seconds() + 120;
  int scheduled_until = -1, down_at = -1, command_at = -1;
  run(140, mains(), [&](int t) {
    if (alarm_active(ALARM_SHUTDOWN_SCHEDULED)) scheduled_until = t;
    if (down_at < 0 && alarm_active(ALARM_SHUTTING_DOWN)) down_at = t;
    if (command_at < 0 && !commands().empty()) command_at = t;
  });
  // Due once it is less than one grace time away.
  EXPECT_EQ(down_at, 92);
  // Alarm 5 ends with the next published cycle.
  EXPECT_EQ(scheduled_until, 95);
  EXPECT_EQ(command_at, 124);
  EXPECT_EQ(commands(), (std::vector<std::string>{"#down 1"}));
  EXPECT_EQ(ups_schedule.shutdown_time, 0);
  EXPECT_EQ(count_script(), 1);
}

TEST_F(EvaluateTest, ScheduledShutdownCancelledStaysQuiet) {
  load("shutdown_alarm_timeout=30\n");
  ups_schedule.shutdown_kind = 1;
  ups_schedule.shutdown_time = svc_seconds() + 120;
  run(20, mains(), [](int) {});
  EXPECT_TRUE(alarm_active(ALARM_SHUTDOWN_SCHEDULED));
  // "down cancel"
  ups_schedule.shutdown_kind = 0;
  ups_schedule.shutdown_time = 0;
  run(140, mains(), [](int) {});
  EXPECT_FALSE(alarm_active(ALARM_SHUTDOWN_SCHEDULED));
  EXPECT_FALSE(alarm_active(ALARM_SHUTTING_DOWN));
  EXPECT_TRUE(commands().empty());
}

struct TestCancel {
  int charge;
  int lowest;
  int test_result;
  bool cancels;
};
class DischargeLowest : public EvaluateTest, public ::testing::WithParamInterface<TestCancel> {};

TEST_P(DischargeLowest, RunningTestIsCancelledBelowTheLimitAtEveryEvaluation) {
  load("discharge_lowest=" + std::to_string(GetParam().lowest) + "\n");
  UpsMeasurements m = mains();
  m.batt_percent = GetParam().charge;
  m.test_result = GetParam().test_result;
  run(11, m, [](int) {});
  // Evaluations at 0 (twice), 2, 4, 6 (twice), 8, 10.
  std::vector<std::string> expected(GetParam().cancels ? 8 : 0, "#test 0");
  EXPECT_EQ(commands(), expected);
}

INSTANTIATE_TEST_SUITE_P(Table, DischargeLowest,
                         ::testing::Values(TestCancel{35, 40, TEST_RUNNING, true},
                                           TestCancel{40, 40, TEST_RUNNING, false},
                                           TestCancel{0, 40, TEST_RUNNING, false},
                                           TestCancel{35, 0, TEST_RUNNING, false},
                                           TestCancel{35, 40, TEST_PASSED, false}));

struct Trigger {
  const char* master;
  int out_mode, charge, temp;
  int alarm;  // the condition alarm expected, -1 none
  bool shutdown;
};
class ShutdownTrigger : public EvaluateTest, public ::testing::WithParamInterface<Trigger> {};

TEST_P(ShutdownTrigger, Limits) {
  const Trigger& tr = GetParam();
  load(tr.master);
  UpsMeasurements m = mains();
  m.out_mode = tr.out_mode;
  m.batt_percent = tr.charge;
  m.batt_temp = tr.temp;
  run(2, m, [](int) {});
  if (tr.alarm >= 0) {
    EXPECT_TRUE(alarm_active(tr.alarm));
  }
  EXPECT_FALSE(alarm_active(ALARM_BATTERY_LOW) && tr.alarm != ALARM_BATTERY_LOW);
  EXPECT_FALSE(alarm_active(ALARM_HIGH_TEMPERATURE) && tr.alarm != ALARM_HIGH_TEMPERATURE);
  EXPECT_EQ(alarm_active(ALARM_SHUTTING_DOWN), tr.shutdown);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ShutdownTrigger,
    ::testing::Values(Trigger{"shutdown_on_temper_high=40\n", MODE_MAINS, 100, 40, -1, false},
                      Trigger{"shutdown_on_temper_high=40\n", MODE_MAINS, 100, 41, ALARM_HIGH_TEMPERATURE, true},
                      Trigger{"shutdown_on_temper_high=0\n", MODE_MAINS, 100, 90, -1, false},
                      Trigger{"shutdown_on_battery_low=30\n", MODE_BATTERY, 29, 25, ALARM_BATTERY_LOW, true},
                      Trigger{"shutdown_on_battery_low=30\n", MODE_BATTERY, 30, 25, -1, false},
                      // A charge of 0 is "not reported".
                      Trigger{"shutdown_on_battery_low=30\n", MODE_BATTERY, 0, 25, -1, false},
                      // On mains a low charge is no reason to shut down.
                      Trigger{"shutdown_on_battery_low=30\n", MODE_MAINS, 10, 25, -1, false}));

TEST_F(EvaluateTest, RestartIsSentOnceWhileTheOutputIsOff) {
  load("");
  ups_schedule.shutdown_kind = 2;
  ups_schedule.shutdown_time = svc_seconds() + 500;
  ups_schedule.restart_time = svc_seconds() + 10;
  UpsMeasurements off = mains();
  off.out_mode = MODE_STANDBY;
  int sent_at = -1;
  run(20, off, [&](int t) {
    if (sent_at < 0 && !commands().empty()) sent_at = t;
  });
  EXPECT_EQ(sent_at, 12);
  EXPECT_EQ(commands(), (std::vector<std::string>{"#start"}));
  EXPECT_EQ(ups_schedule.shutdown_time, 0);
  EXPECT_EQ(ups_schedule.shutdown_kind, 0);
  // With the output on, a restart time is dropped.
  ups_schedule.restart_time = svc_seconds() + 10;
  run(2, mains(), [](int) {});
  EXPECT_EQ(ups_schedule.restart_time, 0);
}

TEST_F(EvaluateTest, NoDataAndLinkFailure) {
  write_english_resource();
  load("");
  data_state = 1;
  publish_mains();
  alarm_evaluate();
  EXPECT_TRUE(alarm_active(ALARM_NOT_READY));
  EXPECT_TRUE(read_alarm_log().empty());
  data_state = 2;
  publish_mains();
  alarm_evaluate();
  EXPECT_FALSE(alarm_active(ALARM_NOT_READY));
  link_error = 1;
  alarm_evaluate();
  EXPECT_TRUE(alarm_active(ALARM_LINK_FAILURE));
  EXPECT_FALSE(alarm_active(ALARM_NOT_READY));
  auto log = read_alarm_log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].code, 1u);
  link_error = 0;
  publish_mains();
  alarm_evaluate();
  EXPECT_FALSE(alarm_active(ALARM_LINK_FAILURE));
  EXPECT_NE(std::string(mail_text).find("Serial port communication restored"), std::string::npos);
}

}  // namespace
