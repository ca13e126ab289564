// Interface information over injected adapter tables, the Linux system
// file readers, and a look at the real tables of this machine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/core/text.h"
#include "service/net/netinfo.h"

namespace {

IpAddress ip(const char* text) {
  IpAddress a;
  EXPECT_GT(ip_parse(text, &a), 0) << text;
  return a;
}

struct AdapterSpec {
  const char* name;
  bool ethernet;
  std::vector<std::pair<const char*, int>> addresses;
  std::vector<const char*> gateways;
  std::vector<const char*> dns;
  uint8_t mac_last = 0;  // 0: no hardware address
};

std::vector<AdapterSpec> g_specs;

int injected(std::vector<NetAdapter>& out) {
  for (const AdapterSpec& s : g_specs) {
    NetAdapter a;
    copy_cut(a.name, s.name);
    a.ethernet = s.ethernet;
    for (auto& [text, prefix] : s.addresses) {
      a.unicast.push_back(ip(text));
      a.prefix.push_back(prefix);
    }
    for (const char* g : s.gateways) a.gateways.push_back(ip(g));
    for (const char* d : s.dns) a.dns.push_back(ip(d));
    if (s.mac_last) {
      a.has_mac = true;
      const uint8_t mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, s.mac_last};
      std::copy(mac, mac + 6, a.mac);
    }
    out.push_back(a);
  }
  return 0;
}

struct Injected {
  explicit Injected(std::vector<AdapterSpec> specs) {
    g_specs = std::move(specs);
    netinfo_override(injected);
  }
  ~Injected() { netinfo_override(nullptr); }
};

std::string info(int family, const char* item) {
  char out[64];
  int n = interface_info(family, item, out);
  EXPECT_EQ(n, static_cast<int>(std::string(out).size()));
  return out;
}

TEST(NetInfo, AddressClasses) {
  struct Case {
    const char* address;
    int cls;
  } cases[] = {
      {"8.8.8.8", 1},     {"10.1.2.3", 2},   {"172.16.0.1", 2}, {"172.31.255.1", 2}, {"172.32.0.1", 1},
      {"192.168.7.7", 2}, {"169.254.1.1", 4}, {"127.0.0.1", 0}, {"224.0.0.1", 0},    {"255.255.255.255", 0},
      {"2001:db8::1", 1}, {"3fff::1", 1},    {"fd00::1", 2},    {"fc00::1", 2},      {"fe80::1", 4},
      {"febf::1", 4},     {"fec0::1", 0},    {"::1", 0},        {"ff02::1", 0},      {"::ffff:8.8.8.8", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(address_class(ip(c.address)), c.cls) << c.address;
  EXPECT_EQ(address_class(IpAddress{}), 0);
}

TEST(NetInfo, PrivateAddressWithGatewayOnAWiredAdapter) {
  Injected tables({{"lo", false, {{"127.0.0.1", 8}, {"::1", 128}}, {}, {}, 0},
                   {"eth0", true, {{"192.168.1.20", 24}, {"fe80::20", 64}}, {"192.168.1.1"}, {"192.168.1.1", "fd00::53"}, 0x20}});
  EXPECT_EQ(info(kFamilyIPv4, "ip"), "192.168.1.20");
  EXPECT_EQ(info(kFamilyIPv4, "mask"), "255.255.255.0");
  EXPECT_EQ(info(kFamilyIPv4, "gateway"), "192.168.1.1");
  EXPECT_EQ(info(kFamilyIPv4, "dns"), "192.168.1.1");
  EXPECT_EQ(info(kFamilyIPv4, "mac"), "00:1A:2B:3C:4D:20");
  // IPv6 has no primary adapter here: its hardware address is the IPv4 one's.
  EXPECT_EQ(info(kFamilyIPv6, "ip"), "");
  EXPECT_EQ(info(kFamilyIPv6, "mac"), "00:1A:2B:3C:4D:20");
  EXPECT_EQ(info(kFamilyIPv6, "mask"), "");
  EXPECT_EQ(info(kFamilyIPv4, "speed"), "");
  EXPECT_TRUE(has_usable_address(kFamilyIPv4));
  EXPECT_FALSE(has_usable_address(kFamilyIPv6));
}

TEST(NetInfo, WirelessAdaptersGiveNoMask) {
  Injected tables({{"wlan0", false, {{"192.168.1.20", 24}}, {"192.168.1.1"}, {}, 0x21}});
  EXPECT_EQ(info(kFamilyIPv4, "ip"), "192.168.1.20");
  EXPECT_EQ(info(kFamilyIPv4, "mask"), "");
}

TEST(NetInfo, AdapterWithoutGatewayIsNeverPrimary) {
  Injected tables({{"eth0", true, {{"8.8.4.4", 16}}, {}, {"1.1.1.1"}, 0x01},
                   {"eth1", true, {{"10.0.0.5", 8}}, {"10.0.0.1"}, {"10.0.0.53"}, 0x02}});
  EXPECT_EQ(info(kFamilyIPv4, "ip"), "10.0.0.5");
  EXPECT_EQ(info(kFamilyIPv4, "gateway"), "10.0.0.1");
  EXPECT_EQ(info(kFamilyIPv4, "dns"), "10.0.0.53");
  EXPECT_EQ(info(kFamilyIPv4, "mac"), "00:1A:2B:3C:4D:02");
  // The mask comes from the wired adapters' addresses, global first, gateway or not.
  EXPECT_EQ(info(kFamilyIPv4, "mask"), "255.255.0.0");
}

TEST(NetInfo, GlobalBeforePrivateAcrossAdapters) {
  Injected tables({{"eth0", true, {{"192.168.0.9", 24}}, {"192.168.0.1"}, {}, 0x01},
                   {"eth1", true, {{"10.1.1.1", 8}, {"81.2.3.4", 28}}, {"81.2.3.1"}, {"81.2.3.53"}, 0x02},
                   {"eth2", true, {{"2001:db8::9", 64}, {"fd00::9", 64}}, {"fe80::1"}, {"8.8.8.8", "2001:4860::8888"}, 0x03}});
  EXPECT_EQ(info(kFamilyIPv4, "ip"), "81.2.3.4");
  EXPECT_EQ(info(kFamilyIPv4, "gateway"), "81.2.3.1");
  EXPECT_EQ(info(kFamilyIPv4, "mask"), "255.255.255.240");
  EXPECT_EQ(info(kFamilyIPv6, "ip"), "2001:db8::9");
  EXPECT_EQ(info(kFamilyIPv6, "gateway"), "fe80::1");
  EXPECT_EQ(info(kFamilyIPv6, "dns"), "2001:4860::8888");
  EXPECT_EQ(info(kFamilyIPv6, "mac"), "00:1A:2B:3C:4D:03");
  IpAddress records[8];
  AdapterName names[8];
  ASSERT_EQ(list_addresses(kFamilyIPv4, 8, records, names), 3);
  char text[64];
  ip_format(records[0], text);
  EXPECT_STREQ(text, "81.2.3.4");
  EXPECT_STREQ(names[0], "eth1");
  ip_format(records[1], text);
  EXPECT_STREQ(text, "192.168.0.9");
  ip_format(records[2], text);
  EXPECT_STREQ(text, "10.1.1.1");
  EXPECT_EQ(list_addresses(kFamilyIPv4, 1, nullptr, nullptr), 1);
  char json[256];
  ASSERT_GT(ipv6_address_list(json), 0);
  EXPECT_STREQ(json, "[\"2001:db8::9\",\"fd00::9\"]");
  EXPECT_TRUE(has_usable_address(kFamilyIPv6));
}

TEST(NetInfo, LoopbackAndLinkLocalAreNotUsable) {
  Injected tables({{"eth0", true, {{"127.0.0.1", 8}, {"169.254.3.4", 16}, {"fe80::1", 64}}, {"169.254.0.1"}, {}, 0x05}});
  EXPECT_EQ(info(kFamilyIPv4, "ip"), "");
  EXPECT_FALSE(has_usable_address(kFamilyIPv4));
  EXPECT_FALSE(has_usable_address(kFamilyIPv6));
  EXPECT_EQ(info(kFamilyIPv4, "gateway"), "");
  EXPECT_EQ(info(kFamilyIPv4, "mask"), "255.255.0.0");  // the link-local pass
  char json[64] = "untouched";
  EXPECT_EQ(ipv6_address_list(json), 0);
  EXPECT_STREQ(json, "untouched");
}

TEST(NetInfo, NoAdaptersAtAll) {
  Injected tables({});
  EXPECT_EQ(info(kFamilyIPv4, "ip"), "");
  EXPECT_EQ(info(kFamilyIPv4, "mac"), "");
  IpAddress any[4];
  EXPECT_EQ(local_addresses(any, 4), 0);
}

TEST(NetInfo, LinuxRouteFiles) {
  const char* route =
      "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
      "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
      "eth0\t0001A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"
      "wlan0\t00000000\t00000000\t0001\t0\t0\t600\t00000000\t0\t0\t0\n"
      "bad\tline\n";
  auto routes = parse_proc_route(route);
  ASSERT_EQ(routes.size(), 1u);
  EXPECT_STREQ(routes[0].interface_name, "eth0");
  char text[64];
  ip_format(routes[0].gateway, text);
  EXPECT_STREQ(text, "192.168.1.1");

  const char* route6 =
      "00000000000000000000000000000000 00 00000000000000000000000000000000 00 fe800000000000000000000000000001 "
      "00000400 00000001 00000000 00000003     eth0\n"
      "fe800000000000000000000000000000 40 00000000000000000000000000000000 00 00000000000000000000000000000000 "
      "00000100 00000001 00000000 00000001     eth0\n"
      "00000000000000000000000000000000 00 00000000000000000000000000000000 00 00000000000000000000000000000000 "
      "ffffffff 00000001 00000000 00200200       lo\n";
  auto routes6 = parse_proc_ipv6_route(route6);
  ASSERT_EQ(routes6.size(), 1u);
  EXPECT_STREQ(routes6[0].interface_name, "eth0");
  ip_format(routes6[0].gateway, text);
  EXPECT_STREQ(text, "fe80::1");

  auto servers = parse_resolv_conf(
      "# generated\nsearch example\nnameserver 192.168.1.1\n  nameserver\tfe80::1%eth0\nnameserver bogus\n"
      "options edns0\nnameserver 2001:4860:4860::8888\n");
  ASSERT_EQ(servers.size(), 3u);
  ip_format(servers[1], text);
  EXPECT_STREQ(text, "fe80::1");
}

// The real tables: whatever this machine has, the records are consistent
// and the loopback address is one of our own.
TEST(NetInfo, RealTables) {
  std::vector<NetAdapter> adapters;
  ASSERT_EQ(netinfo_read_adapters(adapters), 0);
  for (const NetAdapter& a : adapters) EXPECT_EQ(a.unicast.size(), a.prefix.size()) << a.name;
  IpAddress own[64];
  int n = local_addresses(own, 64);
  EXPECT_GE(n, 0);
  char text[64];
  interface_info(kFamilyIPv4, "ip", text);
  if (text[0]) {
    IpAddress a;
    EXPECT_EQ(ip_parse(text, &a), kFamilyIPv4) << text;
  }
}

}  // namespace
