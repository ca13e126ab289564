// Address literals come from configuration, hosts files and DNS names: the
// classifier and the parser must take anything, and what the parser accepts
// must survive a round trip through the formatter.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "service/net/socket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  int family = address_family(text);
  IpAddress a;
  int parsed = ip_parse(text, &a);
  if (parsed > 0 && parsed != family) __builtin_trap();
  char out[48];
  int len = ip_format(a, out);
  if (len < 0 || static_cast<size_t>(len) >= sizeof out || out[len] != 0) __builtin_trap();
  if (parsed < 0) {
    if (len != 0) __builtin_trap();  // a failed parse leaves an empty record
    return 0;
  }
  // ::ffff:0.0.0.0 is written 0.0.0.0, which no record can hold.
  uint32_t mapped_v4 = 0;
  std::memcpy(&mapped_v4, a.ipv6 + 12, 4);
  if (parsed == kFamilyIPv6 && ip_is_v4_mapped(a) && mapped_v4 == 0) return 0;
  IpAddress back;
  int again = ip_parse(std::string_view(out, static_cast<size_t>(len)), &back);
  if (again < 0) __builtin_trap();
  // A mapped IPv6 address is written as dotted IPv4 and reads back as such.
  if (parsed == kFamilyIPv6 && ip_is_v4_mapped(a)) {
    if (again != kFamilyIPv4 || std::memcmp(&back.ipv4, a.ipv6 + 12, 4) != 0) __builtin_trap();
    return 0;
  }
  if (again != parsed || back.ipv4 != a.ipv4 || std::memcmp(back.ipv6, a.ipv6, 16) != 0) __builtin_trap();
  char small[5];
  ip_format(a, small);
  if (std::strlen(small) >= sizeof small) __builtin_trap();
  return 0;
}
