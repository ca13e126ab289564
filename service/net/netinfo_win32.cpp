// Windows: the adapter table of the IP helper (GetAdaptersAddresses) with
// addresses, prefix lengths, gateways, DNS servers and hardware addresses,
// in the system's adapter order.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "service/core/text.h"
#include "service/core/win32_text.h"
#include "service/net/netinfo.h"

namespace {

bool to_record(const SOCKET_ADDRESS& address, IpAddress* out) {
  *out = IpAddress{};
  const sockaddr* sa = address.lpSockaddr;
  if (!sa) return false;
  if (sa->sa_family == AF_INET && address.iSockaddrLength >= static_cast<INT>(sizeof(sockaddr_in))) {
    std::memcpy(&out->ipv4, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, 4);
    return out->ipv4 != 0;
  }
  if (sa->sa_family == AF_INET6 && address.iSockaddrLength >= static_cast<INT>(sizeof(sockaddr_in6))) {
    std::memcpy(out->ipv6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, 16);
    for (uint8_t b : out->ipv6) {
      if (b) return true;
    }
  }
  return false;
}

}  // namespace

int netinfo_read_adapters(std::vector<NetAdapter>& out) {
  out.clear();
  const ULONG flags = GAA_FLAG_INCLUDE_GATEWAYS | GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST;
  ULONG size = 16 * 1024;
  std::string buffer;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  // The table may grow between the size query and the read.
  for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.assign(size, '\0');
    result = GetAdaptersAddresses(AF_UNSPEC, flags, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (result == ERROR_NO_DATA) return 0;
  if (result != NO_ERROR) return -1;
  for (auto* it = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); it; it = it->Next) {
    NetAdapter a;
    std::string name = it->FriendlyName ? wide_to_utf8(it->FriendlyName) : std::string(it->AdapterName ? it->AdapterName : "");
    copy_cut(a.name, name);
    a.ethernet = it->IfType == IF_TYPE_ETHERNET_CSMACD;
    if (it->PhysicalAddressLength == 6) {
      std::memcpy(a.mac, it->PhysicalAddress, 6);
      a.has_mac = true;
    }
    for (auto* u = it->FirstUnicastAddress; u; u = u->Next) {
      IpAddress r;
      if (!to_record(u->Address, &r)) continue;
      a.unicast.push_back(r);
      a.prefix.push_back(u->OnLinkPrefixLength);
    }
    for (auto* g = it->FirstGatewayAddress; g; g = g->Next) {
      IpAddress r;
      if (to_record(g->Address, &r)) a.gateways.push_back(r);
    }
    for (auto* d = it->FirstDnsServerAddress; d; d = d->Next) {
      IpAddress r;
      if (to_record(d->Address, &r)) a.dns.push_back(r);
    }
    out.push_back(std::move(a));
  }
  return 0;
}

int local_host_name(std::span<char> out) {
  if (out.empty()) return 0;
  out[0] = '\0';
  wchar_t name[256] = {};
  DWORD size = 255;
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size)) return 0;
  return copy_cut(out, wide_to_utf8(std::wstring(name, size)));
}
