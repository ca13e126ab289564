#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "service/net/fmessage.h"
#include "service/net/socket.h"
#include "tests/service/net/net_test_util.h"

namespace {

int probe_ipv4() { return kFamilyIPv4; }

class SocketTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (sock_t s : sockets_) socket_close(s);
    fmessage_shutdown();
    fmessage_override_probe(nullptr);
  }
  void init(bool ipv4_only) {
    fmessage_override_probe(ipv4_only ? probe_ipv4 : nullptr);
    fmessage_init();
  }
  sock_t keep(sock_t s) {
    EXPECT_GE(s, 0);
    sockets_.push_back(s);
    return s;
  }
  std::string receive(sock_t s) {
    if (!nettest::wait_ready(s, kReadable)) return "(nothing)";
    char buffer[64];
    int n = socket_recvfrom(s, buffer, sizeof buffer, nullptr);
    return n < 0 ? "(error)" : std::string(buffer, static_cast<size_t>(n));
  }
  std::vector<sock_t> sockets_;
};

TEST_F(SocketTest, DualStackSocketReachesAnIPv4DestinationMapped) {
  init(false);
  if (fmessage_family() != kFamilyIPv6) GTEST_SKIP() << "no IPv6 loopback here";
  SockAddr at4;
  sock_t rx = keep(nettest::bound_udp(kFamilyIPv4, &at4));
  sock_t tx = keep(udp_socket(kFamilyIPv6));
  ASSERT_EQ(at4.family, kFamilyIPv4);
  EXPECT_EQ(datagram_send(tx, "ping", 4, at4), 4);
  EXPECT_EQ(receive(rx), "ping");
}

TEST_F(SocketTest, IPv6DestinationIsSentAsIs) {
  init(false);
  if (fmessage_family() != kFamilyIPv6) GTEST_SKIP() << "no IPv6 loopback here";
  SockAddr at6;
  sock_t rx = keep(nettest::bound_udp(kFamilyIPv6, &at6));
  sock_t tx = keep(udp_socket(kFamilyIPv6));
  EXPECT_EQ(datagram_send(tx, "six", 3, at6), 3);
  EXPECT_EQ(receive(rx), "six");
}

TEST_F(SocketTest, IPv4LoopSendsIPv4Directly) {
  init(true);
  SockAddr at4;
  sock_t rx = keep(nettest::bound_udp(kFamilyIPv4, &at4));
  sock_t tx = keep(udp_socket(kFamilyIPv4));
  EXPECT_EQ(datagram_send(tx, "four", 4, at4), 4);
  EXPECT_EQ(receive(rx), "four");
}

TEST_F(SocketTest, WakeSignalFromAnotherThreadArrives) {
  init(false);
  SockAddr at;
  sock_t wake = keep(wake_socket_create(&at));
  std::thread t([&] { EXPECT_EQ(wake_socket_signal(wake, at), 1); });
  t.join();
  EXPECT_EQ(receive(wake), "1");
}

TEST_F(SocketTest, PollReportsReadableDatagram) {
  init(false);
  SockAddr at;
  sock_t s = keep(nettest::bound_udp(fmessage_family(), &at));
  PollEntry e{s, kReadable | kWritable, 0};
  ASSERT_EQ(socket_poll(std::span<PollEntry>(&e, 1), 1000), 1);
  EXPECT_EQ(e.ready, kWritable);  // nothing to read yet
  socket_sendto(s, "x", 1, at);
  ASSERT_TRUE(nettest::wait_ready(s, kReadable));
  e.want = kReadable;
  ASSERT_EQ(socket_poll(std::span<PollEntry>(&e, 1), 0), 1);
  EXPECT_EQ(e.ready, kReadable);
}

TEST_F(SocketTest, PollWithNothingToWatchWaits) {
  init(false);
  uint32_t before = os_tick_ms();
  EXPECT_EQ(socket_poll(std::span<PollEntry>(), 200), 0);
  EXPECT_GE(tick_diff(os_tick_ms(), before), 150);
  // An entry that wants nothing counts as nothing to watch.
  PollEntry idle{kNoSocket, 0, 0};
  before = os_tick_ms();
  EXPECT_EQ(socket_poll(std::span<PollEntry>(&idle, 1), 200), 0);
  EXPECT_GE(tick_diff(os_tick_ms(), before), 150);
}

TEST_F(SocketTest, RefusedConnectShowsAsWritableWithAnError) {
  init(false);
  int family = fmessage_family();
  // A bound port that does not listen refuses connections, and nobody else
  // can take it meanwhile.
  sock_t closed = keep(tcp_socket(family));
  SockAddr any;
  any.family = family;
  ASSERT_EQ(socket_bind(closed, any), 0);
  SockAddr at;
  socket_local_address(closed, &at);
  sock_t s = keep(tcp_socket(family));
  SockAddr to = nettest::loopback_address(family, at.port);
  int r = tcp_connect(s, to);
  if (r < 0) {
    EXPECT_TRUE(socket_would_block()) << socket_last_error();
  }
  ASSERT_TRUE(nettest::wait_ready(s, kWritable, 15000));
  EXPECT_NE(socket_pending_error(s), 0);
}

TEST_F(SocketTest, AcceptedPeerAndLocalAddressesMatch) {
  init(false);
  int family = fmessage_family();
  sock_t listener = keep(tcp_socket(family));
  SockAddr lo = nettest::loopback_address(family, 0);
  ASSERT_EQ(socket_bind(listener, lo), 0);
  ASSERT_EQ(socket_listen(listener, 4), 0);
  SockAddr at;
  socket_local_address(listener, &at);
  sock_t c = keep(nettest::connect_client(family, at.port));
  ASSERT_TRUE(nettest::wait_ready(listener, kReadable));
  SockAddr peer;
  sock_t a = keep(socket_accept(listener, &peer));
  SockAddr local;
  socket_local_address(c, &local);
  EXPECT_EQ(peer.family, family);
  EXPECT_EQ(peer.port, local.port);
  ASSERT_EQ(socket_send(a, "abc", 3), 3);
  ASSERT_TRUE(nettest::wait_ready(c, kReadable));
  char buffer[8];
  EXPECT_EQ(socket_recv(c, buffer, sizeof buffer), 3);
  socket_close(a);
  std::erase(sockets_, a);
  ASSERT_TRUE(nettest::wait_ready(c, kReadable));
  EXPECT_EQ(socket_recv(c, buffer, sizeof buffer), 0);  // end of stream
  // Sending to a peer that has gone must not raise a signal.
  for (int i = 0; i < 3; ++i) socket_send(c, "x", 1);
}

}  // namespace
