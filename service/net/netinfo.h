// The machine's own network settings: address, mask, gateway, DNS server
// and hardware address of the primary adapter, as text. The system's
// tables are read on every call; nothing is cached.
//
// Primary adapter of a family: the first adapter, in the system's order,
// with a gateway and a global unicast address; failing that, the first
// with a gateway and a private one.
#pragma once
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "service/net/socket.h"

// Address classes.
constexpr int kAddressOther = 0;      // 0.0.0.0, loopback, multicast, ::
constexpr int kAddressGlobal = 1;     // IPv4 not listed elsewhere, 2000::/3
constexpr int kAddressPrivate = 2;    // 10/8, 172.16/12, 192.168/16, fc00::/7
constexpr int kAddressLinkLocal = 4;  // 169.254/16, fe80::/10

int address_class(const IpAddress& addr);

// Adapter name slots of list_addresses.
constexpr int kAdapterNameSize = 64;
using AdapterName = char[kAdapterNameSize];

// Walks the adapters with a gateway of the family (kFamilyIPv4 or
// kFamilyIPv6), first collecting their class-1 unicast addresses, then
// their class-2 ones, up to max; fills records and names when given.
// Returns the count.
int list_addresses(int family, int max, IpAddress* records, AdapterName* names);
// One item of the primary adapter as text in out: "ip", "mask" (IPv4
// only), "gateway", "dns", "mac". Its length, or 0 with out "" when there
// is none.
int interface_info(int family, std::string_view item, std::span<char> out);
// JSON array of up to 16 global and private IPv6 addresses; its length, or
// 0 with out untouched when there is none (or out is too small).
int ipv6_address_list(std::span<char> out);
// The machine has an address of the family that others can reach.
bool has_usable_address(int family);

// Every unicast address of every adapter that is up, of any class, up to
// max; the count. The web server's Host check uses it.
int local_addresses(IpAddress* records, int max);
// The machine's host name, NUL-terminated in out; its length, 0 when it has
// none.
int local_host_name(std::span<char> out);

// One adapter as the system reports it.
struct NetAdapter {
  char name[kAdapterNameSize] = {};
  // Wired: an Ethernet-type interface that is not wireless. Only these
  // report a mask.
  bool ethernet = false;
  bool has_mac = false;
  uint8_t mac[6] = {};
  std::vector<IpAddress> unicast;  // both families, system order
  std::vector<int> prefix;         // prefix length of each unicast address
  std::vector<IpAddress> gateways;
  std::vector<IpAddress> dns;
};

// The system's adapters in its order (one file per system). 0 or -1.
int netinfo_read_adapters(std::vector<NetAdapter>& out);
// Test seam: replaces the system's adapter tables (nullptr restores).
void netinfo_override(int (*read_adapters)(std::vector<NetAdapter>& out));

// Readers of the Linux system files, exposed for tests: the default
// gateways of /proc/net/route and /proc/net/ipv6_route per interface name,
// and the name servers of /etc/resolv.conf.
struct RouteEntry {
  char interface_name[kAdapterNameSize] = {};
  IpAddress gateway;
};
std::vector<RouteEntry> parse_proc_route(std::string_view text);
std::vector<RouteEntry> parse_proc_ipv6_route(std::string_view text);
std::vector<IpAddress> parse_resolv_conf(std::string_view text);
