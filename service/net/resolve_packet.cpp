// The DNS wire format: names, the query packet and the answer parser. Every
// read is checked against the packet's end; answers come from the network
// and are hostile until proven otherwise.
#include <cstring>

#include "service/net/resolve.h"

namespace {

constexpr size_t kHeaderSize = 12;
constexpr size_t kMaxWireName = 255;
constexpr int kMaxLabel = 63;
// Pointer hops of one name; far more than any honest packet uses.
constexpr int kMaxHops = 64;
constexpr uint16_t kFlagResponse = 0x8000;
constexpr uint16_t kRcodeMask = 0x000F;
constexpr uint16_t kClassIn = 1;

uint16_t read16(std::span<const uint8_t> p, size_t at) { return static_cast<uint16_t>(p[at] << 8 | p[at + 1]); }

uint32_t read32(std::span<const uint8_t> p, size_t at) {
  return static_cast<uint32_t>(p[at]) << 24 | static_cast<uint32_t>(p[at + 1]) << 16 |
         static_cast<uint32_t>(p[at + 2]) << 8 | p[at + 3];
}

void put16(uint8_t* at, uint16_t v) {
  at[0] = static_cast<uint8_t>(v >> 8);
  at[1] = static_cast<uint8_t>(v);
}

uint16_t type_of(int family) { return family == kFamilyIPv6 ? kDnsTypeAAAA : kDnsTypeA; }

bool is_none(const IpAddress& a) {
  if (a.ipv4) return false;
  for (uint8_t b : a.ipv6) {
    if (b) return false;
  }
  return true;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Reads the name at offset into its uncompressed wire form (labels with
// their length bytes, final zero included). Every pointer must lead before
// the segment it was found in, so the walk always ends. Returns the bytes
// the name occupies at offset, or -1.
int read_wire_name(std::span<const uint8_t> p, size_t offset, uint8_t wire[kMaxWireName], size_t* wire_len) {
  size_t pos = offset;
  size_t segment_start = offset;
  size_t len = 0;
  int used = -1;
  for (int hops = 0;;) {
    if (pos >= p.size()) return -1;
    uint8_t b = p[pos];
    if ((b & 0xC0) == 0xC0) {
      if (pos + 1 >= p.size() || ++hops > kMaxHops) return -1;
      size_t target = static_cast<size_t>(read16(p, pos) & 0x3FFF);
      if (target >= segment_start) return -1;
      if (used < 0) used = static_cast<int>(pos + 2 - offset);
      pos = segment_start = target;
      continue;
    }
    // 0x40 and 0x80 are label types nobody uses any more.
    if (b & 0xC0) return -1;
    if (len + 1 + b > kMaxWireName) return -1;
    if (b == 0) {
      wire[len++] = 0;
      if (used < 0) used = static_cast<int>(pos + 1 - offset);
      *wire_len = len;
      return used;
    }
    if (pos + 1 + b > p.size()) return -1;
    std::memcpy(wire + len, p.data() + pos, 1 + static_cast<size_t>(b));
    len += 1 + static_cast<size_t>(b);
    pos += 1 + static_cast<size_t>(b);
  }
}

bool wire_equal(const uint8_t* a, size_t a_len, const uint8_t* b, size_t b_len) {
  if (a_len != b_len) return false;
  for (size_t i = 0; i < a_len; ++i) {
    // Length bytes are below 64 and unaffected by folding.
    if (lower(static_cast<char>(a[i])) != lower(static_cast<char>(b[i]))) return false;
  }
  return true;
}

// Skips the name at pos; the position after it, or 0 on failure (a name
// never starts at offset 0 of a packet, which holds the header).
size_t skip_name(std::span<const uint8_t> p, size_t pos) {
  uint8_t wire[kMaxWireName];
  size_t len = 0;
  int used = read_wire_name(p, pos, wire, &len);
  return used < 0 ? 0 : pos + static_cast<size_t>(used);
}

}  // namespace

int dns_encode_name(std::span<uint8_t> out, std::string_view name) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  if (name.empty()) return -1;
  size_t len = 0;
  size_t pos = 0;
  while (pos <= name.size()) {
    size_t dot = name.find('.', pos);
    if (dot == std::string_view::npos) dot = name.size();
    size_t label = dot - pos;
    if (label == 0 || label > kMaxLabel) return -1;
    if (len + 1 + label + 1 > kMaxWireName || len + 1 + label + 1 > out.size()) return -1;
    out[len++] = static_cast<uint8_t>(label);
    std::memcpy(out.data() + len, name.data() + pos, label);
    len += label;
    pos = dot + 1;
  }
  out[len++] = 0;
  return static_cast<int>(len);
}

int dns_decode_name(std::span<const uint8_t> packet, size_t offset, std::span<char> out) {
  if (out.empty()) return -1;
  out[0] = 0;
  uint8_t wire[kMaxWireName];
  size_t wire_len = 0;
  int used = read_wire_name(packet, offset, wire, &wire_len);
  if (used < 0) return -1;
  size_t n = 0;
  for (size_t i = 0; wire[i] != 0; i += 1 + wire[i]) {
    size_t label = wire[i];
    if (n + (n ? 1 : 0) + label + 1 > out.size()) {
      out[0] = 0;
      return -1;
    }
    if (n) out[n++] = '.';
    std::memcpy(out.data() + n, wire + i + 1, label);
    n += label;
  }
  out[n] = 0;
  return used;
}

int dns_build_query(std::span<uint8_t> out, uint16_t id, std::string_view name, int family) {
  if (out.size() < kHeaderSize + 4) return -1;
  std::memset(out.data(), 0, kHeaderSize);
  put16(&out[0], id);
  put16(&out[2], 0x0100);  // recursion desired
  put16(&out[4], 1);       // one question
  int n = dns_encode_name(out.subspan(kHeaderSize), name);
  if (n < 0) return -1;
  size_t pos = kHeaderSize + static_cast<size_t>(n);
  if (pos + 4 > out.size()) return -1;
  put16(&out[pos], type_of(family));
  put16(&out[pos + 2], kClassIn);
  return static_cast<int>(pos + 4);
}

int dns_answer_matches(std::span<const uint8_t> packet, uint16_t id, std::string_view name, int family) {
  if (packet.size() < kHeaderSize) return 0;
  if (read16(packet, 0) != id || !(read16(packet, 2) & kFlagResponse) || read16(packet, 4) != 1) return 0;
  uint8_t want[kMaxWireName];
  int want_len = dns_encode_name(want, name);
  if (want_len < 0) return 0;
  uint8_t got[kMaxWireName];
  size_t got_len = 0;
  int used = read_wire_name(packet, kHeaderSize, got, &got_len);
  if (used < 0 || !wire_equal(want, static_cast<size_t>(want_len), got, got_len)) return 0;
  size_t pos = kHeaderSize + static_cast<size_t>(used);
  if (pos + 4 > packet.size()) return 0;
  return read16(packet, pos) == type_of(family) && read16(packet, pos + 2) == kClassIn ? 1 : 0;
}

int dns_parse_answer(int family, std::span<const uint8_t> packet, IpAddress* out, uint32_t* ttl) {
  if (!out) return 0;
  *out = IpAddress{};
  if (packet.size() < kHeaderSize) return 0;
  uint16_t flags = read16(packet, 2);
  if (!(flags & kFlagResponse) || (flags & kRcodeMask) != 0) return 0;
  unsigned questions = read16(packet, 4);
  unsigned answers = read16(packet, 6);
  size_t pos = kHeaderSize;
  for (unsigned i = 0; i < questions; ++i) {
    pos = skip_name(packet, pos);
    if (pos == 0 || pos + 4 > packet.size()) return 0;
    pos += 4;
  }
  const uint16_t want = type_of(family);
  const size_t want_len = family == kFamilyIPv6 ? 16 : 4;
  for (unsigned i = 0; i < answers; ++i) {
    pos = skip_name(packet, pos);
    if (pos == 0 || pos + 10 > packet.size()) return 0;
    uint16_t type = read16(packet, pos);
    uint16_t klass = read16(packet, pos + 2);
    uint32_t record_ttl = read32(packet, pos + 4);
    size_t length = read16(packet, pos + 8);
    pos += 10;
    if (pos + length > packet.size()) return 0;
    if (type == want && klass == kClassIn && length == want_len) {
      IpAddress a;
      if (want_len == 4) {
        std::memcpy(&a.ipv4, packet.data() + pos, 4);
      } else {
        std::memcpy(a.ipv6, packet.data() + pos, 16);
      }
      // An all-zero address reads as "none" in a record; look further.
      if (!is_none(a)) {
        *out = a;
        if (ttl) *ttl = record_ttl;
        return 1;
      }
    }
    pos += length;
  }
  return 0;
}
