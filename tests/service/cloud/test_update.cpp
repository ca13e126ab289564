// The web package update against an update server stand-in on loopback:
// query, signature and package downloads, the checks, the installation.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "service/cloud/update.h"
#include "service/cloud/webpack.h"
#include "service/core/file_util.h"
#include "service/net/resolve.h"
#include "tests/service/net/net_test_util.h"
#include "tests/support/test_support.h"

namespace {

int no_servers(int, SockAddr*) { return 0; }

// Serves one request per connection from a table of paths.
struct StandInUpdateServer {
  struct Answer {
    int status;
    std::string body;
  };
  sock_t listener = kNoSocket;
  sock_t conn = kNoSocket;
  int port = 0;
  std::string current;
  std::vector<std::string> paths;  // request paths, in order
  std::map<std::string, Answer> answers;

  ~StandInUpdateServer() {
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
  void poll() {
    if (conn == kNoSocket) {
      conn = socket_accept(listener, nullptr);
      if (conn == kNoSocket) return;
      socket_set_nonblocking(conn);
      current.clear();
    }
    char buffer[4096];
    for (;;) {
      int n = socket_recv(conn, buffer, sizeof buffer);
      if (n <= 0) break;
      current.append(buffer, static_cast<size_t>(n));
    }
    if (current.find("\r\n\r\n") == std::string::npos) return;
    size_t sp = current.find(' ');
    std::string path = current.substr(sp + 1, current.find(' ', sp + 1) - sp - 1);
    paths.push_back(path);
    auto it = answers.find(path.substr(0, path.find('?')));
    Answer a = it == answers.end() ? Answer{404, "no such thing"} : it->second;
    std::string reply =
        "HTTP/1.1 " + std::to_string(a.status) + " X\r\nContent-Length: " + std::to_string(a.body.size()) + "\r\n\r\n";
    reply += a.body;
    size_t done = 0;
    while (done < reply.size()) {
      int n = socket_send(conn, reply.data() + done, reply.size() - done);
      if (n > 0) done += static_cast<size_t>(n);
      else nettest::wait_ready(conn, kWritable, 1000);
    }
    socket_close(conn);
    conn = kNoSocket;
  }
};

std::string make_package(const std::string& file_text) {
  EXPECT_EQ(dir_create("src"), 0);
  EXPECT_TRUE(kvtest::write_file("src/index.htm", file_text));
  std::string pack, error;
  EXPECT_GT(webpack_build("src", pack, error), 0) << error;
  tree_delete("src");
  return pack;
}

std::string sign(const std::string& data, const uint8_t key[32]) {
  uint8_t sig[kPackSignatureBytes];
  EXPECT_EQ(pack_sign(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data.data()), data.size()),
                      std::span<const uint8_t>(key, 32), sig),
            0);
  return std::string(reinterpret_cast<char*>(sig), sizeof sig);
}

TEST(PackSignature, VerifiesOnlyTheSignedBytesWithTheRightKey) {
  uint8_t priv[32], pub[32], other_priv[32], other_pub[32];
  ASSERT_EQ(pack_keygen(priv, pub), 0);
  ASSERT_EQ(pack_keygen(other_priv, other_pub), 0);
  std::string data = "package bytes";
  std::string sig = sign(data, priv);
  auto bytes = [](const std::string& s) {
    return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  };
  EXPECT_TRUE(pack_signature_ok(bytes(data), bytes(sig), std::span<const uint8_t>(pub, 32)));
  EXPECT_FALSE(pack_signature_ok(bytes("package bytez"), bytes(sig), std::span<const uint8_t>(pub, 32)));
  EXPECT_FALSE(pack_signature_ok(bytes(data), bytes(sig), std::span<const uint8_t>(other_pub, 32)));
  std::string flipped = sig;
  flipped[40] ^= 1;
  EXPECT_FALSE(pack_signature_ok(bytes(data), bytes(flipped), std::span<const uint8_t>(pub, 32)));
  EXPECT_FALSE(pack_signature_ok(bytes(data), bytes(sig.substr(0, 63)), std::span<const uint8_t>(pub, 32)));
}

TEST(PackSignature, PackagesOfAnySizeSignAndVerify) {
  uint8_t priv[32], pub[32];
  ASSERT_EQ(pack_keygen(priv, pub), 0);
  // A real web package is far larger than one S-expression value can hold.
  for (std::size_t size : {std::size_t{0}, std::size_t{65535}, std::size_t{65536}, std::size_t{3} << 20}) {
    std::string data(size, 'w');
    if (size) data[size / 2] = 'x';
    std::string sig = sign(data, priv);
    auto span = std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    EXPECT_TRUE(pack_signature_ok(span, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(sig.data()), 64),
                                  std::span<const uint8_t>(pub, 32)))
        << size;
    if (!size) continue;
    data[size - 1] ^= 1;
    EXPECT_FALSE(pack_signature_ok(span, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(sig.data()), 64),
                                   std::span<const uint8_t>(pub, 32)))
        << size;
  }
}

class Update : public ::testing::Test {
 protected:
  void SetUp() override {
    dns_override_servers(no_servers);
    dns_override_paths("dns_nowan", "");
    ASSERT_TRUE(kvtest::write_file("dns_nowan", ""));
    dns_reset();
    fmessage_init();
    ASSERT_TRUE(server.open());
    ASSERT_EQ(pack_keygen(priv, pub), 0);
    update_set_public_key(pub);
    ASSERT_TRUE(kvtest::write_file("appinfo.inf", "[app]\nos=linux\nappid=kelvane\nversion=26.0711\nupdate=http://127.0.0.1:" +
                                                      std::to_string(server.port) + "\npackwww=pack.www\n\n[]\n"));
    // The installed web interface and the shipped package.
    ASSERT_EQ(dir_create("www"), 0);
    ASSERT_TRUE(kvtest::write_file("www/old.htm", "old"));
    ASSERT_EQ(dir_create("var"), 0);
    ASSERT_TRUE(kvtest::write_file(kBuildFile, "260711\n"));
    ASSERT_TRUE(kvtest::write_file("pack.www", "shipped"));
  }
  void TearDown() override {
    fmessage_shutdown();
    update_set_public_key(nullptr);
    dns_reset();
    dns_override_paths(nullptr, nullptr);
    dns_override_servers(nullptr);
  }
  void offer(const std::string& build, const std::string& pack, const std::string& sig, bool with_sig = true) {
    std::string base = "http://127.0.0.1:" + std::to_string(server.port);
    std::string info = "[pack.www]\nbuild=" + build + "\nurl=" + base + "/pack.www\n";
    if (with_sig) info += "sig=" + base + "/pack.www.sig\n";
    server.answers["/"] = {200, info + "\n[]\n"};
    server.answers["/pack.www"] = {200, pack};
    server.answers["/pack.www.sig"] = {200, sig};
  }
  bool run() {
    EXPECT_EQ(webpack_check_update(), 0);
    return nettest::pump_until([&] {
      server.poll();
      return !webpack_update_running();
    });
  }
  void expect_untouched() {
    EXPECT_EQ(kvtest::read_file("www/old.htm"), "old");
    EXPECT_EQ(path_kind("www/index.htm"), 0);
    EXPECT_EQ(kvtest::read_file(kBuildFile), "260711\n");
    EXPECT_EQ(kvtest::read_file("pack.www"), "shipped");
    EXPECT_EQ(path_kind(kPackDownload), 0);
  }

  kvtest::TempProgramFolder folder;
  kvtest::FakeClock clock{50000};
  StandInUpdateServer server;
  uint8_t priv[32], pub[32];
};

TEST_F(Update, NewerSignedPackageIsInstalled) {
  std::string pack = make_package("new page");
  offer("270000", pack, sign(pack, priv));
  ASSERT_TRUE(run());
  ASSERT_EQ(server.paths.size(), 3u);
  EXPECT_EQ(server.paths[0], "/?os=linux&appid=kelvane&version=26.0711");
  EXPECT_EQ(kvtest::read_file("www/index.htm"), "new page");
  EXPECT_EQ(path_kind("www/old.htm"), 0);
  EXPECT_EQ(kvtest::read_file(kBuildFile), "270000");
  EXPECT_EQ(kvtest::read_file("pack.www"), pack);
  EXPECT_EQ(path_kind(kPackDownload), 0);
  EXPECT_EQ(path_kind(kPackSignatureDownload), 0);
}

TEST_F(Update, EqualOrOlderBuildDownloadsNothing) {
  for (const char* build : {"260711", "100"}) {
    server.paths.clear();
    std::string pack = make_package("p");
    offer(build, pack, sign(pack, priv));
    ASSERT_TRUE(run());
    EXPECT_EQ(server.paths.size(), 1u) << build;
    expect_untouched();
  }
}

TEST_F(Update, NotFoundLeavesTheErrorBody) {
  server.answers["/"] = {404, "<h1>gone</h1>"};
  ASSERT_TRUE(run());
  EXPECT_EQ(server.paths.size(), 1u);
  EXPECT_EQ(kvtest::read_file(kBuildInfo), "<h1>gone</h1>");
  expect_untouched();
}

TEST_F(Update, RefusedPackagesLeaveEverythingAsItWas) {
  uint8_t other_priv[32], other_pub[32];
  ASSERT_EQ(pack_keygen(other_priv, other_pub), 0);
  std::string good = make_package("evil page");
  std::string bad_sum = good;
  bad_sum.back() ^= 0x55;  // signed as it is, so only the checksum fails
  struct Case {
    const char* what;
    std::string pack, sig;
    bool with_sig;
  };
  const Case cases[] = {
      {"signed by another key", good, sign(good, other_priv), true},
      {"signature of other bytes", good, sign(good + "x", priv), true},
      {"short signature", good, sign(good, priv).substr(0, 10), true},
      {"bad checksum", bad_sum, sign(bad_sum, priv), true},
      {"no signature offered", good, "", false},
  };
  for (const Case& c : cases) {
    offer("270000", c.pack, c.sig, c.with_sig);
    ASSERT_TRUE(run()) << c.what;
    expect_untouched();
  }
}

TEST_F(Update, MissingSettingStartsNothing) {
  ASSERT_TRUE(kvtest::write_file("appinfo.inf", "[app]\nos=linux\nappid=kelvane\nversion=1\nupdate=\n\n[]\n"));
  EXPECT_EQ(webpack_check_update(), -1);
  EXPECT_FALSE(webpack_update_running());
}

}  // namespace
