// End to end in real time: the supervision start-up against the UPS
// simulator on a pseudo-terminal. A mains failure that lasts runs the
// (marker-only) shutdown script and, one grace time later, shuts the
// simulated UPS down; a short one only comes and goes in the alarm log.
// Linux only: the simulator needs a pseudo-terminal.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "service/core/clock.h"
#include "service/core/file_util.h"
#include "service/net/fmessage.h"
#include "service/supervision/alarm.h"
#include "service/supervision/alarm_log.h"
#include "service/supervision/device_table.h"
#include "service/supervision/local_action.h"
#include "service/supervision/sup_common.h"
#include "service/supervision/supervision.h"
#include "service/ups/serial_port.h"
#include "service/ups/ups_console.h"
#include "service/ups/ups_link.h"
#include "service/ups/ups_status.h"
#include "tests/service/supervision/sup_fixture.h"
#include "tests/support/test_support.h"

#ifndef KV_UPSSIM_EXE
#define KV_UPSSIM_EXE ""
#endif

namespace {

class SupervisionSim : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(KV_UPSSIM_EXE).empty()) GTEST_SKIP() << "no simulator in this build";
    dir_create("user");
    dir_create("tmp");
    dir_create("alarm");
    dir_create("empty");
    marker_root_set("tmp");
    suptest::write_english_resource();
    sound_set_search_path((folder_.path() + "/empty").c_str());
    kvtest::write_file("alarm/shutdown.sh", "echo down > script.marker\n");
    ups_console_capture(&console_, std::getenv("KV_UPS_VERBOSE") == nullptr);
    fmessage_init();
    started_ = true;
  }
  void TearDown() override {
    if (!started_) return;
    supervision_stop();
    ups_link_stop();
    notify_base_stop();
    fmessage_shutdown();
    ups_console_capture(nullptr);
    sound_set_search_path(nullptr);
    marker_root_set(nullptr);
    control("quit");
    for (int i = 0; i < 200 && sport_probe(link_.c_str()) == 0; ++i) sleep_ms(10);
  }

  bool start(const std::string& master) {
    std::string dir = folder_.path();
    link_ = dir + "/ups-tty";
    ctl_ = dir + "/ups-ctl";
    simlog_ = dir + "/ups.log";
    std::string line = std::string("'") + KV_UPSSIM_EXE + "' --kind q1 --link '" + link_ + "' --control '" + ctl_ +
                       "' --log '" + simlog_ + "' --lifetime 300";
    if (!start_program(line.c_str())) return false;
    for (int i = 0; i < 500 && simlog().find("pty ") == std::string::npos; ++i) sleep_ms(10);
    if (sport_probe(link_.c_str()) != 0) return false;
    kvtest::write_file("appinfo.inf", "[app]\nserial_ports=" + link_ + "\nserial_scan=0\n");
    kvtest::write_file("user/config.inf", "[master]\nlanguage=en\n" + master);
    if (notify_base_start() != 0 || supervision_start() != 0) return false;
    return run_until([] { return data_state == 2; }, 40000);
  }
  void control(const std::string& line) {
    if (ctl_.empty()) return;
    FILE* f = file_open(ctl_.c_str(), "wb");
    if (!f) return;
    std::fputs((line + "\n").c_str(), f);
    std::fclose(f);
  }
  std::string simlog() { return kvtest::read_file(simlog_); }
  bool run_until(const std::function<bool()>& done, uint32_t max_ms) {
    uint32_t start = tick_ms();
    while (tick_diff(tick_ms(), start) < static_cast<int32_t>(max_ms)) {
      if (done()) return true;
      if (fmessage_step() == 0) sleep_ms(5);
    }
    return done();
  }

  kvtest::TempProgramFolder folder_;
  std::string console_, link_, ctl_, simlog_;
  bool started_ = false;
};

TEST_F(SupervisionSim, LastingMainsFailureShutsTheComputerThenTheUpsDown) {
  // Two seconds of mains failure are enough; 30 s of grace (the least);
  // "#down 1".
  ASSERT_TRUE(start("utility_fail_timeout=2\nshutdown_alarm_timeout=1\nshutdown_self=0\n")) << console_;
  control("mains off");
  ASSERT_TRUE(run_until([] { return alarm_active(ALARM_INPUT_LOST); }, 20000)) << console_;
  ASSERT_TRUE(run_until([] { return alarm_active(ALARM_SHUTTING_DOWN); }, 20000));
  int32_t lost = ups_alarms[ALARM_INPUT_LOST].since;
  int32_t down = ups_alarms[ALARM_SHUTTING_DOWN].since;
  EXPECT_GT(down - lost, 2);
  ASSERT_TRUE(run_until([] { return path_kind("script.marker") == 2; }, 10000));
  EXPECT_EQ(simlog().find("rx S.2R9999"), std::string::npos) << "not before the grace time";
  ASSERT_TRUE(run_until([&] { return simlog().find("rx S.2R9999") != std::string::npos; }, 60000)) << simlog();
  int64_t sent = svc_seconds();
  EXPECT_GE(sent - down, 30);
  EXPECT_LE(sent - down, 40);
  // Logged: 13 and 17, then 4.
  std::string log;
  alarm_log_list(-1, log);
  EXPECT_NE(log.find("\"Input mains power abnormal\""), std::string::npos) << log;
  EXPECT_NE(log.find(",4,\"Shutting down\"]"), std::string::npos) << log;
  // The simulated UPS switches its output off 12 s later: the shutdown is over.
  ASSERT_TRUE(run_until([] { return !alarm_active(ALARM_SHUTTING_DOWN); }, 40000));
  EXPECT_TRUE(alarm_active(ALARM_OUTPUT_OFF) || ups_status.published.out_mode == MODE_STANDBY);
}

TEST_F(SupervisionSim, ShortMainsFailureComesAndGoes) {
  ASSERT_TRUE(start("utility_fail_timeout=600\nshutdown_alarm_timeout=1\n")) << console_;
  control("mains off");
  ASSERT_TRUE(run_until([] { return alarm_active(ALARM_INPUT_LOST); }, 20000)) << console_;
  control("mains on");
  ASSERT_TRUE(run_until([] { return !alarm_active(ALARM_INPUT_LOST); }, 20000));
  EXPECT_FALSE(alarm_active(ALARM_SHUTTING_DOWN));
  std::string log;
  alarm_log_list(-1, log);
  EXPECT_NE(log.find(",32785,\"Input mains power restored\"]"), std::string::npos) << log;
  EXPECT_EQ(path_kind("script.marker"), 0);
  EXPECT_EQ(simlog().find("rx S"), std::string::npos);
}

}  // namespace
