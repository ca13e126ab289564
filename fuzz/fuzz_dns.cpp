// DNS answers come from the network: the input is one datagram, parsed for
// both families and walked name by name from every offset.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "service/net/resolve.h"

namespace {

bool is_none(const IpAddress& a) {
  if (a.ipv4) return false;
  for (uint8_t b : a.ipv6) {
    if (b) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kDnsMaxPacket) return 0;
  // An exact-size copy, so that any read past the datagram is caught.
  std::vector<uint8_t> packet(data, data + size);
  std::span<const uint8_t> p(packet);
  for (int family : {kFamilyIPv4, kFamilyIPv6}) {
    IpAddress addr;
    uint32_t ttl = 0;
    int found = dns_parse_answer(family, p, &addr, &ttl);
    require(found == 0 || found == 1);
    require(found == 1 ? !is_none(addr) : is_none(addr));
    if (found) require(family == kFamilyIPv4 ? addr.ipv4 != 0 : addr.ipv4 == 0);
  }
  // The question, as the client compares it with its own query.
  char question[256];
  int used = dns_decode_name(p, 12, question);
  if (size >= 12 && used > 0) {
    uint16_t id = static_cast<uint16_t>(packet[0] << 8 | packet[1]);
    for (int family : {kFamilyIPv4, kFamilyIPv6}) {
      int m = dns_answer_matches(p, id, question, family);
      require(m == 0 || m == 1);
    }
  }
  for (size_t offset = 0; offset < size; ++offset) {
    char name[256];
    int n = dns_decode_name(p, offset, name);
    if (n < 0) continue;
    require(n >= 1 && static_cast<size_t>(n) <= size - offset);
    require(std::strlen(name) <= 253);
  }
  return 0;
}
