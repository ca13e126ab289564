// The portable half of the interface information: address classes, the
// primary-adapter rule and the text forms, over the adapter list that the
// system file supplies.
#include "service/net/netinfo.h"

#include <cstdio>
#include <cstring>

#include "service/core/text.h"

namespace {

int (*g_reader)(std::vector<NetAdapter>&) = nullptr;

int read_adapters(std::vector<NetAdapter>& out) {
  out.clear();
  int r = g_reader ? g_reader(out) : netinfo_read_adapters(out);
  if (r < 0) out.clear();
  return r;
}

bool is_zero(const IpAddress& a) {
  if (a.ipv4) return false;
  for (uint8_t b : a.ipv6) {
    if (b) return false;
  }
  return true;
}

int family_of(const IpAddress& a) {
  if (a.ipv4) return kFamilyIPv4;
  return is_zero(a) ? 0 : kFamilyIPv6;
}

bool has_gateway(const NetAdapter& adapter, int family) {
  for (const IpAddress& g : adapter.gateways) {
    if (family_of(g) == family) return true;
  }
  return false;
}

bool has_address_of_class(const NetAdapter& adapter, int family, int cls) {
  for (const IpAddress& a : adapter.unicast) {
    if (family_of(a) == family && address_class(a) == cls) return true;
  }
  return false;
}

const NetAdapter* primary_adapter(const std::vector<NetAdapter>& adapters, int family) {
  for (int cls : {kAddressGlobal, kAddressPrivate}) {
    for (const NetAdapter& a : adapters) {
      if (has_gateway(a, family) && has_address_of_class(a, family, cls)) return &a;
    }
  }
  return nullptr;
}

int collect(const std::vector<NetAdapter>& adapters, int family, int max, IpAddress* records, AdapterName* names) {
  int count = 0;
  for (int cls : {kAddressGlobal, kAddressPrivate}) {
    for (const NetAdapter& adapter : adapters) {
      if (!has_gateway(adapter, family)) continue;
      for (const IpAddress& a : adapter.unicast) {
        if (count >= max) return count;
        if (family_of(a) != family || address_class(a) != cls) continue;
        if (records) records[count] = a;
        if (names) copy_cut(names[count], adapter.name);
        ++count;
      }
    }
  }
  return count;
}

int put_text(std::span<char> out, const char* text) {
  int n = copy_cut(out, text);
  return n;
}

int format_address(const IpAddress& a, std::span<char> out) {
  char text[64];
  if (ip_format(a, text) <= 0) return 0;
  return put_text(out, text);
}

int first_of_family(const std::vector<IpAddress>& list, int family, std::span<char> out) {
  for (const IpAddress& a : list) {
    if (family_of(a) == family) return format_address(a, out);
  }
  return 0;
}

int mask_text(const std::vector<NetAdapter>& adapters, std::span<char> out) {
  for (int cls : {kAddressGlobal, kAddressPrivate, kAddressLinkLocal}) {
    for (const NetAdapter& adapter : adapters) {
      if (!adapter.ethernet) continue;
      for (size_t i = 0; i < adapter.unicast.size(); ++i) {
        const IpAddress& a = adapter.unicast[i];
        if (family_of(a) != kFamilyIPv4 || address_class(a) != cls) continue;
        int prefix = i < adapter.prefix.size() ? adapter.prefix[i] : 0;
        if (prefix < 0 || prefix > 32) continue;
        uint32_t mask = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
        char text[20];
        std::snprintf(text, sizeof text, "%u.%u.%u.%u", mask >> 24, (mask >> 16) & 255, (mask >> 8) & 255, mask & 255);
        return put_text(out, text);
      }
    }
  }
  return 0;
}

bool parse_hex_bytes(std::string_view hex, uint8_t* out, size_t count) {
  if (hex.size() != count * 2) return false;
  for (size_t i = 0; i < count; ++i) {
    int v = 0;
    for (int k = 0; k < 2; ++k) {
      char c = hex[i * 2 + k];
      int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (d < 0) return false;
      v = v * 16 + d;
    }
    out[i] = static_cast<uint8_t>(v);
  }
  return true;
}

// The blank- or tab-separated fields of one line.
std::vector<std::string_view> fields_of(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t pos = 0;
  while (pos < line.size()) {
    while (pos < line.size() && is_space(line[pos])) ++pos;
    size_t start = pos;
    while (pos < line.size() && !is_space(line[pos])) ++pos;
    if (pos > start) fields.push_back(line.substr(start, pos - start));
  }
  return fields;
}

template <typename Fn>
void for_each_line(std::string_view text, Fn fn) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    std::string_view line = text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
    fn(line);
    if (nl == std::string_view::npos) break;
    pos = nl + 1;
  }
}

}  // namespace

void netinfo_override(int (*read)(std::vector<NetAdapter>&)) { g_reader = read; }

int address_class(const IpAddress& addr) {
  if (addr.ipv4) {
    uint8_t b[4];
    std::memcpy(b, &addr.ipv4, 4);
    if (b[0] == 0 || b[0] == 127 || b[0] >= 224) return kAddressOther;
    if (b[0] == 10) return kAddressPrivate;
    if (b[0] == 172 && b[1] >= 16 && b[1] <= 31) return kAddressPrivate;
    if (b[0] == 192 && b[1] == 168) return kAddressPrivate;
    if (b[0] == 169 && b[1] == 254) return kAddressLinkLocal;
    return kAddressGlobal;
  }
  const uint8_t* b = addr.ipv6;
  if ((b[0] & 0xE0) == 0x20) return kAddressGlobal;
  if ((b[0] & 0xFE) == 0xFC) return kAddressPrivate;
  if (b[0] == 0xFE && (b[1] & 0xC0) == 0x80) return kAddressLinkLocal;
  return kAddressOther;
}

int list_addresses(int family, int max, IpAddress* records, AdapterName* names) {
  if (max <= 0) return 0;
  std::vector<NetAdapter> adapters;
  if (read_adapters(adapters) < 0) return 0;
  return collect(adapters, family, max, records, names);
}

int interface_info(int family, std::string_view item, std::span<char> out) {
  if (out.empty()) return 0;
  out[0] = '\0';
  if (family != kFamilyIPv4 && family != kFamilyIPv6) return 0;
  std::vector<NetAdapter> adapters;
  if (read_adapters(adapters) < 0) return 0;
  if (item == "ip") {
    IpAddress first;
    if (collect(adapters, family, 1, &first, nullptr) != 1) return 0;
    return format_address(first, out);
  }
  if (item == "mask") return family == kFamilyIPv4 ? mask_text(adapters, out) : 0;
  const NetAdapter* primary = primary_adapter(adapters, family);
  if (item == "gateway") return primary ? first_of_family(primary->gateways, family, out) : 0;
  if (item == "dns") return primary ? first_of_family(primary->dns, family, out) : 0;
  if (item == "mac") {
    if (!primary && family == kFamilyIPv6) primary = primary_adapter(adapters, kFamilyIPv4);
    if (!primary || !primary->has_mac) return 0;
    const uint8_t* m = primary->mac;
    char text[20];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
    return put_text(out, text);
  }
  return 0;
}

int ipv6_address_list(std::span<char> out) {
  IpAddress records[16];
  int count = list_addresses(kFamilyIPv6, 16, records, nullptr);
  if (count <= 0) return 0;
  std::string text = "[";
  for (int i = 0; i < count; ++i) {
    char one[64];
    if (ip_format(records[i], one) <= 0) continue;
    text += '"';
    text += one;
    text += "\",";
  }
  if (text.size() < 2) return 0;
  text.back() = ']';
  if (text.size() + 1 > out.size()) return 0;
  return copy_cut(out, text);
}

bool has_usable_address(int family) {
  char text[64];
  if (interface_info(family, "ip", text) <= 0) return false;
  IpAddress a;
  int parsed = ip_parse(text, &a);
  if (parsed == kFamilyIPv4) {
    uint8_t b[4];
    std::memcpy(b, &a.ipv4, 4);
    return !(b[0] == 127 || (b[0] == 169 && b[1] == 254) || b[0] >= 224);
  }
  if (parsed == kFamilyIPv6) {
    return (a.ipv6[0] & 0xE0) == 0x20 || (a.ipv6[0] & 0xFE) == 0xFC;
  }
  return false;
}

int local_addresses(IpAddress* records, int max) {
  std::vector<NetAdapter> adapters;
  if (!records || max <= 0 || read_adapters(adapters) < 0) return 0;
  int count = 0;
  for (const NetAdapter& adapter : adapters) {
    for (const IpAddress& a : adapter.unicast) {
      if (count >= max) return count;
      if (!is_zero(a)) records[count++] = a;
    }
  }
  return count;
}

std::vector<RouteEntry> parse_proc_route(std::string_view text) {
  std::vector<RouteEntry> routes;
  for_each_line(text, [&](std::string_view line) {
    auto f = fields_of(line);
    // Iface Destination Gateway Flags ... Mask
    if (f.size() < 8 || f[0].size() >= kAdapterNameSize) return;
    uint8_t dest[4], gateway[4], mask[4], flags[2];
    if (!parse_hex_bytes(f[1], dest, 4) || !parse_hex_bytes(f[2], gateway, 4) || !parse_hex_bytes(f[7], mask, 4)) return;
    if (f[3].size() != 4 || !parse_hex_bytes(f[3], flags, 2)) return;
    // The kernel prints the address as a host-order number of its network
    // bytes; read back the same way it lands in network order again.
    uint32_t d, g, m;
    d = static_cast<uint32_t>(dest[0]) << 24 | dest[1] << 16 | dest[2] << 8 | dest[3];
    g = static_cast<uint32_t>(gateway[0]) << 24 | gateway[1] << 16 | gateway[2] << 8 | gateway[3];
    m = static_cast<uint32_t>(mask[0]) << 24 | mask[1] << 16 | mask[2] << 8 | mask[3];
    int fl = flags[0] << 8 | flags[1];
    const int kRouteUp = 1, kRouteGateway = 2;
    if (d != 0 || m != 0 || g == 0 || (fl & kRouteUp) == 0 || (fl & kRouteGateway) == 0) return;
    RouteEntry r;
    copy_cut(r.interface_name, f[0]);
    std::memcpy(&r.gateway.ipv4, &g, 4);
    routes.push_back(r);
  });
  return routes;
}

std::vector<RouteEntry> parse_proc_ipv6_route(std::string_view text) {
  std::vector<RouteEntry> routes;
  for_each_line(text, [&](std::string_view line) {
    auto f = fields_of(line);
    // dest plen src plen nexthop metric refcnt use flags iface
    if (f.size() < 10 || f[9].size() >= kAdapterNameSize) return;
    uint8_t dest[16], next[16];
    if (!parse_hex_bytes(f[0], dest, 16) || f[1] != "00" || !parse_hex_bytes(f[4], next, 16)) return;
    IpAddress d, g;
    std::memcpy(d.ipv6, dest, 16);
    std::memcpy(g.ipv6, next, 16);
    if (!is_zero(d) || is_zero(g)) return;
    RouteEntry r;
    copy_cut(r.interface_name, f[9]);
    r.gateway = g;
    routes.push_back(r);
  });
  return routes;
}

std::vector<IpAddress> parse_resolv_conf(std::string_view text) {
  std::vector<IpAddress> servers;
  for_each_line(text, [&](std::string_view line) {
    auto f = fields_of(line);
    if (f.size() < 2 || f[0] != "nameserver") return;
    std::string_view address = f[1].substr(0, f[1].find('%'));
    IpAddress a;
    if (ip_parse(address, &a) < 0 || is_zero(a)) return;
    servers.push_back(a);
  });
  return servers;
}
