// The HTTP client against stand-in servers on loopback, served by the test
// itself between steps of the event loop. Time is the fake clock's: the
// client's 500 ms tick and its time-out run only when a test moves it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/cloud/http_client.h"
#include "service/core/file_util.h"
#include "service/net/resolve.h"
#include "tests/service/net/net_test_util.h"
#include "tests/support/test_support.h"

namespace {

struct Done {
  std::vector<std::string> argv;
  std::string result;
};
std::vector<Done> g_done;

void record(const char* const* argv, int argc, const char* result) {
  Done d;
  for (int i = 0; i < argc; ++i) d.argv.emplace_back(argv[i]);
  d.result = result;
  g_done.push_back(d);
}

int no_servers(int, SockAddr*) { return 0; }

// One connection at a time: reads the request (head and Content-Length
// body), then sends the reply pieces, one per poll, and closes when told.
struct StandInHttp {
  sock_t listener = kNoSocket;
  sock_t conn = kNoSocket;
  int port = 0;
  std::string request;
  std::vector<std::string> pieces;
  size_t sent = 0;
  bool close_after = true;
  int accepted = 0;

  ~StandInHttp() {
    if (conn != kNoSocket) socket_close(conn);
    if (listener != kNoSocket) socket_close(listener);
  }
  bool open(int family) {
    listener = tcp_socket(family);
    if (listener == kNoSocket) return false;
    SockAddr at = nettest::loopback_address(family, 0), bound;
    if (socket_bind(listener, at) < 0 || socket_listen(listener, 4) < 0 || socket_local_address(listener, &bound) < 0)
      return false;
    socket_set_nonblocking(listener);
    port = bound.port;
    return true;
  }
  bool request_complete() const {
    size_t end = request.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    size_t cl = request.find("Content-Length: ");
    size_t length = cl == std::string::npos ? 0 : std::stoul(request.substr(cl + 16));
    return request.size() >= end + 4 + length;
  }
  std::string body() const {
    size_t end = request.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : request.substr(end + 4);
  }
  void poll() {
    if (conn == kNoSocket) {
      conn = socket_accept(listener, nullptr);
      if (conn == kNoSocket) return;
      ++accepted;
      socket_set_nonblocking(conn);
    }
    char buffer[65536];
    for (;;) {
      int n = socket_recv(conn, buffer, sizeof buffer);
      if (n <= 0) break;
      request.append(buffer, static_cast<size_t>(n));
    }
    if (!request_complete()) return;
    if (sent < pieces.size()) {
      const std::string& p = pieces[sent++];
      size_t done = 0;
      while (done < p.size()) {
        int n = socket_send(conn, p.data() + done, p.size() - done);
        if (n > 0) {
          done += static_cast<size_t>(n);
        } else {
          nettest::wait_ready(conn, kWritable, 1000);
        }
      }
      return;
    }
    if (close_after && sent == pieces.size() && conn != kNoSocket) {
      socket_close(conn);
      conn = kNoSocket;
      close_after = false;
    }
  }
};

class HttpClient : public ::testing::Test {
 protected:
  void SetUp() override {
    g_done.clear();
    // No name may leave the machine: no servers, and the marker that stops
    // every query.
    dns_override_servers(no_servers);
    dns_override_paths("nowan", "");
    ASSERT_TRUE(kvtest::write_file("nowan", ""));
    dns_reset();
  }
  void TearDown() override {
    fmessage_shutdown();
    fmessage_override_probe(nullptr);
    dns_reset();
    dns_override_paths(nullptr, nullptr);
  }
  bool start_loop(int family) {
    if (family == kFamilyIPv6) {
      SockAddr at;
      sock_t s = nettest::bound_udp(kFamilyIPv6, &at);
      if (s == kNoSocket) return false;
      socket_close(s);
    }
    static int (*const probes[2])() = {[] { return kFamilyIPv4; }, [] { return kFamilyIPv6; }};
    fmessage_override_probe(probes[family == kFamilyIPv6 ? 1 : 0]);
    fmessage_init();
    return fmessage_family() == family;
  }
  int start(const std::vector<std::string>& args) {
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    return http_client_start(argv.data(), static_cast<int>(argv.size()), record);
  }
  bool run(StandInHttp* server) {
    return nettest::pump_until([&] {
      if (server) server->poll();
      return !g_done.empty();
    });
  }
  std::string url(const StandInHttp& s, const char* host, const char* path) {
    return std::string("http://") + host + ":" + std::to_string(s.port) + path;
  }

  kvtest::TempProgramFolder folder;
  kvtest::FakeClock clock{50000};
};

const char* const kOk = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";

TEST_F(HttpClient, Ipv6LiteralHostPortAndPath) {
  if (!start_loop(kFamilyIPv6)) GTEST_SKIP() << "no IPv6 loopback";
  StandInHttp server;
  ASSERT_TRUE(server.open(kFamilyIPv6));
  server.pieces = {kOk};
  ASSERT_EQ(start({"ahttp", url(server, "[::1]", "/x"), "-out", "page.txt"}), 0);
  ASSERT_TRUE(run(&server));
  EXPECT_EQ(server.request,
            "GET /x HTTP/1.1\r\nHost: [::1]\r\nAccept: text/*\r\nUser-Agent: HttpConnect/1.1\r\n"
            "Content-Length: 0\r\n\r\n");
  ASSERT_EQ(g_done.size(), 1u);
  EXPECT_EQ(g_done[0].result, "{\"ret\":0,\"out\":\"page.txt\"}");
  EXPECT_EQ(kvtest::read_file("page.txt"), "hello");
  // The completion sees the arguments the request was started with.
  ASSERT_EQ(g_done[0].argv.size(), 4u);
  EXPECT_EQ(g_done[0].argv[1], url(server, "[::1]", "/x"));
}

TEST_F(HttpClient, UrlWithoutPathAsksForTheRoot) {
  ASSERT_TRUE(start_loop(kFamilyIPv4));
  StandInHttp server;
  ASSERT_TRUE(server.open(kFamilyIPv4));
  server.pieces = {kOk};
  ASSERT_EQ(start({"ahttp", url(server, "127.0.0.1", ""), "-tag", "probe"}), 0);
  ASSERT_TRUE(run(&server));
  EXPECT_EQ(server.request.substr(0, 16), "GET / HTTP/1.1\r\n");
  EXPECT_NE(server.request.find("\r\nHost: 127.0.0.1\r\n"), std::string::npos);
  ASSERT_EQ(g_done.size(), 1u);
  EXPECT_EQ(g_done[0].result, "{\"ret\":0,\"tag\":\"probe\"}");
}

TEST_F(HttpClient, AnswersAndTheirResults) {
  struct Case {
    const char* what;
    std::vector<std::string> pieces;
    const char* result;
    const char* body;  // nullptr: no output file
  };
  const Case cases[] = {
      {"404 with a body", {"HTTP/1.1 404 Not Found\r\nContent-Length: 7\r\n\r\nmissing"},
       "{\"ret\":404,\"out\":\"o.txt\",\"tag\":\"t\"}", "missing"},
      {"chunked, in small pieces",
       {"HTTP/1.1 200 OK\r\nTransfer-", "Encoding: chunked\r\n\r\n3\r", "\nabc\r\n", "2\r\nde", "\r\n0\r\n\r\n"},
       "{\"ret\":0,\"out\":\"o.txt\",\"tag\":\"t\"}", "abcde"},
      {"length 0", {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"}, "{\"ret\":0,\"out\":\"o.txt\",\"tag\":\"t\"}",
       nullptr},
      {"gzip refused", {"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 2\r\n\r\n\x1f\x8b"},
       "{\"ret\":-1,\"out\":\"o.txt\",\"tag\":\"t\"}", nullptr},
      {"no length", {"HTTP/1.1 200 OK\r\n\r\nabc"}, "{\"ret\":-1,\"out\":\"o.txt\",\"tag\":\"t\"}", nullptr},
      {"stream ends inside the body", {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc"},
       "{\"ret\":-1,\"out\":\"o.txt\",\"tag\":\"t\"}", "abc"},
      {"stream ends before any answer", {}, "{\"ret\":-1,\"out\":\"o.txt\",\"tag\":\"t\"}", nullptr},
  };
  ASSERT_TRUE(start_loop(kFamilyIPv4));
  for (const Case& c : cases) {
    file_delete("o.txt");
    g_done.clear();
    StandInHttp server;
    ASSERT_TRUE(server.open(kFamilyIPv4));
    server.pieces = c.pieces;
    ASSERT_EQ(start({"ahttp", url(server, "127.0.0.1", "/q"), "-out", "o.txt", "-tag", "t"}), 0);
    ASSERT_TRUE(run(&server)) << c.what;
    ASSERT_EQ(g_done.size(), 1u) << c.what;
    EXPECT_EQ(g_done[0].result, c.result) << c.what;
    EXPECT_EQ(path_kind("o.txt") == 2, c.body != nullptr) << c.what;
    if (c.body) {
      EXPECT_EQ(kvtest::read_file("o.txt"), c.body) << c.what;
    }
  }
}

TEST_F(HttpClient, PostTextAndFileWithSeparatorAndHeaders) {
  ASSERT_TRUE(start_loop(kFamilyIPv4));
  StandInHttp server;
  ASSERT_TRUE(server.open(kFamilyIPv4));
  server.pieces = {kOk};
  ASSERT_TRUE(kvtest::write_file("three.bin", "xyz"));
  ASSERT_EQ(start({"ahttp", url(server, "127.0.0.1", "/post"), "-p", "a", "-f", "three.bin", "-h", "X-One: 1", "-h",
                   "X-Two: 2"}),
            0);
  ASSERT_TRUE(run(&server));
  EXPECT_EQ(server.request,
            std::string("POST /post HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/*\r\nUser-Agent: HttpConnect/1.1\r\n"
                        "Content-Length: 5\r\nX-One: 1\r\nX-Two: 2\r\n\r\na") +
                std::string(1, '\0') + "xyz");
  ASSERT_EQ(g_done.size(), 1u);
  EXPECT_EQ(g_done[0].result, "{\"ret\":0}");
}

TEST_F(HttpClient, LargeBodiesAreStreamedWhole) {
  ASSERT_TRUE(start_loop(kFamilyIPv4));
  std::string text(25000, 't');
  std::string file;
  for (int i = 0; i < 50000; ++i) file += static_cast<char>('a' + i % 26);
  ASSERT_TRUE(kvtest::write_file("big.bin", file));
  struct Case {
    std::vector<std::string> options;
    std::string body;
  };
  const Case cases[] = {
      {{"-p", text}, text},
      {{"-f", "big.bin"}, file},
      {{"-p", text, "-f", "big.bin"}, text + std::string(1, '\0') + file},
  };
  for (const Case& c : cases) {
    g_done.clear();
    StandInHttp server;
    ASSERT_TRUE(server.open(kFamilyIPv4));
    server.pieces = {kOk};
    std::vector<std::string> args = {"ahttp", url(server, "127.0.0.1", "/")};
    args.insert(args.end(), c.options.begin(), c.options.end());
    ASSERT_EQ(start(args), 0);
    ASSERT_TRUE(run(&server));
    EXPECT_NE(server.request.find("Content-Length: " + std::to_string(c.body.size()) + "\r\n"), std::string::npos);
    EXPECT_TRUE(server.body() == c.body) << server.body().size() << " of " << c.body.size();
    ASSERT_EQ(g_done.size(), 1u);
    EXPECT_EQ(g_done[0].result, "{\"ret\":0}");
  }
}

TEST_F(HttpClient, NameFromTheHostsFile) {
  ASSERT_TRUE(start_loop(kFamilyIPv4));
  ASSERT_TRUE(kvtest::write_file("hosts", "127.0.0.1 relay.test\n"));
  StandInHttp server;
  ASSERT_TRUE(server.open(kFamilyIPv4));
  server.pieces = {kOk};
  ASSERT_EQ(start({"ahttp", url(server, "relay.test", "/m")}), 0);
  ASSERT_TRUE(run(&server));
  EXPECT_NE(server.request.find("\r\nHost: relay.test\r\n"), std::string::npos);
  ASSERT_EQ(g_done.size(), 1u);
  EXPECT_EQ(g_done[0].result, "{\"ret\":0}");
}

TEST_F(HttpClient, AnswerBroadcastResumesAWaitingRequestAtOnce) {
  ASSERT_TRUE(start_loop(kFamilyIPv4));
  StandInHttp server;
  ASSERT_TRUE(server.open(kFamilyIPv4));
  server.pieces = {kOk};
  ASSERT_EQ(start({"ahttp", url(server, "later.test", "/")}), 0);
  nettest::pump_rounds(10);
  EXPECT_TRUE(g_done.empty());
  EXPECT_EQ(server.accepted, 0);
  // What a finished query does; the fake clock stands still, so no tick
  // can be what moves the request on.
  IpAddress lo = ip_loopback(kFamilyIPv4);
  dns_cache_store("later.test", lo);
  fmessage_post(nullptr, XF_BROADCAST, 0, 0);
  ASSERT_TRUE(run(&server));
  EXPECT_EQ(g_done[0].result, "{\"ret\":0}");
}

TEST_F(HttpClient, NameThatNeverResolvesTimesOut) {
  ASSERT_TRUE(start_loop(kFamilyIPv4));
  testing::internal::CaptureStdout();
  ASSERT_EQ(start({"ahttp", "http://never.test/x", "-t", "3", "-tag", "n"}), 0);
  nettest::drain();
  for (int i = 0; i < 6; ++i) {
    clock.advance_ms(kHttpTickMs);
    nettest::drain();
  }
  EXPECT_TRUE(g_done.empty());  // 3 s have passed, not more
  clock.advance_ms(kHttpTickMs);
  nettest::drain();
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_EQ(g_done.size(), 1u);
  EXPECT_EQ(g_done[0].result, "{\"ret\":-1,\"tag\":\"n\"}");
  EXPECT_NE(out.find("dns never.test\n"), std::string::npos);
  EXPECT_NE(out.find("timeout ERROR\n"), std::string::npos);
  EXPECT_EQ(out.find("dns OK"), std::string::npos);
}

TEST_F(HttpClient, SilentServerTimesOutWhileReceiving) {
  ASSERT_TRUE(start_loop(kFamilyIPv4));
  StandInHttp server;
  ASSERT_TRUE(server.open(kFamilyIPv4));
  server.close_after = false;
  ASSERT_EQ(start({"ahttp", url(server, "127.0.0.1", "/")}), 0);
  ASSERT_TRUE(nettest::pump_until([&] {
    server.poll();
    return server.request_complete();
  }));
  nettest::pump_rounds(5);
  EXPECT_TRUE(g_done.empty());
  clock.advance_ms(kHttpDefaultTimeout * 1000 + kHttpTickMs);
  nettest::drain();
  ASSERT_EQ(g_done.size(), 1u);
  EXPECT_EQ(g_done[0].result, "{\"ret\":-1}");
}

TEST_F(HttpClient, RefusedConnection) {
  ASSERT_TRUE(start_loop(kFamilyIPv4));
  int port = 0;
  {
    StandInHttp closed;
    ASSERT_TRUE(closed.open(kFamilyIPv4));
    port = closed.port;
  }
  testing::internal::CaptureStdout();
  ASSERT_EQ(start({"ahttp", "http://127.0.0.1:" + std::to_string(port) + "/"}), 0);
  bool done = nettest::pump_until([] { return !g_done.empty(); });
  if (!done) {
    // Some systems report the refusal only to the tick's error check.
    clock.advance_ms(kHttpTickMs);
    done = nettest::pump_until([] { return !g_done.empty(); });
  }
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(done);
  EXPECT_EQ(g_done[0].result, "{\"ret\":-1}");
  EXPECT_NE(out.find("connect ERROR\n"), std::string::npos);
}

TEST_F(HttpClient, UnusableRequestsFailThroughTheCompletion) {
  ASSERT_TRUE(start_loop(kFamilyIPv4));
  const std::vector<std::vector<std::string>> cases = {
      {"ahttp", "http://127.0.0.1:0/"},                              // port 0
      {"ahttp", "http://[::1:8080/"},                                // no "]"
      {"ahttp", "http://127.0.0.1:70000/"},                          // no such port
      {"ahttp", "ftp://127.0.0.1/"},                                 // no HTTP
      {"ahttp", "http:///path"},                                     // no host
      {"ahttp", "http://127.0.0.1/a b"},                             // a blank in the URL
      {"ahttp", "http://127.0.0.1/", "-h", "X: 1\r\nEvil: 2"},       // a header that smuggles another
      {"ahttp", "http://127.0.0.1/", "-f", "a.bin", "-f", "b.bin"},  // "-f" twice
      {"ahttp", "http://127.0.0.1/", "-h", std::string(11000, 'h')},  // a head beyond its buffer
  };
  for (const auto& args : cases) {
    g_done.clear();
    ASSERT_EQ(start(args), 0) << args[1];
    nettest::drain();
    ASSERT_EQ(g_done.size(), 1u) << args[1];
    EXPECT_EQ(g_done[0].result, "{\"ret\":-1}") << args[1];
  }
}

TEST_F(HttpClient, NothingStartsWithoutARunningLoop) {
  EXPECT_EQ(start({"ahttp", "http://127.0.0.1/"}), -1);
  ASSERT_TRUE(start_loop(kFamilyIPv4));
  EXPECT_EQ(start({"ahttp"}), -1);
  fmessage_post(nullptr, XF_QUIT, 0, 0);
  nettest::drain();
  EXPECT_EQ(start({"ahttp", "http://127.0.0.1/"}), -1);
  fmessage_shutdown();
  EXPECT_TRUE(g_done.empty());
}

TEST_F(HttpClient, ResultEscapesQuotesInOutAndTag) {
  ASSERT_TRUE(start_loop(kFamilyIPv4));
  ASSERT_EQ(start({"ahttp", "http://127.0.0.1:0/", "-out", "a\"b.txt", "-tag", "back\\slash"}), 0);
  nettest::drain();
  ASSERT_EQ(g_done.size(), 1u);
  EXPECT_EQ(g_done[0].result, "{\"ret\":-1,\"out\":\"a\\\"b.txt\",\"tag\":\"back\\\\slash\"}");
}

TEST_F(HttpClient, ShutdownReleasesRunningRequestsQuietly) {
  ASSERT_TRUE(start_loop(kFamilyIPv4));
  ASSERT_EQ(start({"ahttp", "http://never.test/"}), 0);
  nettest::drain();
  size_t handlers = fmessage_counts().handlers;
  EXPECT_GE(handlers, 1u);
  fmessage_shutdown();  // ASan reports the request if it were left behind
  EXPECT_TRUE(g_done.empty());
}

}  // namespace
