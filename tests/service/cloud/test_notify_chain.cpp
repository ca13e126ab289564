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
#include "tests/support/test_support.h"

namespace {

int no_servers(int, SockAddr*) { return 0; }

// A minimal SMTP server: one session at a time, every command accepted.
struct SmtpSink {
  sock_t listener = kNoSocket;
  sock_t conn = kNoSocket;
  int port = 0;
  std::string in;
  bool in_data = false;
  std::string envelope;  // MAIL FROM / RCPT TO lines
  std::vector<std::string> mails;

  ~SmtpSink() {
    if (conn != kNoSocket) socket_close(conn);
    if (listener != kNoSocket) socket_close(listener);
  }
  bool open() {
    listener = tcp_socket(kFamilyIPv4);
    SockAddr at = nettest::loopback_address(kFamilyIPv4, 0), bound;
    if (listener == kNoSocket || socket_bind(listener, at) < 0 || socket_listen(listener, 4) < 0 ||
        socket_local_address(listener, &bound) < 0)
      return false;
    socket_set_nonblocking(listener);
    port = bound.port;
    return true;
  }
  void say(const std::string& s) { socket_send(conn, s.data(), s.size()); }
  void poll() {
    if (conn == kNoSocket) {
      conn = socket_accept(listener, nullptr);
      if (conn == kNoSocket) return;
      socket_set_nonblocking(conn);
      in.clear();
      in_data = false;
      say("220 sink\r\n");
    }
    char buffer[4096];
    for (;;) {
      int n = socket_recv(conn, buffer, sizeof buffer);
      if (n <= 0) break;
      in.append(buffer, static_cast<size_t>(n));
    }
    for (;;) {
      if (in_data) {
        size_t end = in.find("\r\n.\r\n");
        if (end == std::string::npos) return;
        mails.push_back(in.substr(0, end + 2));
        in.erase(0, end + 5);
        in_data = false;
        say("250 queued\r\n");
        continue;
      }
      size_t e = in.find("\r\n");
      if (e == std::string::npos) return;
      std::string line = in.substr(0, e);
      in.erase(0, e + 2);
      if (line.rfind("EHLO", 0) == 0) say("250-sink\r\n250 OK\r\n");
      else if (line.rfind("DATA", 0) == 0) {
        in_data = true;
        say("354 go on\r\n");
      } else if (line.rfind("QUIT", 0) == 0) {
        say("221 bye\r\n");
        socket_close(conn);
        conn = kNoSocket;
        return;
      } else {
        if (line.rfind("MAIL", 0) == 0 || line.rfind("RCPT", 0) == 0) envelope += line + "\n";
        say("250 OK\r\n");
      }
    }
  }
};

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
