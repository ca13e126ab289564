#include "service/web/web_gate.h"

#include <atomic>
#include <cstring>

#include "service/core/profile.h"
#include "service/core/text.h"
#include "service/net/netinfo.h"

namespace {

constexpr const char* kUserConfig = "user/config.inf";
constexpr int kHeaderCapacity = 256;
constexpr int kCredentialsCapacity = 256;
constexpr int kPasswordSlot = 64;
constexpr int kOwnAddressMax = 64;

// Set by tests while the loop thread runs.
std::atomic<bool (*)(const SockAddr&)> g_is_local{nullptr};
// The peer class of the last checked request; read by the device API.
std::atomic<bool> g_last_remote{false};

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool starts_nocase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equal_nocase(text.substr(0, prefix.size()), prefix);
}

bool peer_is_local(const SockAddr& peer) {
  auto classify = g_is_local.load();
  return classify ? classify(peer) : ip_is_loopback(peer.addr);
}

bool remote_access_on() {
  char value[8];
  if (profile_read_value(kUserConfig, "[master]", "remote_access", value) <= 0) return false;
  return parse_int(value) == 1;
}

// The password of an "Authorization: Basic" header, or false.
bool basic_password(std::string_view request, std::span<char> password) {
  char value[kCredentialsCapacity];
  if (gate_header(request, "Authorization", value) <= 0) return false;
  std::string_view v(value);
  if (!starts_nocase(v, "Basic ")) return false;
  v.remove_prefix(6);
  while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
  while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
  char decoded[kCredentialsCapacity];
  int n = base64_decode(v, std::span<char>(decoded, sizeof decoded - 1));
  if (n <= 0) return false;
  std::string_view pair(decoded, static_cast<size_t>(n));
  size_t colon = pair.find(':');
  if (colon == std::string_view::npos) return false;
  return copy_cut(password, pair.substr(colon + 1)) == static_cast<int>(pair.size() - colon - 1);
}

int remote_gate(std::string_view request) {
  if (!remote_access_on()) return kGateForbidden;
  char expected[kPasswordSlot];
  // Without a password, remote access would be open to everyone.
  if (profile_read_value(kUserConfig, "[passwd]", "pass1", expected) <= 0) return kGateForbidden;
  char given[kPasswordSlot + 1];
  if (!basic_password(request, given)) return kGateUnauthorized;
  return password_equal(given, expected) ? kGateServe : kGateUnauthorized;
}

// Host or Origin authority split into name and port ("" when absent);
// false for text that is no authority.
bool split_authority(std::string_view text, std::string_view* name, std::string_view* port) {
  *port = {};
  if (text.empty()) return false;
  std::string_view rest;
  if (text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string_view::npos) return false;
    *name = text.substr(1, close - 1);
    rest = text.substr(close + 1);
  } else {
    size_t colon = text.find(':');
    if (colon != std::string_view::npos && text.find(':', colon + 1) != std::string_view::npos) return false;
    *name = text.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : text.substr(colon);
  }
  if (name->empty()) return false;
  if (rest.empty()) return true;
  if (rest[0] != ':' || rest.size() < 2 || rest.size() > 6) return false;
  for (char c : rest.substr(1)) {
    if (c < '0' || c > '9') return false;
  }
  *port = rest.substr(1);
  return true;
}

bool is_own_address(const IpAddress& addr) {
  IpAddress own[kOwnAddressMax];
  int count = local_addresses(own, kOwnAddressMax);
  for (int i = 0; i < count; ++i) {
    if (own[i].ipv4 == addr.ipv4 && std::memcmp(own[i].ipv6, addr.ipv6, 16) == 0) return true;
    // An IPv4 address also reaches us in its mapped form.
    if (own[i].ipv4 && ip_is_v4_mapped(addr)) {
      uint32_t v4;
      std::memcpy(&v4, addr.ipv6 + 12, 4);
      if (v4 == own[i].ipv4) return true;
    }
  }
  return false;
}

bool name_is_this_machine(std::string_view name) {
  if (equal_nocase(name, "localhost") || equal_nocase(name, "localhost.")) return true;
  IpAddress addr;
  if (ip_parse(name, &addr) > 0) return ip_is_loopback(addr) || is_own_address(addr);
  char host[256];
  if (local_host_name(host) <= 0) return false;
  std::string_view own(host);
  return equal_nocase(name, own) || (name.size() == own.size() + 1 && name.back() == '.' && equal_nocase(name.substr(0, own.size()), own));
}

bool origin_allowed(std::string_view origin, std::string_view host, int port) {
  if (!starts_nocase(origin, "http://")) return false;
  std::string_view authority = origin.substr(7);
  if (!host.empty() && equal_nocase(authority, host)) return true;
  std::string_view name, port_text;
  if (!split_authority(authority, &name, &port_text)) return false;
  int origin_port = port_text.empty() ? 80 : parse_int(std::string(port_text).c_str());
  return port > 0 && origin_port == port && name_is_this_machine(name);
}

}  // namespace

void gate_set_peer_classifier(bool (*is_local)(const SockAddr& peer)) { g_is_local.store(is_local); }

bool ip_is_loopback(const IpAddress& addr) {
  if (addr.ipv4) {
    uint8_t first;
    std::memcpy(&first, &addr.ipv4, 1);
    return first == 127;
  }
  if (ip_is_v4_mapped(addr)) return addr.ipv6[12] == 127;
  static const uint8_t kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return std::memcmp(addr.ipv6, kLoopback6, 16) == 0;
}

int gate_header(std::string_view request, std::string_view name, std::span<char> out) {
  if (!out.empty()) out[0] = '\0';
  size_t pos = request.find('\n');
  while (pos != std::string_view::npos && pos + 1 < request.size()) {
    size_t start = pos + 1;
    size_t nl = request.find('\n', start);
    std::string_view line = request.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) return -1;  // end of the head
    if (line.size() > name.size() && line[name.size()] == ':' && equal_nocase(line.substr(0, name.size()), name)) {
      std::string_view value = line.substr(name.size() + 1);
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
      while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
      if (value.size() + 1 > out.size() || value.find('\0') != std::string_view::npos) return -2;
      return copy_cut(out, value);
    }
    pos = nl;
  }
  return -1;
}

bool gate_host_allowed(std::string_view host) {
  std::string_view name, port;
  if (!split_authority(host, &name, &port)) return false;
  return name_is_this_machine(name);
}

bool gate_last_request_remote() { return g_last_remote.load(); }

int gate_check_request(std::string_view request, const SockAddr& peer, int /*port*/) {
  const bool local = peer_is_local(peer);
  g_last_remote.store(!local);
  if (!local) {
    int remote = remote_gate(request);
    if (remote != kGateServe) return remote;
  }
  char host[kHeaderCapacity];
  if (gate_header(request, "Host", host) <= 0) return kGateForbidden;
  return gate_host_allowed(host) ? kGateServe : kGateForbidden;
}

int gate_check_same_origin(std::string_view request, int port) {
  char value[kHeaderCapacity];
  int site = gate_header(request, "Sec-Fetch-Site", value);
  if (site == -2) return kGateForbidden;
  if (site >= 0 && (equal_nocase(value, "cross-site") || equal_nocase(value, "same-site"))) return kGateForbidden;
  int origin = gate_header(request, "Origin", value);
  if (origin == -1) return kGateServe;
  // Too long to be one of ours.
  if (origin < 0) return kGateForbidden;
  char host[kHeaderCapacity];
  if (gate_header(request, "Host", host) < 0) host[0] = '\0';
  return origin_allowed(value, host, port) ? kGateServe : kGateForbidden;
}

bool password_equal(std::string_view a, std::string_view b) {
  constexpr size_t kSlot = kPasswordSlot - 1;
  if (a.size() > kSlot || b.size() > kSlot) return false;
  volatile unsigned diff = static_cast<unsigned>(a.size() ^ b.size());
  for (size_t i = 0; i < kSlot; ++i) {
    unsigned ca = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    unsigned cb = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    diff = diff | (ca ^ cb);
  }
  return diff == 0;
}

int base64_decode(std::string_view text, std::span<char> out) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  while (!text.empty() && text.back() == '=') text.remove_suffix(1);
  size_t n = 0;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    int v = value(c);
    if (v < 0) return -1;
    bits = bits << 6 | static_cast<uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      if (n >= out.size()) return -1;
      out[n++] = static_cast<char>(bits >> count & 0xFF);
    }
  }
  if (n >= out.size()) return -1;
  out[n] = '\0';
  return static_cast<int>(n);
}
