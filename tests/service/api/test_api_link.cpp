// The device API over a running UPS link: the link loop in virtual time
// through the fake serial line, so status items show what the UPS
// answered and "cmd" items reach it as frames.
#include <gtest/gtest.h>

#include <string>

#include "tests/service/api/api_fixture.h"
#include "tests/service/ups/link_fixture.h"

namespace {

class ApiLinkTest : public LinkFixture {
 protected:
  void SetUp() override {
    LinkFixture::SetUp();
    dir_create("www");
    dir_create("www/conf");
    marker_root_set("tmp");
    alarm_table_reset();
    apitest::load_known_settings();
    device_table_create(1);
    device_get(0)->query = api_request;
    device_get(0)->record_format = record_json;
  }
  void TearDown() override {
    device_table_release();
    marker_root_set(nullptr);
    LinkFixture::TearDown();
  }
  void stk0() {
    ports("COM1");
    bench_.add("COM1", [this](const std::string& c) { return fake::stk0_ups(c, &bits_); });
  }
  std::string ask(const std::string& request) {
    char out[4096];
    int n = device_request(request.c_str(), out);
    EXPECT_LT(n, static_cast<int>(sizeof out));
    return out;
  }
  const std::vector<std::string>& sent() { return bench_.devices["COM1"].commands; }
  int count_sent(const std::string& frame) {
    int n = 0;
    for (const std::string& s : sent()) n += s == frame;
    return n;
  }
};

constexpr const char* kRealtime = "{\"get\":[\"stat\",\"battery\",\"input\",\"output\",\"rating\" ]}";

TEST_F(ApiLinkTest, StatusBeforeAndAfterTheDataAreReady) {
  stk0();
  start();
  run_ms(300);
  ASSERT_NE(data_state, 2);
  EXPECT_EQ(ask("@data_ready"), "false");
  std::string stat = ask("{\"get\":[\"stat\"]}");
  EXPECT_EQ(stat, "{\"return\":[[1]]}");
  EXPECT_EQ(ask("@get_info").find("brand"), std::string::npos);
  EXPECT_EQ(ask("{\"cmd\":[\"beep\"]}"), "{\"return\":[false]}");

  ASSERT_TRUE(run_until([] { return data_state == 2; }, 120000));
  EXPECT_EQ(ask("@data_ready"), "true");
  EXPECT_EQ(ask(kRealtime),
            "{\"return\":[[0],[2,0,0,100,25,13.6,0],[1,[0,50.0,230,0]],[1,3,[0,50.0,229,0,12]],"
            "[1,50,220,1,50,220,880,12,1,15]]}");
  EXPECT_EQ(ask("@get_info"),
            "{\"type\":\"kelvane\",\"version\":3,\"release\":\"26.0711\",\"brand\":\"Maker Ltd      \",\"model\":\"LS-1000\","
            "\"firmware\":\"2.10\",\"pcode\":\"KV-1000\",\"name\":\"UPS-Room-1\"}");
}

TEST_F(ApiLinkTest, CommandsReachTheUps) {
  stk0();
  start();
  ASSERT_TRUE(run_until([] { return data_state == 2; }, 120000));
  kvtest::write_file("user/alarm.log", std::string(16, '\0'));
  EXPECT_EQ(ask("{\"cmd\":[\"beep\",\"clear_alarm_log\"]}"), "{\"return\":[true,true]}");
  EXPECT_EQ(path_kind("user/alarm.log"), 0);
  EXPECT_EQ(ask("{\"cmd\":[\"test 1\"]}"), "{\"return\":[true]}");
  run_ms(2000);
  EXPECT_EQ(count_sent("Q"), 1);
  EXPECT_EQ(count_sent("T"), 1);

  // A delayed shutdown is only scheduled; cancelling it sends nothing.
  EXPECT_EQ(ask("{\"cmd\":[\"down 1 60\"]}"), "{\"return\":[true]}");
  EXPECT_EQ(ask("{\"get\":[\"down\"]}"), "{\"return\":[[1,60,0]]}");
  run_ms(10000);
  EXPECT_EQ(ask("{\"get\":[\"down\"]}"), "{\"return\":[[1,50,0]]}");
  EXPECT_EQ(ask("{\"cmd\":[\"down cancel\"]}"), "{\"return\":[true]}");
  EXPECT_EQ(ask("{\"get\":[\"down\"]}"), "{\"return\":[[0,0,0]]}");
  EXPECT_EQ(count_sent("S.2R9999"), 0);

  // Without a delay the UPS is told at once; "start" switches it back on.
  EXPECT_EQ(ask("{\"cmd\":[\"down 2\",\"start\",\"test 2\",\"test 0\",\"test 4\"]}"),
            "{\"return\":[true,true,true,true,false]}");
  run_ms(3000);
  EXPECT_EQ(count_sent("S.2R9999"), 1);
  EXPECT_EQ(count_sent("C"), 1);
  EXPECT_EQ(count_sent("QT"), 1);
  EXPECT_EQ(count_sent("CT"), 1);
}

TEST_F(ApiLinkTest, RawFramesAndTheirAnswer) {
  ports("COM1");
  bench_.add("COM1", [this](const std::string& c) -> std::string {
    if (c == "ECHO") return "#echo \"1\"\r";
    return fake::stk0_ups(c, &bits_);
  });
  start();
  ASSERT_TRUE(run_until([] { return data_state == 2; }, 120000));
  EXPECT_EQ(ask("{\"cmd\":[\"@\"]}"), "{\"return\":[false]}");
  EXPECT_EQ(ask("{\"cmd\":[\"@ECHO\"]}"), "{\"return\":[\"queued\"]}");
  run_ms(2000);
  EXPECT_EQ(count_sent("ECHO"), 1);
  // The answer stays in the file; no driver of this system formats it.
  EXPECT_EQ(ask("{\"cmd\":[\"@\"]}"), "{\"return\":[\"no format function\"]}");
  EXPECT_EQ(kvtest::read_file("tmp/cmd_answer"), "#echo \"1\"");
  // Raw frames need no permission.
  sup_policy.app_shutdown = 0;
  EXPECT_EQ(ask("{\"cmd\":[\"@FFFF\",\"beep\"]}"), "{\"return\":[true,false]}");
}

TEST_F(ApiLinkTest, ThreePhaseUps) {
  ports("COM1");
  bench_.add("COM1", [](const std::string& c) { return fake::rtq6_ups(c); });
  start();
  ASSERT_TRUE(run_until([] { return data_state == 2; }, 120000));
  EXPECT_EQ(ask("{\"get\":[\"input\",\"output\",\"rating\"]}"),
            "{\"return\":[[3,[0,50.0,230,0],[0,50.0,229,0],[0,50.0,231,0]],"
            "[3,3,[0,50.0,220,0,35],[0,50.0,220,0,32],[0,50.0,219,0,30]],[3,50,220,3,50,220,3000,240,1,15]]}");
}

}  // namespace
