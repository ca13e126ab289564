// Request texts and their exact answers: the request forms, the "@"
// functions, the lookup order and every status item, against a status
// record filled by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "service/core/json.h"
#include "tests/service/api/api_fixture.h"

namespace {

using apitest::ApiTest;

struct Case {
  const char* request;
  const char* answer;
};

bool is_json(const std::string& text) {
  return json_check(text.c_str(), static_cast<int>(text.size())) == static_cast<int>(text.size());
}

void expect_table(const Case* cases, size_t count, int user = kApiAdmin) {
  for (size_t i = 0; i < count; ++i) {
    std::string out;
    int n = api_request(user, cases[i].request, out);
    EXPECT_EQ(out, cases[i].answer) << cases[i].request;
    EXPECT_EQ(n, static_cast<int>(out.size())) << cases[i].request;
    if (out.starts_with("{")) {
      EXPECT_TRUE(is_json(out)) << out;
    }
  }
}

constexpr const char* kInfoReady =
    "{\"type\":\"kelvane\",\"version\":3,\"release\":\"26.0711\",\"brand\":\"stk0\",\"model\":\"A500\","
    "\"firmware\":\"v3\",\"pcode\":\"KV-1000\",\"name\":\"UPS-Room-1\"}";

TEST_F(ApiTest, RequestForms) {
  const Case cases[] = {
      {"{\"get\":[]}", "{\"return\":[]}"},
      {"{\"get\":[\"stat\",\"nosuch\"]}", "{\"return\":[[0],false]}"},
      // Blanks, extra commas, and elements that are no item name.
      {" { \"get\" : [ ,\"stat\" ,, [\"stat\"], 5, {\"a\":1}, \"\", \"name\" ,] } ",
       "{\"return\":[[0],false,false,false,false,\"UPS-Room-1\"]}"},
      {"{\"get\":[\"rating\"],\"cmd\":[\"beep\"]}", "{\"return\":[[1,50,220,1,50,220,500,12,1,15]]}"},
      // "get" that is no array gives way to "set".
      {"{\"get\":\"stat\",\"set\":{\"time\":1}}", "{\"return\":[true]}"},
      {"{\"set\":{}}", "{\"return\":[]}"},
      {"{\"cmd\":[]}", "{\"return\":[]}"},
      // Escapes in item names are resolved.
      {"{\"get\":[\"st\\u0061t\",\"\\u0073tat\",\"s\\tat\",\"\\stat\"]}", "{\"return\":[false,false,false,[0]]}"},
  };
  expect_table(cases, std::size(cases));
}

TEST_F(ApiTest, BadRequests) {
  const char* bad[] = {
      "",
      "hello",
      "{}",
      "[\"stat\"]",
      "{\"get\":\"stat\"}",
      "{\"get\":[\"stat\"]",         // cut off
      "{\"get\":[\"stat\"],\"x\":}",  // a member without a value
      "{\"set\":[\"name\"]}",
      "{\"cmd\":{\"beep\":1}}",
      "{\"GET\":[\"stat\"]}",
      "{\"get\":[\"st\xC3\"]}",  // not UTF-8
  };
  for (const char* r : bad) EXPECT_EQ(ask(r), "{\"answer\":\"410 bad request\"}") << r;
}

TEST_F(ApiTest, ArraysBeyondTheirCapacityAreNoRequest) {
  // The "get" value is read up to 2047 bytes.
  auto request = [](size_t array_length) {
    std::string array = "[\"stat\"" + std::string(array_length - 8, ' ') + "]";
    EXPECT_EQ(array.size(), array_length);
    return "{\"get\":" + array + "}";
  };
  EXPECT_EQ(ask(request(2047)), "{\"return\":[[0]]}");
  EXPECT_EQ(ask(request(2048)), "{\"answer\":\"410 bad request\"}");
}

TEST_F(ApiTest, ItemNamesOfMoreThan127BytesAreNoItems) {
  std::string name127 = "alarm_log " + std::string(117, '0');
  std::string name128 = name127 + "0";
  EXPECT_EQ(ask("{\"get\":[\"" + name127 + "\",\"" + name128 + "\"]}"), "{\"return\":[[],false]}");
  EXPECT_EQ(ask("{\"cmd\":[\"down cancel" + std::string(116, ' ') + "\"]}"), "{\"return\":[true]}");
  EXPECT_EQ(ask("{\"cmd\":[\"down cancel" + std::string(117, ' ') + "\"]}"), "{\"return\":[false]}");
}

TEST_F(ApiTest, AtFunctions) {
  const Case cases[] = {
      {"@get_ready", "true"},         {"@data_ready", "true"},   {"@get_name", "UPS-Room-1"},
      {"@get_language", "en"},        {"@get_pass", "secret"},   {"@get_info", kInfoReady},
      {"@get_ready ", "unkown function"}, {"@", "unkown function"}, {"@nosuch", "unkown function"},
  };
  expect_table(cases, std::size(cases));
}

TEST_F(ApiTest, PasswordOnlyForItsOwnUser) {
  const Case nine[] = {{"@get_pass", "guest9"}};
  expect_table(nine, 1, kApiSecondUser);
  const Case five[] = {{"@get_pass", "false"}, {"@get_name", "UPS-Room-1"}};
  expect_table(five, std::size(five), 5);
}

TEST_F(ApiTest, PasswordNotForRemoteCallers) {
  api_set_remote_probe([] { return true; });
  const Case cases[] = {{"@get_pass", "false"}, {"@get_name", "UPS-Room-1"}};
  expect_table(cases, std::size(cases));
  expect_table(cases, 1, kApiSecondUser);
}

TEST_F(ApiTest, NoRequestOutsideAPageIsRemote) {
  // Without a request being processed nothing counts as remote, whatever
  // the gate checked last.
  EXPECT_FALSE(api_caller_remote());
  EXPECT_EQ(ask("@get_pass"), "secret");
}

TEST_F(ApiTest, StatusItemsOfAOnePhaseUps) {
  const Case cases[] = {
      {"{\"get\":[\"config\"]}", "{\"return\":[[[1,0],[2,0],[3,0],[4,0],[5,0]]]}"},
      {"{\"get\":[\"ident\"]}", "{\"return\":[[\"stk0\",\"A500\",\"v3\",\"norvel\",\"UPS-Room-1\",\"rack 3\"]]}"},
      {"{\"get\":[\"rating\"]}", "{\"return\":[[1,50,220,1,50,220,500,12,1,15]]}"},
      {"{\"get\":[\"stat\"]}", "{\"return\":[[0]]}"},
      {"{\"get\":[\"battery\"]}", "{\"return\":[[2,0,35,100,25,13.6,0]]}"},
      {"{\"get\":[\"input\"]}", "{\"return\":[[1,[0,49.9,230,0]]]}"},
      {"{\"get\":[\"bypass\"]}", "{\"return\":[[1,[0,0.0,0,0]]]}"},
      {"{\"get\":[\"output\"]}", "{\"return\":[[1,3,[0,50.0,229,0,12]]]}"},
      {"{\"get\":[\"test\"]}", "{\"return\":[[0,0,0,\"\"]]}"},
      {"{\"get\":[\"down\"]}", "{\"return\":[[0,0,0]]}"},
      {"{\"get\":[\"stat\",\"battery\",\"input\",\"output\",\"rating\" ]}",
       "{\"return\":[[0],[2,0,35,100,25,13.6,0],[1,[0,49.9,230,0]],[1,3,[0,50.0,229,0,12]],"
       "[1,50,220,1,50,220,500,12,1,15]]}"},
  };
  expect_table(cases, std::size(cases));
}

TEST_F(ApiTest, SettingsAndLogItemsInTheLookupOrder) {
  struct Row {
    std::string request, answer;
  };
  const Row rows[] = {
      {"{\"get\":[\"info\"]}", std::string("{\"return\":[") + kInfoReady + "]}"},
      {"{\"get\":[\"name\",\"time\",\"email\",\"wifi\",\"wifi_ap\"]}",
       "{\"return\":[\"UPS-Room-1\",1700000000,[\"\",\"\",\"\"],false,false]}"},
      {"{\"get\":[\"ifconfig\"]}",
       "{\"return\":[[1,\"192.168.1.20\",\"255.255.255.0\",\"192.168.1.1\",\"192.168.1.53\",\"00:1A:2B:3C:4D:20\"]]}"},
      {"{\"get\":[\"alarm_list\",\"alarm\",\"alarm_log 0\",\"record_log 0\"]}", "{\"return\":[[],[],[],[]]}"},
      {"{\"get\":[\"record\"]}",
       "{\"return\":[[1700000000,0,[1,[0,49.9,230,0]],[1,3,[0,50.0,229,0,12]],[2,0,35,100,25,13.6,0]]]}"},
  };
  for (const Row& r : rows) {
    std::string out = ask(r.request);
    EXPECT_EQ(out, r.answer);
    EXPECT_TRUE(is_json(out)) << out;
  }
}

TEST_F(ApiTest, DataNotReady) {
  data_state = 1;
  const Case cases[] = {
      {"@data_ready", "false"},
      {"@get_info",
       "{\"type\":\"kelvane\",\"version\":3,\"release\":\"26.0711\",\"pcode\":\"KV-1000\",\"name\":\"UPS-Room-1\"}"},
      // Bit 0; the items still answer from the last published block.
      {"{\"get\":[\"stat\",\"battery\",\"record\"]}", "{\"return\":[[1],[2,0,35,100,25,13.6,0],false]}"},
      {"{\"cmd\":[\"beep\",\"@Q1\"]}", "{\"return\":[false,false]}"},
  };
  expect_table(cases, std::size(cases));
  link_error = 1;
  const Case lost[] = {{"{\"get\":[\"stat\"]}", "{\"return\":[[3]]}"}};
  expect_table(lost, 1);
  data_state = 2;
  const Case link[] = {{"{\"get\":[\"stat\"]}", "{\"return\":[[2]]}"}};
  expect_table(link, 1);
}

TEST_F(ApiTest, StatusWordAndCodes) {
  ups_alarms[ALARM_ON_BATTERY].since = 5;
  ups_alarms[ALARM_INPUT_LOST].since = 5;
  ups_status.published.codes[0] = 7;
  ups_status.published.codes[1] = -3;
  ups_status.published.codes[3] = 9;  // after the terminating 0
  EXPECT_EQ(ask("{\"get\":[\"stat\"]}"), "{\"return\":[[139264,7,-3]]}");
  for (int16_t& c : ups_status.published.codes) c = 1;
  ups_alarms[31].since = 1;
  std::string all = "[-2147344384" + std::string(32 * 2, ' ') + "]";
  for (int i = 0; i < 32; ++i) all.replace(12 + 2 * i, 2, ",1");
  EXPECT_EQ(ask("{\"get\":[\"stat\"]}"), "{\"return\":[" + all + "]}");
}

TEST_F(ApiTest, BatteryCountsTheSecondsOnBattery) {
  advance_s(100);
  ups_alarms[ALARM_ON_BATTERY].since = static_cast<int32_t>(svc_seconds() - 42);
  ups_status.published.batt_volt_x10 = 125;
  EXPECT_EQ(ask("{\"get\":[\"battery\"]}"), "{\"return\":[[2,42,35,100,25,12.5,0]]}");
}

TEST_F(ApiTest, ThreePhaseInputWithOnePhaseOutput) {
  UpsStatus& s = ups_status;
  s.in_phases = 3;
  s.out_phases = 1;
  s.published.input[1] = PhaseIn{1, 0, 150, 0};
  s.published.input[2] = PhaseIn{0, 501, 231, 0};
  s.published.output[1] = PhaseOut{0, 500, 230, 40, 0};  // not reported by the UPS
  EXPECT_EQ(ask("{\"get\":[\"input\",\"output\"]}"),
            "{\"return\":[[3,[0,49.9,230,0],[1,0.0,150,0],[0,50.1,231,0]],[1,3,[0,50.0,229,0,12]]]}");
  // A phase count the record cannot hold writes no more than three phases.
  s.in_phases = 7;
  s.out_phases = -2;
  EXPECT_EQ(ask("{\"get\":[\"input\",\"output\"]}"),
            "{\"return\":[[7,[0,49.9,230,0],[1,0.0,150,0],[0,50.1,231,0]],[-2,3]]}");
}

TEST_F(ApiTest, SelfTestItem) {
  UpsMeasurements& m = ups_status.published;
  m.test_id = 1;
  m.test_result = TEST_RUNNING;
  m.test_start = 1000;
  m.test_duration = 10;
  std::snprintf(m.test_text, sizeof m.test_text, "%s", "old");
  clock_.advance_ms(12500);
  EXPECT_EQ(ask("{\"get\":[\"test\"]}"), "{\"return\":[[1,12,5,\"\"]]}");
  m.test_result = TEST_PASSED;
  m.test_duration = 10500;
  EXPECT_EQ(ask("{\"get\":[\"test\"]}"), "{\"return\":[[1,10,1,\"old\"]]}");
}

TEST_F(ApiTest, ShutdownScheduleItem) {
  advance_s(10);
  int64_t now = svc_seconds();
  ups_schedule.shutdown_kind = 2;
  ups_schedule.shutdown_time = now + 90;
  ups_schedule.restart_time = now + 600;
  EXPECT_EQ(ask("{\"get\":[\"down\"]}"), "{\"return\":[[2,90,600]]}");
  advance_s(90);
  EXPECT_EQ(ask("{\"get\":[\"down\"]}"), "{\"return\":[[0,0,510]]}");
}

TEST_F(ApiTest, StringsAreEscaped) {
  apitest::set_text(sup_settings.name, "A \"B\"\\C\n\x01</script>");
  apitest::set_text(sup_settings.remark, "tab\there\r");
  apitest::set_text(ups_status.brand, "Br\xFF" "and \xC3\xA9");
  // A field the serial line filled to the last byte, without terminator.
  std::memset(ups_status.model, 'M', sizeof ups_status.model);
  const std::string name = "\"A \\\"B\\\"\\\\C\\n\\u0001</script>\"";
  const std::string ident = "[\"Br\xEF\xBF\xBD" "and \xC3\xA9\",\"" + std::string(128, 'M') +
                            "\",\"v3\",\"norvel\"," + name + ",\"tab\\there\\r\"]";
  EXPECT_EQ(ask("{\"get\":[\"name\",\"ident\"]}"), "{\"return\":[" + name + "," + ident + "]}");
  std::string info = ask("@get_info");
  EXPECT_NE(info.find(",\"name\":" + name + "}"), std::string::npos) << info;
  EXPECT_TRUE(is_json(info)) << info;
  EXPECT_TRUE(is_json(ask("{\"get\":[\"info\",\"ident\",\"name\"]}")));
  // The plain "@" answers stay plain text.
  EXPECT_EQ(ask("@get_name"), "A \"B\"\\C\n\x01</script>");
}

TEST_F(ApiTest, LogClearingIsForTheAdministrator) {
  kvtest::write_file("user/alarm.log", std::string(16, '\0'));
  kvtest::write_file("user/record.log", std::string(2, '\0'));
  EXPECT_EQ(ask("{\"cmd\":[\"clear_alarm_log\",\"clear_record_log\"]}", 5), "{\"return\":[false,false]}");
  EXPECT_EQ(ask("{\"get\":[\"alarm_log -z\",\"record_log -z\"]}", 5), "{\"return\":[false,false]}");
  EXPECT_EQ(path_kind("user/alarm.log"), 2);
  EXPECT_EQ(path_kind("user/record.log"), 2);
  EXPECT_EQ(ask("{\"cmd\":[\"nosuch\",\"clear_alarm_log\",\"clear_record_log\"]}"), "{\"return\":[false,true,true]}");
  EXPECT_EQ(path_kind("user/alarm.log"), 0);
  EXPECT_EQ(path_kind("user/record.log"), 0);
  // Also when there is nothing to clear.
  EXPECT_EQ(ask("{\"cmd\":[\"clear_alarm_log\"]}"), "{\"return\":[true]}");
  kvtest::write_file("user/alarm.log", std::string(16, '\0'));
  EXPECT_EQ(ask("{\"get\":[\"alarm_log -z\"]}"), "{\"return\":[true]}");
  EXPECT_EQ(path_kind("user/alarm.log"), 0);
}

TEST_F(ApiTest, CommandItemsWithoutALink) {
  advance_s(5);
  const Case cases[] = {
      // Data are ready but no port link exists: the UPS side refuses.
      {"{\"cmd\":[\"beep\",\"test 1\",\"@Q1\",\"config 3 7\"]}", "{\"return\":[false,false,false,false]}"},
      // The schedule needs no link.
      {"{\"cmd\":[\"down 1 60\"]}", "{\"return\":[true]}"},
      {"{\"get\":[\"down\"]}", "{\"return\":[[1,60,0]]}"},
      {"{\"cmd\":[\"down cancel\",\"start 30\"]}", "{\"return\":[true,true]}"},
      {"{\"get\":[\"down\"]}", "{\"return\":[[0,0,30]]}"},
      {"{\"cmd\":[\"down 3 10\",\"config 1 3\",\"beep 1\",\"test\",\"nosuch\",\"\"]}",
       "{\"return\":[false,false,false,false,false,false]}"},
  };
  expect_table(cases, std::size(cases));
}

TEST_F(ApiTest, CommandItemsNeedThePermission) {
  sup_policy.app_shutdown = 0;
  EXPECT_EQ(ask("{\"cmd\":[\"down 1 60\",\"start 30\",\"clear_alarm_log\"]}"), "{\"return\":[false,false,true]}");
  EXPECT_EQ(ups_schedule.shutdown_time, 0);
  EXPECT_EQ(ups_schedule.restart_time, 0);
}

// ---- the front door ------------------------------------------------------

std::string front(const char* request, size_t capacity = 4096) {
  std::string buffer(capacity, 'x');
  int n = device_request(request, std::span<char>(buffer.data(), buffer.size()));
  if (n < 0 || static_cast<size_t>(n) >= capacity) return "<too long " + std::to_string(n) + ">";
  EXPECT_EQ(buffer[static_cast<size_t>(n)], '\0');
  return buffer.substr(0, static_cast<size_t>(n));
}

TEST_F(ApiTest, FrontDoorRunsTheRegisteredHandlerAsAdministrator) {
  EXPECT_EQ(front("{\"get\":[\"stat\"]}"), "{\"return\":[[0]]}");
  EXPECT_EQ(front("@get_pass"), "secret");
  EXPECT_EQ(front("nonsense"), "{\"answer\":\"410 bad request\"}");
}

TEST_F(ApiTest, FrontDoorDefaultsWithoutHandler) {
  device_get(0)->query = nullptr;
  const Case cases[] = {
      {"{\"get\":[\"stat\"]}", "{}"}, {"nonsense", "{}"},          {"@get_ready", "true"},
      {"@get_info", "{\"type\":\"unkown\"}"}, {"@get_name", ""}, {"@data_ready", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(front(c.request), c.answer) << c.request;
  // A handler that answers nothing counts as none.
  device_get(0)->query = [](int, const char*, std::string&) { return 0; };
  EXPECT_EQ(front("@get_info"), "{\"type\":\"unkown\"}");
  device_table_release();
  EXPECT_EQ(front("@get_ready"), "true");
}

TEST_F(ApiTest, FrontDoorReportsAnAnswerThatDoesNotFit) {
  const std::string answer = "{\"return\":[[1,50,220,1,50,220,500,12,1,15]]}";
  EXPECT_EQ(front("{\"get\":[\"rating\"]}", answer.size() + 1), answer);
  std::string small(answer.size(), 'x');
  int n = device_request("{\"get\":[\"rating\"]}", std::span<char>(small.data(), small.size()));
  EXPECT_EQ(n, static_cast<int>(answer.size()));
  EXPECT_EQ(small[0], '\0');
  EXPECT_EQ(device_request("@get_ready", {}), 4);
}

}  // namespace
