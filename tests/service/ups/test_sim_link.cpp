// Real time, real port layer: the link against the UPS simulator on a
// pseudo-terminal. On Linux the test starts the simulator itself; under
// Wine a script maps a COM port to the simulator's terminal and names it in
// KV_TEST_COM. Without either the tests are skipped.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "service/core/clock.h"
#include "service/core/file_util.h"
#include "service/net/fmessage.h"
#include "service/ups/ups_command.h"
#include "service/ups/ups_console.h"
#include "service/ups/serial_port.h"
#include "service/ups/ups_link.h"
#include "service/ups/ups_status.h"
#include "tests/support/test_support.h"

#ifndef KV_UPSSIM_EXE
#define KV_UPSSIM_EXE ""
#endif

namespace {

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

class SimLink : public ::testing::Test {
 protected:
  void SetUp() override {
    com_ = env("KV_TEST_COM");
    std::string exe = KV_UPSSIM_EXE;
    if (com_.empty() && exe.empty()) GTEST_SKIP() << "no simulator in this build";
    dir_create("tmp");
    dir_create("user");
    ups_console_capture(&log_, std::getenv("KV_UPS_VERBOSE") == nullptr);
    ups_status_reset();
    data_state = 0;
    link_error = 0;
    fmessage_init();
    started_ = true;
  }
  void TearDown() override {
    if (!started_) return;
    ups_link_stop();
    fmessage_shutdown();
    ups_console_capture(nullptr);
    if (!link_.empty()) {
      control("quit");
      for (int i = 0; i < 200 && sport_probe(link_.c_str()) == 0; ++i) sleep_ms(10);
    }
  }

  // Starts the simulator of the given kind (Linux) or takes the mapped COM
  // port (Wine), and lists only that port.
  bool simulator(const char* kind) {
    std::string port = com_;
    if (port.empty()) {
      std::string dir = folder_.path();
      link_ = dir + "/ups-tty";
      ctl_ = dir + "/ups-ctl";
      simlog_ = dir + "/ups.log";
      std::string line = std::string("'") + KV_UPSSIM_EXE + "' --kind " + kind + " --link '" + link_ +
                         "' --control '" + ctl_ + "' --log '" + simlog_ + "' --lifetime 120";
      if (!start_program(line.c_str())) return false;
      // The simulator logs its terminal once the link and the control
      // FIFO are in place.
      for (int i = 0; i < 500 && simlog().find("pty ") == std::string::npos; ++i) sleep_ms(10);
      if (sport_probe(link_.c_str()) != 0) return false;
      port = link_;
    }
    kvtest::write_file("appinfo.inf", "[app]\nserial_ports=" + port + "\nserial_scan=0\n");
    return true;
  }
  bool driven() const { return !ctl_.empty(); }
  void control(const std::string& line) {
    if (ctl_.empty()) return;
    FILE* f = file_open(ctl_.c_str(), "wb");
    if (!f) return;
    std::fputs((line + "\n").c_str(), f);
    std::fclose(f);
  }
  std::string simlog() { return kvtest::read_file(simlog_); }

  // Runs the event loop in real time until done or the time is up.
  bool run_until(const std::function<bool()>& done, uint32_t max_ms) {
    uint32_t start = tick_ms();
    while (tick_diff(tick_ms(), start) < static_cast<int32_t>(max_ms)) {
      if (done()) return true;
      if (fmessage_step() == 0) sleep_ms(5);
    }
    return done();
  }
  std::string command(const char* text) {
    char out[64];
    int n = ups_command(text, out);
    return std::string(out, static_cast<size_t>(n));
  }

  kvtest::TempProgramFolder folder_;
  std::string com_, link_, ctl_, simlog_, log_;
  bool started_ = false;
};

TEST_F(SimLink, Q1KindIsDetectedPolledAndCommanded) {
  ASSERT_TRUE(simulator("q1"));
  ASSERT_EQ(ups_link_start(), 0);
  ASSERT_TRUE(run_until([] { return data_state == 2; }, 40000)) << log_;
  EXPECT_NE(log_.find("\n--- select [ stk0@2400 ] --- \n"), std::string::npos);
  EXPECT_EQ(kvtest::read_file("tmp/device_type"), "stk0@2400");
  EXPECT_STREQ(ups_status.brand, "SimPower Inc.  ");
  EXPECT_EQ(ups_status.published.input[0].volt, 230);
  EXPECT_EQ(ups_status.published.batt_percent, 100);
  EXPECT_EQ(ups_status.published.cond[COND_ON_MAINS], 1);
  EXPECT_EQ(ups_status.published.cond[COND_BEEPER_ON], 0);
  // A command changes the UPS; an immediate poll shows it.
  EXPECT_EQ(command("#beep"), "true");
  ASSERT_TRUE(run_until([] { return command_queue_count() == 0; }, 5000));
  EXPECT_EQ(command("@FFFF"), "true");
  ASSERT_TRUE(run_until([] { return ups_status.published.cond[COND_BEEPER_ON] == 1; }, 8000));
  // A raw frame and its answer.
  EXPECT_EQ(command("@Q1"), "queued");
  ASSERT_TRUE(run_until([] { return path_kind("tmp/cmd_answer") == 2; }, 5000));
  EXPECT_EQ(kvtest::read_file("tmp/cmd_answer").substr(0, 7), "(230.0 ");
  EXPECT_EQ(command("@"), "no format function");
  if (!driven()) return;
  // Mains lost, and replies trickled at real 2400-baud timing.
  control("fault trickle");
  control("mains off");
  ASSERT_TRUE(run_until([] { return ups_status.published.cond[COND_ON_BATTERY] == 1; }, 15000)) << log_;
  EXPECT_EQ(ups_status.published.cond[COND_INPUT_LOST], 1);
  control("fault none");
  control("mains on");
  ASSERT_TRUE(run_until([] { return ups_status.published.cond[COND_ON_MAINS] == 1; }, 15000));
  EXPECT_EQ(ups_status.published.cond[COND_ON_BATTERY], 0);
  EXPECT_EQ(ups_status.published.cond[COND_INPUT_LOST], 0);
  EXPECT_NE(simlog().find("rx Q\n"), std::string::npos);
}

// The port layer itself on the terminal: reads never wait, a second open
// of a held port fails, replies arrive in pieces.
TEST_F(SimLink, PortLayerOnTheTerminal) {
  ASSERT_TRUE(simulator("q1"));
  std::string port = com_.empty() ? link_ : com_;
  sport_t h = sport_open(port.c_str(), 2400);
  ASSERT_TRUE(sport_valid(h)) << log_;
  EXPECT_NE(log_.find("sport ( " + port + " ) open ..... OK\n"), std::string::npos);
  uint8_t buf[600];
  uint32_t before = tick_ms();
  EXPECT_EQ(sport_read(h, buf, sizeof buf), 0);
  EXPECT_LT(tick_diff(tick_ms(), before), 500);
  // Wine does not enforce the share mode on COM devices; its script says so.
  if (env("KV_TEST_SHARED_COM").empty()) {
    sport_t second = sport_open(port.c_str(), 2400);  // held by us
    EXPECT_EQ(second, -1);
    if (sport_valid(second)) sport_close(second);
    EXPECT_EQ(sport_probe(port.c_str()), -1);
  }
  const uint8_t q1[] = {'Q', '1', '\r'};
  EXPECT_EQ(sport_write(h, q1, 3, -1), 3);
  std::string reply;
  uint32_t start = tick_ms();
  while (reply.find('\r') == std::string::npos && tick_diff(tick_ms(), start) < 3000) {
    int n = sport_read(h, buf, sizeof buf);
    ASSERT_GE(n, 0);
    reply.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
    sleep_ms(10);
  }
  EXPECT_EQ(reply.substr(0, 7), "(230.0 ");
  EXPECT_EQ(reply.back(), '\r');
  EXPECT_EQ(sport_write(h, q1, 3, 0), 3);
  sleep_ms(300);
  EXPECT_EQ(sport_drain(h), 0);
  EXPECT_EQ(sport_read(h, buf, sizeof buf), 0);
  EXPECT_EQ(sport_close(h), 0);
  EXPECT_EQ(sport_probe(port.c_str()), 0);
}

// Windows: the mapped port is in the system's own list of serial ports.
TEST_F(SimLink, SystemListNamesTheMappedPort) {
  if (com_.empty()) GTEST_SKIP() << "only for a mapped COM port";
  PortName names[16];
  int n = sport_list_system(names, nullptr);
  bool found = false;
  for (int i = 0; i < n; ++i) found = found || com_ == names[i].text;
  EXPECT_TRUE(found) << com_;
}

TEST_F(SimLink, Rtq6KindIsDetected) {
  if (!com_.empty()) GTEST_SKIP() << "the mapped simulator is of the Q1 kind";
  ASSERT_TRUE(simulator("rtq6"));
  ASSERT_EQ(ups_link_start(), 0);
  ASSERT_TRUE(run_until([] { return data_state == 2; }, 20000)) << log_;
  EXPECT_NE(log_.find("\n--- select [ RTQ6 ] --- \n"), std::string::npos);
  EXPECT_EQ(ups_status.in_phases, 3);
  EXPECT_STREQ(ups_status.model, "SIM-RT3K");
  EXPECT_EQ(ups_status.published.output[2].volt, 220);
}

TEST_F(SimLink, GarbageAndDisconnectEndTheLinkAndItComesBack) {
  if (!com_.empty()) GTEST_SKIP() << "needs a simulator under the test's control";
  ASSERT_TRUE(simulator("q1"));
  ASSERT_EQ(ups_link_start(), 0);
  ASSERT_TRUE(run_until([] { return data_state == 2; }, 40000)) << log_;
  size_t mark = log_.size();
  control("fault garbage");
  ASSERT_TRUE(run_until([&] { return log_.find("read FAIL\n", mark) != std::string::npos; }, 10000));
  control("fault none");
  data_state = 0;
  ASSERT_TRUE(run_until([] { return data_state == 2; }, 40000)) << log_;
  mark = log_.size();
  control("disconnect");
  ASSERT_TRUE(run_until([&] { return log_.find("read FAIL\n", mark) != std::string::npos; }, 10000));
  ASSERT_TRUE(run_until([&] { return log_.find("no serial port found, try later\n", mark) != std::string::npos; },
                        10000));
  control("reconnect");
  ASSERT_TRUE(run_until([] { return data_state == 2; }, 40000)) << log_;
  // The remembered driver came first after the loss.
  size_t fail = log_.find("read FAIL\n", mark);
  EXPECT_EQ(log_.find("\ndetect ......", fail), log_.find("\ndetect ...... stk0@2400\n\n", fail));
}

}  // namespace
