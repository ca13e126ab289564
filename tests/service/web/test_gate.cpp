// The request gate: its pieces, then a table of attacks against the real
// server, each refused, next to the allowed forms, which are served.
// Remote peers come from the injectable peer classification: the test
// declares the (loopback) peer remote; no packet leaves the machine.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "service/core/file_util.h"
#include "service/core/text.h"
#include "service/net/netinfo.h"
#include "service/web/web_gate.h"
#include "tests/service/web/web_test_util.h"
#include "tests/support/test_support.h"

namespace {

using webtest::Reply;

void put(const std::string& path, std::string_view data) {
  for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
    dir_create(path.substr(0, slash).c_str());
  ASSERT_TRUE(kvtest::write_file(path, data)) << path;
}

IpAddress parsed(const char* text) {
  IpAddress a;
  ip_parse(text, &a);
  return a;
}

TEST(Gate, LoopbackPeers) {
  EXPECT_TRUE(ip_is_loopback(parsed("127.0.0.1")));
  EXPECT_TRUE(ip_is_loopback(parsed("127.200.3.4")));
  EXPECT_TRUE(ip_is_loopback(parsed("::1")));
  EXPECT_TRUE(ip_is_loopback(parsed("::ffff:127.0.0.1")));
  EXPECT_FALSE(ip_is_loopback(parsed("128.0.0.1")));
  EXPECT_FALSE(ip_is_loopback(parsed("::ffff:10.0.0.1")));
  EXPECT_FALSE(ip_is_loopback(parsed("::2")));
  EXPECT_FALSE(ip_is_loopback(parsed("fe80::1")));
  EXPECT_FALSE(ip_is_loopback(IpAddress{}));
}

TEST(Gate, PasswordsAndBase64) {
  EXPECT_TRUE(password_equal("secret", "secret"));
  EXPECT_FALSE(password_equal("secret", "secreT"));
  EXPECT_FALSE(password_equal("secret", "secret1"));
  EXPECT_FALSE(password_equal("", "x"));
  EXPECT_FALSE(password_equal(std::string(64, 'a'), std::string(64, 'a')));
  EXPECT_TRUE(password_equal(std::string(63, 'a'), std::string(63, 'a')));
  char out[64];
  EXPECT_EQ(base64_decode("YWRtaW46c2VjcmV0", out), 12);
  EXPECT_STREQ(out, "admin:secret");
  EXPECT_EQ(base64_decode("YQ==", out), 1);
  EXPECT_EQ(base64_decode("YQ", out), 1);
  EXPECT_EQ(base64_decode("Y*Q=", out), -1);
  char tiny[4];
  EXPECT_EQ(base64_decode("YWRtaW46c2VjcmV0", tiny), -1);
}

TEST(Gate, HeaderLookupIsCaseBlindAndStaysInTheHead) {
  std::string request = "POST / HTTP/1.1\r\nhost:  Example \r\nORIGIN: http://a\r\n\r\nOrigin: http://body\r\n";
  char out[32];
  EXPECT_EQ(gate_header(request, "Host", out), 7);
  EXPECT_STREQ(out, "Example");
  EXPECT_EQ(gate_header(request, "Origin", out), 8);
  EXPECT_STREQ(out, "http://a");
  EXPECT_EQ(gate_header("GET / HTTP/1.1\r\n\r\nOrigin: x\r\n", "Origin", out), -1);
  EXPECT_EQ(gate_header("GET / HTTP/1.1\r\nOrigin: " + std::string(40, 'o') + "\r\n\r\n", "Origin", out), -2);
}

int fake_adapters(std::vector<NetAdapter>& out) {
  NetAdapter a;
  copy_cut(a.name, "eth0");
  a.unicast = {parsed("192.168.1.5"), parsed("2001:db8::5")};
  a.prefix = {24, 64};
  out.push_back(a);
  return 0;
}

TEST(Gate, HostNamesThisMachine) {
  netinfo_override(fake_adapters);
  const char* allowed[] = {"localhost", "LocalHost:9800", "localhost.", "127.0.0.1", "127.5.6.7:80", "[::1]",
                           "[::1]:9800", "[::ffff:127.0.0.1]:1", "192.168.1.5:9800", "[2001:db8::5]"};
  for (const char* host : allowed) EXPECT_TRUE(gate_host_allowed(host)) << host;
  const char* refused[] = {"evil.example", "evil.example:9800", "localhost.evil.example", "127.0.0.1.nip.io",
                           "", ":9800", "[::1", "::1", "localhost:abc", "localhost:1234567", "0.0.0.0", "[::]",
                           "192.168.1.6", "localhost:9800/x", "local host"};
  for (const char* host : refused) EXPECT_FALSE(gate_host_allowed(host)) << host;
  char name[256];
  if (local_host_name(name) > 0) {
    EXPECT_TRUE(gate_host_allowed(name)) << name;
    EXPECT_TRUE(gate_host_allowed(std::string(name) + ":9800")) << name;
  }
  netinfo_override(nullptr);
}

std::string g_remote_password;
bool everyone_remote(const SockAddr&) { return false; }

class GateLive : public ::testing::Test {
 protected:
  void SetUp() override {
    put("www/main.htm", "main");
    put("www/404.htm", "missing");
    put("www/a.txt", "public text");
    put("www/base/js/command.ts", "shell $request_body");
    put("user/config.inf", "[master]\nlanguage=en\n\n[]\n");
    put("appinfo.inf", "[app]\nwebport=9800\n");
    web_set_page_runner(webtest::echo_runner);
    {
      std::lock_guard<std::mutex> hold(webtest::runner_log().lock);
      webtest::runner_log().urls.clear();
    }
    server_ = std::make_unique<webtest::LiveServer>();
    ASSERT_TRUE(server_->started());
  }
  void TearDown() override {
    server_.reset();
    web_set_page_runner(nullptr);
    gate_set_peer_classifier(nullptr);
  }
  int port() const { return server_->port(); }
  std::string host() const { return "127.0.0.1:" + std::to_string(port()); }

  kvtest::TempProgramFolder dir_;
  std::unique_ptr<webtest::LiveServer> server_;
};

struct Attack {
  const char* name;
  bool remote;
  const char* config;  // body of user/config.inf
  std::string request;
  int status;  // expected answer; 0 for none
  bool runs;   // the page runner is reached
};

const char* kConfigOff = "[master]\nlanguage=en\n\n[passwd]\npass1=secret\n\n[]\n";
const char* kConfigNoPass = "[master]\nremote_access=1\n\n[]\n";
const char* kConfigOn = "[master]\nremote_access=1\n\n[passwd]\npass1=secret\n\n[]\n";

std::string basic(const std::string& user_pass) { return "Authorization: Basic " + base64_encode(user_pass) + "\r\n"; }

TEST_F(GateLive, AttacksAreRefusedAndAllowedFormsServed) {
  std::string h = "Host: " + host() + "\r\n";
  std::string origin_self = "Origin: http://" + host() + "\r\n";
  std::string post_body = "Content-Length: 8\r\n\r\nsystem x";
  auto post = [&](const std::string& headers) { return "POST /base/js/command.ts HTTP/1.1\r\n" + headers + post_body; };
  auto get = [&](const std::string& path, const std::string& headers) {
    return "GET " + path + " HTTP/1.1\r\n" + headers + "\r\n";
  };
  const Attack attacks[] = {
      // Remote peers.
      {"remote, remote access off", true, kConfigOff, get("/", h), 403, false},
      {"remote, off, good credentials", true, kConfigOff, get("/", h + basic("admin:secret")), 403, false},
      {"remote, on, no password set", true, kConfigNoPass, get("/", h + basic("admin:")), 403, false},
      {"remote, on, no credentials", true, kConfigOn, post(h), 401, false},
      {"remote, on, bad password", true, kConfigOn, post(h + basic("admin:secreT")), 401, false},
      {"remote, on, password prefix", true, kConfigOn, post(h + basic("admin:secre")), 401, false},
      {"remote, on, bad base64", true, kConfigOn, post(h + "Authorization: Basic %%%\r\n"), 401, false},
      {"remote, on, other scheme", true, kConfigOn, post(h + "Authorization: Bearer secret\r\n"), 401, false},
      {"remote, on, good credentials, foreign origin", true, kConfigOn,
       post(h + basic("admin:secret") + "Origin: http://evil.example\r\n"), 403, false},
      {"remote, on, good credentials", true, kConfigOn, post(h + basic("admin:secret")), 200, true},
      {"remote, on, good credentials, any user", true, kConfigOn, get("/a.txt", h + basic("x:secret")), 200, false},
      // Cross-site requests from a page in the user's browser.
      {"foreign origin posts a script", false, kConfigOff, post(h + "Origin: http://evil.example\r\n"), 403, false},
      {"foreign origin, lower-case header", false, kConfigOff, post(h + "origin: http://evil.example\r\n"), 403, false},
      {"null origin", false, kConfigOff, post(h + "Origin: null\r\n"), 403, false},
      {"same host, other port", false, kConfigOff, post(h + "Origin: http://127.0.0.1:1\r\n"), 403, false},
      {"https origin", false, kConfigOff, post(h + "Origin: https://" + host() + "\r\n"), 403, false},
      {"Sec-Fetch-Site cross-site", false, kConfigOff, get("/", h + "Sec-Fetch-Site: cross-site\r\n"), 403, false},
      {"Sec-Fetch-Site same-site", false, kConfigOff, post(h + "Sec-Fetch-Site: same-site\r\n"), 403, false},
      {"cross-site read of the user folder", false, kConfigOff,
       get("/user/config.inf", h + "Sec-Fetch-Site: cross-site\r\n"), 403, false},
      {"cross-site read through //", false, kConfigOff, get("//user/config.inf", h + "Origin: http://evil.example\r\n"),
       403, false},
      // DNS rebinding: the name resolves to us, the Host header tells.
      {"rebinding host", false, kConfigOff, post("Host: evil.example\r\n"), 403, false},
      {"rebinding host with port", false, kConfigOff, get("/a.txt", "Host: evil.example:" + std::to_string(port()) + "\r\n"),
       403, false},
      {"no host", false, kConfigOff, get("/a.txt", ""), 403, false},
      {"two names in host", false, kConfigOff, get("/a.txt", "Host: localhost evil\r\n"), 403, false},
      // Allowed forms.
      {"own origin posts a script", false, kConfigOff, post(h + origin_self), 200, true},
      {"localhost origin", false, kConfigOff,
       post("Host: localhost:" + std::to_string(port()) + "\r\nOrigin: http://localhost:" + std::to_string(port()) + "\r\n"),
       200, true},
      {"no origin (a tool)", false, kConfigOff, post(h), 200, true},
      {"Sec-Fetch-Site same-origin", false, kConfigOff, post(h + "Sec-Fetch-Site: same-origin\r\n"), 200, true},
      {"Sec-Fetch-Site none (typed address)", false, kConfigOff, get("/", h + "Sec-Fetch-Site: none\r\n"), 200, true},
      {"host localhost", false, kConfigOff, get("/a.txt", "Host: localhost\r\n"), 200, false},
      {"host [::1]", false, kConfigOff, get("/a.txt", "Host: [::1]:" + std::to_string(port()) + "\r\n"), 200, false},
      {"public file for another site", false, kConfigOff, get("/a.txt", h + "Origin: http://evil.example\r\n"), 200, false},
      {"remote access on, local peer needs nothing", false, kConfigOn, get("/a.txt", h), 200, false},
  };
  for (const Attack& a : attacks) {
    put("user/config.inf", a.config);
    gate_set_peer_classifier(a.remote ? everyone_remote : nullptr);
    size_t runs_before = webtest::runner_log().count();
    Reply reply = webtest::exchange(port(), a.request, false, 3000);
    EXPECT_EQ(reply.status, a.status) << a.name;
    EXPECT_EQ(webtest::runner_log().count() - runs_before, a.runs ? 1u : 0u) << a.name;
    if (a.status == 401) {
      EXPECT_EQ(reply.header("WWW-Authenticate"), "Basic realm=\"kelvane\", charset=\"UTF-8\"") << a.name;
    }
    if (a.status == 403) {
      EXPECT_EQ(reply.body, "Forbidden\n") << a.name;
    }
  }
}

// Every spelling of a way out of the roots gets no answer: sent in a row on
// one connection before a valid request, only the last one is answered.
TEST_F(GateLive, TraversalSpellingsGetNoAnswer) {
  put("www/page.htm", "<$ source $>");
  const char* spellings[] = {
      "/../appinfo.inf",
      "/%2E%2E/appinfo.inf",
      "/..%2Fappinfo.inf",
      "/.%2E/appinfo.inf",
      "/%2E./user/config.inf",
      "/%2E%2E%2Fuser%2Fconfig.inf",
      "/page/../../appinfo.inf",
      "//../secret",
      "/%2F../secret",
      "///etc/passwd",
      "/%2F%2Fetc%2Fpasswd",
      "/..%5Cappinfo.inf",
      "/%5C..%5Cappinfo.inf",
      "/C:/Windows/win.ini",
      "/C%3A/Windows/win.ini",
      "//C:/x",
      "/a.txt%00.png",
      "/page.htm.",
      "/page.htm%20",
      "/page.htm::$DATA",
      "/con",
      "/AUX.txt",
      "/user/../../secret",
      "/var/%2E%2E/%2E%2E/secret",
      "/...",
  };
  std::string h = "Host: " + host() + "\r\n";
  std::string batch;
  for (const char* path : spellings) batch += "GET " + std::string(path) + " HTTP/1.1\r\n" + h + "\r\n";
  batch += "GET /a.txt HTTP/1.1\r\n" + h + "\r\n";
  sock_t s = webtest::connect_to(port());
  ASSERT_GE(s, 0);
  ASSERT_TRUE(webtest::send_all(s, batch));
  Reply reply;
  std::string rest;
  ASSERT_TRUE(webtest::read_reply(s, &reply, &rest));
  EXPECT_EQ(reply.body, "public text");
  EXPECT_EQ(rest + webtest::read_for(s, 200), "");
  socket_close(s);
  EXPECT_EQ(webtest::runner_log().count(), 0u);
}

}  // namespace
