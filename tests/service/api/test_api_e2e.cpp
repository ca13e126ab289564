// End to end in real time: the service's modules and HTTP server on an
// event thread of their own, the UPS simulated by upssim on a
// pseudo-terminal, and the web application's own request path: scripts
// posted to "/base/js/command.ts", run by the page runner, reaching the
// device API through wlink_request_data. Linux only: the simulator needs a
// pseudo-terminal.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "service/api/device_api.h"
#include "service/core/clock.h"
#include "service/core/file_util.h"
#include "service/core/json.h"
#include "service/core/profile.h"
#include "service/core/service_cmd.h"
#include "service/core/startup.h"
#include "service/core/startup_modules.h"
#include "service/net/fmessage.h"
#include "service/script/script.h"
#include "service/supervision/device_table.h"
#include "service/supervision/sup_common.h"
#include "service/ups/serial_port.h"
#include "service/ups/ups_console.h"
#include "service/web/http_server.h"
#include "service/web/page_runner.h"
#include "service/web/web_request.h"
#include "tests/service/web/web_test_util.h"
#include "tests/support/test_support.h"

#ifndef KV_UPSSIM_EXE
#define KV_UPSSIM_EXE ""
#endif

namespace {

constexpr const char* kRealtime =
    "wlink_request_data #{\"get\":[\"stat\",\"battery\",\"input\",\"output\",\"rating\" ]}# > QAD\n"
    "json $QAD return";

// The event thread of the service: page installation, module start-up
// (device API, notification base, supervision with the UPS link) and the
// HTTP server, as the start-up runs them.
class ServiceThread {
 public:
  ServiceThread() {
    net_startup();
    thread_ = std::thread([this] { run(); });
    while (port_.load() == 0) sleep_ms(1);
  }
  ~ServiceThread() {
    stop_ = true;
    thread_.join();
    net_cleanup();
  }
  ServiceThread(const ServiceThread&) = delete;
  ServiceThread& operator=(const ServiceThread&) = delete;
  int port() const { return port_.load(); }

 private:
  void run() {
    fmessage_init();
    web_pages_install();
    int port = -20000;
    if (modules_start() != 0 || http_start(&port) != 0) {
      modules_stop();
      fmessage_shutdown();
      port_ = -1;
      return;
    }
    port_ = port;
    while (!stop_.load()) {
      int r = fmessage_step();
      if (r < 0) break;
      if (r == 0) fmessage_wait(5);
    }
    http_stop();
    modules_stop();
    fmessage_shutdown();
  }
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> port_{0};
};

class ApiEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(KV_UPSSIM_EXE).empty()) GTEST_SKIP() << "no simulator in this build";
    dir_create("user");
    dir_create("tmp");
    dir_create("www");
    dir_create("www/conf");
    dir_create("www/base");
    dir_create("www/base/js");
    kvtest::write_file("www/404.htm", "missing");
    kvtest::write_file("www/base/js/command.ts", "shell $request_body");
    kvtest::write_file("www/conf/default.inf", "[master]\nname=Kelvane UPS\n\n[passwd]\npass9=guest9\n");
    kvtest::write_file("www/conf/system.conf", "[product]\nversion=26.0711\npcode=KV-1000\n");
    kvtest::write_file("user/config.inf", "[master]\nlanguage=en\nname=UPS-Room-1\n");
    std::snprintf(app_language, sizeof app_language, "%s", "en");
    marker_root_set("tmp");
    ups_console_capture(&console_, std::getenv("KV_UPS_VERBOSE") == nullptr);
    started_ = true;
  }
  void TearDown() override {
    if (!started_) return;
    service_.reset();
    web_set_page_runner(nullptr);
    script_set_request_lookup(nullptr);
    script_set_service_commands(nullptr);
    script_set_path_mapper(nullptr);
    page_set_process_values(nullptr);
    service_set_device_request(nullptr);
    service_set_update_www(nullptr);
    service_set_test_mail_hook(nullptr);
    device_set_query_hook(nullptr);
    ups_console_capture(nullptr);
    marker_root_set(nullptr);
    control("quit");
    for (int i = 0; i < 200 && sport_probe(link_.c_str()) == 0; ++i) sleep_ms(10);
    if (HasFailure()) std::fprintf(stderr, "--- service console\n%s--- simulator\n%s", console_.c_str(), simlog().c_str());
  }

  // The simulator first (kind q1 or rtq6, with control lines before the
  // service sees it), then the service pointed at its terminal.
  bool start(const char* kind, const char* first_control = nullptr) {
    std::string dir = folder_.path();
    link_ = dir + "/ups-tty";
    ctl_ = dir + "/ups-ctl";
    simlog_ = dir + "/ups.log";
    std::string line = std::string("'") + KV_UPSSIM_EXE + "' --kind " + kind + " --link '" + link_ + "' --control '" +
                       ctl_ + "' --log '" + simlog_ + "' --lifetime 300";
    if (!start_program(line.c_str())) return false;
    if (!wait_for([&] { return simlog().find("pty ") != std::string::npos; }, 5000)) return false;
    if (sport_probe(link_.c_str()) != 0) return false;
    if (first_control) {
      control(first_control);
      std::string echo = "ctl ";
      echo += first_control;
      if (!wait_for([&] { return simlog().find(echo) != std::string::npos; }, 5000)) return false;
    }
    kvtest::write_file("appinfo.inf", "[app]\nserial_ports=" + link_ + "\nserial_scan=0\n");
    service_ = std::make_unique<ServiceThread>();
    return service_->port() > 0;
  }
  void control(const std::string& line) {
    if (ctl_.empty()) return;
    FILE* f = file_open(ctl_.c_str(), "wb");
    if (!f) return;
    std::fputs((line + "\n").c_str(), f);
    std::fclose(f);
  }
  std::string simlog() { return simlog_.empty() ? std::string() : kvtest::read_file(simlog_); }
  // A line "rx <frame>" of the simulator's log.
  bool received(const std::string& frame) {
    std::string log = "\n";
    log += simlog();
    std::string line = "\nrx ";
    line += frame;
    line += '\n';
    return log.find(line) != std::string::npos;
  }
  static bool wait_for(const std::function<bool()>& done, int max_ms) {
    for (int waited = 0; waited < max_ms; waited += 50) {
      if (done()) return true;
      sleep_ms(50);
    }
    return done();
  }

  // The body of the answer to a posted script.
  std::string post(const std::string& script) {
    const int port = service_->port();
    std::string r = "POST /base/js/command.ts HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                    "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(script.size()) + "\r\n\r\n" +
                    script;
    webtest::Reply reply = webtest::exchange(port, r);
    EXPECT_EQ(reply.status, 200) << script;
    return reply.body;
  }
  // The "return" array of a device request, as the pages print it.
  std::string ask(const std::string& request) {
    std::string script = "wlink_request_data #";
    script += request;
    script += "# > A\njson $A return";
    return post(script);
  }
  // The answer of an "@" function.
  std::string at(const std::string& name) {
    std::string script = "wlink_request_data #";
    script += name;
    script += '#';
    return post(script);
  }
  static std::string value(const std::string& json, const char* path) {
    char out[256];
    int n = json_path(json.c_str(), path, out);
    return n > 0 && n < static_cast<int>(sizeof out) ? std::string(out) : std::string();
  }
  int stat_word() { return std::atoi(value(ask("{\"get\":[\"stat\"]}"), "0,0").c_str()); }
  bool data_ready() { return at("@data_ready") == "true"; }

  kvtest::TempProgramFolder folder_;
  std::unique_ptr<ServiceThread> service_;
  std::string console_, link_, ctl_, simlog_;
  bool started_ = false;
};

TEST_F(ApiEndToEnd, RealtimeStatusCommandsAndSettings) {
  // The UPS stays silent at first: the service has no data yet.
  ASSERT_TRUE(start("q1", "fault silent"));
  std::string before = post(kRealtime);
  EXPECT_EQ(std::atoi(value(before, "0,0").c_str()) & 1, 1) << before;
  EXPECT_EQ(at("@data_ready"), "false");
  EXPECT_EQ(at("@get_info").find("brand"), std::string::npos);
  EXPECT_EQ(ask("{\"cmd\":[\"beep\"]}"), "[false]");

  control("fault none");
  ASSERT_TRUE(wait_for([&] { return data_ready(); }, 40000));
  // Bit 0 also stands for alarm 0, which the next evaluation clears.
  ASSERT_TRUE(wait_for([&] { return (stat_word() & 1) == 0; }, 10000));
  std::string realtime = post(kRealtime);
  ASSERT_EQ(json_check(realtime.c_str(), static_cast<int>(realtime.size())), static_cast<int>(realtime.size()))
      << realtime;
  EXPECT_EQ(value(realtime, "4"), "[1,50,220,1,50,220,880,12,1,15]") << realtime;
  EXPECT_EQ(value(realtime, "2,0"), "1");
  EXPECT_EQ(value(realtime, "2,1,2"), "230") << realtime;
  EXPECT_EQ(value(realtime, "3,1"), "3") << realtime;  // on mains
  EXPECT_NE(value(realtime, "1,6"), "");               // seven battery values
  EXPECT_EQ(value(realtime, "1,7"), "");
  EXPECT_NE(at("@get_info").find("\"brand\":\"SimPower Inc.  \""), std::string::npos) << at("@get_info");

  // Beeper and short test reach the UPS as "Q\r" and "T\r".
  EXPECT_EQ(ask("{\"cmd\":[\"beep\",\"test 1\"]}"), "[true,true]");
  EXPECT_TRUE(wait_for([&] { return received("Q") && received("T"); }, 10000)) << simlog();

  // A shutdown a minute ahead is scheduled (alarm 5), then cancelled; the
  // UPS never hears of it.
  EXPECT_EQ(ask("{\"cmd\":[\"down 1 60\"]}"), "[true]");
  std::string down = ask("{\"get\":[\"down\"]}");
  EXPECT_EQ(value(down, "0,0"), "1") << down;
  EXPECT_GE(std::atoi(value(down, "0,1").c_str()), 55) << down;
  EXPECT_TRUE(wait_for([&] { return (stat_word() & (1 << 5)) != 0; }, 10000));
  EXPECT_EQ(ask("{\"cmd\":[\"down cancel\"]}"), "[true]");
  EXPECT_EQ(ask("{\"get\":[\"down\"]}"), "[[0,0,0]]");
  EXPECT_TRUE(wait_for([&] { return (stat_word() & (1 << 5)) == 0; }, 10000));
  EXPECT_EQ(simlog().find("rx S"), std::string::npos);

  // Name and language go to the user configuration at once. The script
  // language takes a backslash away in front of every byte, so the JSON
  // escapes of the quotes are written doubled.
  EXPECT_EQ(ask("{\"set\":{\"name\":\"Server \\\\\\\"7\\\\\\\"\",\"language\":\"de\"}}"), "[true,true]");
  EXPECT_EQ(profile_get("user/config.inf", "[master]", "name"), "Server \"7\"");
  EXPECT_EQ(profile_get("user/config.inf", "[master]", "language"), "de");
  EXPECT_EQ(at("@get_name"), "Server \"7\"");
  EXPECT_EQ(at("@get_language"), "de");
  EXPECT_EQ(ask("{\"get\":[\"name\"]}"), "[\"Server \\\"7\\\"\"]");
}

TEST_F(ApiEndToEnd, ThreePhaseUps) {
  ASSERT_TRUE(start("rtq6"));
  ASSERT_TRUE(wait_for([&] { return data_ready(); }, 40000));
  std::string realtime = post(kRealtime);
  ASSERT_EQ(json_check(realtime.c_str(), static_cast<int>(realtime.size())), static_cast<int>(realtime.size()))
      << realtime;
  EXPECT_EQ(value(realtime, "2,0"), "3") << realtime;
  EXPECT_NE(value(realtime, "2,3"), "") << realtime;  // three input phases
  EXPECT_EQ(value(realtime, "2,4"), "") << realtime;
  EXPECT_EQ(value(realtime, "3,0"), "3") << realtime;
  EXPECT_NE(value(realtime, "3,4"), "") << realtime;  // mode and three output phases
  EXPECT_EQ(value(realtime, "3,5"), "") << realtime;
}

}  // namespace
