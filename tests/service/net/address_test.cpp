#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "service/net/socket.h"
#include "service/net/tcp_server.h"

namespace {

IpAddress v4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  IpAddress r;
  const uint8_t bytes[4] = {a, b, c, d};
  std::memcpy(&r.ipv4, bytes, 4);
  return r;
}

IpAddress v6(std::initializer_list<uint8_t> bytes) {
  IpAddress r;
  size_t i = 0;
  for (uint8_t b : bytes) r.ipv6[i++] = b;
  return r;
}

std::string format(const IpAddress& a) {
  char text[64];
  ip_format(a, text);
  return text;
}

struct FamilyCase {
  const char* text;
  int family;
};

TEST(AddressFamily, ClassifiesLiterals) {
  const FamilyCase cases[] = {
      {"192.168.1.10", 2},
      {"1.2.3.4", 2},
      {"0.0.0.0", 2},
      {"1.2.3", 0},          // two dots
      {"1.2.3.4.5", 0},      // four dots
      {"1.2.3.a", 0},        // hex letter in dotted form
      {"::1", 23},
      {"fe80::1", 23},
      {"2001:DB8:0:0:0:0:0:1", 23},
      {"::ffff:192.168.1.10", 23},  // embedded IPv4
      {"::ffff:1.2.3", 0},          // embedded, but two dots
      {"1:2", 0},                   // one colon
      {":", 0},
      {"::", 23},
      {"1.2.3.4:80", 0},  // a colon after a dot
      {"fe80::1%eth0", 0},
      {"::g", 0},
      {"", 0},
      {"localhost", 0},
      {"example.com", 0},
      {" 1.2.3.4", 0},
  };
  for (const FamilyCase& c : cases) EXPECT_EQ(address_family(c.text), c.family) << '"' << c.text << '"';
}

TEST(MakeSockaddr, FamilyFollowsTheRecord) {
  SockAddr sa;
  IpAddress a4 = v4(10, 0, 0, 7);
  EXPECT_EQ(make_sockaddr(&sa, &a4, 80), kFamilyIPv4);
  EXPECT_EQ(sa.family, kFamilyIPv4);
  EXPECT_EQ(sa.port, 80);
  EXPECT_EQ(sockaddr_len(sa), 16);
  EXPECT_EQ(std::memcmp(&sa.addr.ipv4, &a4.ipv4, 4), 0);

  IpAddress a6 = v6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
  EXPECT_EQ(make_sockaddr(&sa, &a6, 443), kFamilyIPv6);
  EXPECT_EQ(sa.port, 443);
  EXPECT_EQ(sockaddr_len(sa), 28);
  EXPECT_EQ(sa.addr.ipv4, 0u);
  EXPECT_EQ(std::memcmp(sa.addr.ipv6, a6.ipv6, 16), 0);

  // Both parts set: IPv4 wins.
  IpAddress both = a6;
  both.ipv4 = a4.ipv4;
  EXPECT_EQ(make_sockaddr(&sa, &both, 1), kFamilyIPv4);

  IpAddress none;
  EXPECT_EQ(make_sockaddr(&sa, &none, 53), 0);
  EXPECT_EQ(sa.family, 0);
  EXPECT_EQ(sockaddr_len(sa), 0);
}

TEST(MakeSockaddr, OwnAddressPartKeepsTheAddress) {
  SockAddr sa;
  IpAddress a6 = v6({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9});
  make_sockaddr(&sa, &a6, 1000);
  EXPECT_EQ(make_sockaddr(&sa, &sa.addr, 2000), kFamilyIPv6);
  EXPECT_EQ(sa.port, 2000);
  EXPECT_EQ(std::memcmp(sa.addr.ipv6, a6.ipv6, 16), 0);
  // Port 0 keeps the old port.
  EXPECT_EQ(make_sockaddr(&sa, &sa.addr, 0), kFamilyIPv6);
  EXPECT_EQ(sa.port, 2000);
  // A fresh address starts from a clean record.
  IpAddress a4 = v4(127, 0, 0, 1);
  sa.scope_id = 5;
  make_sockaddr(&sa, &a4, 0);
  EXPECT_EQ(sa.port, 0);
  EXPECT_EQ(sa.scope_id, 0u);
}

TEST(MakeSockaddr, RefusesPortsOutOfRange) {
  SockAddr sa;
  IpAddress a4 = v4(127, 0, 0, 1);
  make_sockaddr(&sa, &a4, 7);
  EXPECT_EQ(make_sockaddr(&sa, &a4, 65536), -1);
  EXPECT_EQ(make_sockaddr(&sa, &a4, -1), -1);
  EXPECT_EQ(sa.port, 7);
  EXPECT_EQ(make_sockaddr(&sa, &a4, 65535), kFamilyIPv4);
  EXPECT_EQ(sa.port, 65535);
}

struct ParseCase {
  const char* text;
  int family;
  const char* formatted;  // standard form; nullptr when the parse fails
};

TEST(IpParse, ParsesAndFormatsLiterals) {
  const ParseCase cases[] = {
      {"127.0.0.1", 2, "127.0.0.1"},
      {"255.255.255.255", 2, "255.255.255.255"},
      {"256.1.1.1", -1, nullptr},
      {"01.2.3.4", -1, nullptr},  // leading zero
      {"1..3.4", -1, nullptr},
      {"1.2.3.", -1, nullptr},
      {"0.0.0.0", -1, nullptr},  // cannot be told from "none"
      {"::1", 23, "::1"},
      {"::", -1, nullptr},
      {"1::", 23, "1::"},
      {"2001:DB8:0:0:8:800:200C:417A", 23, "2001:db8::8:800:200c:417a"},
      {"2001:db8:0:0:1:0:0:1", 23, "2001:db8::1:0:0:1"},  // first longest run
      {"2001:db8:0:1:1:1:1:1", 23, "2001:db8:0:1:1:1:1:1"},  // one zero group stays
      {"fe80::1:2", 23, "fe80::1:2"},
      {"1:2:3:4:5:6:7:8", 23, "1:2:3:4:5:6:7:8"},
      {"1:2:3:4:5:6:7:8:9", -1, nullptr},
      {"1:2:3:4:5:6:7::8", -1, nullptr},  // "::" with eight groups
      {"1:2:3:4:5:6:7", -1, nullptr},
      {"1::2::3", -1, nullptr},
      {":::1", -1, nullptr},
      {"1:2:", -1, nullptr},
      {"12345::1", -1, nullptr},
      {"::ffff:192.168.1.10", 23, "192.168.1.10"},  // mapped reads as IPv4
      {"::1.2.3.4", 23, "::102:304"},
      {"1:2:3:4:5:6:1.2.3.4", 23, "1:2:3:4:5:6:102:304"},
      {"1:2:3:4:5:6:7:1.2.3.4", -1, nullptr},
      {"::ffff:1.2.3.256", -1, nullptr},
      {"hello", -1, nullptr},
      {"", -1, nullptr},
  };
  for (const ParseCase& c : cases) {
    IpAddress a;
    a.ipv4 = 99;
    EXPECT_EQ(ip_parse(c.text, &a), c.family) << c.text;
    if (c.formatted) {
      EXPECT_EQ(format(a), c.formatted) << c.text;
    } else {
      EXPECT_EQ(format(a), "") << "failed parse must clear the record: " << c.text;
    }
  }
}

TEST(IpFormat, CutsToTheBuffer) {
  IpAddress a = v4(192, 168, 100, 200);
  char small[8];
  EXPECT_EQ(ip_format(a, small), 7);
  EXPECT_STREQ(small, "192.168");
  char one[1];
  EXPECT_EQ(ip_format(a, one), 0);
  EXPECT_STREQ(one, "");
  EXPECT_EQ(ip_format(a, std::span<char>()), -1);
}

TEST(IpAddress, MappedAndLoopbackForms) {
  IpAddress a4 = v4(10, 1, 2, 3);
  IpAddress m = ip_v4_mapped(a4.ipv4);
  EXPECT_TRUE(ip_is_v4_mapped(m));
  EXPECT_EQ(m.ipv4, 0u);
  EXPECT_EQ(format(m), "10.1.2.3");
  EXPECT_EQ(format(ip_loopback(kFamilyIPv4)), "127.0.0.1");
  EXPECT_EQ(format(ip_loopback(kFamilyIPv6)), "::1");
  EXPECT_FALSE(ip_is_v4_mapped(ip_loopback(kFamilyIPv6)));
}

struct PortCase {
  int32_t configured;
  int64_t unix_seconds;
  int first;
};

TEST(TcpPortFirst, SelectsFromTheConfiguredValue) {
  const PortCase cases[] = {
      {9800, 1700000000, 9800},       // fixed
      {1, 5, 1},                      // fixed, low
      {65535, 5, 65535},              // fixed, last port
      {-6000, 0, 6000},               // random from 6000 up
      {-6000, 1023, 7023},            // top of the range
      {-6000, 1024, 6000},            // time wraps the offset
      {-6000, 1700000000, 6256},      // 1700000000 mod 1024 = 256
      {0, 0, 8192},                   // 0: 8192 to 9215
      {0, 1023, 9215},
      {0, 1700000000, 8448},
      {-65500, 100, 8292},            // beyond the last port: default range
      {70000, 3, 8195},               // not a port: default range
      {INT32_MIN, 3, 8195},
  };
  for (const PortCase& c : cases) {
    EXPECT_EQ(tcp_port_first(c.configured, c.unix_seconds), c.first) << c.configured << " at " << c.unix_seconds;
  }
}

}  // namespace
