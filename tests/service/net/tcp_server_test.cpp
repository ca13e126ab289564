#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "service/net/tcp_server.h"
#include "tests/service/net/net_test_util.h"
#include "tests/support/test_support.h"

namespace {

using nettest::pump_rounds;
using nettest::pump_until;

struct ServerLog {
  std::vector<TcpConnection*> accepted;
  std::vector<uint16_t> closed_peer_ports;
  int readable = 0;
  int writable = 0;
  int closed_with_open_socket = 0;
  std::string received;
  std::string aux_text;
  int aux_calls = 0;
};
ServerLog g_log;

struct SleepLog {
  std::vector<uint32_t> waits;
  sock_t free_on_call = 0;  // close this socket at the call below
  size_t free_at = 0;
};
SleepLog g_sleep;

void fake_sleep(uint32_t ms) {
  g_sleep.waits.push_back(ms);
  if (g_sleep.free_at && g_sleep.waits.size() == g_sleep.free_at) socket_close(g_sleep.free_on_call);
}

void on_accept(TcpConnection* c) { g_log.accepted.push_back(c); }

void on_close(TcpConnection* c) {
  g_log.closed_peer_ports.push_back(c->peer.port);
  if (c->socket != kNoSocket || c->aux_socket != kNoSocket) ++g_log.closed_with_open_socket;
}

// A minimal protocol: collect what arrives, close at end of stream.
int on_readable(TcpConnection* c) {
  ++g_log.readable;
  char buffer[256];
  int n = socket_recv(c->socket, buffer, sizeof buffer);
  if (n > 0) {
    g_log.received.append(buffer, static_cast<size_t>(n));
    c->last_activity = tick_ms();
    return n;
  }
  if (n < 0 && socket_would_block()) return 0;
  c->peer_closed = n == 0;
  return tcp_connection_close(c);
}

int on_writable(TcpConnection*) {
  ++g_log.writable;
  return 0;
}

void on_aux_text(TcpConnection*, const char* text, int length) {
  ++g_log.aux_calls;
  g_log.aux_text.assign(text, static_cast<size_t>(length));
  EXPECT_EQ(text[length], 0);
}

int probe_ipv4() { return kFamilyIPv4; }

// Runs every server test once with the loop on IPv4 and once on IPv6 (when
// the machine has IPv6 loopback).
class ServerTest : public ::testing::TestWithParam<int> {
 protected:
  kvtest::FakeClock clock{500000, 1700000000};  // 1700000000 mod 1024 = 256
  TcpServerParams params;
  TcpServer* server = nullptr;
  std::string output;

  void SetUp() override {
    g_log = ServerLog{};
    g_sleep = SleepLog{};
    tcp_server_override_sleep(fake_sleep);
    fmessage_override_probe(GetParam() == kFamilyIPv4 ? probe_ipv4 : nullptr);
    fmessage_init();
    if (fmessage_family() != GetParam()) GTEST_SKIP() << "no IPv6 loopback here";
    params.max_connections = 100;
    params.port = -20000;  // a free port from 20256 up
    params.on_accept = on_accept;
    params.on_close = on_close;
    params.on_readable = on_readable;
    params.on_writable = on_writable;
    params.on_aux_text = on_aux_text;
  }
  void TearDown() override {
    if (server) tcp_server_stop(server);
    for (sock_t s : clients_) socket_close(s);
    fmessage_shutdown();
    fmessage_override_probe(nullptr);
    tcp_server_override_sleep(nullptr);
  }
  void start() {
    testing::internal::CaptureStdout();
    server = tcp_server_start(&params);
    output = testing::internal::GetCapturedStdout();
    ASSERT_NE(server, nullptr);
  }
  sock_t client(int family = 0) {
    sock_t s = nettest::connect_client(family ? family : fmessage_family(), params.port);
    EXPECT_GE(s, 0);
    clients_.push_back(s);
    return s;
  }
  void close_client(sock_t s) {
    socket_close(s);
    std::erase(clients_, s);
  }
  size_t accepted() const { return g_log.accepted.size(); }
  // A blocking port of the loop's family: bound on the wildcard address and
  // listening, with the system's choice of port.
  sock_t blocker(int* port) {
    sock_t s = tcp_socket(fmessage_family());
    SockAddr any;
    any.family = fmessage_family();
    EXPECT_EQ(socket_bind(s, any), 0);
    EXPECT_EQ(socket_listen(s, 1), 0);
    SockAddr at;
    socket_local_address(s, &at);
    *port = at.port;
    return s;
  }
  // The peer's view: true when the server has closed the connection.
  static bool sees_end_of_stream(sock_t s) {
    if (!nettest::wait_ready(s, kReadable)) return false;
    char c;
    return socket_recv(s, &c, 1) <= 0;
  }

  std::vector<sock_t> clients_;
};

TEST_P(ServerTest, BindsAPortFromTheRandomRangeAndReportsIt) {
  start();
  EXPECT_GE(params.port, 20256);
  EXPECT_LT(params.port, 20256 + 200);
  std::string p = std::to_string(params.port);
  EXPECT_EQ(output, "tcp bind OK ... port = " + p + "\ntcp server on : " + p + "\n");
  EXPECT_EQ(g_sleep.waits.size(), static_cast<size_t>(params.port - 20256));
  FmessageCounts n = fmessage_counts();
  EXPECT_EQ(n.handlers, 1u);
  EXPECT_EQ(n.timers, 1u);
  EXPECT_EQ(n.watches, 1u);
  EXPECT_EQ(fmessage_tick_period(), kTcpSweepIntervalMs);
}

TEST_P(ServerTest, AcceptsAndDispatchesReadableAndWritable) {
  start();
  sock_t c = client();
  ASSERT_TRUE(pump_until([&] { return accepted() == 1; }));
  TcpConnection* conn = g_log.accepted[0];
  EXPECT_EQ(conn->server, server);
  EXPECT_GE(conn->socket, 0);
  EXPECT_EQ(conn->aux_socket, kNoSocket);
  EXPECT_EQ(conn->idle_timeout, 10);
  EXPECT_EQ(conn->last_activity, clock.tick());
  EXPECT_FALSE(conn->busy);
  EXPECT_EQ(conn->state, nullptr);
  SockAddr local;
  socket_local_address(c, &local);
  EXPECT_EQ(conn->peer.family, fmessage_family());
  EXPECT_EQ(conn->peer.port, local.port);

  ASSERT_EQ(socket_send(c, "hello", 5), 5);
  ASSERT_TRUE(pump_until([&] { return g_log.received == "hello"; }));

  EXPECT_EQ(g_log.writable, 0);
  tcp_connection_want_write(conn);
  tcp_connection_want_write(conn);
  ASSERT_TRUE(pump_until([&] { return g_log.writable == 1; }));
  pump_rounds(10);
  EXPECT_EQ(g_log.writable, 1);

  // The peer goes: the protocol closes, the sweep it posts releases.
  close_client(c);
  ASSERT_TRUE(pump_until([&] { return g_log.closed_peer_ports.size() == 1; }));
  EXPECT_EQ(g_log.closed_peer_ports[0], local.port);
  EXPECT_EQ(g_log.closed_with_open_socket, 0);
  EXPECT_TRUE(server->connections.empty());
  EXPECT_EQ(fmessage_counts().watches, 1u);  // the listener only
}

TEST_P(ServerTest, IPv4ClientOfADualStackServerHasAMappedPeer) {
  if (fmessage_family() != kFamilyIPv6) GTEST_SKIP() << "IPv4 loop";
  start();
  client(kFamilyIPv4);
  ASSERT_TRUE(pump_until([&] { return accepted() == 1; }));
  const SockAddr& peer = g_log.accepted[0]->peer;
  EXPECT_EQ(peer.family, kFamilyIPv6);
  EXPECT_TRUE(ip_is_v4_mapped(peer.addr));
  char text[64];
  ip_format(peer.addr, text);
  EXPECT_STREQ(text, "127.0.0.1");
}

TEST_P(ServerTest, FullServerPausesUntilASweepReleasesAConnection) {
  params.max_connections = 2;
  start();
  sock_t first = client();
  client();
  ASSERT_TRUE(pump_until([&] { return accepted() == 2; }));
  sock_t third = client();  // completes in the backlog
  pump_rounds(20);
  EXPECT_EQ(accepted(), 2u);
  EXPECT_TRUE(server->paused);
  (void)third;

  // Closing alone makes no room; the release by the sweep does.
  TcpConnection* oldest = g_log.accepted[0];
  tcp_connection_close(oldest);
  EXPECT_EQ(accepted(), 2u);
  EXPECT_EQ(server->connections.size(), 2u);
  ASSERT_TRUE(pump_until([&] { return accepted() == 3; }));
  EXPECT_EQ(g_log.closed_peer_ports.size(), 1u);
  EXPECT_EQ(server->connections.size(), 2u);
  EXPECT_TRUE(sees_end_of_stream(first));
}

TEST_P(ServerTest, IdleSweepClosesQuietConnectionsAndSparesBusyOnes) {
  start();
  sock_t quiet = client();
  sock_t busy = client();
  ASSERT_TRUE(pump_until([&] { return accepted() == 2; }));
  TcpConnection* busy_conn = g_log.accepted[1];
  busy_conn->busy = true;

  // First sweep: exactly 10 s of quiet is not yet idle.
  clock.advance_ms(kTcpSweepIntervalMs);
  pump_rounds(5);
  EXPECT_TRUE(g_log.closed_peer_ports.empty());
  EXPECT_EQ(busy_conn->last_activity, clock.tick());

  // Second sweep: 20 s quiet; the busy one counts as active.
  clock.advance_ms(kTcpSweepIntervalMs);
  ASSERT_TRUE(pump_until([&] { return g_log.closed_peer_ports.size() == 1; }));
  EXPECT_TRUE(sees_end_of_stream(quiet));
  ASSERT_EQ(server->connections.size(), 1u);
  EXPECT_EQ(server->connections[0], busy_conn);

  busy_conn->busy = false;
  clock.advance_ms(2 * kTcpSweepIntervalMs + 1000);
  ASSERT_TRUE(pump_until([&] { return g_log.closed_peer_ports.size() == 2; }));
  EXPECT_TRUE(sees_end_of_stream(busy));
  EXPECT_EQ(g_log.closed_with_open_socket, 0);
}

TEST_P(ServerTest, ALongerIdleTimeoutIsHonoured) {
  start();
  client();
  ASSERT_TRUE(pump_until([&] { return accepted() == 1; }));
  g_log.accepted[0]->idle_timeout = 25;
  clock.advance_ms(2 * kTcpSweepIntervalMs);
  pump_rounds(5);
  EXPECT_TRUE(g_log.closed_peer_ports.empty());
  clock.advance_ms(kTcpSweepIntervalMs);
  ASSERT_TRUE(pump_until([&] { return g_log.closed_peer_ports.size() == 1; }));
}

TEST_P(ServerTest, BusyFixedPortIsRetriedEverySecondWithOneFailLine) {
  int port = 0;
  sock_t busy = blocker(&port);
  g_sleep.free_on_call = busy;
  g_sleep.free_at = 3;  // the port comes free during the third wait
  params.port = port;
  start();
  EXPECT_EQ(params.port, port);
  EXPECT_EQ(g_sleep.waits, (std::vector<uint32_t>{1000, 1000, 1000}));
  std::string p = std::to_string(port);
  EXPECT_EQ(output, "tcp bind FAIL ... port = " + p + "\ntcp bind OK ... port = " + p + "\ntcp server on : " + p + "\n");
  client();
  ASSERT_TRUE(pump_until([&] { return accepted() == 1; }));
}

TEST_P(ServerTest, BusyChosenPortMovesOneUp) {
  int port = 0;
  sock_t busy = blocker(&port);
  if (port <= 256) GTEST_SKIP() << "system port too low for the test";
  params.port = -(port - 256);  // first try: exactly the busy port
  start();
  socket_close(busy);
  EXPECT_GT(params.port, port);
  EXPECT_EQ(g_sleep.waits.size(), static_cast<size_t>(params.port - port));
  EXPECT_EQ(output.find("FAIL"), std::string::npos);
}

TEST_P(ServerTest, AuxiliarySocketTextReachesTheProtocol) {
  start();
  client();
  ASSERT_TRUE(pump_until([&] { return accepted() == 1; }));
  SockAddr at;
  sock_t aux = nettest::bound_udp(fmessage_family(), &at);
  ASSERT_GE(aux, 0);
  ASSERT_EQ(tcp_connection_attach_aux(g_log.accepted[0], aux), 0);
  EXPECT_EQ(g_log.accepted[0]->aux_socket, aux);
  std::string big(200, 'a');
  big[126] = 'z';
  ASSERT_EQ(socket_sendto(aux, big.data(), big.size(), at), 200);
  ASSERT_TRUE(pump_until([&] { return g_log.aux_calls == 1; }));
  EXPECT_EQ(g_log.aux_text.size(), static_cast<size_t>(kTcpAuxTextMax));
  EXPECT_EQ(g_log.aux_text.back(), 'z');
  EXPECT_EQ(g_log.readable, 0);
  // The auxiliary socket is the connection's: closing it closes both.
  tcp_connection_close(g_log.accepted[0]);
  ASSERT_TRUE(pump_until([&] { return g_log.closed_peer_ports.size() == 1; }));
  EXPECT_EQ(g_log.closed_with_open_socket, 0);
}

TEST_P(ServerTest, StopClosesEverythingAndSaysSo) {
  start();
  sock_t a = client();
  sock_t b = client();
  ASSERT_TRUE(pump_until([&] { return accepted() == 2; }));
  testing::internal::CaptureStdout();
  tcp_server_stop(server);
  server = nullptr;
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "tcp server quit\n");
  EXPECT_EQ(g_log.closed_peer_ports.size(), 2u);
  EXPECT_EQ(g_log.closed_with_open_socket, 0);
  FmessageCounts n = fmessage_counts();
  EXPECT_EQ(n.handlers + n.queued + n.timers + n.watches, 0u);
  EXPECT_TRUE(sees_end_of_stream(a));
  EXPECT_TRUE(sees_end_of_stream(b));
}

TEST_P(ServerTest, NotStartedWithoutARunningLoop) {
  fmessage_shutdown();
  EXPECT_EQ(tcp_server_start(&params), nullptr);
}

std::string family_name(const testing::TestParamInfo<int>& info) { return info.param == kFamilyIPv4 ? "IPv4" : "IPv6"; }

INSTANTIATE_TEST_SUITE_P(Families, ServerTest, ::testing::Values(kFamilyIPv4, kFamilyIPv6), family_name);

}  // namespace
