// The alarm engine: raise and clear, what is logged, mailed and acted upon,
// persistence across restarts, and the active alarm list.
#include <string>

#include "service/core/profile.h"
#include "tests/service/supervision/sup_fixture.h"

namespace {

using namespace suptest;

class AlarmTest : public SupervisionTest {
 protected:
  void SetUp() override {
    SupervisionTest::SetUp();
    write_english_resource();
    dir_create("alarm");
    kvtest::write_file("alarm/message.wav", "RIFF");
  }
  static std::string config() { return kvtest::read_file("user/config.inf"); }
};

TEST_F(AlarmTest, RaiseLogsPersistsMailsAndActsOnceThenClearLogsQuietly) {
  sup_policy.shutdown_alarm = 1;
  alarm_set(ALARM_ON_BATTERY);
  ASSERT_EQ(read_alarm_log().size(), 1u);
  EXPECT_EQ(read_alarm_log()[0].code, 13u);
  EXPECT_EQ(read_alarm_log()[0].time, kNow);
  EXPECT_EQ(profile_get("user/config.inf", "[modules]", "ups_alarm_id"), "10001");
  EXPECT_NE(config().find("[ups_alarm]\n13 10001\n"), std::string::npos) << config();
  EXPECT_EQ(std::string(mail_text), "\r\nGMT 2023-11-14 22:13:20\r\nUPS-Room-1 Using battery\r\n");
  EXPECT_EQ(actions(), (std::vector<std::string>{"play alarm/message.wav", "balloon 13 Using battery"}));
  EXPECT_TRUE(alarm_active(ALARM_ON_BATTERY));
  EXPECT_EQ(ups_alarms[ALARM_ON_BATTERY].seq, 10001u);

  // Raising an active alarm changes nothing.
  advance_s(5);
  alarm_set(ALARM_ON_BATTERY);
  EXPECT_EQ(read_alarm_log().size(), 1u);
  EXPECT_EQ(actions().size(), 2u);
  EXPECT_EQ(alarm_seq, 10001);

  // The removal of 13 is logged but nobody gets a mail for it.
  alarm_set(kAlarmRemoved + ALARM_ON_BATTERY);
  ASSERT_EQ(read_alarm_log().size(), 2u);
  EXPECT_EQ(read_alarm_log()[1].code, 0x8000u + 13);
  EXPECT_EQ(std::string(mail_text), "\r\nGMT 2023-11-14 22:13:20\r\nUPS-Room-1 Using battery\r\n");
  EXPECT_EQ(config().find("[ups_alarm]"), std::string::npos);
  EXPECT_FALSE(alarm_active(ALARM_ON_BATTERY));

  // Clearing an inactive alarm changes nothing either.
  alarm_set(kAlarmRemoved + ALARM_ON_BATTERY);
  EXPECT_EQ(read_alarm_log().size(), 2u);
}

struct Notified {
  uint32_t code;
  int shutdown_alarm;
  bool logged;
  const char* mail;  // the mail line's text, nullptr for no mail
  std::vector<std::string> actions;
};

class AlarmNotification : public AlarmTest, public ::testing::WithParamInterface<Notified> {};

TEST_P(AlarmNotification, LogMailAndActions) {
  const Notified& n = GetParam();
  sup_policy.shutdown_alarm = n.shutdown_alarm;
  const int k = static_cast<int>(n.code & kAlarmNumberMask);
  // A removal needs the alarm raised first; that raise is not what is tested.
  if (n.code & kAlarmRemoved) {
    ups_alarms[k].since = 1;
    ups_alarms[k].seq = 10000;
  }
  alarm_set(n.code);
  auto log = read_alarm_log();
  EXPECT_EQ(!log.empty(), n.logged);
  if (n.logged) {
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].code, n.code);
  }
  if (n.mail) EXPECT_EQ(std::string(mail_text), std::string("\r\nGMT 2023-11-14 22:13:20\r\nUPS-Room-1 ") + n.mail + "\r\n");
  else EXPECT_EQ(mail_text_length(), 0) << mail_text;
  EXPECT_EQ(actions(), n.actions);
}

const std::vector<std::string> kNone;
const std::vector<std::string> kSound13{"play alarm/message.wav", "balloon 13 Using battery"};

INSTANTIATE_TEST_SUITE_P(
    Table, AlarmNotification,
    ::testing::Values(
        Notified{0, 1, false, nullptr, kNone}, Notified{2, 1, false, nullptr, kNone},
        Notified{11, 1, false, nullptr, kNone}, Notified{0x8000 + 11, 1, false, nullptr, kNone},
        // Without the local shutdown, alarm 4 is only logged.
        Notified{4, 0, true, nullptr, kNone},
        Notified{4, 1, true, "Shutting down", {"play alarm/message.wav", "script", "balloon 4 Shutting down"}},
        Notified{0x8000 + 4, 1, true, nullptr, kNone}, Notified{13, 0, true, "Using battery", kSound13},
        Notified{0x8000 + 13, 1, true, nullptr, kNone}, Notified{0x8000 + 14, 1, true, nullptr, kNone},
        Notified{0x8000 + 5, 1, true, nullptr, kNone},
        Notified{0x8000 + 17, 1, true, "Input mains power restored", kNone},
        Notified{0x8000 + 1, 1, true, "Serial port communication restored", kNone},
        Notified{0x8000 + 9, 1, true, "Test completed", kNone},
        Notified{0x8000 + 20, 1, true, "[Output overload] Alarm removed", kNone},
        Notified{1, 0, true, "Serial port communication failure",
                 {"play alarm/message.wav", "balloon 1 Serial port communication failure"}}));

TEST_F(AlarmTest, NoSoundFileNoSound) {
  file_delete("alarm/message.wav");
  alarm_set(ALARM_ON_BATTERY);
  EXPECT_EQ(actions(), (std::vector<std::string>{"balloon 13 Using battery"}));
}

TEST_F(AlarmTest, MailTimeLineUsesTheOffsetAndNeedsASetClock) {
  mail_time_offset = -28800;  // local time is UTC + 8 h
  alarm_set(ALARM_ON_BATTERY);
  EXPECT_EQ(std::string(mail_text), "\r\nTime 2023-11-15 06:13:20\r\nUPS-Room-1 Using battery\r\n");
  mail_text_clear();
  clock_.set_unix(1583020800);  // the threshold itself is no set clock
  alarm_set(ALARM_INPUT_LOST);
  EXPECT_EQ(mail_text_length(), 0);
  EXPECT_EQ(read_alarm_log().size(), 2u);
}

int g_flushes = 0;
void count_flush() {
  ++g_flushes;
  mail_text_clear();
}

TEST_F(AlarmTest, LongMailTextIsSentAtOnce) {
  g_flushes = 0;
  mail_set_flush_hook(count_flush);
  // Each block is 66 bytes: the 28th passes 1800.
  for (int i = 0; i < 31; ++i) {
    alarm_set(ALARM_INPUT_LOST);
    alarm_set(kAlarmRemoved + ALARM_INPUT_LOST);
  }
  EXPECT_EQ(g_flushes, 2);
  EXPECT_EQ(mail_text_length(), 6 * 66);
}

TEST_F(AlarmTest, DeviceQueryNamesTheDevice) {
  device_set_query_hook([](int user, const char* request, std::string& out) {
    if (user != 1 || std::string(request) != "@get_name") return 0;
    out += "Server \"A\"";
    return 10;
  });
  device_get(0)->query = device_query_hook();
  alarm_set(20);
  EXPECT_EQ(std::string(mail_text), "\r\nGMT 2023-11-14 22:13:20\r\nServer \"A\" Output overload\r\n");
}

TEST_F(AlarmTest, RestoreBringsBackPersistedAlarmsWithoutLogging) {
  kvtest::write_file("user/config.inf",
                     "[modules]\nups_alarm_id=10050\n\n[ups_alarm]\n13 10020\n17 10021\n1 10003\n40 7\n5\n6 7 8\n");
  clock_.advance_ms(41000);
  alarm_restore();
  EXPECT_EQ(alarm_seq, 10150);
  EXPECT_EQ(alarm_status_bits(), (1u << 13) | (1u << 17));
  EXPECT_EQ(ups_alarms[13].seq, 10020u);
  EXPECT_EQ(ups_alarms[17].seq, 10021u);
  EXPECT_EQ(ups_alarms[17].since, 42);
  EXPECT_TRUE(read_alarm_log().empty());

  // Mains is back: the first evaluation clears both, mailing only 17's end.
  data_state = 2;
  publish_mains();
  alarm_evaluate();
  auto log = read_alarm_log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].code, 0x8000u + 13);
  EXPECT_EQ(log[1].code, 0x8000u + 17);
  EXPECT_EQ(std::string(mail_text), "\r\nGMT 2023-11-14 22:14:01\r\nUPS-Room-1 Input mains power restored\r\n");
  EXPECT_EQ(alarm_status_bits(), 1u << 11);
}

struct SeqCase {
  const char* stored;
  int32_t expected;
};
class AlarmSeqRestore : public AlarmTest, public ::testing::WithParamInterface<SeqCase> {};
TEST_P(AlarmSeqRestore, SequenceRestartsAboveTheStoredValueWithinItsRange) {
  std::string text = "[modules]\n";
  if (GetParam().stored) text += std::string("ups_alarm_id=") + GetParam().stored + "\n";
  kvtest::write_file("user/config.inf", text);
  alarm_table_reset();
  alarm_restore();
  EXPECT_EQ(alarm_seq, GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(Table, AlarmSeqRestore,
                         ::testing::Values(SeqCase{nullptr, 10000}, SeqCase{"10000", 10100}, SeqCase{"0x2710", 10100},
                                           SeqCase{"99900", 100000}, SeqCase{"99901", 10000},
                                           SeqCase{"9899", 10000}, SeqCase{"garbage", 10000}));

TEST_F(AlarmTest, ListShowsActiveAlarmsByAgeWithoutTheHiddenOnes) {
  for (int k : {0, 1, 2, 11, 17}) alarm_set(static_cast<uint32_t>(k));
  advance_s(4);
  alarm_set(13);
  alarm_set(5);
  advance_s(10);
  std::string out;
  int n = alarm_list_json(out);
  // 17 came first; 13 and 5 share their second and keep number order.
  EXPECT_EQ(out, "[[10005,14,17,\"Input mains power abnormal\"],[10007,10,5,\"Shutdown scheduled\"],"
                 "[10006,10,13,\"Using battery\"]]");
  EXPECT_EQ(n, static_cast<int>(out.size()));
  alarm_table_reset();
  out.clear();
  alarm_list_json(out);
  EXPECT_EQ(out, "[]");
}

TEST_F(AlarmTest, ListTextsAreEscaped) {
  kvtest::write_file("www/resource/en/0_locale.txt", "[alarm]\nalarm_13=On \"battery\" \\ now\n");
  alarm_set(13);
  std::string out;
  alarm_list_json(out);
  EXPECT_EQ(out, "[[10001,0,13,\"On \\\"battery\\\" \\\\ now\"]]");
}

TEST_F(AlarmTest, ApiItems) {
  struct Case {
    const char* item;
    const char* answer;
  };
  alarm_set(13);
  alarm_set(kAlarmRemoved + 13);
  const Case cases[] = {
      {"alarm_list", "[]"},
      {"alarm", "[1700000000,32781,\"[Using battery] Alarm removed\"]"},
      {"alarm_log last", "[1700000000,32781,\"[Using battery] Alarm removed\"]"},
      {"alarm_log 0", "[[1700000000,13,\"Using battery\"],[1700000000,32781,\"[Using battery] Alarm removed\"]]"},
      {"alarm_log 1700000000", "[]"},
      {"alarm_log -z", "true"},
      {"alarm_log -1", "[]"},
      {"alarm", "[]"},
  };
  for (const Case& c : cases) {
    std::string out = "x";
    int n = alarm_api_get(c.item, out);
    EXPECT_EQ(out, std::string("x") + c.answer) << c.item;
    EXPECT_EQ(n, static_cast<int>(out.size()) - 1) << c.item;
  }
  std::string out;
  EXPECT_EQ(alarm_api_get("alarm_logs", out), 0);
  EXPECT_EQ(alarm_api_get("record", out), 0);
  EXPECT_EQ(out, "");
}

}  // namespace
