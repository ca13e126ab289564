// Driver parsers against canned replies, the frame splitter, the charge
// curve and the command mapping.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "service/ups/ups_driver.h"
#include "service/ups/ups_status.h"
#include "tests/support/test_support.h"

namespace {

constexpr int kRtq6 = 0, kStk0 = 1, kStk0Qs = 2;

// Canned replies, as the UPS sends them (the CR ends the frame and is not
// part of what the parser sees).
constexpr const char* kQ1Mains = "(230.0 230.0 229.0 012 50.0 2.27 25.0 00001000";
constexpr const char* kQ1Battery = "(230.0 230.0 229.0 012 50.0 2.27 25.0 10001000";
constexpr const char* kRt = "(01.20 0 RT3000 0 3 220 50 12 20 0 3000";
constexpr const char* kQ6 =
    "(230.1 229.8 231.0 50.0 220.0 220.1 219.9 50.0 035 032 030 120.1 120.2 028 045 100 30 000 000";

int parse(int driver, int step, const char* reply) {
  DriverStep* steps = ups_drivers[driver].steps;
  return steps[step].parser(step, reply, static_cast<int>(std::strlen(reply)), steps);
}

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ups_status_reset();
    drivers_reset_steps();
  }
  kvtest::FakeClock clock_{5000};
  UpsMeasurements& w = ups_status.work;
};

TEST_F(DriverTest, TableOrderAndSteps) {
  EXPECT_STREQ(ups_drivers[0].name, "RTQ6");
  EXPECT_STREQ(ups_drivers[1].name, "stk0@2400");
  EXPECT_STREQ(ups_drivers[2].name, "stk0@2400QS");
  EXPECT_EQ(driver_find("stk0@2400QS"), 2);
  EXPECT_EQ(driver_find("stk0@2400 "), -1);
  for (const UpsDriver& d : ups_drivers) {
    EXPECT_EQ(d.link_type, 232);
    EXPECT_EQ(d.bit_rate, 2400);
    EXPECT_EQ(d.step_delay, 100);
    EXPECT_EQ(d.poll_interval, 6000);
    EXPECT_EQ(d.format_answer, nullptr);
  }
  EXPECT_STREQ(ups_drivers[kRtq6].steps[0].command, "RT\r");
  EXPECT_EQ(ups_drivers[kRtq6].steps[0].length, 3);
  EXPECT_EQ(ups_drivers[kStk0].steps[0].length, 2);
  EXPECT_EQ(ups_drivers[kStk0].steps[0].flags, STEP_DETECT | STEP_OPTIONAL);
  EXPECT_STREQ(ups_drivers[kStk0Qs].steps[2].command, "QS\r");
  EXPECT_EQ(ups_drivers[kStk0Qs].steps[3].parser, nullptr);
}

TEST_F(DriverTest, Stk0Q1OnMains) {
  ups_drivers[kStk0].init();
  ASSERT_TRUE(parse(kStk0, 2, kQ1Mains));
  EXPECT_EQ(w.input[0].volt, 230);
  EXPECT_EQ(w.input[0].lost, 0);
  EXPECT_EQ(w.input[0].freq_x10, 500);
  EXPECT_EQ(w.output[0].volt, 229);
  EXPECT_EQ(w.output[0].freq_x10, 500);
  EXPECT_EQ(w.output[0].load, 12);
  EXPECT_EQ(w.batt_volt_x10, 136);
  EXPECT_EQ(w.batt_percent, 100);
  EXPECT_EQ(w.batt_status, BATT_NORMAL);
  EXPECT_EQ(w.batt_temp, 25);
  EXPECT_EQ(w.out_mode, MODE_MAINS);
  EXPECT_EQ(ups_status.ups_type, 1);
  EXPECT_EQ(w.cond[COND_ON_MAINS], 1);
  EXPECT_EQ(w.cond[COND_ON_BATTERY], 0);
  EXPECT_EQ(w.input[1].volt, 0);  // one phase: phases 2 and 3 stay 0
  EXPECT_EQ(w.output[2].volt, 0);
}

TEST_F(DriverTest, Stk0Q1OnBattery) {
  ups_drivers[kStk0].init();
  ASSERT_TRUE(parse(kStk0, 2, kQ1Battery));
  EXPECT_EQ(w.out_mode, MODE_BATTERY);
  EXPECT_EQ(w.cond[COND_ON_BATTERY], 1);
  EXPECT_EQ(w.cond[COND_INPUT_LOST], 1);
  EXPECT_EQ(w.cond[COND_ON_MAINS], 0);
}

TEST_F(DriverTest, FieldCountRules) {
  ups_drivers[kStk0].init();
  const char* nine = "(230.0 230.0 229.0 012 50.0 2.27 25.0 00001000 7";
  EXPECT_TRUE(parse(kStk0, 2, nine));
  EXPECT_FALSE(parse(kRtq6, 2, nine));
  EXPECT_TRUE(parse(kRtq6, 2, kQ1Mains));
  EXPECT_FALSE(parse(kStk0, 2, "(230.0 230.0 229.0 012 50.0 2.27 25.0"));
  EXPECT_FALSE(parse(kStk0, 2, "#230.0 230.0 229.0 012 50.0 2.27 25.0 00001000"));
  EXPECT_FALSE(parse(kRtq6, 0, "(01.20 0 RT3000 0 3 220 50 12 20 0"));
  EXPECT_FALSE(parse(kRtq6, 0, "(01.20 0 RT3000 0 3 220 50 12 20 0 3000 1"));
  EXPECT_FALSE(parse(kRtq6, 1, "(230.1 229.8 231.0 50.0 220.0 220.1 219.9 50.0 035 032 030 120.1 120.2 028 045 100 30 000"));
  // A short status field is accepted and changes nothing.
  ups_clear_work();
  EXPECT_TRUE(parse(kStk0, 2, "(230.0 230.0 229.0 012 50.0 2.27 25.0 1000"));
  EXPECT_EQ(w.out_mode, 0);
}

TEST_F(DriverTest, RatingReplyOfRtq6) {
  ASSERT_TRUE(parse(kRtq6, 0, kRt));
  EXPECT_STREQ(ups_status.brand, "ups factory");
  EXPECT_STREQ(ups_status.firmware, "01.20");
  EXPECT_STREQ(ups_status.model, "RT3000");
  EXPECT_EQ(ups_status.in_phases, 3);
  EXPECT_EQ(ups_status.out_phases, 3);
  EXPECT_EQ(ups_status.in_volt, 220);
  EXPECT_EQ(ups_status.out_freq_x10, 500);
  EXPECT_EQ(ups_status.rated_batt_x10, 2400);
  EXPECT_EQ(ups_status.rated_power, 3000);
  EXPECT_EQ(ups_status.ups_type, 1);
  EXPECT_EQ(ups_status.capabilities, 15);
}

TEST_F(DriverTest, MeasurementReplyOfRtq6) {
  ASSERT_TRUE(parse(kRtq6, 0, kRt));
  ASSERT_TRUE(parse(kRtq6, 1, kQ6));
  EXPECT_EQ(w.input[0].volt, 230);
  EXPECT_EQ(w.input[2].volt, 231);
  EXPECT_EQ(w.input[1].freq_x10, 500);
  EXPECT_EQ(w.output[1].volt, 220);
  EXPECT_EQ(w.output[0].load, 35);
  EXPECT_EQ(w.output[2].load, 30);
  EXPECT_EQ(w.batt_volt_x10, 1202 + 1201);  // no float rounding loss
  EXPECT_EQ(w.batt_temp, 28);
  EXPECT_EQ(w.batt_remain, 45);
  EXPECT_EQ(w.batt_percent, 100);
  EXPECT_EQ(w.out_mode, MODE_MAINS);
  EXPECT_EQ(w.cond[COND_ON_MAINS], 1);
  EXPECT_EQ(w.test_result, TEST_NONE);
}

TEST_F(DriverTest, Rtq6ThresholdAndAlarms) {
  ASSERT_TRUE(parse(kRtq6, 0, kRt));
  // 175 is below 176 (80 % of 220); 176 is not. Load 101 is an overload.
  ASSERT_TRUE(parse(kRtq6, 1,
                    "(175 176 230 50.0 220 220 100 50.0 101 0 0 120 120 101 10 50 50 0 0"));
  EXPECT_EQ(w.input[0].lost, 1);
  EXPECT_EQ(w.input[0].freq_x10, 0);
  EXPECT_EQ(w.input[1].lost, 0);
  EXPECT_EQ(w.output[2].lost, 1);
  EXPECT_EQ(w.cond[COND_OVERLOAD], 1);
  EXPECT_EQ(w.cond[COND_HIGH_TEMPERATURE], 1);
  EXPECT_EQ(w.cond[COND_TEST_RUNNING], 1);  // state code 5: test running on battery
  EXPECT_EQ(w.cond[COND_ON_BATTERY], 1);
  EXPECT_EQ(w.out_mode, MODE_BATTERY);
  // Q1 afterwards: the output phase still lost sets "output abnormal".
  ASSERT_TRUE(parse(kRtq6, 2, "(0 0 0 0 0 0 0 10000000"));
  EXPECT_EQ(w.cond[COND_OUTPUT_ABNORMAL], 1);
  EXPECT_EQ(w.cond[COND_INPUT_LOST], 1);
}

struct StateCase {
  const char* code;
  int mode;
  int cond_a, cond_b;
  int result;
};
class Q6StateTest : public DriverTest, public ::testing::WithParamInterface<StateCase> {};

TEST_P(Q6StateTest, StateCode) {
  const StateCase& c = GetParam();
  ASSERT_TRUE(parse(kRtq6, 0, kRt));
  std::string reply = std::string("(230 230 230 50 220 220 220 50 10 10 10 120 120 25 10 90 ") + c.code + " 0 0";
  ASSERT_TRUE(parse(kRtq6, 1, reply.c_str()));
  EXPECT_EQ(w.out_mode, c.mode);
  if (c.cond_a >= 0) {
    EXPECT_EQ(w.cond[c.cond_a], 1);
  }
  if (c.cond_b >= 0) {
    EXPECT_EQ(w.cond[c.cond_b], 1);
  }
  EXPECT_EQ(w.test_result, c.result);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, Q6StateTest,
    ::testing::Values(StateCase{"00", MODE_STANDBY, COND_OUTPUT_OFF, COND_SYSTEM_OFF, TEST_NONE},
                      StateCase{"91", MODE_STANDBY, COND_OUTPUT_OFF, COND_SYSTEM_OFF, TEST_RUNNING},
                      StateCase{"12", MODE_STANDBY, COND_OUTPUT_OFF, -1, TEST_PASSED},
                      StateCase{"23", MODE_BYPASS, COND_ON_BYPASS, COND_TEST_FAILED, TEST_FAILED},
                      StateCase{"84", MODE_BYPASS, COND_ON_BYPASS, -1, TEST_ABORTED},
                      StateCase{"35", MODE_MAINS, COND_ON_MAINS, -1, TEST_ABORTED},
                      StateCase{"40", MODE_BATTERY, COND_ON_BATTERY, -1, TEST_NONE},
                      StateCase{"50", MODE_BATTERY, COND_TEST_RUNNING, COND_ON_BATTERY, TEST_NONE},
                      StateCase{"6x", 0, COND_FAULT, -1, TEST_NONE},
                      StateCase{"x", 0, -1, -1, TEST_NONE}));

TEST_F(DriverTest, IdentityReplies) {
  ups_drivers[kStk0].init();
  EXPECT_TRUE(parse(kStk0, 0, "#Maker LS-1000 2.10"));
  EXPECT_STREQ(ups_status.brand, "Maker");
  EXPECT_STREQ(ups_status.model, "LS-1000");
  EXPECT_STREQ(ups_status.firmware, "2.10");
  // Fixed columns: 15 characters of brand, blanks kept.
  EXPECT_TRUE(parse(kStk0, 0, "#Maker Ltd      LS-1000 2.10"));
  EXPECT_STREQ(ups_status.brand, "Maker Ltd      ");
  EXPECT_STREQ(ups_status.model, "LS-1000");
  EXPECT_STREQ(ups_status.firmware, "2.10");
  // Three words after the brand columns: the brand is written, not accepted.
  EXPECT_FALSE(parse(kStk0, 0, "#Other Maker    LS 1000 2.10"));
  EXPECT_STREQ(ups_status.brand, "Other Maker    ");
  EXPECT_STREQ(ups_status.model, "LS-1000");
  // Two fields: rejected, nothing changed.
  EXPECT_FALSE(parse(kStk0, 0, "#Maker LS"));
  EXPECT_STREQ(ups_status.brand, "Other Maker    ");
  EXPECT_FALSE(parse(kStk0, 0, "(Maker LS 1"));
  // Four short words: the brand columns reach past the reply, safely.
  EXPECT_FALSE(parse(kStk0, 0, "#a b c d"));
  EXPECT_STREQ(ups_status.brand, "a b c d");
  // Bytes outside printable ASCII never reach the identity texts.
  EXPECT_TRUE(parse(kStk0, 0, "#A\x01\xff B C"));
  EXPECT_STREQ(ups_status.brand, "A??");
}

TEST_F(DriverTest, RatingReplyOfStk0) {
  ups_drivers[kStk0].init();
  ASSERT_TRUE(parse(kStk0, 1, "#230.0 004 24.00 60.0"));
  EXPECT_EQ(ups_status.in_volt, 230);
  EXPECT_EQ(ups_status.out_volt, 230);
  EXPECT_EQ(ups_status.in_freq_x10, 600);
  EXPECT_EQ(ups_status.rated_power, 920);
  EXPECT_EQ(ups_status.rated_batt_x10, 240);
  ASSERT_TRUE(parse(kStk0, 1, "#220.0 004 6.00 50.0"));
  EXPECT_EQ(ups_status.rated_batt_x10, 120);
  EXPECT_FALSE(parse(kStk0, 1, "#220.0 004 6.00"));
}

TEST_F(DriverTest, BatteryVoltageInsteadOfCellVoltage) {
  ups_drivers[kStk0].init();
  ASSERT_TRUE(parse(kStk0, 2, "(230.0 230.0 229.0 012 50.0 26.4 25.0 00001000"));
  EXPECT_EQ(w.batt_volt_x10, 264);
  EXPECT_EQ(ups_status.rated_batt_x10, 240);
  EXPECT_EQ(w.batt_percent, 100);  // ratio 110
  ASSERT_TRUE(parse(kStk0, 2, "(230.0 230.0 229.0 012 50.0 12.0 25.0 00001000"));
  EXPECT_EQ(ups_status.rated_batt_x10, 120);
  EXPECT_EQ(w.batt_percent, 40);  // ratio 100
  ASSERT_TRUE(parse(kStk0, 2, "(230.0 230.0 229.0 012 50.0 39.6 25.0 00001000"));
  EXPECT_EQ(ups_status.rated_batt_x10, 360);
  EXPECT_EQ(w.batt_volt_x10, 396);
  // Tenths of a hertz survive single precision: 50.1 is 501, not 500.
  ups_drivers[kStk0].init();
  ASSERT_TRUE(parse(kStk0, 2, "(230.0 230.0 229.0 012 50.1 2.3 25.0 00001000"));
  EXPECT_EQ(w.input[0].freq_x10, 501);
  EXPECT_EQ(w.batt_volt_x10, 138);
}

TEST_F(DriverTest, Stk0ShutdownBits) {
  ups_drivers[kStk0].init();
  // b1 with the output near 0 V: output and system off, standby.
  ASSERT_TRUE(parse(kStk0, 2, "(230.0 230.0 0.0 000 50.0 2.27 25.0 00000010"));
  EXPECT_EQ(w.cond[COND_OUTPUT_OFF], 1);
  EXPECT_EQ(w.cond[COND_SYSTEM_OFF], 1);
  EXPECT_EQ(w.out_mode, MODE_STANDBY);
  EXPECT_EQ(w.output[0].lost, 0);
  EXPECT_EQ(w.cond[COND_OUTPUT_ABNORMAL], 0);
  ups_clear_work();
  ASSERT_TRUE(parse(kStk0, 2, "(230.0 230.0 229.0 012 50.0 2.27 25.0 01110011"));
  EXPECT_EQ(w.cond[COND_SHUTTING_DOWN], 1);
  EXPECT_EQ(w.cond[COND_BEEPER_ON], 1);
  EXPECT_EQ(w.cond[COND_BATTERY_LOW], 1);
  EXPECT_EQ(w.batt_status, BATT_LOW);
  EXPECT_EQ(w.cond[COND_ON_BYPASS], 1);
  EXPECT_EQ(w.cond[COND_FAULT], 1);
  EXPECT_EQ(w.out_mode, MODE_BYPASS);
  EXPECT_EQ(ups_status.ups_type, 0);
}

TEST_F(DriverTest, SelfTestBookkeeping) {
  ups_drivers[kStk0].init();
  char cmd[128] = "#test 2";
  ASSERT_EQ(format_service_command(cmd, 7), 3);
  EXPECT_STREQ(cmd, "QT\r");
  // The UPS has not started yet: the request is kept.
  ASSERT_TRUE(parse(kStk0, 2, kQ1Mains));
  ups_publish();
  EXPECT_EQ(driver_test_memory(), 2);
  ASSERT_TRUE(parse(kStk0, 2, "(230.0 230.0 229.0 012 50.0 2.27 25.0 00001100"));
  EXPECT_EQ(w.test_id, 2);
  EXPECT_EQ(w.test_result, TEST_RUNNING);
  EXPECT_EQ(w.test_duration, 10);
  EXPECT_EQ(w.cond[COND_TEST_RUNNING], 1);
  EXPECT_EQ(w.out_mode, MODE_BATTERY);
  ups_publish();
  clock_.advance_ms(9000);
  ups_begin_cycle();
  ASSERT_TRUE(parse(kStk0, 2, kQ1Mains));
  EXPECT_EQ(w.test_result, TEST_PASSED);
  EXPECT_EQ(w.test_duration, 9000);
  EXPECT_EQ(w.test_id, 2);
  EXPECT_EQ(driver_test_memory(), 0);
  // The next test the UPS starts by itself is a short test.
  ups_publish();
  ASSERT_TRUE(parse(kStk0, 2, "(230.0 230.0 229.0 012 50.0 2.27 25.0 00001100"));
  EXPECT_EQ(w.test_id, 1);
}

TEST_F(DriverTest, UnansweredTestRequestExpires) {
  ups_drivers[kStk0].init();
  char cmd[128] = "#test 3";
  ASSERT_EQ(format_service_command(cmd, 7), 3);
  clock_.advance_ms(61000);
  ASSERT_TRUE(parse(kStk0, 2, kQ1Mains));
  EXPECT_EQ(driver_test_memory(), 0);
}

TEST_F(DriverTest, InitClearsTestMemory) {
  char cmd[128] = "#test 1";
  format_service_command(cmd, 7);
  EXPECT_EQ(driver_test_memory(), 1);
  ups_drivers[kRtq6].init();
  EXPECT_EQ(driver_test_memory(), 0);
}

TEST_F(DriverTest, HugeNumbersStayInRange) {
  ASSERT_TRUE(parse(kRtq6, 0, "(x 0 y 0 999999999999 2147483647 2147483647 2147483647 2147483647 0 1"));
  EXPECT_EQ(ups_status.rated_batt_x10, 2147483647);
  EXPECT_EQ(ups_status.in_freq_x10, 2147483647);
  ASSERT_TRUE(parse(kRtq6, 1,
                    "(1e9 -2147483648 99999999999999999999999999999999999999999999 "
                    "999999999999999999999999999999999999999999.9 1 1 1 "
                    "99999999999999999999999999999999999999999999999 1 1 1 "
                    "999999999999999999999999999999999999999999.0 -99999999999999999999999999999999999999999.0 "
                    "1 1 1 55 0 0"));
  ups_drivers[kStk0].init();
  EXPECT_TRUE(parse(kStk0, 2, "(1 1 1 1 1 -99999999999999999999999999999999999999999999.0 1 00000000"));
  EXPECT_TRUE(parse(kStk0, 2, "(1 1 1 1 1 99999999999999999999999999999999999999999999.0 1 00000000"));
  EXPECT_TRUE(parse(kStk0, 1, "#-2147483648 -2147483648 -2147483648 -2147483648"));
  EXPECT_EQ(ups_status.rated_power, 2147483647);
  EXPECT_EQ(ups_status.in_freq_x10, -2147483647 - 1);
  EXPECT_EQ(ups_status.rated_batt_x10, 120);
}

TEST(ChargeCurve, Examples) {
  const int cases[][2] = {{60, 0}, {80, 9}, {90, 20}, {100, 40}, {105, 57}, {110, 100},
                          {59, 0}, {111, 100}, {-5, 0}, {2147483647, 100}};
  for (const auto& c : cases) EXPECT_EQ(charge_curve(c[0]), c[1]) << c[0];
}

TEST(FrameSplit, Cases) {
  EXPECT_EQ(frame_split("(1 2\r"), 4);
  EXPECT_EQ(frame_split("\r(1 2"), 0);
  EXPECT_EQ(frame_split("(1 2"), -4);
  EXPECT_EQ(frame_split(""), 0);
  EXPECT_EQ(frame_split(std::string(128, 'x')), -128);
  EXPECT_EQ(frame_split(std::string(129, 'x')), kFrameTooLong);
  EXPECT_EQ(frame_split(std::string(200, 'x') + "\r"), 200);
  EXPECT_EQ(frame_split(std::string("(\0\0\r", 4)), 3);
}

struct FormatCase {
  const char* text;
  int result;
  const char* frame;
};

TEST(FormatCommand, Table) {
  const FormatCase cases[] = {
      {"#beep", 2, "Q\r"},         {"#start", 2, "C\r"},        {"#down 1", 9, "S.2R9999\r"},
      {"#down 2", 9, "S.2R9999\r"}, {"#test 0", 3, "CT\r"},      {"#test 1", 2, "T\r"},
      {"#test 2", 3, "QT\r"},       {"#test 3", 3, "TL\r"},      {"#config 3 7", 0, nullptr},
      {"@Q1", 3, "Q1\r"},           {"@Q1\r", 3, "Q1\r"},        {"#beep ", -1, nullptr},
      {"#test 4", -1, nullptr},     {"beep", -1, nullptr},       {"@", -1, nullptr},
  };
  for (const FormatCase& c : cases) {
    char buf[128];
    int len = static_cast<int>(std::strlen(c.text));
    std::memcpy(buf, c.text, static_cast<size_t>(len) + 1);
    EXPECT_EQ(format_service_command(buf, len), c.result) << c.text;
    if (c.frame) {
      EXPECT_STREQ(buf, c.frame) << c.text;
    }
  }
  // The longest raw command fits with its CR; one more character does not.
  char buf[128];
  std::string longest = "@" + std::string(126, 'A');
  std::memcpy(buf, longest.c_str(), longest.size() + 1);
  EXPECT_EQ(format_service_command(buf, static_cast<int>(longest.size())), 127);
  std::string over = "@" + std::string(127, 'A');
  char big[129];
  std::memcpy(big, over.c_str(), over.size() + 1);
  EXPECT_EQ(format_service_command(big, static_cast<int>(over.size())), -1);
}

}  // namespace
