// The whole mail path: the notification queues a request, the uploader
// posts it to tools/relay, which delivers it by SMTP to a sink that this
// test runs on loopback. The relay speaks plain SMTP only because its
// configuration allows that for a loopback server.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "service/cloud/notify.h"
#include "service/core/file_util.h"
#include "service/net/resolve.h"
#include "service/supervision/mail_text.h"
#include "tests/service/net/net_test_util.h"
#include "tests/support/process.h"
#include "tests/support/smtp_sink.h"
#include "tests/support/test_support.h"

namespace {

using kvtest::SmtpSink;

int no_servers(int, SockAddr*) { return 0; }

class MailChain : public ::testing::Test {
 protected:
  void SetUp() override {
    relay_exe = std::string(KV_BINARY_DIR) + "/tools/relay/relay";
    if (path_kind(relay_exe.c_str()) != 2) GTEST_SKIP() << "tools/relay is not built here";
    dns_override_servers(no_servers);
    dns_override_paths("dns_nowan", "");
    ASSERT_TRUE(kvtest::write_file("dns_nowan", ""));
    dns_reset();
    notify_override_nowan("nowan");
    ASSERT_TRUE(sink.open());
    ASSERT_TRUE(kvtest::write_file("relay.conf", "listen=127.0.0.1:0\nsmtp_host=127.0.0.1\nsmtp_port=" +
                                                     std::to_string(sink.port) +
                                                     "\nfrom=relay@example.org\nplain_loopback=1\n"));
    ASSERT_TRUE(kvtest::child_start(relay_exe, {folder.path() + "/relay.conf"}, folder.path(), relay));
    ASSERT_TRUE(kvtest::child_read_until(relay, "\n", 10000));
    size_t at = relay.output.find("relay listening on ");
    ASSERT_NE(at, std::string::npos) << relay.output;
    relay_port = std::stoi(relay.output.substr(at + 19));
    fmessage_init();
    ASSERT_EQ(dir_create("www"), 0);
    ASSERT_EQ(dir_create("www/conf"), 0);
    ASSERT_EQ(dir_create("user"), 0);
    ASSERT_TRUE(kvtest::write_file("www/conf/default.inf", "[email]\nrelay_server=http://127.0.0.1:" +
                                                               std::to_string(relay_port) +
                                                               "/mail/\nsigning=sig\n\n[]\n"));
  }
  void TearDown() override {
    if (relay.pid > 0) {
      kvtest::child_request_quit(relay);
      if (kvtest::child_wait(relay, 5000) < 0) kvtest::child_kill(relay);
    }
    notify_stop();
    fmessage_shutdown();
    notify_override_nowan(nullptr);
    dns_reset();
    dns_override_paths(nullptr, nullptr);
    dns_override_servers(nullptr);
  }
  bool deliver() {
    EXPECT_TRUE(mail_text_append("\r\nGMT 2026-01-01 00:00:00\r\nUPS mains failure\r\n"));
    notify_flush();
    return nettest::pump_until(
        [&] {
          sink.poll();
          return !sink.mails.empty() && !upload_busy() && post_in_flight()[0] == '\0';
        },
        3000);
  }

  kvtest::TempProgramFolder folder;
  std::string relay_exe;
  SmtpSink sink;
  kvtest::ChildProcess relay;
  int relay_port = 0;
};

TEST_F(MailChain, AlarmReachesTheSinkThroughTheRelaysAccount) {
  ASSERT_TRUE(kvtest::write_file("user/config.inf", "[email]\nreceiver=ops@example.org\nsubject=abc\n\n[]\n"));
  ASSERT_EQ(notify_start(), 0);
  ASSERT_TRUE(deliver());
  const std::string& mail = sink.mails[0];
  EXPECT_NE(mail.find("From: <relay@example.org>\r\n"), std::string::npos) << mail;
  EXPECT_NE(mail.find("To: <ops@example.org>\r\n"), std::string::npos);
  EXPECT_NE(mail.find("Subject:=?utf-8?B?YWJj?=\r\n"), std::string::npos);
  EXPECT_NE(mail.find("UPS mains failure"), std::string::npos);
  EXPECT_NE(sink.envelope.find("RCPT TO:<ops@example.org>"), std::string::npos);
  // Accepted by the SMTP server: the relay said 200 and the entry is gone.
  DirList list;
  ASSERT_EQ(dir_list(kPostQueue, 2, list), 0);
  EXPECT_EQ(list.count(), 0);
}

TEST_F(MailChain, UsersOwnAccountIsUsed) {
  ASSERT_TRUE(kvtest::write_file("user/config.inf", "[email]\nreceiver=ops@example.org\n\n[email_smtp]\nhost=127.0.0.1\nport=" +
                                                        std::to_string(sink.port) + "\nsender=me@home.org\n\n[]\n"));
  ASSERT_EQ(notify_start(), 0);
  ASSERT_TRUE(deliver());
  EXPECT_NE(sink.envelope.find("MAIL FROM:<me@home.org>"), std::string::npos) << sink.envelope;
  EXPECT_NE(sink.mails[0].find("From: <me@home.org>\r\n"), std::string::npos);
}

}  // namespace
