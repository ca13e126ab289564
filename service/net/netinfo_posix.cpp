// Linux has no adapter table with gateways and name servers: the
// interfaces come from getifaddrs, the default routes from /proc/net/route
// and /proc/net/ipv6_route, the name servers from /etc/resolv.conf (the
// same for every adapter), the hardware type and address from the link
// entries, wireless from /sys/class/net.
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#if __has_include(<linux/if_packet.h>)
#include <linux/if_packet.h>
#define KV_HAVE_PACKET 1
#endif

#include "service/core/text.h"
#include "service/net/netinfo.h"

namespace {

constexpr int kArpEther = 1;  // ARPHRD_ETHER
constexpr size_t kSystemFileMax = 1 << 20;

std::string read_system_file(const char* path) {
  std::string text;
  FILE* f = std::fopen(path, "rb");
  if (!f) return text;
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0 && text.size() < kSystemFileMax) text.append(chunk, n);
  std::fclose(f);
  return text;
}

bool sys_net_exists(const char* name, const char* leaf) {
  char path[256];
  std::snprintf(path, sizeof path, "/sys/class/net/%s/%s", name, leaf);
  struct stat st;
  return stat(path, &st) == 0;
}

int sys_net_type(const char* name) {
  char path[256];
  std::snprintf(path, sizeof path, "/sys/class/net/%s/type", name);
  std::string text = read_system_file(path);
  return text.empty() ? -1 : parse_int(text.c_str());
}

int prefix_of(const uint8_t* mask, size_t bytes) {
  int n = 0;
  for (size_t i = 0; i < bytes; ++i) {
    for (int bit = 7; bit >= 0; --bit) {
      if (!(mask[i] >> bit & 1)) return n;
      ++n;
    }
  }
  return n;
}

struct Building {
  NetAdapter adapter;
  unsigned index = 0;
  int hardware_type = -1;
};

Building& adapter_named(std::vector<Building>& list, const char* name) {
  for (Building& b : list) {
    if (std::strcmp(b.adapter.name, name) == 0) return b;
  }
  list.emplace_back();
  Building& b = list.back();
  copy_cut(b.adapter.name, name);
  b.index = if_nametoindex(name);
  return b;
}

}  // namespace

int netinfo_read_adapters(std::vector<NetAdapter>& out) {
  out.clear();
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return -1;
  std::vector<Building> building;
  for (ifaddrs* it = list; it; it = it->ifa_next) {
    if (!it->ifa_name || std::strlen(it->ifa_name) >= kAdapterNameSize) continue;
    if (!(it->ifa_flags & IFF_UP)) continue;
    Building& b = adapter_named(building, it->ifa_name);
    if (!it->ifa_addr) continue;
    int family = it->ifa_addr->sa_family;
    if (family == AF_INET) {
      IpAddress a;
      std::memcpy(&a.ipv4, &reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr, 4);
      int prefix = 0;
      if (it->ifa_netmask) {
        uint8_t mask[4];
        std::memcpy(mask, &reinterpret_cast<const sockaddr_in*>(it->ifa_netmask)->sin_addr, 4);
        prefix = prefix_of(mask, 4);
      }
      b.adapter.unicast.push_back(a);
      b.adapter.prefix.push_back(prefix);
    } else if (family == AF_INET6) {
      IpAddress a;
      std::memcpy(a.ipv6, &reinterpret_cast<const sockaddr_in6*>(it->ifa_addr)->sin6_addr, 16);
      int prefix = 0;
      if (it->ifa_netmask) {
        uint8_t mask[16];
        std::memcpy(mask, &reinterpret_cast<const sockaddr_in6*>(it->ifa_netmask)->sin6_addr, 16);
        prefix = prefix_of(mask, 16);
      }
      b.adapter.unicast.push_back(a);
      b.adapter.prefix.push_back(prefix);
#ifdef KV_HAVE_PACKET
    } else if (family == AF_PACKET) {
      const auto* link = reinterpret_cast<const sockaddr_ll*>(it->ifa_addr);
      b.hardware_type = link->sll_hatype;
      if (link->sll_halen == 6) {
        std::memcpy(b.adapter.mac, link->sll_addr, 6);
        b.adapter.has_mac = true;
      }
#endif
    }
  }
  freeifaddrs(list);

  auto routes4 = parse_proc_route(read_system_file("/proc/net/route"));
  auto routes6 = parse_proc_ipv6_route(read_system_file("/proc/net/ipv6_route"));
  auto servers = parse_resolv_conf(read_system_file("/etc/resolv.conf"));
  for (Building& b : building) {
    NetAdapter& a = b.adapter;
    if (b.hardware_type < 0) b.hardware_type = sys_net_type(a.name);
    bool wireless = sys_net_exists(a.name, "wireless") || sys_net_exists(a.name, "phy80211");
    a.ethernet = b.hardware_type == kArpEther && !wireless;
    for (const auto* routes : {&routes4, &routes6}) {
      for (const RouteEntry& r : *routes) {
        if (std::strcmp(r.interface_name, a.name) == 0) a.gateways.push_back(r.gateway);
      }
    }
    a.dns = servers;
  }
  // The system's order is the order of the interface index.
  std::stable_sort(building.begin(), building.end(),
                   [](const Building& x, const Building& y) { return x.index < y.index; });
  for (Building& b : building) out.push_back(std::move(b.adapter));
  return 0;
}

int local_host_name(std::span<char> out) {
  if (out.empty()) return 0;
  out[0] = '\0';
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return 0;
  return copy_cut(out, name);
}
