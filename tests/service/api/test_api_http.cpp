// The device API behind the real HTTP server and its request gate: a page
// that hands its request body to the front door, as the posted script of
// the realtime page does through wlink_request_data. The administrator's
// password goes to pages of this machine only.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "service/core/text.h"
#include "service/web/web_gate.h"
#include "tests/service/api/api_fixture.h"
#include "tests/service/web/web_test_util.h"

namespace {

// Stands in for the script page: its output is the front door's answer
// to the request body.
void api_page(const char* folder, const char*, const char*) {
  std::string_view request = web_request_text();
  size_t body = request.find("\r\n\r\n");
  std::string text(body == std::string_view::npos ? std::string_view() : request.substr(body + 4));
  char answer[4096];
  device_request(text.c_str(), answer);
  char page[kRequestFolderPathMax + 16];
  if (request_file_free_name(folder, 200, ".ts", page) < 0) return;
  request_file_write(page, answer);
  answer_file((std::string(folder) + "/answer").c_str(), page);
}

bool everyone_remote(const SockAddr&) { return false; }

class ApiHttpTest : public apitest::ApiTest {
 protected:
  void SetUp() override {
    ApiTest::SetUp();
    kvtest::write_file("www/main.htm", "main");
    kvtest::write_file("www/404.htm", "missing");
    dir_create("www/base");
    dir_create("www/base/js");
    kvtest::write_file("www/base/js/command.ts", "shell $request_body");
    kvtest::write_file("user/config.inf",
                       "[master]\nname=UPS-Room-1\nlanguage=en\nremote_access=1\n\n[passwd]\npass1=secret\n");
    web_set_page_runner(api_page);
    server_ = std::make_unique<webtest::LiveServer>();
    ASSERT_TRUE(server_->started());
  }
  void TearDown() override {
    server_.reset();
    web_set_page_runner(nullptr);
    gate_set_peer_classifier(nullptr);
    ApiTest::TearDown();
  }
  webtest::Reply post(const std::string& body, const std::string& extra = {}) {
    std::string r = "POST /base/js/command.ts HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server_->port()) +
                    "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra +
                    "\r\n" + body;
    return webtest::exchange(server_->port(), r);
  }
  static std::string basic(const std::string& user_pass) {
    return "Authorization: Basic " + base64_encode(user_pass) + "\r\n";
  }

  std::unique_ptr<webtest::LiveServer> server_;
};

TEST_F(ApiHttpTest, PasswordForLocalPagesOnly) {
  webtest::Reply local = post("@get_pass");
  EXPECT_EQ(local.status, 200);
  EXPECT_EQ(local.body, "secret");

  gate_set_peer_classifier(everyone_remote);
  webtest::Reply remote = post("@get_pass", basic("admin:secret"));
  EXPECT_EQ(remote.status, 200);
  EXPECT_EQ(remote.body, "false");
  // Everything else answers a remote peer as it answers a local one.
  EXPECT_EQ(post("@get_name", basic("admin:secret")).body, "UPS-Room-1");
  EXPECT_EQ(post("{\"get\":[\"stat\",\"name\"]}", basic("admin:secret")).body, "{\"return\":[[0],\"UPS-Room-1\"]}");
  // Without the password the gate lets nothing through.
  EXPECT_EQ(post("@get_pass").status, 401);

  // The remote peer was the last one the gate saw; a caller outside any
  // request still gets the password.
  gate_set_peer_classifier(nullptr);
  server_.reset();
  EXPECT_TRUE(gate_last_request_remote());
  EXPECT_EQ(ask("@get_pass"), "secret");
}

}  // namespace
