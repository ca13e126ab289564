// Alarm mail: composing the requests, the on-disk queue and the uploader
// against a relay stand-in on loopback. Names resolve only through the
// test's own hosts file; DNS is stopped by its own marker. Time is the fake
// clock's.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "service/cloud/notify.h"
#include "service/core/file_util.h"
#include "service/net/resolve.h"
#include "service/supervision/mail_text.h"
#include "tests/service/cloud/test_notify_relay.h"
#include "tests/support/test_support.h"

namespace {

int no_servers(int, SockAddr*) { return 0; }

std::vector<std::string> queue_names() {
  DirList list;
  std::vector<std::string> names;
  if (dir_list(kPostQueue, 2, list) < 0) return names;
  for (const DirEntry& e : list.entries) names.push_back(e.name);
  return names;
}

TEST(NotifyCompose, ReceiversKeptAndDropped) {
  struct Case {
    const char* value;
    std::string want;  // receivers, each ended by a 0 byte
  };
  const Case cases[] = {
      {"a@x.org;b@y.org", std::string("a@x.org\0b@y.org\0", 16)},
      {"@x.org;nobody;c@z.org", std::string("c@z.org\0", 8)},
      // A line break or blank would start a new mail header line.
      {"ev\r\nBcc: all@x.org@y;d@z.org", std::string("d@z.org\0", 8)},
      {"e f@x.org;g\t@x.org;h@x.org", std::string("h@x.org\0", 8)},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(notify_receivers_from(c.value), c.want) << c.value;
}

TEST(NotifyCompose, ReceiverBudgetSkipsLongItemsButTriesLaterOnes) {
  std::string big(300, 'a');
  std::string value = big + "@x.org;" + big + "@y.org;short@z.org";
  std::string list = notify_receivers_from(value);
  EXPECT_EQ(list, big + "@x.org" + std::string(1, '\0') + "short@z.org" + std::string(1, '\0'));
  EXPECT_LE(list.size(), static_cast<size_t>(kReceiverBudget) + 2);
}

TEST(NotifyCompose, RequestText) {
  kvtest::TempProgramFolder folder;
  std::memset(&notify_settings, 0, sizeof notify_settings);
  std::strcpy(notify_settings.relay, "http://127.0.0.1:8080/mail/");
  std::strcpy(notify_settings.signing, "sig");
  std::string smtp = notify_smtp_text("mail.x.org", 587, "me@x.org", "");
  EXPECT_EQ(smtp, "[\"mail.x.org\",587,\"me@x.org\",\"\"]");
  EXPECT_EQ(notify_compose("a@x.org", "abc", smtp, "TEXT"),
            "http://127.0.0.1:8080/mail/\nsmtp:[\"mail.x.org\",587,\"me@x.org\",\"\"]\r\nTo:a@x.org\r\n"
            "Subject:=?utf-8?B?YWJj?=\r\nContent-Type: text/plain; charset=UTF-8\r\n\r\nabc\r\n\r\n"
            "TEXT\r\n\r\n\r\n\r\nsig\r\n\r\n");
  // Without an account there is no smtp line.
  EXPECT_EQ(notify_compose("a@x.org", "abc", "", "T").find("smtp:"), std::string::npos);
}

TEST(NotifyCompose, AccountAndSubjectCannotBreakTheirLines) {
  EXPECT_EQ(notify_smtp_text("h\"x", 25, "a\\b", "p\"],\"q"), "[\"h\\\"x\",25,\"a\\\\b\",\"p\\\"],\\\"q\"]");
  std::memset(&notify_settings, 0, sizeof notify_settings);
  std::string text = notify_compose("a@x.org", "Alarm\r\nBcc: all@x.org", "", "T");
  EXPECT_NE(text.find("\r\nAlarmBcc: all@x.org\r\n"), std::string::npos);
  EXPECT_EQ(text.find("\r\nBcc:"), std::string::npos);
}

class Notify : public ::testing::Test {
 protected:
  void SetUp() override {
    dns_override_servers(no_servers);
    dns_override_paths("dns_nowan", "");
    ASSERT_TRUE(kvtest::write_file("dns_nowan", ""));
    dns_reset();
    notify_override_nowan("nowan");
    fmessage_init();
    ASSERT_TRUE(relay.open());
    ASSERT_EQ(dir_create("www"), 0);
    ASSERT_EQ(dir_create("www/conf"), 0);
    ASSERT_EQ(dir_create("user"), 0);
    ASSERT_EQ(dir_create("www/locale"), 0);
    ASSERT_EQ(dir_create("www/locale/en"), 0);
    ASSERT_TRUE(kvtest::write_file("www/locale/en/locale.txt",
                                   "[email]\nsubject=UPS alarm\ntest_content=This is a test mail\n\n[]\n"));
    // The relay's name resolves through the program folder's hosts file.
    ASSERT_TRUE(kvtest::write_file("hosts", "127.0.0.1 relay.test\n"));
  }
  void TearDown() override {
    notify_stop();
    fmessage_shutdown();
    notify_override_nowan(nullptr);
    dns_reset();
    dns_override_paths(nullptr, nullptr);
    dns_override_servers(nullptr);
  }
  void configure(const std::string& host, const std::string& receivers, const std::string& extra = "") {
    std::string relay_url = "http://" + host + ":" + std::to_string(relay.port) + "/mail/";
    ASSERT_TRUE(kvtest::write_file("www/conf/default.inf",
                                   "[email]\nrelay_server=" + relay_url + "\nsigning=sig\n\n[]\n"));
    ASSERT_TRUE(kvtest::write_file("user/config.inf", "[email]\nreceiver=" + receivers + "\n" + extra + "\n[]\n"));
  }
  bool pump_until(const std::function<bool()>& done) {
    return nettest::pump_until([&] {
      relay.poll();
      return done();
    });
  }

  kvtest::TempProgramFolder folder;
  kvtest::FakeClock clock{100000, 1700000000};
  notifytest::StandInRelay relay;
};

TEST_F(Notify, TwoReceiversTwoFilesSentInNameOrder) {
  configure("127.0.0.1", "a@x.org;b@y.org", "[email_smtp]\nhost=smtp.x.org\nport=465\nsender=me@x.org\n");
  ASSERT_EQ(notify_start(), 0);
  ASSERT_TRUE(mail_text_append("power failed"));
  notify_flush();
  EXPECT_EQ(mail_text_length(), 0);
  // Both requests are queued before the first is sent.
  std::vector<std::string> names = queue_names();
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0], "post.00000001");
  EXPECT_EQ(names[1], "post.00000002");
  ASSERT_TRUE(pump_until([&] { return relay.requests.size() == 2 && !upload_busy(); }));
  const std::string& first = relay.requests[0];
  EXPECT_EQ(first.substr(0, first.find("\r\n")), "POST /mail/ HTTP/1.1");
  EXPECT_NE(first.find("\r\nAccept: text/xml, text/html, text/plain\r\n"), std::string::npos);
  std::string body = notifytest::StandInRelay::body(first);
  EXPECT_EQ(body.substr(0, body.find("\r\nTo:")), "smtp:[\"smtp.x.org\",465,\"me@x.org\",\"\"]");
  EXPECT_NE(body.find("\r\nTo:a@x.org\r\n"), std::string::npos);
  EXPECT_NE(body.find("power failed"), std::string::npos);
  EXPECT_NE(notifytest::StandInRelay::body(relay.requests[1]).find("\r\nTo:b@y.org\r\n"), std::string::npos);
  EXPECT_TRUE(queue_names().empty());
  EXPECT_EQ(kvtest::read_file(kPostAckFile), "ok");
}

TEST_F(Notify, NamedHostFailureRetriedOnceAfterSixSeconds) {
  configure("relay.test", "a@x.org");
  relay.status = 500;
  ASSERT_EQ(notify_start(), 0);
  ASSERT_TRUE(mail_text_append("alarm"));
  notify_flush();
  ASSERT_TRUE(pump_until([&] { return relay.requests.size() == 1 && !upload_busy(); }));
  std::vector<std::string> names = queue_names();
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0], "post.00000001." + [&] {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", clock.tick());
    return std::string(hex);
  }() + ".e");
  EXPECT_EQ(path_kind(kPostAckFile), 0);
  // Not before 6 s, even on a kick.
  clock.advance_ms(6000);
  nettest::pump_rounds(20);
  relay.poll();
  EXPECT_EQ(relay.requests.size(), 1u);
  // The next 6 s tick of the queue sends it again.
  clock.advance_ms(kPostRetryMs);
  ASSERT_TRUE(pump_until([&] { return relay.requests.size() == 2 && !upload_busy(); }));
  EXPECT_TRUE(queue_names().empty());
  clock.advance_ms(20000);
  nettest::pump_rounds(20);
  relay.poll();
  EXPECT_EQ(relay.requests.size(), 2u);
}

TEST_F(Notify, LiteralHostFailureIsNotRetried) {
  configure("127.0.0.1", "a@x.org");
  relay.status = 500;
  ASSERT_EQ(notify_start(), 0);
  ASSERT_TRUE(mail_text_append("alarm"));
  notify_flush();
  ASSERT_TRUE(pump_until([&] { return relay.requests.size() == 1 && !upload_busy(); }));
  EXPECT_TRUE(queue_names().empty());
}

TEST_F(Notify, QueueLimit) {
  configure("127.0.0.1", "a@x.org");
  ASSERT_EQ(notify_start(), 0);
  // A parked entry the queue handler does not pick still counts.
  ASSERT_TRUE(kvtest::write_file(std::string(kPostQueue) + "/held", std::string(4000, 'x')));
  std::string head = "http://127.0.0.1:1/\n";
  EXPECT_EQ(post_enqueue(head + std::string(200 - head.size(), 'y')), -1);
  EXPECT_EQ(post_enqueue(head + std::string(96 - head.size(), 'y')), 0);
  file_delete((std::string(kPostQueue) + "/held").c_str());
  EXPECT_EQ(post_enqueue(head + std::string(kPostMax + 1 - head.size(), 'y')), -1);
}

TEST_F(Notify, NoWideAreaNetworkDropsNamedHosts) {
  configure("127.0.0.1", "a@x.org");
  ASSERT_EQ(notify_start(), 0);
  ASSERT_TRUE(kvtest::write_file("nowan", ""));
  EXPECT_EQ(post_enqueue("http://relay.test/mail/\nTo:a@x.org\r\n"), -1);
  EXPECT_EQ(post_enqueue("http://127.0.0.1:9/mail/\nTo:a@x.org\r\n"), 0);
}

TEST_F(Notify, TestMailLeavesWithinTenSeconds) {
  configure("127.0.0.1", "a@x.org");
  ASSERT_EQ(notify_start(), 0);
  notify_request_test_mail();
  nettest::pump_rounds(10);
  clock.advance_ms(kNotifyFlushMs);
  ASSERT_TRUE(pump_until([&] { return relay.requests.size() == 1 && !upload_busy(); }));
  std::string body = notifytest::StandInRelay::body(relay.requests[0]);
  EXPECT_NE(body.find("\r\n\r\nUPS alarm\r\n\r\nThis is a test mail\r\n"), std::string::npos);
  EXPECT_NE(body.find("Subject:=?utf-8?B?VVBTIGFsYXJt?=\r\n"), std::string::npos);
}

TEST_F(Notify, NothingQueuedWithoutRelayOrReceivers) {
  configure("127.0.0.1", "nobody");
  ASSERT_EQ(notify_start(), 0);
  ASSERT_TRUE(mail_text_append("alarm"));
  notify_flush();
  EXPECT_EQ(mail_text_length(), 0);
  EXPECT_TRUE(queue_names().empty());
}

TEST_F(Notify, RelayThatClosesEarlyFailsAtOnce) {
  configure("127.0.0.1", "a@x.org");
  ASSERT_EQ(notify_start(), 0);
  ASSERT_TRUE(mail_text_append("alarm"));
  notify_flush();
  // The relay takes the request and hangs up without an answer.
  relay.hang_up = true;
  ASSERT_TRUE(pump_until([&] { return relay.requests.size() == 1 && !upload_busy(); }));
  // Well before the 30 s idle time-out.
  EXPECT_EQ(clock.tick(), 100000u);
  EXPECT_TRUE(queue_names().empty());
}

}  // namespace
