// Name resolution end to end: literals, hosts files, the cache, and the DNS
// client against stand-in servers on loopback. Every test points the
// client at its stand-ins before anything can be queried, so nothing ever
// leaves the machine.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "service/net/resolve.h"
#include "tests/service/net/net_test_util.h"
#include "tests/service/net/test_resolve_dns_util.h"
#include "tests/support/test_support.h"

namespace {

using dnstest::Bytes;

IpAddress v4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  IpAddress r;
  const uint8_t bytes[4] = {a, b, c, d};
  std::memcpy(&r.ipv4, bytes, 4);
  return r;
}

// "<prefix><i>.example", built without operator+ on literals, which GCC 12
// misreads at -O3 (-Wrestrict).
std::string numbered(const char* prefix, int i) {
  std::string name(prefix);
  name += std::to_string(i);
  name += ".example";
  return name;
}

std::string text_of(const IpAddress& a) {
  char out[64];
  ip_format(a, out);
  return out;
}

// A DNS server on a loopback port, served by the test itself.
struct StandIn {
  sock_t socket = kNoSocket;
  SockAddr at;
  ~StandIn() {
    if (socket != kNoSocket) socket_close(socket);
  }
  bool open(int family) {
    socket = nettest::bound_udp(family, &at);
    return socket != kNoSocket;
  }
  // The next datagram, waiting at most wait_ms of real time.
  bool receive(Bytes* packet, SockAddr* from, int wait_ms = 2000) {
    if (!nettest::wait_ready(socket, kReadable, wait_ms)) return false;
    uint8_t buffer[2048];
    int n = socket_recvfrom(socket, buffer, sizeof buffer, from);
    if (n < 0) return false;
    packet->assign(buffer, buffer + n);
    return true;
  }
  bool quiet(int wait_ms = 50) { return !nettest::wait_ready(socket, kReadable, wait_ms); }
  void reply(const Bytes& packet, const SockAddr& to) { socket_sendto(socket, packet.data(), packet.size(), to); }
};

// What the fill function hands the client; set by each test.
SockAddr g_server[2];  // [0] IPv4, [1] IPv6
bool g_usable[2] = {true, true};
IpAddress g_adapter_dns[2];

int fill_standins(int family, SockAddr out[kDnsMaxServers]) {
  const SockAddr& s = g_server[family == kFamilyIPv6 ? 1 : 0];
  if (s.family == 0) return 0;
  out[0] = s;
  return 1;
}

bool fake_usable(int family) { return g_usable[family == kFamilyIPv6 ? 1 : 0]; }

int fake_adapter_dns(int family, IpAddress* out) {
  const IpAddress& a = g_adapter_dns[family == kFamilyIPv6 ? 1 : 0];
  *out = a;
  return a.ipv4 || a.ipv6[15] || a.ipv6[0] ? 1 : 0;
}

const DnsNetwork kFakeNetwork{fake_usable, fake_adapter_dns};

int ipv4_probe() { return kFamilyIPv4; }
int ipv6_probe() { return kFamilyIPv6; }

bool ipv6_loopback_works() {
  SockAddr at;
  sock_t s = nettest::bound_udp(kFamilyIPv6, &at);
  if (s == kNoSocket) return false;
  socket_close(s);
  return true;
}

class Resolve : public ::testing::Test {
 protected:
  void SetUp() override {
    g_server[0] = g_server[1] = SockAddr{};
    g_usable[0] = g_usable[1] = true;
    g_adapter_dns[0] = g_adapter_dns[1] = IpAddress{};
    dns_override_servers(fill_standins);
    dns_override_network(&kFakeNetwork);
    // The marker lives in this test's own folder: other tests on the
    // machine may be using "/tmp/nowan" at the same time.
    dns_override_paths("nowan", "system-hosts");
    dns_reset();
  }
  void TearDown() override {
    fmessage_shutdown();
    fmessage_override_probe(nullptr);
    dns_reset();
    dns_override_paths(nullptr, nullptr);
    dns_override_network(nullptr);
    // The stand-in fill stays: no later test in this process may reach a
    // real server by accident.
  }
  // Starts the loop running the family; false when the machine lacks it.
  bool start_loop(int family) {
    if (family == kFamilyIPv6 && !ipv6_loopback_works()) return false;
    fmessage_override_probe(family == kFamilyIPv6 ? ipv6_probe : ipv4_probe);
    fmessage_init();
    return fmessage_family() == family;
  }
  bool open_server(StandIn& s, int family) {
    if (!s.open(family)) return false;
    g_server[family == kFamilyIPv6 ? 1 : 0] = s.at;
    return true;
  }
  // Lets the first query through its one-second wait for the network.
  void pass_network_wait() {
    clock.advance_ms(kDnsNetworkWaitMs);
    nettest::drain();
  }
  bool settle(const std::function<bool()>& done) { return nettest::pump_until(done); }

  kvtest::TempProgramFolder folder;
  kvtest::FakeClock clock{100000};
};

TEST_F(Resolve, LiteralsResolveAtOnceBeforeAnyHostsLine) {
  // A hosts line that answers every name would win if the files were read
  // first.
  ASSERT_TRUE(kvtest::write_file("hosts", "10.9.8.7 any\n"));
  ASSERT_TRUE(start_loop(kFamilyIPv4));
  struct Case {
    const char* name;
    const char* want;
  };
  const Case cases[] = {{"::1", "::1"}, {"127.0.0.1", "127.0.0.1"}, {"2001:db8::5", "2001:db8::5"},
                        {"::ffff:192.168.1.2", "192.168.1.2"}};
  for (const Case& c : cases) {
    IpAddress got;
    EXPECT_EQ(dns_resolve(c.name, &got), 1) << c.name;
    EXPECT_EQ(text_of(got), c.want) << c.name;
  }
  EXPECT_EQ(dns_pending_count(), 0);
}

TEST_F(Resolve, HostsFileLines) {
  ASSERT_TRUE(kvtest::write_file("hosts",
                                 "# a comment line\n"
                                 "#10.0.0.99 commented.example\n"
                                 "10.0.0.1 first.example\n"
                                 "10.0.0.2 \t tabbed.example\t\r\n"
                                 "fe80::1\tsix.example\n"
                                 "garbage junk.example\n"
                                 "10.0.0.3 alias.example other.example\n"
                                 "10.0.0.4 first.example\n"
                                 "10.0.0.5 hashed.example ## trailing comment\n"
                                 "lonely\n"
                                 "10.0.0.9 any\n"
                                 "10.0.0.10 late.example\n"));
  struct Case {
    const char* name;
    int found;
    const char* want;
  };
  const Case cases[] = {
      {"first.example", 1, "10.0.0.1"},     // the first matching line wins
      {"FIRST.Example", 1, "10.0.0.1"},     // host names ignore case
      {"tabbed.example", 1, "10.0.0.2"},    // blanks, tabs and CR around fields
      {"six.example", 1, "fe80::1"},        // IPv6 addresses
      {"junk.example", 1, ""},              // known, but leads nowhere
      {"alias.example", 1, "10.0.0.3"},     //
      {"other.example", 1, "10.0.0.9"},     // only the second field counts
      {"hashed.example", 1, "10.0.0.5"},    //
      {"commented.example", 1, "10.0.0.9"},  // comment lines are no entries
      {"late.example", 1, "10.0.0.9"},      // "any" answers what follows it too
      {"anything.else", 1, "10.0.0.9"},     //
  };
  for (const Case& c : cases) {
    IpAddress got = v4(1, 1, 1, 1);
    EXPECT_EQ(dns_lookup(c.name, &got), c.found) << c.name;
    EXPECT_EQ(text_of(got), c.want) << c.name;
  }
}

TEST_F(Resolve, StarLineAndTheSystemFileAfterTheOwnOne) {
  ASSERT_TRUE(kvtest::write_file("hosts", "10.1.1.1 own.example\n"));
  ASSERT_TRUE(kvtest::write_file("system-hosts", "10.2.2.2 own.example\n10.2.2.3 sys.example\n10.2.2.4 *\n"));
  IpAddress got;
  EXPECT_EQ(dns_lookup("own.example", &got), 1);
  EXPECT_EQ(text_of(got), "10.1.1.1");
  EXPECT_EQ(dns_lookup("sys.example", &got), 1);
  EXPECT_EQ(text_of(got), "10.2.2.3");
  EXPECT_EQ(dns_lookup("unknown.example", &got), 1);
  EXPECT_EQ(text_of(got), "10.2.2.4");
}

TEST_F(Resolve, UnknownNameIsNotFoundWithoutFiles) {
  IpAddress got = v4(1, 1, 1, 1);
  EXPECT_EQ(dns_lookup("nowhere.example", &got), 0);
  EXPECT_EQ(text_of(got), "");
  EXPECT_EQ(dns_lookup("", &got), 0);
}

TEST_F(Resolve, CacheStoresReplacesAndHoldsSixteenNames) {
  IpAddress got;
  EXPECT_EQ(dns_cache_store("a.example", v4(10, 0, 0, 1)), 0);
  EXPECT_EQ(dns_lookup("a.example", &got), 1);
  EXPECT_EQ(text_of(got), "10.0.0.1");
  EXPECT_EQ(dns_cache_store("a.example", v4(10, 0, 0, 2)), 0);
  EXPECT_EQ(dns_lookup("a.example", &got), 1);
  EXPECT_EQ(text_of(got), "10.0.0.2");
  EXPECT_EQ(dns_cache_store(std::string(kDnsMaxName + 1, 'x'), v4(10, 3, 0, 1)), -1);
  EXPECT_EQ(dns_cache_store(std::string(kDnsMaxName, 'x'), v4(10, 3, 0, 1)), 0);
  EXPECT_EQ(dns_lookup(std::string(kDnsMaxName, 'x'), &got), 1);
  for (int i = 2; i < kDnsCacheEntries; ++i) {
    std::string name = numbered("n", i);
    EXPECT_EQ(dns_cache_store(name, v4(10, 1, 0, static_cast<uint8_t>(i))), 0) << name;
  }
  EXPECT_EQ(dns_cache_store("full.example", v4(10, 2, 0, 1)), -1);
  EXPECT_EQ(dns_lookup("full.example", &got), 0);
  EXPECT_EQ(dns_lookup("n15.example", &got), 1);
  EXPECT_EQ(text_of(got), "10.1.0.15");
  // A full cache still takes new addresses for the names it holds.
  EXPECT_EQ(dns_cache_store("n15.example", v4(10, 1, 1, 15)), 0);
}

TEST_F(Resolve, CacheHitStartsNoQuery) {
  StandIn server;
  ASSERT_TRUE(start_loop(kFamilyIPv4));
  ASSERT_TRUE(open_server(server, kFamilyIPv4));
  dns_cache_store("cached.example", v4(10, 4, 4, 4));
  IpAddress got;
  EXPECT_EQ(dns_resolve("cached.example", &got), 1);
  EXPECT_EQ(text_of(got), "10.4.4.4");
  EXPECT_EQ(dns_pending_count(), 0);
  pass_network_wait();
  EXPECT_TRUE(server.quiet());
}

TEST_F(Resolve, NowanMarkerStopsEveryQuery) {
  StandIn server;
  ASSERT_TRUE(start_loop(kFamilyIPv4));
  ASSERT_TRUE(open_server(server, kFamilyIPv4));
  ASSERT_TRUE(kvtest::write_file("nowan", ""));
  ASSERT_TRUE(kvtest::write_file("hosts", "10.5.5.5 listed.example\n"));
  IpAddress got;
  EXPECT_EQ(dns_resolve("listed.example", &got), 1);  // the files still answer
  EXPECT_EQ(dns_resolve("unlisted.example", &got), 0);
  EXPECT_EQ(dns_pending_count(), 0);
  pass_network_wait();
  EXPECT_TRUE(server.quiet());
}

TEST_F(Resolve, AnswerIsCachedAndBroadcastOneQueryPerName) {
  StandIn server;
  ASSERT_TRUE(start_loop(kFamilyIPv4));
  ASSERT_TRUE(open_server(server, kFamilyIPv4));
  nettest::Recorder listener;
  fmessage_register(&listener, 0);
  size_t handlers = fmessage_counts().handlers;
  IpAddress got = v4(1, 1, 1, 1);
  EXPECT_EQ(dns_resolve("relay.example", &got), 0);
  EXPECT_EQ(text_of(got), "");
  EXPECT_EQ(dns_resolve("relay.example", &got), 0);
  EXPECT_EQ(dns_pending_count(), 1);
  EXPECT_EQ(fmessage_counts().handlers, handlers + 1);
  pass_network_wait();
  EXPECT_EQ(dns_resolve("relay.example", &got), 0);
  Bytes packet;
  SockAddr from;
  ASSERT_TRUE(server.receive(&packet, &from));
  dnstest::Question q;
  ASSERT_TRUE(dnstest::read_question(packet, &q));
  EXPECT_EQ(q.name, "relay.example");
  EXPECT_EQ(q.type, kDnsTypeA);
  EXPECT_EQ(packet[2], 0x01);  // recursion desired
  EXPECT_TRUE(server.quiet());  // one server, one datagram, one query
  server.reply(dnstest::response(q.id, q.name, q.type, {dnstest::a_record(10, 6, 6, 6)}), from);
  ASSERT_TRUE(settle([] { return dns_pending_count() == 0; }));
  nettest::drain();
  EXPECT_EQ(listener.count(XF_BROADCAST), 1u);
  EXPECT_EQ(fmessage_counts().handlers, handlers);
  EXPECT_EQ(dns_resolve("relay.example", &got), 1);
  EXPECT_EQ(text_of(got), "10.6.6.6");
}

TEST_F(Resolve, ForgedAnswersAreIgnored) {
  StandIn server, intruder;
  ASSERT_TRUE(start_loop(kFamilyIPv4));
  ASSERT_TRUE(open_server(server, kFamilyIPv4));
  ASSERT_TRUE(intruder.open(kFamilyIPv4));
  IpAddress got;
  dns_resolve("bank.example", &got);
  pass_network_wait();
  Bytes packet;
  SockAddr from;
  ASSERT_TRUE(server.receive(&packet, &from));
  dnstest::Question q;
  ASSERT_TRUE(dnstest::read_question(packet, &q));
  const auto evil = [&](uint16_t id, const char* name, uint16_t type) {
    return dnstest::response(id, name, type, {dnstest::a_record(6, 6, 6, 6)});
  };
  server.reply(evil(static_cast<uint16_t>(q.id + 1), "bank.example", kDnsTypeA), from);
  server.reply(evil(q.id, "other.example", kDnsTypeA), from);
  server.reply(evil(q.id, "bank.example", kDnsTypeAAAA), from);
  server.reply(dnstest::response(q.id, "bank.example", kDnsTypeA, {dnstest::a_record(6, 6, 6, 6)}, 0x0100), from);
  // Right id and question, wrong sender.
  intruder.reply(evil(q.id, "bank.example", kDnsTypeA), from);
  nettest::pump_rounds(30);
  EXPECT_EQ(dns_pending_count(), 1);
  EXPECT_EQ(dns_lookup("bank.example", &got), 0);
  // The question may come back in other letter case.
  server.reply(dnstest::response(q.id, "BANK.example", kDnsTypeA, {dnstest::a_record(10, 7, 7, 7)}), from);
  ASSERT_TRUE(settle([] { return dns_pending_count() == 0; }));
  EXPECT_EQ(dns_lookup("bank.example", &got), 1);
  EXPECT_EQ(text_of(got), "10.7.7.7");
}

TEST_F(Resolve, IdsAndSourcePortsAreUnpredictable) {
  StandIn server;
  ASSERT_TRUE(start_loop(kFamilyIPv4));
  ASSERT_TRUE(open_server(server, kFamilyIPv4));
  std::vector<uint16_t> ids, ports;
  for (int i = 0; i < 6; ++i) {
    std::string name = numbered("q", i);
    IpAddress got;
    dns_resolve(name, &got);
    if (i == 0) pass_network_wait();
    nettest::drain();
    Bytes packet;
    SockAddr from;
    ASSERT_TRUE(server.receive(&packet, &from)) << name;
    dnstest::Question q;
    ASSERT_TRUE(dnstest::read_question(packet, &q));
    ids.push_back(q.id);
    ports.push_back(from.port);
    server.reply(dnstest::response(q.id, q.name, q.type, {dnstest::a_record(10, 8, 8, static_cast<uint8_t>(i))}), from);
    ASSERT_TRUE(settle([] { return dns_pending_count() == 0; }));
  }
  int counted = 0, same_port = 0;
  for (size_t i = 1; i < ids.size(); ++i) {
    counted += ids[i] == static_cast<uint16_t>(ids[i - 1] + 1);
    same_port += ports[i] == ports[i - 1];
  }
  EXPECT_LT(counted, 5);
  EXPECT_LT(same_port, 5);
}

TEST_F(Resolve, RetriesThreeCyclesThenFails) {
  StandIn server;
  ASSERT_TRUE(start_loop(kFamilyIPv4));
  ASSERT_TRUE(open_server(server, kFamilyIPv4));
  IpAddress got;
  dns_resolve("silent.example", &got);
  pass_network_wait();
  Bytes packet;
  SockAddr from;
  ASSERT_TRUE(server.receive(&packet, &from));
  dnstest::Question first;
  ASSERT_TRUE(dnstest::read_question(packet, &first));
  for (int cycle = 2; cycle <= kDnsCycles; ++cycle) {
    clock.advance_ms(kDnsCycleMs);
    nettest::drain();
    ASSERT_TRUE(server.receive(&packet, &from)) << cycle;
    dnstest::Question q;
    ASSERT_TRUE(dnstest::read_question(packet, &q));
    EXPECT_EQ(q.id, first.id);  // a repeat of the same question
  }
  EXPECT_EQ(dns_pending_count(), 1);
  clock.advance_ms(kDnsCycleMs);
  nettest::drain();
  EXPECT_EQ(dns_pending_count(), 0);
  EXPECT_TRUE(server.quiet());
}

TEST_F(Resolve, NegativeOrMalformedAnswersFailTheQuery) {
  StandIn server;
  ASSERT_TRUE(start_loop(kFamilyIPv4));
  ASSERT_TRUE(open_server(server, kFamilyIPv4));
  struct Case {
    const char* what;
    uint16_t flags;
    bool truncate;
  };
  const Case cases[] = {{"name error", 0x8183, false}, {"cut inside the answer record", 0x8180, true}};
  bool first = true;
  for (const Case& c : cases) {
    IpAddress got;
    dns_resolve(c.truncate ? "bad-cut.example" : "bad-nx.example", &got);
    if (first) pass_network_wait();
    first = false;
    nettest::drain();
    Bytes packet;
    SockAddr from;
    ASSERT_TRUE(server.receive(&packet, &from)) << c.what;
    dnstest::Question q;
    ASSERT_TRUE(dnstest::read_question(packet, &q));
    Bytes answer = dnstest::response(q.id, q.name, q.type, {dnstest::a_record(10, 9, 9, 9)}, c.flags);
    if (c.truncate) answer.resize(answer.size() - 3);
    server.reply(answer, from);
    ASSERT_TRUE(settle([] { return dns_pending_count() == 0; })) << c.what;
    EXPECT_EQ(dns_lookup(q.name, &got), 0) << c.what;
  }
}

TEST_F(Resolve, BackoffAfterAFailureWhileNothingEverAnswered) {
  StandIn server;
  ASSERT_TRUE(start_loop(kFamilyIPv4));
  ASSERT_TRUE(open_server(server, kFamilyIPv4));
  IpAddress got;
  // t = 0: the first query opens the 120 s start window.
  dns_resolve("first.example", &got);
  pass_network_wait();
  Bytes packet;
  SockAddr from;
  ASSERT_TRUE(server.receive(&packet, &from));
  for (int i = 0; i < kDnsCycles; ++i) {
    clock.advance_ms(kDnsCycleMs);
    nettest::drain();
  }
  // t = 19 s: it failed. Inside the start window queries still go out.
  ASSERT_EQ(dns_pending_count(), 0);
  while (server.receive(&packet, &from, 50)) {
  }
  dns_resolve("second.example", &got);
  EXPECT_EQ(dns_pending_count(), 1);
  nettest::drain();
  ASSERT_TRUE(server.receive(&packet, &from));
  for (int i = 0; i < kDnsCycles; ++i) {
    clock.advance_ms(kDnsCycleMs);
    nettest::drain();
  }
  ASSERT_EQ(dns_pending_count(), 0);
  while (server.receive(&packet, &from, 50)) {
  }
  // t = 37 s, last failure at 37 s: once the window has closed (t > 120 s),
  // nothing goes out until 120 s after that failure.
  clock.advance_ms(100000);  // t = 137 s
  EXPECT_EQ(dns_resolve("third.example", &got), 0);
  EXPECT_EQ(dns_pending_count(), 0);
  clock.advance_ms(21000);  // t = 158 s, 121 s after the failure
  dns_resolve("third.example", &got);
  EXPECT_EQ(dns_pending_count(), 1);
  nettest::drain();
  ASSERT_TRUE(server.receive(&packet, &from));
  dnstest::Question q;
  ASSERT_TRUE(dnstest::read_question(packet, &q));
  server.reply(dnstest::response(q.id, q.name, q.type, {dnstest::a_record(10, 1, 1, 1)}), from);
  ASSERT_TRUE(settle([] { return dns_pending_count() == 0; }));
  // After one success failures no longer hold anything back.
  dns_resolve("fourth.example", &got);
  nettest::drain();
  ASSERT_TRUE(server.receive(&packet, &from));
  for (int i = 0; i < kDnsCycles; ++i) {
    clock.advance_ms(kDnsCycleMs);
    nettest::drain();
  }
  ASSERT_EQ(dns_pending_count(), 0);
  dns_resolve("fifth.example", &got);
  EXPECT_EQ(dns_pending_count(), 1);
}

TEST_F(Resolve, WaitsForTheNetworkBeforeTheFirstQuery) {
  StandIn server;
  ASSERT_TRUE(start_loop(kFamilyIPv4));
  ASSERT_TRUE(open_server(server, kFamilyIPv4));
  g_usable[0] = g_usable[1] = false;
  IpAddress got;
  dns_resolve("wait.example", &got);
  for (int i = 0; i < 3; ++i) pass_network_wait();
  EXPECT_TRUE(server.quiet());
  g_usable[0] = true;
  pass_network_wait();
  Bytes packet;
  SockAddr from;
  EXPECT_TRUE(server.receive(&packet, &from));
}

TEST_F(Resolve, AaaaThenAWhenTheIpv6AnswerHasNoAddress) {
  StandIn six, four;
  if (!start_loop(kFamilyIPv6)) GTEST_SKIP() << "no IPv6 loopback";
  ASSERT_TRUE(open_server(six, kFamilyIPv6));
  ASSERT_TRUE(open_server(four, kFamilyIPv4));
  IpAddress got;
  dns_resolve("dual.example", &got);
  pass_network_wait();
  Bytes packet;
  SockAddr from;
  ASSERT_TRUE(six.receive(&packet, &from));
  dnstest::Question q;
  ASSERT_TRUE(dnstest::read_question(packet, &q));
  EXPECT_EQ(q.type, kDnsTypeAAAA);
  EXPECT_TRUE(four.quiet());
  six.reply(dnstest::response(q.id, q.name, q.type, {}), from);
  ASSERT_TRUE(settle([&] { return !four.quiet(1); }));
  ASSERT_TRUE(four.receive(&packet, &from));
  ASSERT_TRUE(dnstest::read_question(packet, &q));
  EXPECT_EQ(q.type, kDnsTypeA);
  four.reply(dnstest::response(q.id, q.name, q.type, {dnstest::a_record(10, 10, 10, 10)}), from);
  ASSERT_TRUE(settle([] { return dns_pending_count() == 0; }));
  EXPECT_EQ(dns_lookup("dual.example", &got), 1);
  EXPECT_EQ(text_of(got), "10.10.10.10");
}

TEST_F(Resolve, AaaaAnswerGivesAnIpv6Address) {
  StandIn six;
  if (!start_loop(kFamilyIPv6)) GTEST_SKIP() << "no IPv6 loopback";
  ASSERT_TRUE(open_server(six, kFamilyIPv6));
  IpAddress got;
  dns_resolve("six.example", &got);
  pass_network_wait();
  Bytes packet;
  SockAddr from;
  ASSERT_TRUE(six.receive(&packet, &from));
  dnstest::Question q;
  ASSERT_TRUE(dnstest::read_question(packet, &q));
  six.reply(dnstest::response(q.id, q.name, q.type, {dnstest::aaaa_record({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9})}),
            from);
  ASSERT_TRUE(settle([] { return dns_pending_count() == 0; }));
  EXPECT_EQ(dns_lookup("six.example", &got), 1);
  EXPECT_EQ(text_of(got), "2001:db8::9");
}

TEST_F(Resolve, UnansweredIpv6QueryIsRepeatedAsA) {
  StandIn six, four;
  if (!start_loop(kFamilyIPv6)) GTEST_SKIP() << "no IPv6 loopback";
  ASSERT_TRUE(open_server(six, kFamilyIPv6));
  ASSERT_TRUE(open_server(four, kFamilyIPv4));
  IpAddress got;
  dns_resolve("slow6.example", &got);
  pass_network_wait();
  Bytes packet;
  SockAddr from;
  for (int i = 0; i < kDnsCycles; ++i) {
    ASSERT_TRUE(six.receive(&packet, &from)) << i;
    clock.advance_ms(kDnsCycleMs);
    nettest::drain();
  }
  ASSERT_TRUE(four.receive(&packet, &from));
  dnstest::Question q;
  ASSERT_TRUE(dnstest::read_question(packet, &q));
  EXPECT_EQ(q.type, kDnsTypeA);
  EXPECT_EQ(dns_pending_count(), 1);
}

TEST_F(Resolve, MachineWithoutIpv6AsksForARecordsOnly) {
  StandIn six, four;
  if (!start_loop(kFamilyIPv6)) GTEST_SKIP() << "no IPv6 loopback";
  ASSERT_TRUE(open_server(six, kFamilyIPv6));
  ASSERT_TRUE(open_server(four, kFamilyIPv4));
  g_usable[1] = false;
  IpAddress got;
  dns_resolve("v4only.example", &got);
  pass_network_wait();
  Bytes packet;
  SockAddr from;
  ASSERT_TRUE(four.receive(&packet, &from));
  dnstest::Question q;
  ASSERT_TRUE(dnstest::read_question(packet, &q));
  EXPECT_EQ(q.type, kDnsTypeA);
  EXPECT_TRUE(six.quiet());
}

TEST_F(Resolve, StaleAnswerIsServedWhileARefreshRuns) {
  StandIn server;
  ASSERT_TRUE(start_loop(kFamilyIPv4));
  ASSERT_TRUE(open_server(server, kFamilyIPv4));
  IpAddress got;
  dns_resolve("moving.example", &got);
  pass_network_wait();
  Bytes packet;
  SockAddr from;
  ASSERT_TRUE(server.receive(&packet, &from));
  dnstest::Question q;
  ASSERT_TRUE(dnstest::read_question(packet, &q));
  server.reply(dnstest::response(q.id, q.name, q.type, {dnstest::a_record(10, 0, 0, 1, 600)}), from);
  ASSERT_TRUE(settle([] { return dns_pending_count() == 0; }));
  clock.advance_ms(599000);
  EXPECT_EQ(dns_resolve("moving.example", &got), 1);
  EXPECT_EQ(dns_pending_count(), 0);
  clock.advance_ms(2000);
  EXPECT_EQ(dns_resolve("moving.example", &got), 1);
  EXPECT_EQ(text_of(got), "10.0.0.1");
  EXPECT_EQ(dns_pending_count(), 1);
  nettest::drain();
  ASSERT_TRUE(server.receive(&packet, &from));
  ASSERT_TRUE(dnstest::read_question(packet, &q));
  server.reply(dnstest::response(q.id, q.name, q.type, {dnstest::a_record(10, 0, 0, 2, 600)}), from);
  ASSERT_TRUE(settle([] { return dns_pending_count() == 0; }));
  EXPECT_EQ(dns_resolve("moving.example", &got), 1);
  EXPECT_EQ(text_of(got), "10.0.0.2");
}

TEST_F(Resolve, NamesUnfitForAQueryStartNone) {
  StandIn server;
  ASSERT_TRUE(start_loop(kFamilyIPv4));
  ASSERT_TRUE(open_server(server, kFamilyIPv4));
  IpAddress got;
  const std::string names[] = {"two words.example", "bad..example", std::string(kDnsMaxName + 1, 'a'), "tab\t.example",
                               std::string(64, 'l') + ".example"};
  for (const std::string& name : names) {
    EXPECT_EQ(dns_resolve(name, &got), 0) << name;
    EXPECT_EQ(dns_pending_count(), 0) << name;
  }
}

TEST(DnsServers, AdapterServerFirstThenTheBuiltInLists) {
  IpAddress list[kDnsMaxServers];
  g_adapter_dns[0] = g_adapter_dns[1] = IpAddress{};
  dns_override_network(&kFakeNetwork);
  EXPECT_EQ(dns_servers(kFamilyIPv4, list), 3);
  EXPECT_EQ(text_of(list[0]), "223.5.5.5");
  EXPECT_EQ(text_of(list[2]), "8.8.8.8");
  EXPECT_EQ(text_of(list[3]), "");
  EXPECT_EQ(dns_servers(kFamilyIPv6, list), 4);
  EXPECT_EQ(text_of(list[0]), "2001:4860:4860::8888");
  EXPECT_EQ(text_of(list[3]), "2400:3200:baba::1");
  g_adapter_dns[0] = v4(192, 168, 1, 1);
  ip_parse("fd00::53", &g_adapter_dns[1]);
  EXPECT_EQ(dns_servers(kFamilyIPv4, list), 4);
  EXPECT_EQ(text_of(list[0]), "192.168.1.1");
  EXPECT_EQ(text_of(list[1]), "223.5.5.5");
  EXPECT_EQ(dns_servers(kFamilyIPv6, list), 5);
  EXPECT_EQ(text_of(list[0]), "fd00::53");
  // A server of the adapter that is also built in is asked only once.
  g_adapter_dns[0] = v4(8, 8, 8, 8);
  EXPECT_EQ(dns_servers(kFamilyIPv4, list), 3);
  EXPECT_EQ(text_of(list[0]), "8.8.8.8");
  dns_override_network(nullptr);
}

}  // namespace
