// The whole alarm mail path with the real programs: the mains of the
// simulated UPS fail, the running kelvane raises the alarm, mails it to
// tools/relay over HTTP, and the relay hands it by SMTP to a sink that this
// test runs on loopback. Everything stays on 127.0.0.1 and no name is
// resolved: the relay and the SMTP server are literal addresses.
// Needs upssim (a pseudo-terminal) and the relay, so it is skipped where
// those tools are not built.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "service/core/file_util.h"
#include "service/net/socket.h"
#include "service/ups/serial_port.h"
#include "tests/support/process.h"
#include "tests/support/smtp_sink.h"
#include "tests/support/test_support.h"

#ifndef KV_UPSSIM_EXE
#define KV_UPSSIM_EXE ""
#endif
#ifndef KV_RELAY_EXE
#define KV_RELAY_EXE ""
#endif

using namespace kvtest;

namespace {

std::string exe_name() {
  std::string path = KV_KELVANE_EXE;
  std::size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

void put(const std::string& path, std::string_view data) {
  for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
    dir_create(path.substr(0, slash).c_str());
  ASSERT_TRUE(write_file(path, data)) << path;
}

class MailChainRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(KV_UPSSIM_EXE).empty() || std::string(KV_RELAY_EXE).empty())
      GTEST_SKIP() << "upssim or the relay is not built here";
    ASSERT_EQ(net_startup(), 0);
    net_started_ = true;
  }
  void TearDown() override {
    stop(service_, 10000);
    stop(relay_, 5000);
    if (!ctl_.empty()) control("quit");
    stop(sim_, 5000);
    if (HasFailure())
      std::fprintf(stderr, "--- service\n%s\n--- relay\n%s\n--- simulator log\n%s\n", service_.output.c_str(),
                   relay_.output.c_str(), read_file(folder_.path() + "/ups.log").c_str());
    if (net_started_) net_cleanup();
  }
  static int stop(ChildProcess& child, int timeout_ms) {
    if (child.pid <= 0) return 0;
    child_request_quit(child);
    int code = child_wait(child, timeout_ms);
    if (code < 0) child_kill(child);
    return code;
  }
  void control(const std::string& line) {
    FILE* f = file_open(ctl_.c_str(), "wb");
    if (!f) return;
    std::fputs((line + "\n").c_str(), f);
    std::fclose(f);
  }
  // Keeps the sink served and the children's output pipes drained (a full
  // pipe would stall the service) until done or max_ms of real time.
  bool pump_until(const std::function<bool()>& done, int max_ms) {
    int64_t end = real_ms() + max_ms;
    for (;;) {
      sink_.poll();
      if (done()) return true;
      if (real_ms() >= end) return false;
      child_read_until(service_, "\x01", 20);
      child_read_until(relay_, "\x01", 5);
      child_read_until(sim_, "\x01", 5);
    }
  }

  TempProgramFolder folder_;
  SmtpSink sink_;
  ChildProcess service_, relay_, sim_;
  std::string ctl_;
  bool net_started_ = false;
};

TEST_F(MailChainRun, MainsFailureArrivesAsMailThroughTheRelay) {
  const std::string dir = folder_.path();
  int64_t began = real_ms();

  // The UPS first: its terminal must exist before the service looks.
  const std::string link = dir + "/ups-tty";
  ctl_ = dir + "/ups-ctl";
  ASSERT_TRUE(child_start(KV_UPSSIM_EXE,
                          {"--kind", "q1", "--link", link, "--control", ctl_, "--log", dir + "/ups.log",
                           "--lifetime", "120"},
                          dir, sim_));
  ASSERT_TRUE(child_read_until(sim_, "pty ", 10000)) << sim_.output;
  ASSERT_TRUE(pump_until([&] { return sport_probe(link.c_str()) == 0; }, 5000));

  // The relay delivers through its own account to the sink, in plain SMTP
  // because the sink is on loopback.
  ASSERT_TRUE(sink_.open());
  put("relay.conf", "listen=127.0.0.1:0\nsmtp_host=127.0.0.1\nsmtp_port=" + std::to_string(sink_.port) +
                        "\nfrom=relay@example.org\nplain_loopback=1\n");
  ASSERT_TRUE(child_start(KV_RELAY_EXE, {dir + "/relay.conf"}, dir, relay_));
  const std::string listening = "relay listening on ";
  ASSERT_TRUE(child_read_until(relay_, "\n", 10000) && relay_.output.find(listening) != std::string::npos)
      << relay_.output;
  int relay_port = std::stoi(relay_.output.substr(relay_.output.find(listening) + listening.size()));
  ASSERT_GT(relay_port, 0);

  // The service in its own program folder, pointed at the simulator, with
  // the shipped English alarm texts and a receiver.
  std::string exe = dir + "/" + exe_name();
  ASSERT_TRUE(copy_file(KV_KELVANE_EXE, exe));
  put("appinfo.inf", "[app]\nos=test\nlanguage=en\nwebport=-20000\nserial_scan=0\nserial_ports=" + link + "\n\n[]\n");
  std::string texts = read_file(std::string(KV_SOURCE_DIR) + "/www/resource/en/0_locale.txt");
  ASSERT_NE(texts.find("alarm_17=Input mains power abnormal"), std::string::npos);
  put("www/resource/en/0_locale.txt", texts);
  put("www/conf/default.inf", "[master]\nname=Kelvane UPS\n\n[email]\nrelay_server=http://127.0.0.1:" +
                                  std::to_string(relay_port) + "/mail/\nsigning=Sent by the test\n\n[]\n");
  put("user/config.inf",
      "[master]\nlanguage=en\nname=UPS-Room-1\n\n[email]\nreceiver=ops@example.org\nsubject=UPS alarm\n\n[]\n");
  ASSERT_TRUE(child_start(exe, {}, dir, service_));
  ASSERT_TRUE(child_read_until(service_, "tcp server on : ", 20000)) << service_.output;

  // Cut the mains once the service polls the UPS, so that the alarm is a
  // change it sees and not the state it started in.
  ASSERT_TRUE(pump_until([&] { return service_.output.find("\nQuery [") != std::string::npos; }, 30000));
  control("mains off");

  // An alarm line goes out with the next 10-second flush; the bound leaves
  // room for a poll cycle, the flush and a slow (sanitized) build.
  const std::string line = "UPS-Room-1 Input mains power abnormal\r\n";
  bool arrived = pump_until(
      [&] {
        for (const std::string& m : sink_.mails)
          if (m.find(line) != std::string::npos) return true;
        return false;
      },
      40000);
  ASSERT_TRUE(arrived) << "mails: " << sink_.mails.size() << "\n" << (sink_.mails.empty() ? "" : sink_.mails[0]);
  std::fprintf(stderr, "mail arrived %lld ms after the start\n", static_cast<long long>(real_ms() - began));

  const std::string* mail = nullptr;
  for (const std::string& m : sink_.mails)
    if (m.find(line) != std::string::npos) mail = &m;
  ASSERT_NE(mail, nullptr);
  EXPECT_NE(mail->find("To: <ops@example.org>\r\n"), std::string::npos) << *mail;
  EXPECT_NE(mail->find("From: <relay@example.org>\r\n"), std::string::npos) << *mail;
  // "UPS alarm" in Base64.
  EXPECT_NE(mail->find("Subject:=?utf-8?B?VVBTIGFsYXJt?=\r\n"), std::string::npos) << *mail;
  EXPECT_NE(mail->find("\r\nGMT 20"), std::string::npos) << *mail;
  EXPECT_NE(mail->find("Sent by the test"), std::string::npos) << *mail;
  EXPECT_NE(sink_.envelope.find("RCPT TO:<ops@example.org>"), std::string::npos) << sink_.envelope;

  // The relay said 200 only after the sink accepted: the queue empties.
  ASSERT_TRUE(pump_until(
      [&] {
        DirList list;
        return dir_list((dir + "/tmp/post_out").c_str(), 2, list) == 0 && list.count() == 0;
      },
      10000));
  EXPECT_TRUE(child_read_until(relay_, "relay: 200 mail accepted", 5000)) << relay_.output;

  EXPECT_EQ(stop(service_, 10000), 0) << service_.output;
  EXPECT_NE(service_.output.find("net http end in ok"), std::string::npos) << service_.output;
  // Sanitized builds report undefined behaviour in the child here.
  EXPECT_EQ(service_.output.find("runtime error:"), std::string::npos) << service_.output;
}

}  // namespace
