// The portable half of the socket layer: address records, literals and the
// datagram conventions shared by every module.
#include "service/net/socket.h"

#include <cstdio>
#include <cstring>

#include "service/net/fmessage.h"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ipv6_is_zero(const IpAddress& a) {
  for (uint8_t b : a.ipv6) {
    if (b) return false;
  }
  return true;
}

// Dotted IPv4 into four bytes. Groups of 1 to 3 digits up to 255; a leading
// zero is refused because some parsers read such groups as octal.
bool parse_ipv4(std::string_view text, uint8_t out[4]) {
  size_t pos = 0;
  for (int group = 0; group < 4; ++group) {
    if (group > 0) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
    size_t start = pos;
    int value = 0;
    while (pos < text.size() && is_digit(text[pos]) && pos - start < 3) value = value * 10 + (text[pos++] - '0');
    size_t digits = pos - start;
    if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return false;
    out[group] = static_cast<uint8_t>(value);
  }
  return pos == text.size();
}

bool parse_ipv6(std::string_view text, uint8_t out[16]) {
  uint16_t head[8] = {}, tail[8] = {};
  int head_n = 0, tail_n = 0;
  bool gap = false;
  size_t pos = 0;
  if (text.starts_with("::")) {
    gap = true;
    pos = 2;
  } else if (text.starts_with(":")) {
    return false;
  }
  while (pos < text.size()) {
    int groups = head_n + tail_n;
    // An embedded IPv4 ends the text and counts as two groups.
    size_t next_colon = text.find(':', pos);
    std::string_view piece = text.substr(pos, next_colon == std::string_view::npos ? std::string_view::npos : next_colon - pos);
    if (next_colon == std::string_view::npos && piece.find('.') != std::string_view::npos) {
      uint8_t v4[4];
      if (groups > 6 || !parse_ipv4(piece, v4)) return false;
      uint16_t* dst = gap ? tail : head;
      int& n = gap ? tail_n : head_n;
      dst[n++] = static_cast<uint16_t>(v4[0] << 8 | v4[1]);
      dst[n++] = static_cast<uint16_t>(v4[2] << 8 | v4[3]);
      pos = text.size();
      break;
    }
    if (piece.empty() || piece.size() > 4 || groups >= 8) return false;
    uint16_t value = 0;
    for (char c : piece) {
      int h = hex_value(c);
      if (h < 0) return false;
      value = static_cast<uint16_t>(value << 4 | h);
    }
    (gap ? tail[tail_n++] : head[head_n++]) = value;
    pos += piece.size();
    if (pos == text.size()) break;
    // pos is at a colon: either a separator or the start of "::".
    ++pos;
    if (pos < text.size() && text[pos] == ':') {
      if (gap) return false;
      gap = true;
      ++pos;
    } else if (pos == text.size()) {
      return false;  // a single trailing colon
    }
  }
  int total = head_n + tail_n;
  if (gap ? total > 7 : total != 8) return false;
  uint16_t groups[8] = {};
  for (int i = 0; i < head_n; ++i) groups[i] = head[i];
  for (int i = 0; i < tail_n; ++i) groups[8 - tail_n + i] = tail[i];
  for (int i = 0; i < 8; ++i) {
    out[2 * i] = static_cast<uint8_t>(groups[i] >> 8);
    out[2 * i + 1] = static_cast<uint8_t>(groups[i]);
  }
  return true;
}

// snprintf into the rest of out, cut to fit; returns the new length.
int append(std::span<char> out, int len, const char* text) {
  if (out.empty()) return -1;
  size_t room = out.size() - static_cast<size_t>(len);
  int n = std::snprintf(out.data() + len, room, "%s", text);
  if (n < 0) return len;
  return len + static_cast<int>(static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room - 1);
}

}  // namespace

int sockaddr_len(const SockAddr& sa) {
  if (sa.family == kFamilyIPv4) return 16;
  if (sa.family == kFamilyIPv6) return 28;
  return 0;
}

int address_family(std::string_view text) {
  int dots = 0, colons = 0;
  bool hex_letter = false;
  for (char c : text) {
    if (c == '.') {
      ++dots;
    } else if (c == ':') {
      if (dots) return 0;  // a colon after a dot
      ++colons;
    } else if (hex_value(c) < 0) {
      return 0;
    } else if (!is_digit(c)) {
      hex_letter = true;
    }
  }
  if (colons == 0) return dots == 3 && !hex_letter ? kFamilyIPv4 : 0;
  if (colons >= 2 && (dots == 0 || dots == 3)) return kFamilyIPv6;
  return 0;
}

int make_sockaddr(SockAddr* sa, const IpAddress* addr, int port) {
  if (!sa || !addr || port < 0 || port > 65535) return -1;
  if (addr != &sa->addr) {
    IpAddress copy = *addr;
    *sa = SockAddr{};
    sa->addr = copy;
  }
  int family = 0;
  if (sa->addr.ipv4 != 0) {
    family = kFamilyIPv4;
  } else if (!ipv6_is_zero(sa->addr)) {
    family = kFamilyIPv6;
  }
  sa->family = family;
  if (port) sa->port = static_cast<uint16_t>(port);
  return family;
}

bool ip_is_v4_mapped(const IpAddress& addr) {
  static const uint8_t kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  return std::memcmp(addr.ipv6, kPrefix, sizeof kPrefix) == 0;
}

IpAddress ip_v4_mapped(uint32_t ipv4) {
  IpAddress a;
  a.ipv6[10] = 0xff;
  a.ipv6[11] = 0xff;
  std::memcpy(a.ipv6 + 12, &ipv4, 4);
  return a;
}

IpAddress ip_loopback(int family) {
  IpAddress a;
  if (family == kFamilyIPv6) {
    a.ipv6[15] = 1;
    return a;
  }
  const uint8_t v4[4] = {127, 0, 0, 1};
  std::memcpy(&a.ipv4, v4, 4);
  return a;
}

int ip_parse(std::string_view text, IpAddress* out) {
  if (!out) return -1;
  *out = IpAddress{};
  int family = address_family(text);
  if (family == kFamilyIPv4) {
    uint8_t v4[4];
    if (!parse_ipv4(text, v4)) return -1;
    std::memcpy(&out->ipv4, v4, 4);
    // 0.0.0.0 cannot be told from "none" in a record.
    return out->ipv4 ? kFamilyIPv4 : -1;
  }
  if (family == kFamilyIPv6) {
    if (!parse_ipv6(text, out->ipv6)) {
      *out = IpAddress{};
      return -1;
    }
    return ipv6_is_zero(*out) ? -1 : kFamilyIPv6;
  }
  return -1;
}

int ip_format(const IpAddress& addr, std::span<char> out) {
  if (out.empty()) return -1;
  out[0] = 0;
  char text[48];
  if (addr.ipv4 || ip_is_v4_mapped(addr)) {
    uint8_t v4[4];
    if (addr.ipv4) {
      std::memcpy(v4, &addr.ipv4, 4);
    } else {
      std::memcpy(v4, addr.ipv6 + 12, 4);
    }
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", v4[0], v4[1], v4[2], v4[3]);
    return append(out, 0, text);
  }
  if (ipv6_is_zero(addr)) return 0;
  uint16_t groups[8];
  for (int i = 0; i < 8; ++i) groups[i] = static_cast<uint16_t>(addr.ipv6[2 * i] << 8 | addr.ipv6[2 * i + 1]);
  // The longest run of two or more zero groups is written as "::".
  int best = -1, best_len = 1;
  for (int i = 0; i < 8;) {
    if (groups[i]) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > best_len) {
      best = i;
      best_len = j - i;
    }
    i = j;
  }
  int len = 0;
  text[0] = 0;
  for (int i = 0; i < 8; ++i) {
    if (i == best) {
      len += std::snprintf(text + len, sizeof text - static_cast<size_t>(len), "::");
      i += best_len - 1;
      continue;
    }
    bool after_gap = best >= 0 && i == best + best_len;
    len += std::snprintf(text + len, sizeof text - static_cast<size_t>(len), "%s%x", (i == 0 || after_gap) ? "" : ":",
                         groups[i]);
  }
  return append(out, 0, text);
}

int datagram_send(sock_t s, const void* data, size_t size, const SockAddr& to) {
  int n = socket_sendto(s, data, size, to);
  if (n >= 0 || to.family != kFamilyIPv4 || fmessage_family() != kFamilyIPv6) return n;
  if (socket_would_block() || socket_interrupted()) return n;
  // A dual-stack socket takes IPv4 destinations only in mapped form.
  SockAddr mapped;
  mapped.family = kFamilyIPv6;
  mapped.port = to.port;
  mapped.addr = ip_v4_mapped(to.addr.ipv4);
  return socket_sendto(s, data, size, mapped);
}

sock_t wake_socket_create(SockAddr* address) {
  int family = fmessage_family();
  sock_t s = udp_socket(family);
  if (s < 0) return kNoSocket;
  SockAddr at;
  IpAddress loopback = ip_loopback(family);
  make_sockaddr(&at, &loopback, 0);
  SockAddr bound;
  if (socket_bind(s, at) < 0 || socket_local_address(s, &bound) < 0) {
    socket_close(s);
    return kNoSocket;
  }
  if (address) *address = bound;
  return s;
}

int wake_socket_signal(sock_t s, const SockAddr& address) { return datagram_send(s, "1", 1, address); }

void wake_socket_drain(sock_t s) {
  char buffer[128];
  socket_recvfrom(s, buffer, sizeof buffer, nullptr);
}
