// The real server over real loopback sockets: curl for ordinary requests,
// raw sockets for everything a well-behaved client would not send.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "service/core/clock.h"
#include "service/core/file_util.h"
#include "service/web/http_parse.h"
#include "service/web/http_socket.h"
#include "service/web/web_gate.h"
#include "tests/service/web/web_test_util.h"
#include "tests/support/test_support.h"

namespace {

using webtest::connect_to;
using webtest::exchange;
using webtest::get_request;
using webtest::read_for;
using webtest::read_reply;
using webtest::Reply;
using webtest::send_all;

void put(const std::string& path, std::string_view data) {
  for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
    dir_create(path.substr(0, slash).c_str());
  ASSERT_TRUE(kvtest::write_file(path, data)) << path;
}

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return s;
}

std::string g_language = "en";
const char* language_hook() { return g_language.c_str(); }

const std::string kMain = "<html>main page</html>\n";
const std::string k404 = "<html>not here</html>\n";
const size_t kBigSize = 2600000;

class Live : public ::testing::Test {
 protected:
  void SetUp() override {
    put("www/main.htm", kMain);
    put("www/404.htm", k404);
    put("www/de/404.htm", "<html>nicht da</html>\n");
    put("www/page/en/x.htm", "english x");
    put("www/page/x.htm", "plain x");
    put("www/lib/chart.js", "var a = '<$ not a script $>';");
    put("www/base/js/command.ts", "shell $request_body");
    put("www/k.bin", pattern(1000));
    put("www/page.htm", "<$ secret source $>");
    put("www/lib/big.bin", pattern(kBigSize));
    put("www/a.txt", pattern(1024));
    put("appinfo.inf", "[app]\nwebport=9800\n");
    put("www/appinfo.inf", "wrong one");
    g_language = "en";
    web_set_language_hook(language_hook);
    web_set_page_runner(webtest::echo_runner);
    http_set_debug_marker("debug_marker");
    {
      std::lock_guard<std::mutex> hold(webtest::runner_log().lock);
      webtest::runner_log().urls.clear();
      webtest::runner_log().requests.clear();
    }
    start();
    http_request_counter_reset();
  }
  virtual void start() {
    server_ = std::make_unique<webtest::LiveServer>();
    ASSERT_TRUE(server_->started());
  }
  void TearDown() override {
    server_.reset();
    web_set_language_hook(nullptr);
    web_set_page_runner(nullptr);
    http_set_debug_marker(nullptr);
    gate_set_peer_classifier(nullptr);
  }
  int port() const { return server_->port(); }
  std::string url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(port()) + std::string(path);
  }
  std::string get(std::string_view path, std::string_view extra = {}) const { return get_request(path, port(), extra); }

  kvtest::TempProgramFolder dir_;
  std::unique_ptr<webtest::LiveServer> server_;
};

#define REQUIRE_CURL()                                        \
  do {                                                        \
    if (webtest::curl_path().empty()) {                       \
      GTEST_SKIP() << "curl does not run here";               \
    }                                                         \
  } while (0)

TEST_F(Live, CurlMainPageIsHtmlWithoutCaching) {
  REQUIRE_CURL();
  std::string out;
  ASSERT_EQ(webtest::run_curl({"-s", "-D", "head.txt", "-o", "body.txt", url("/")}, &out), 0) << out;
  std::string head = kvtest::read_file("head.txt");
  EXPECT_TRUE(head.starts_with("HTTP/1.1 200 OK\r\n")) << head;
  EXPECT_NE(head.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos);
  EXPECT_NE(head.find("Cache-Control: no-cache, max-age=0\r\n"), std::string::npos);
  EXPECT_NE(head.find("Content-Length: " + std::to_string(kMain.size()) + "\r\n"), std::string::npos);
  EXPECT_EQ(kvtest::read_file("body.txt"), kMain);
  EXPECT_EQ(webtest::runner_log().count(), 1u);
}

TEST_F(Live, CurlRedirectNotFoundAndKeepAlive) {
  REQUIRE_CURL();
  dir_create("www/folder");
  std::string out;
  ASSERT_EQ(webtest::run_curl({"-s", "-o", "r.txt", "-w", "%{http_code} %{redirect_url}", url("/folder")}, &out), 0);
  EXPECT_EQ(out, "302 " + url("/folder/"));
  ASSERT_EQ(webtest::run_curl({"-s", "-o", "nf.txt", "-w", "%{http_code}", url("/nothing.png")}, &out), 0);
  EXPECT_EQ(out, "404");
  EXPECT_EQ(kvtest::read_file("nf.txt"), k404);
  // Two transfers in one run share one connection.
  ASSERT_EQ(webtest::run_curl({"-s", "-o", "1.txt", "-o", "2.txt", "-w", "[%{num_connects}]", url("/a.txt"), url("/k.bin")},
                              &out),
            0);
  EXPECT_EQ(out, "[1][0]");
  EXPECT_EQ(kvtest::read_file("1.txt"), pattern(1024));
  EXPECT_EQ(kvtest::read_file("2.txt"), pattern(1000));
}

TEST_F(Live, CurlRangesHeadAndLargeFile) {
  REQUIRE_CURL();
  std::string out;
  std::string k = pattern(1000);
  struct Case {
    const char* range;
    std::string body;
  } cases[] = {{"100-199", k.substr(100, 100)}, {"-100", k.substr(900)}, {"500-", k.substr(500)}};
  for (const Case& c : cases) {
    ASSERT_EQ(webtest::run_curl({"-s", "-r", c.range, "-o", "part.bin", "-w", "%{http_code}", url("/k.bin")}, &out), 0);
    EXPECT_EQ(out, "206") << c.range;
    EXPECT_EQ(kvtest::read_file("part.bin"), c.body) << c.range;
  }
  ASSERT_EQ(webtest::run_curl({"-s", "-I", "-o", "head.txt", url("/k.bin")}, &out), 0);
  std::string head = kvtest::read_file("head.txt");
  EXPECT_TRUE(head.starts_with("HTTP/1.1 200 OK\r\n"));
  EXPECT_NE(head.find("Content-Length: 1000\r\n"), std::string::npos);
  ASSERT_EQ(webtest::run_curl({"-s", "-o", "big.bin", url("/lib/big.bin")}, &out), 0);
  EXPECT_TRUE(kvtest::read_file("big.bin") == pattern(kBigSize));
}

TEST_F(Live, CurlPostsToTheCommandScript) {
  REQUIRE_CURL();
  std::string out;
  ASSERT_EQ(webtest::run_curl({"-s", "-o", "c.txt", "-w", "%{http_code}", "--data-binary", "json $QAD return", url("/base/js/command.ts")},
                              &out),
            0);
  EXPECT_EQ(out, "200");
  EXPECT_EQ(kvtest::read_file("c.txt"), "shell $request_body");
  std::lock_guard<std::mutex> hold(webtest::runner_log().lock);
  ASSERT_EQ(webtest::runner_log().requests.size(), 1u);
  EXPECT_TRUE(webtest::runner_log().requests[0].ends_with("\r\n\r\njson $QAD return"));
}

TEST_F(Live, RequestSplitOverSegmentsIsAnsweredOnceAfterTheBody) {
  sock_t s = connect_to(port());
  ASSERT_GE(s, 0);
  std::string head = "POST /base/js/command.ts HTTP/1.1\r\nHost: localhost\r\nContent-Length: 10\r\n\r\n";
  ASSERT_TRUE(send_all(s, head.substr(0, 20)));
  EXPECT_EQ(read_for(s, 100), "");
  ASSERT_TRUE(send_all(s, head.substr(20)));
  ASSERT_TRUE(send_all(s, "01234"));
  EXPECT_EQ(read_for(s, 150), "");
  ASSERT_TRUE(send_all(s, "56789"));
  Reply reply;
  std::string rest;
  ASSERT_TRUE(read_reply(s, &reply, &rest));
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(read_for(s, 150), "");
  socket_close(s);
  std::lock_guard<std::mutex> hold(webtest::runner_log().lock);
  ASSERT_EQ(webtest::runner_log().requests.size(), 1u);
  EXPECT_TRUE(webtest::runner_log().requests[0].ends_with("\r\n\r\n0123456789"));
}

TEST_F(Live, LowerCaseContentLengthIsNoLength) {
  sock_t s = connect_to(port());
  ASSERT_GE(s, 0);
  ASSERT_TRUE(send_all(s, "POST /a.txt HTTP/1.1\r\nHost: localhost\r\ncontent-length: 5\r\n\r\n"));
  Reply reply;
  std::string rest;
  ASSERT_TRUE(read_reply(s, &reply, &rest));
  EXPECT_EQ(reply.status, 200);
  socket_close(s);
}

TEST_F(Live, ThreeSpacesCloseWithoutAnswer) {
  sock_t s = connect_to(port());
  ASSERT_GE(s, 0);
  ASSERT_TRUE(send_all(s, "GET /a b HTTP/1.1\r\nHost: localhost\r\n\r\n"));
  bool closed = false;
  EXPECT_EQ(read_for(s, 3000, &closed), "");
  EXPECT_TRUE(closed);
  socket_close(s);
}

TEST_F(Live, HeadSendsTheHeadOnly) {
  sock_t s = connect_to(port());
  ASSERT_GE(s, 0);
  ASSERT_TRUE(send_all(s, "HEAD /k.bin HTTP/1.1\r\nHost: localhost\r\n\r\n"));
  Reply reply;
  std::string rest;
  ASSERT_TRUE(read_reply(s, &reply, &rest, true));
  EXPECT_EQ(reply.header("Content-Length"), "1000");
  EXPECT_EQ(rest + read_for(s, 200), "");
  // The connection serves on.
  ASSERT_TRUE(send_all(s, get("/k.bin")));
  ASSERT_TRUE(read_reply(s, &reply, &rest));
  EXPECT_EQ(reply.body, pattern(1000));
  socket_close(s);
}

TEST_F(Live, HalfClosedClientGetsTheWholeAnswer) {
  for (const char* path : {"/k.bin", "/lib/big.bin"}) {
    sock_t s = connect_to(port());
    ASSERT_GE(s, 0);
    ASSERT_TRUE(send_all(s, get(path)));
    ASSERT_EQ(tcp_shutdown_send(s), 0);
    bool closed = false;
    std::string all = read_for(s, 10000, &closed);
    EXPECT_TRUE(closed) << path;
    size_t head_end = all.find("\r\n\r\n");
    ASSERT_NE(head_end, std::string::npos);
    EXPECT_TRUE(all.substr(head_end + 4) == pattern(std::string(path) == "/k.bin" ? 1000 : kBigSize)) << path;
    socket_close(s);
  }
}

TEST_F(Live, BackToBackRequestsAreBothAnswered) {
  sock_t s = connect_to(port());
  ASSERT_GE(s, 0);
  ASSERT_TRUE(send_all(s, get("/k.bin") + get("/a.txt") + get("/page/x.htm")));
  Reply first, second, third;
  std::string rest;
  ASSERT_TRUE(read_reply(s, &first, &rest));
  ASSERT_TRUE(read_reply(s, &second, &rest));
  ASSERT_TRUE(read_reply(s, &third, &rest));
  EXPECT_EQ(first.body, pattern(1000));
  EXPECT_EQ(second.body, pattern(1024));
  EXPECT_EQ(third.body, "english x");
  socket_close(s);
}

// Undecodable, refused and too long paths get no answer; as the server
// then goes on with the next request on the connection, the only answer
// that arrives is the one of the valid request at the end.
TEST_F(Live, UnusablePathsGetNoAnswer) {
  sock_t s = connect_to(port());
  ASSERT_GE(s, 0);
  std::string batch = get("/%2f") + get("/x%") + get("/" + std::string(130, 'a')) + get("relative") + get("/page/x.htm");
  ASSERT_TRUE(send_all(s, batch));
  Reply reply;
  std::string rest;
  ASSERT_TRUE(read_reply(s, &reply, &rest));
  EXPECT_EQ(reply.body, "english x");
  EXPECT_EQ(rest + read_for(s, 200), "");
  socket_close(s);
  // "%2F" decodes to "/" and is answered ("//main.htm" is no file here).
  EXPECT_EQ(exchange(port(), get("/%2F")).status, 404);
  // "//" is the program folder itself; the redirect
  // keeps it encoded so that no browser reads "//folder/" as a host.
  dir_create("folder");
  EXPECT_EQ(exchange(port(), get("/%2Ffolder")).header("Location"), "/%2Ffolder/");
}

TEST_F(Live, PathsAndVariants) {
  EXPECT_EQ(exchange(port(), get("/appinfo.inf")).body, "[app]\nwebport=9800\n");
  Reply lib = exchange(port(), get("/lib/chart.js"));
  EXPECT_EQ(lib.body, "var a = '<$ not a script $>';");
  EXPECT_EQ(lib.header("Content-Type"), "application/javascript; charset=utf-8");
  Reply range = exchange(port(), get("/page.htm", "Range: bytes=0-\r\n"));
  EXPECT_EQ(range.status, 206);
  EXPECT_EQ(range.body, "<$ secret source $>");
  EXPECT_EQ(webtest::runner_log().count(), 0u);
  Reply variant = exchange(port(), get("/page/x.htm"));
  EXPECT_EQ(variant.body, "english x");
  Reply missing = exchange(port(), get("/nothing.png"));
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.body, k404);
}

TEST_F(Live, LanguageOfTheService) {
  g_language = "de";  // read by the loop at the next request only
  Reply missing = exchange(port(), get("/nothing.png"));
  EXPECT_EQ(missing.body, "<html>nicht da</html>\n");
  EXPECT_EQ(exchange(port(), get("/page/x.htm")).body, "english x");
}

TEST_F(Live, DebugModeKeepsEveryRequestFolder) {
  put("debug_marker", "");
  sock_t s = connect_to(port());
  ASSERT_GE(s, 0);
  SockAddr local;
  ASSERT_EQ(socket_local_address(s, &local), 0);
  std::string request = get("/k.bin");
  ASSERT_TRUE(send_all(s, request));
  Reply reply;
  std::string rest;
  ASSERT_TRUE(read_reply(s, &reply, &rest));
  ASSERT_TRUE(send_all(s, get("/")));
  ASSERT_TRUE(read_reply(s, &reply, &rest));
  socket_close(s);
  EXPECT_EQ(kvtest::read_file("tmp/httpd_tmp_1/request"), request);
  EXPECT_EQ(kvtest::read_file("tmp/httpd_tmp_1/session"),
            "request_ip=127.0.0.1\nrequest_port=" + std::to_string(local.port) + "\n");
  EXPECT_EQ(kvtest::read_file("tmp/httpd_tmp_1/answer"), "tmp/httpd_tmp_1/100\nwww/k.bin\n");
  EXPECT_TRUE(kvtest::read_file("tmp/httpd_tmp_1/100").starts_with("HTTP/1.1 200 OK\r\n"));
  // The page the runner generated is there too.
  EXPECT_EQ(kvtest::read_file("tmp/httpd_tmp_2/200.htm"), kMain);
  EXPECT_EQ(kvtest::read_file("tmp/httpd_tmp_2/answer"), "tmp/httpd_tmp_2/100\ntmp/httpd_tmp_2/200.htm\n");
}

TEST_F(Live, WithoutDebugNothingStaysInTmp) {
  EXPECT_EQ(exchange(port(), get("/k.bin")).status, 200);
  EXPECT_EQ(exchange(port(), get("/")).status, 200);
  DirList list;
  if (dir_list("tmp", 0, list) >= 0) {
    EXPECT_EQ(list.count(), 0);
  }
}

TEST_F(Live, Ipv6PeerIsNamedInIpv6) {
  if (fmessage_family() != kFamilyIPv6) GTEST_SKIP() << "the loop runs IPv4 here";
  put("debug_marker", "");
  sock_t s = connect_to(port(), kFamilyIPv6);
  ASSERT_GE(s, 0);
  ASSERT_TRUE(send_all(s, "GET /k.bin HTTP/1.1\r\nHost: [::1]:" + std::to_string(port()) + "\r\n\r\n"));
  Reply reply;
  std::string rest;
  ASSERT_TRUE(read_reply(s, &reply, &rest));
  EXPECT_EQ(reply.status, 200);
  socket_close(s);
  EXPECT_TRUE(kvtest::read_file("tmp/httpd_tmp_1/session").starts_with("request_ip=::1\n"));
}

TEST_F(Live, OversizedRequestsCloseTheConnection) {
  // A head that never ends.
  sock_t s = connect_to(port());
  ASSERT_GE(s, 0);
  std::string filler = "GET / HTTP/1.1\r\nX: " + std::string(1100000, 'x');
  send_all(s, filler);
  bool closed = false;
  read_for(s, 5000, &closed);
  EXPECT_TRUE(closed);
  socket_close(s);
  // A body announced beyond the bound.
  s = connect_to(port());
  ASSERT_GE(s, 0);
  ASSERT_TRUE(send_all(s, "POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 2000000\r\n\r\n"));
  EXPECT_EQ(read_for(s, 3000, &closed), "");
  EXPECT_TRUE(closed);
  socket_close(s);
  // The largest request that fits is served.
  std::string body(kReceiveLimit - 200, 'b');
  std::string post = "POST /a.txt HTTP/1.1\r\nHost: localhost\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  Reply reply = exchange(port(), post + body);
  EXPECT_EQ(reply.status, 200);
}

TEST_F(Live, ManyConnectionsAtOnce) {
  std::vector<sock_t> clients;
  for (int i = 0; i < 50; ++i) {
    sock_t s = connect_to(port());
    ASSERT_GE(s, 0);
    clients.push_back(s);
  }
  for (sock_t s : clients) ASSERT_TRUE(send_all(s, get("/a.txt")));
  for (sock_t s : clients) {
    Reply reply;
    std::string rest;
    ASSERT_TRUE(read_reply(s, &reply, &rest));
    EXPECT_EQ(reply.body.size(), 1024u);
    socket_close(s);
  }
}

// The idle sweep, in virtual time: a request without answer leaves the
// connection open until the sweep closes it.
class LiveIdle : public Live {
 protected:
  void start() override {
    clock_ = std::make_unique<kvtest::FakeClock>(1000, 1700000000);
    Live::start();
  }
  void TearDown() override {
    Live::TearDown();
    clock_.reset();
  }
  std::unique_ptr<kvtest::FakeClock> clock_;
};

TEST_F(LiveIdle, SweepClosesConnectionsWithoutAnswer) {
  sock_t s = connect_to(port());
  ASSERT_GE(s, 0);
  ASSERT_TRUE(send_all(s, get("/%2f")));
  bool closed = false;
  EXPECT_EQ(read_for(s, 300, &closed), "");
  EXPECT_FALSE(closed);
  // 10 s after the last receive, at a sweep every 10 s.
  for (int i = 0; i < 25 && !closed; ++i) {
    clock_->advance_ms(1000);
    read_for(s, 50, &closed);
  }
  EXPECT_TRUE(closed);
  socket_close(s);
}

}  // namespace
