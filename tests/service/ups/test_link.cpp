// The link loop in virtual time through the fake transport: detection
// walks, confirmation, polling, lost links, error accounting, publication.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "service/core/file_util.h"
#include "service/core/profile.h"
#include "service/net/fmessage.h"
#include "service/ups/ups_command.h"
#include "service/ups/ups_console.h"
#include "service/ups/ups_driver.h"
#include "service/ups/ups_link.h"
#include "service/ups/ups_status.h"
#include "tests/service/ups/fake_port.h"
#include "tests/service/ups/link_fixture.h"
#include "tests/support/test_support.h"

namespace {

using kvtest::read_file;
using kvtest::write_file;

// The opens that the walk makes: COM1 and COM2 are listed, the UPS speaks
// the second driver's protocol and sits on COM2.
TEST_F(LinkFixture, TwoPortDetectionWalk) {
  ports("COM1;COM2");
  bench_.add("COM1", nullptr);
  bench_.add("COM2", [this](const std::string& c) { return fake::stk0_ups(c, &bits_); });
  start();
  ASSERT_TRUE(run_until([] { return data_state == 2; }, 120000));
  const std::vector<std::string> expected = {"COM1", "COM2", "COM1", "COM2", "COM2", "COM1", "COM2"};
  EXPECT_EQ(bench_.opens, expected);
  EXPECT_NE(log_.find("find serial port : 1 2 \n"), std::string::npos);
  size_t last = log_.find("detect LAST once\n");
  size_t select = log_.find("\n--- select [ stk0@2400 ] --- \n");
  ASSERT_NE(last, std::string::npos);
  ASSERT_NE(select, std::string::npos);
  EXPECT_LT(last, select);
  // The confirmation ran the whole sequence, optional steps included, on
  // the open link.
  std::string confirm = log_.substr(last, select - last);
  EXPECT_NE(confirm.find("\nDetect [0] I\r\n"), std::string::npos);
  EXPECT_NE(confirm.find("\nDetect [1] F\r\n"), std::string::npos);
  EXPECT_NE(confirm.find("\nDetect [2] Q1\r\n"), std::string::npos);
  EXPECT_EQ(confirm.find("async sport start"), std::string::npos);
  EXPECT_EQ(read_file("tmp/device_type"), "stk0@2400");
  EXPECT_EQ(profile_get("user/config.inf", "[modules]", "device_type"), "stk0@2400");
  EXPECT_STREQ(ups_status.brand, "Maker Ltd      ");
  EXPECT_EQ(ups_status.rated_power, 880);
  EXPECT_EQ(ups_status.published.input[0].volt, 230);
  EXPECT_EQ(ups_status.published.cond[COND_ON_MAINS], 1);
  EXPECT_EQ(cycles_, 1);
}

TEST_F(LinkFixture, QsOnlyUpsIsFoundLast) {
  ports("COM3");
  bench_.add("COM3", fake::qs_only_ups);
  start();
  ASSERT_TRUE(run_until([] { return data_state == 2; }, 120000));
  EXPECT_NE(log_.find("\n--- select [ stk0@2400QS ] --- \n"), std::string::npos);
  // stk0@2400 failed twice (scan and rescan) before QS was accepted.
  size_t qs = log_.find("\ndetect ...... stk0@2400QS\n\n");
  size_t first = log_.find("\ndetect ...... stk0@2400\n\n");
  size_t second = log_.find("\ndetect ...... stk0@2400\n\n", first + 1);
  ASSERT_NE(second, std::string::npos);
  EXPECT_LT(first, qs);
  EXPECT_LT(qs, second);
  EXPECT_GT(log_.find("\n--- select [ stk0@2400QS ] --- \n"), second);
  // The identity and rating steps timed out in the confirmation and are
  // marked; the confirmation still ends with a working last step.
  EXPECT_TRUE(ups_drivers[2].steps[0].flags & STEP_UNSUPPORTED);
  EXPECT_TRUE(ups_drivers[2].steps[1].flags & STEP_UNSUPPORTED);
  EXPECT_FALSE(ups_drivers[2].steps[2].flags & STEP_UNSUPPORTED);
  EXPECT_EQ(read_file("tmp/device_type"), "stk0@2400QS");
  // Later cycles send only the query.
  size_t before = bench_.devices["COM3"].commands.size();
  run_ms(12500);
  const auto& cmds = bench_.devices["COM3"].commands;
  ASSERT_GE(cmds.size(), before + 2);
  for (size_t i = before; i < cmds.size(); ++i) EXPECT_EQ(cmds[i], "QS");
  EXPECT_EQ(ups_status.published.input[0].volt, 231);
}

TEST_F(LinkFixture, RejectedOptionalStepIsMarkedUnsupported) {
  ports("COM1");
  bench_.add("COM1", [this](const std::string& c) -> std::string {
    if (c == "I") return "#Maker LS\r";  // two fields: rejected
    return fake::stk0_ups(c, &bits_);
  });
  start();
  ASSERT_TRUE(run_until([] { return data_state == 2; }, 120000));
  EXPECT_NE(log_.find("\n--- select [ stk0@2400 ] --- \n"), std::string::npos);
  EXPECT_TRUE(ups_drivers[1].steps[0].flags & STEP_UNSUPPORTED);
  EXPECT_FALSE(ups_drivers[1].steps[1].flags & STEP_UNSUPPORTED);
  EXPECT_STREQ(ups_status.brand, "stk0");  // the driver's default stands
}

TEST_F(LinkFixture, Rtq6IsFoundFirst) {
  ports("COM1");
  bench_.add("COM1", fake::rtq6_ups);
  start();
  ASSERT_TRUE(run_until([] { return data_state == 2; }, 60000));
  EXPECT_NE(log_.find("\n--- select [ RTQ6 ] --- \n"), std::string::npos);
  EXPECT_EQ(log_.find("stk0"), std::string::npos);
  EXPECT_EQ(ups_status.in_phases, 3);
  EXPECT_EQ(ups_status.published.output[2].volt, 219);
  EXPECT_EQ(ups_status.published.cond[COND_ON_MAINS], 1);
  run_ms(6500);
  EXPECT_EQ(cycles_, 2);
}

TEST_F(LinkFixture, CablePulledWhilePolling) {
  ports("COM1;COM2");
  bench_.add("COM1", [this](const std::string& c) { return fake::stk0_ups(c, &bits_); });
  bench_.add("COM2", nullptr);
  start();
  ASSERT_TRUE(run_until([] { return data_state == 2; }, 120000));
  run_ms(6500);
  ASSERT_GE(cycles_, 2);
  size_t mark = log_.size();
  bench_.devices["COM1"].unplugged = true;
  ASSERT_TRUE(run_until([&] { return log_.find("read FAIL\n", mark) != std::string::npos; }, 10000));
  EXPECT_EQ(log_.find("read FAIL\n", log_.find("read FAIL\n", mark) + 1), std::string::npos);
  EXPECT_FALSE(link_exists());
  EXPECT_FALSE(bench_.devices["COM1"].open);
  // The last values stay published while the data are flagged not ready.
  size_t fail = log_.find("read FAIL\n", mark);
  ASSERT_TRUE(run_until([&] { return log_.find("\ndetect ......", fail) != std::string::npos; }, 5000));
  EXPECT_EQ(log_.find("\ndetect ...... stk0@2400\n\n", fail), log_.find("\ndetect ......", fail));
  EXPECT_EQ(ups_status.published.input[0].volt, 230);
  EXPECT_EQ(data_state, 0);
  EXPECT_TRUE(ups_api_status_word() & 1u);
  // Plugged in again: the remembered driver is confirmed and polling resumes.
  bench_.devices["COM1"].unplugged = false;
  ASSERT_TRUE(run_until([] { return data_state == 2; }, 120000));
  size_t second_select = log_.find("\n--- select [ stk0@2400 ] --- \n", fail);
  EXPECT_NE(second_select, std::string::npos);
  EXPECT_EQ(log_.find("detect ...... RTQ6", fail), std::string::npos);
}

TEST_F(LinkFixture, RememberedDriverFailsThenFullScan) {
  ports("COM1");
  bench_.add("COM1", [this](const std::string& c) { return fake::stk0_ups(c, &bits_); });
  start();
  ASSERT_TRUE(run_until([] { return data_state == 2; }, 120000));
  // Now a different UPS answers on the same port.
  size_t mark = log_.size();
  bench_.devices["COM1"].answer = fake::qs_only_ups;
  ASSERT_TRUE(run_until([&] { return log_.find("\n--- select [ stk0@2400QS ] --- \n", mark) != std::string::npos; }, 200000));
  std::string after = log_.substr(mark);
  // The remembered driver first: its failing step three times on the port,
  // then the full scan from the first driver.
  size_t remembered = after.find("\ndetect ...... stk0@2400\n\n");
  size_t scan = after.find("\ndetect ...... RTQ6\n\n");
  ASSERT_NE(remembered, std::string::npos);
  EXPECT_LT(remembered, scan);
  int q1_tries = 0;
  for (size_t p = after.find("\nDetect [2] Q1\r\n"); p != std::string::npos && p < scan;
       p = after.find("\nDetect [2] Q1\r\n", p + 1))
    ++q1_tries;
  EXPECT_EQ(q1_tries, 3);
}

TEST_F(LinkFixture, PortThatCannotBeOpenedStartsDiscoveryAgain) {
  ports("COM1");
  bench_.add("COM1", [this](const std::string& c) { return fake::stk0_ups(c, &bits_); });
  bench_.devices["COM1"].refuse_open = true;
  start();
  run_ms(1500);
  EXPECT_NE(log_.find("\ndetect ...... RTQ6\n\n"), std::string::npos);
  EXPECT_FALSE(link_exists());
  size_t first = log_.find("start .....");
  // Discovery again 2 s later; then the port opens and detection goes on.
  bench_.devices["COM1"].refuse_open = false;
  ASSERT_TRUE(run_until([&] { return log_.find("start .....", first + 1) != std::string::npos; }, 2500));
  ASSERT_TRUE(run_until([] { return data_state == 2; }, 120000));
}

TEST_F(LinkFixture, SeventeenPortsKeepSixteen) {
  std::string list;
  for (int i = 1; i <= 17; ++i) {
    std::string name = "COM" + std::to_string(i);
    bench_.add(name, nullptr);
    list += name + ";";
  }
  ports(list);
  start();
  run_ms(50);
  EXPECT_EQ(link_controller.port_count, 16);
  EXPECT_NE(log_.find("find serial port : 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 \n"), std::string::npos);
}

TEST_F(LinkFixture, ListedPortsComeBeforeTheSystemList) {
  write_file("appinfo.inf", "[app]\nserial_ports=/dev/sim0 ; COM9;COM404\n");
  bench_.add("/dev/sim0", nullptr);
  bench_.add("COM9", nullptr);
  bench_.add("COM3", nullptr);
  bench_.add("COM7", nullptr);
  bench_.system_ports = {"COM7", "COM9", "COM3"};
  start();
  run_ms(50);
  ASSERT_EQ(link_controller.port_count, 4);
  EXPECT_STREQ(link_controller.port_list[0].text, "/dev/sim0");
  EXPECT_STREQ(link_controller.port_list[1].text, "COM9");
  EXPECT_STREQ(link_controller.port_list[2].text, "COM7");
  EXPECT_STREQ(link_controller.port_list[3].text, "COM3");
  EXPECT_NE(log_.find("find serial port : /dev/sim0 9 7 3 \n"), std::string::npos);
}

TEST_F(LinkFixture, ScanOffUsesOnlyListedPorts) {
  ports("COM9");
  bench_.add("COM9", nullptr);
  bench_.add("COM3", nullptr);
  bench_.system_ports = {"COM3"};
  start();
  run_ms(50);
  ASSERT_EQ(link_controller.port_count, 1);
  EXPECT_STREQ(link_controller.port_list[0].text, "COM9");
}

TEST_F(LinkFixture, ErrorAccountingWithoutPorts) {
  ports("COM1");
  start();
  run_ms(10500);  // discovery at 0, 2, 4, 6, 8 and 10 s
  EXPECT_NE(log_.find("no serial port found, try later\n"), std::string::npos);
  for (int n = 1; n <= 5; ++n)
    EXPECT_NE(log_.find("+++ link error " + std::to_string(n) + "\n"), std::string::npos) << n;
  EXPECT_NE(log_.find("+++ link error report ++++\n"), std::string::npos);
  EXPECT_EQ(log_.find("+++ link error 6\n"), std::string::npos);
  EXPECT_EQ(link_error, 1);
  run_ms(2000);
  EXPECT_NE(log_.find("+++ link error 7\n"), std::string::npos);
  EXPECT_EQ(link_error, 1);
  bench_.add("COM1", [this](const std::string& c) { return fake::stk0_ups(c, &bits_); });
  ASSERT_TRUE(run_until([] { return data_state == 2; }, 120000));
  EXPECT_NE(log_.find("+++ link OK\n"), std::string::npos);
  EXPECT_EQ(link_error, 0);
}

TEST_F(LinkFixture, SilentPortCountsErrorsAndStartsOver) {
  ports("COM1");
  bench_.add("COM1", nullptr);
  start();
  // Three drivers fail on the only port; the link ends, discovery again.
  ASSERT_TRUE(run_until([&] { return log_.find("start .....", log_.find("detect ...... stk0@2400QS")) != std::string::npos; }, 30000));
  EXPECT_NE(log_.find("+++ link error 1\n"), std::string::npos);
  EXPECT_FALSE(bench_.devices["COM1"].open);
}

TEST_F(LinkFixture, FlagsFollowTheUpsFromCycleToCycle) {
  ports("COM1");
  bench_.add("COM1", [this](const std::string& c) { return fake::stk0_ups(c, &bits_); });
  bits_ = "10001000";  // on battery
  start();
  ASSERT_TRUE(run_until([] { return data_state == 2; }, 120000));
  EXPECT_EQ(ups_status.published.cond[COND_ON_BATTERY], 1);
  EXPECT_EQ(ups_status.published.cond[COND_INPUT_LOST], 1);
  bits_ = "00001000";  // mains back
  int before = cycles_;
  ASSERT_TRUE(run_until([&] { return cycles_ > before; }, 7000));
  EXPECT_EQ(ups_status.published.cond[COND_ON_BATTERY], 0);
  EXPECT_EQ(ups_status.published.cond[COND_INPUT_LOST], 0);
  EXPECT_EQ(ups_status.published.cond[COND_ON_MAINS], 1);
  EXPECT_EQ(ups_status.published.out_mode, MODE_MAINS);
}

TEST_F(LinkFixture, LostPhaseRecovers) {
  ports("COM1");
  std::string in_volt = "100.0";
  bench_.add("COM1", [&](const std::string& c) -> std::string {
    if (c == "Q1") return "(" + in_volt + " 0.0 229.0 012 50.0 2.27 25.0 00001000\r";
    return "";
  });
  start();
  ASSERT_TRUE(run_until([] { return data_state == 2; }, 120000));
  EXPECT_EQ(ups_status.published.input[0].lost, 1);
  EXPECT_EQ(ups_status.published.input[0].freq_x10, 0);
  in_volt = "230.0";
  int before = cycles_;
  ASSERT_TRUE(run_until([&] { return cycles_ > before; }, 7000));
  EXPECT_EQ(ups_status.published.input[0].lost, 0);
  EXPECT_EQ(ups_status.published.input[0].freq_x10, 500);
}

TEST_F(LinkFixture, DataNotReadyBeforeTheFirstCycle) {
  ports("COM1");
  bench_.add("COM1", [this](const std::string& c) { return fake::stk0_ups(c, &bits_); });
  start();
  bool seen_selected = false;
  ASSERT_TRUE(run_until([&] {
    if (data_state != 2) {
      EXPECT_TRUE(ups_api_status_word() & 1u);
    }
    if (data_state == 1) seen_selected = true;
    return data_state == 2;
  }, 120000));
  EXPECT_TRUE(seen_selected);
  EXPECT_FALSE(ups_api_status_word() & 1u);
}

TEST_F(LinkFixture, FirstSearchIsAFullScanEvenWithARememberedDriver) {
  write_file("user/config.inf", "[modules]\ndevice_type=stk0@2400QS\n");
  ports("COM1");
  bench_.add("COM1", fake::rtq6_ups);
  start();
  ASSERT_TRUE(run_until([] { return data_state == 2; }, 60000));
  EXPECT_EQ(log_.find("\ndetect ......"), log_.find("\ndetect ...... RTQ6\n\n"));
  EXPECT_EQ(profile_get("user/config.inf", "[modules]", "device_type"), "RTQ6");
}

struct BadReply {
  const char* name;
  std::string reply;
};

class BadReplyTest : public LinkFixture, public ::testing::WithParamInterface<BadReply> {};

// Whatever comes back, a poll ends as one failed transaction and the link
// starts over; nothing is parsed out of it.
TEST_P(BadReplyTest, EndsTheLink) {
  ports("COM1");
  std::string reply;
  bench_.add("COM1", [&](const std::string& c) -> std::string {
    if (!reply.empty() && c == "Q1") return reply;
    return fake::stk0_ups(c, &bits_);
  });
  start();
  ASSERT_TRUE(run_until([] { return data_state == 2; }, 120000));
  size_t mark = log_.size();
  ups_status.published.batt_temp = -99;
  reply = GetParam().reply;
  ASSERT_TRUE(run_until([&] { return log_.find("read FAIL\n", mark) != std::string::npos; }, 10000));
  EXPECT_FALSE(link_exists());
  EXPECT_EQ(ups_status.published.batt_temp, -99);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, BadReplyTest,
    ::testing::Values(BadReply{"NoCr", std::string(200, 'x')},
                      BadReply{"OverReceiveBuffer", std::string(700, '(')},
                      BadReply{"NulBytes", std::string("(230.0\0 230.0 229.0\r", 21)},
                      BadReply{"NonAscii", "(\xff\xfe\x80 \xc3\xa4\r"},
                      BadReply{"TooFewFields", "(230.0 230.0 229.0 012\r"},
                      BadReply{"WrongLead", "#230.0 230.0 229.0 012 50.0 2.27 25.0 00001000\r"},
                      BadReply{"PartialFrame", "(230.0 230.0 229.0 012 50.0"}),
    [](const ::testing::TestParamInfo<BadReply>& info) { return std::string(info.param.name); });

TEST_F(LinkFixture, TrickledReplyIsCollected) {
  ports("COM1");
  bench_.add("COM1", [this](const std::string& c) { return fake::stk0_ups(c, &bits_); });
  bench_.devices["COM1"].max_read = 5;  // a few bytes per 100 ms tick
  start();
  ASSERT_TRUE(run_until([] { return data_state == 2; }, 120000));
  EXPECT_EQ(ups_status.published.output[0].volt, 229);
}

TEST_F(LinkFixture, StopClosesThePortAndDropsCommands) {
  ports("COM1");
  bench_.add("COM1", [this](const std::string& c) { return fake::stk0_ups(c, &bits_); });
  start();
  ASSERT_TRUE(run_until([] { return data_state == 2; }, 120000));
  char out[64];
  ups_command("#beep", out);
  ups_command("#start", out);
  ASSERT_GE(command_queue_count(), 1);
  EXPECT_EQ(ups_link_stop(), 0);
  EXPECT_FALSE(bench_.devices["COM1"].open);
  EXPECT_EQ(command_queue_count(), 0);
  EXPECT_FALSE(link_exists());
  size_t mark = log_.size();
  run_ms(10000);
  EXPECT_EQ(log_.size(), mark);  // nothing runs any more
  // A new start begins with a fresh full scan (the supervision resets
  // the UPS-level state before it starts the link again).
  data_state = 0;
  EXPECT_EQ(ups_link_start(), 0);
  ASSERT_TRUE(run_until([] { return data_state == 2; }, 120000));
  EXPECT_NE(log_.find("\ndetect ...... RTQ6\n\n", mark), std::string::npos);
}

}  // namespace
