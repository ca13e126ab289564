// Name resolution: literals, hosts files, the cache and the DNS client.
//
// Queries defend themselves against forged answers: each one uses an
// unpredictable 16-bit id and its own socket on a random source port, and
// an answer counts only when it comes from a server the query was sent to
// and repeats the query's id and question. A predictable id would let
// anyone on the path plant addresses in the cache.
#include "service/net/resolve.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "service/core/clock.h"
#include "service/core/file_util.h"
#include "service/core/profile.h"
#include "service/core/text.h"
#include "service/net/netinfo.h"

namespace {

constexpr const char* kNowanMarker = "/tmp/nowan";
constexpr const char* kLocalHosts = "hosts";
constexpr const char* kBuiltinIPv4 = "223.5.5.5\n119.29.29.29\n8.8.8.8\n";
constexpr const char* kBuiltinIPv6 = "2001:4860:4860::8888\n2400:3200::1\n2001:4860:4860::8844\n2400:3200:baba::1\n";
// Hosts files beyond this are not read (block lists reach a few MB).
constexpr int kMaxHostsBytes = 16 << 20;
// How long a cached answer counts as fresh. A stale entry is still served,
// but it starts a refresh in the background, so an address that moves is
// followed without waiting for a restart and a DNS outage costs nothing.
constexpr uint32_t kMinFreshSeconds = 300;
constexpr uint32_t kMaxFreshSeconds = 86400;
// Attempts at a random source port before the system picks one.
constexpr int kPortAttempts = 8;
constexpr int kDatagramsPerWake = 8;

bool is_none(const IpAddress& a) {
  if (a.ipv4) return false;
  for (uint8_t b : a.ipv6) {
    if (b) return false;
  }
  return true;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_folded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// ---- cache ----------------------------------------------------------------

struct CacheEntry {
  char name[kDnsMaxName + 1] = {};
  IpAddress addr;
  bool expires = false;  // false: stored by hand, fresh for ever
  uint32_t stored = 0;   // tick
  uint32_t fresh_ms = 0;
};

struct Cache {
  std::mutex lock;
  CacheEntry entries[kDnsCacheEntries];
  int used = 0;  // filled from the first entry on
};

// Built on first use; the language makes that initialisation thread-safe.
Cache& cache() {
  static Cache c;
  return c;
}

bool entry_stale(const CacheEntry& e, uint32_t now) { return e.expires && now - e.stored >= e.fresh_ms; }

// 1 found (fresh), 2 found but stale, 0 absent.
int cache_find(std::string_view name, IpAddress* out) {
  Cache& c = cache();
  std::lock_guard<std::mutex> hold(c.lock);
  for (int i = 0; i < c.used; ++i) {
    const CacheEntry& e = c.entries[i];
    if (name != e.name) continue;
    *out = e.addr;
    return entry_stale(e, tick_ms()) ? 2 : 1;
  }
  return 0;
}

int cache_put(std::string_view name, const IpAddress& addr, bool expires, uint32_t fresh_seconds) {
  if (name.empty() || name.size() > static_cast<size_t>(kDnsMaxName)) return -1;
  Cache& c = cache();
  std::lock_guard<std::mutex> hold(c.lock);
  uint32_t now = tick_ms();
  CacheEntry* slot = nullptr;
  for (int i = 0; i < c.used && !slot; ++i) {
    if (name == c.entries[i].name) slot = &c.entries[i];
  }
  if (!slot && c.used < kDnsCacheEntries) slot = &c.entries[c.used++];
  // A full cache makes room only from entries that are stale anyway.
  for (int i = 0; i < c.used && !slot; ++i) {
    if (entry_stale(c.entries[i], now)) slot = &c.entries[i];
  }
  if (!slot) return -1;
  *slot = CacheEntry{};
  std::memcpy(slot->name, name.data(), name.size());
  slot->addr = addr;
  slot->expires = expires;
  slot->stored = now;
  slot->fresh_ms = fresh_seconds * 1000;
  return 0;
}

// ---- hosts files ----------------------------------------------------------

// 1 with *out when a line of the file names the host ("any" and "*" name
// every host); 0 when none does or the file cannot be read.
int hosts_find(const char* path, std::string_view name, IpAddress* out) {
  int size = profile_section_size(path, "");
  if (size <= 0 || size > kMaxHostsBytes) return 0;
  std::string text(static_cast<size_t>(size) + 2, '\0');
  int n = profile_section_text(path, "", text);
  if (n <= 0 || static_cast<size_t>(n) >= text.size()) return 0;
  text.resize(static_cast<size_t>(n));
  std::string_view rest = text;
  while (!rest.empty()) {
    size_t nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view{} : rest.substr(nl + 1);
    if (line.empty() || line[0] == '#') continue;
    SplitList fields = text_split(line, ' ');
    if (fields.count() < 2) continue;
    const std::string& host = fields.items[1];
    // Host names are case-insensitive, as the system resolvers treat them.
    if (!equal_folded(host, name) && host != "any" && host != "*") continue;
    // Anything but an address (0.0.0.0 included) gives "none": the name is
    // known and leads nowhere.
    ip_parse(fields.items[0], out);
    return 1;
  }
  return 0;
}

// ---- process-wide state ---------------------------------------------------

bool default_usable(int family) { return has_usable_address(family); }

int default_adapter_dns(int family, IpAddress* out) {
  char text[64];
  if (interface_info(family, "dns", text) <= 0) return 0;
  return ip_parse(text, out) > 0 ? 1 : 0;
}

const DnsNetwork kSystemNetwork{default_usable, default_adapter_dns};

struct Query;

enum class Gate { Unset, Counting, Open };

struct State {
  bool network_seen = false;
  bool answered = false;  // some query has succeeded
  Gate gate = Gate::Unset;
  uint32_t gate_tick = 0;
  bool retry_set = false;
  uint32_t retry_after = 0;
  std::vector<Query*> pending;  // event thread only
};

State g;
const DnsNetwork* g_network = &kSystemNetwork;
DnsServerFill g_fill = nullptr;
std::string g_nowan_override;
bool g_nowan_overridden = false;
std::string g_hosts_override;
bool g_hosts_overridden = false;

const char* nowan_marker() { return g_nowan_overridden ? g_nowan_override.c_str() : kNowanMarker; }
const char* system_hosts() { return g_hosts_overridden ? g_hosts_override.c_str() : dns_system_hosts_path(); }

uint16_t random16() {
  uint8_t b[2];
  if (dns_random_bytes(b) != 0) {
    std::random_device rd;
    return static_cast<uint16_t>(rd());
  }
  return static_cast<uint16_t>(b[0] << 8 | b[1]);
}

// Whether the back-off still lets queries go out, while none has ever
// succeeded: free for the first 120 s, then not within 120 s of a failure.
bool backoff_blocks(uint32_t now) {
  if (g.answered) return false;
  if (g.gate == Gate::Unset) {
    g.gate = Gate::Counting;
    g.gate_tick = now + kDnsBackoffMs;
  }
  if (g.gate == Gate::Counting && tick_diff(now, g.gate_tick) >= 0) g.gate = Gate::Open;
  return g.gate == Gate::Open && g.retry_set && tick_diff(g.retry_after, now) > 0;
}

// The cycle timer's question: may another cycle go out?
bool backoff_allows_cycle(uint32_t now) {
  return g.answered || g.gate != Gate::Open || !g.retry_set || tick_diff(now, g.retry_after) >= 0;
}

// A name worth asking a server about: not too long, printable, encodable.
bool queryable(std::string_view name) {
  if (name.empty() || name.size() > static_cast<size_t>(kDnsMaxName)) return false;
  for (char c : name) {
    auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F) return false;
  }
  uint8_t wire[256];
  return dns_encode_name(wire, name) > 0;
}

// ---- queries --------------------------------------------------------------

struct Query : Handler {
  char name[kDnsMaxName + 1] = {};
  int family = kFamilyIPv4;
  SockAddr servers[kDnsMaxServers];
  int server_count = 0;
  int next_server = 0;
  sock_t socket = kNoSocket;
  uint16_t id = 0;
  int cycles = 0;
};

void query_handler(Handler* self, uint32_t id, int64_t a, int64_t b);

bool same_endpoint(const SockAddr& from, const SockAddr& server) {
  if (from.port != server.port) return false;
  // On a dual-stack socket an IPv4 server answers in mapped form.
  IpAddress f = from.addr;
  if (!f.ipv4 && ip_is_v4_mapped(f)) std::memcpy(&f.ipv4, f.ipv6 + 12, 4);
  IpAddress s = server.addr;
  if (!s.ipv4 && ip_is_v4_mapped(s)) std::memcpy(&s.ipv4, s.ipv6 + 12, 4);
  if (f.ipv4 || s.ipv4) return f.ipv4 == s.ipv4;
  return std::memcmp(f.ipv6, s.ipv6, 16) == 0;
}

int fill_servers(Query* q) {
  for (SockAddr& s : q->servers) s = SockAddr{};
  if (g_fill) {
    int n = g_fill(q->family, q->servers);
    return n < 0 ? 0 : (n > kDnsMaxServers ? kDnsMaxServers : n);
  }
  IpAddress list[kDnsMaxServers];
  int n = dns_servers(q->family, list);
  for (int i = 0; i < n; ++i) make_sockaddr(&q->servers[i], &list[i], kDnsPort);
  return n;
}

// A fresh socket on a random port: an attacker must guess the port as well
// as the id. Should no random port be free, the system chooses one.
sock_t open_query_socket(int family) {
  sock_t s = udp_socket(family);
  if (s < 0) return s;
  SockAddr at;
  at.family = family;
  for (int i = 0; i < kPortAttempts; ++i) {
    at.port = static_cast<uint16_t>(1024 + random16() % (65536 - 1024));
    if (socket_bind(s, at) == 0) return s;
  }
  at.port = 0;
  if (socket_bind(s, at) == 0) return s;
  socket_close(s);
  return kNoSocket;
}

void send_cycle(Query* q) {
  uint8_t packet[kDnsMaxPacket];
  int n = dns_build_query(packet, q->id, q->name, q->family);
  ++q->cycles;
  if (n < 0 || q->server_count == 0) return;
  // A list shorter than a cycle is not asked twice in the same cycle.
  int sends = q->server_count < kDnsServersPerCycle ? q->server_count : kDnsServersPerCycle;
  for (int i = 0; i < sends; ++i) {
    if (q->next_server >= q->server_count) q->next_server = 0;
    datagram_send(q->socket, packet, static_cast<size_t>(n), q->servers[q->next_server]);
    ++q->next_server;
  }
}

void stop(Query* q) {
  fmessage_timer(q, 0, 0);
  if (q->socket != kNoSocket) {
    fmessage_socket(q, 0, q->socket, 0);
    socket_close(q->socket);
    q->socket = kNoSocket;
  }
}

void finish(Query* q, bool success);

void start(Query* q) {
  q->server_count = fill_servers(q);
  q->next_server = 0;
  q->socket = q->server_count > 0 ? open_query_socket(q->family) : kNoSocket;
  if (q->socket == kNoSocket) {
    finish(q, false);
    return;
  }
  fmessage_socket(q, kDnsSocketId, q->socket, kWatchRead);
  fmessage_timer(q, kDnsCycleTimer, kDnsCycleMs);
  q->id = random16();
  q->cycles = 0;
  send_cycle(q);
}

void release(Query* q) {
  std::erase(g.pending, q);
  delete q;
}

void finish(Query* q, bool success) {
  stop(q);
  if (!success && q->family == kFamilyIPv6) {
    q->family = kFamilyIPv4;
    start(q);
    return;
  }
  if (!g.answered) {
    if (success) {
      g.answered = true;
    } else {
      g.retry_set = true;
      g.retry_after = tick_ms() + kDnsBackoffMs;
    }
  }
  fmessage_unregister(q);
  release(q);
}

void on_start_timer(Query* q) {
  if (!g.network_seen) {
    if (!g_network->usable(kFamilyIPv4) && !g_network->usable(kFamilyIPv6)) return;
    g.network_seen = true;
  }
  fmessage_timer(q, kDnsStartTimer, 0);
  if (q->family == kFamilyIPv6 && !g_network->usable(kFamilyIPv6)) q->family = kFamilyIPv4;
  start(q);
}

void on_readable(Query* q) {
  for (int i = 0; i < kDatagramsPerWake && q->socket != kNoSocket; ++i) {
    uint8_t packet[kDnsMaxPacket];
    SockAddr from;
    int n = socket_recvfrom(q->socket, packet, sizeof packet, &from);
    if (n < 0) return;
    if (n == 0) continue;
    std::span<const uint8_t> data(packet, static_cast<size_t>(n));
    bool known = false;
    for (int s = 0; s < q->server_count && !known; ++s) known = same_endpoint(from, q->servers[s]);
    if (!known || !dns_answer_matches(data, q->id, q->name, q->family)) continue;
    IpAddress addr;
    uint32_t ttl = 0;
    int found = dns_parse_answer(q->family, data, &addr, &ttl);
    if (found) {
      uint32_t fresh = ttl < kMinFreshSeconds ? kMinFreshSeconds : (ttl > kMaxFreshSeconds ? kMaxFreshSeconds : ttl);
      cache_put(q->name, addr, true, fresh);
      fmessage_post(nullptr, XF_BROADCAST, 0, 0);
    }
    finish(q, found == 1);
    return;
  }
}

void on_cycle_timer(Query* q) {
  if (q->cycles < kDnsCycles && backoff_allows_cycle(tick_ms())) {
    send_cycle(q);
    return;
  }
  finish(q, false);
}

void query_handler(Handler* self, uint32_t id, int64_t a, int64_t b) {
  auto* q = static_cast<Query*>(self);
  if (id == kDnsStartTimer) {
    on_start_timer(q);
  } else if (id == kDnsSocketId) {
    if (b == kWatchRead && a == q->socket) on_readable(q);
  } else if (id == kDnsCycleTimer) {
    on_cycle_timer(q);
  } else if (id == XF_QUIT) {
    stop(q);
    release(q);
  }
}

bool is_pending(std::string_view name) {
  for (const Query* q : g.pending) {
    if (name == q->name) return true;
  }
  return false;
}

// Starts a query unless the marker, the back-off or a running query for
// the name stands in the way.
void maybe_query(std::string_view name) {
  if (fmessage_state() != 1 || !queryable(name)) return;
  if (path_kind(nowan_marker()) != 0) return;
  if (backoff_blocks(tick_ms())) return;
  if (is_pending(name)) return;
  auto* q = new Query;
  q->handler = query_handler;
  std::memcpy(q->name, name.data(), name.size());
  q->family = fmessage_family();
  if (fmessage_register(q, 0) != 0) {
    delete q;
    return;
  }
  g.pending.push_back(q);
  if (g.network_seen) {
    fmessage_post(q, kDnsStartTimer, 0, 0);
  } else {
    fmessage_timer(q, kDnsStartTimer, kDnsNetworkWaitMs);
  }
}

// 1 literal or hosts, 2 fresh cache, 3 stale cache, 0 unknown.
int lookup(std::string_view name, IpAddress* out) {
  *out = IpAddress{};
  if (name.empty()) return 0;
  if (address_family(name) != 0) {
    ip_parse(name, out);
    return 1;
  }
  if (hosts_find(kLocalHosts, name, out) || hosts_find(system_hosts(), name, out)) return 1;
  int found = cache_find(name, out);
  if (found == 1) return 2;
  if (found == 2) return 3;
  *out = IpAddress{};
  return 0;
}

int parse_server_list(const char* text, IpAddress* out, int count) {
  SplitList lines = text_split(text, '\n');
  for (const std::string& line : lines.items) {
    if (count >= kDnsMaxServers) break;
    IpAddress a;
    if (ip_parse(line, &a) < 0) continue;
    bool seen = false;
    for (int i = 0; i < count && !seen; ++i) seen = std::memcmp(&out[i], &a, sizeof a) == 0;
    if (!seen) out[count++] = a;
  }
  return count;
}

}  // namespace

int dns_lookup(std::string_view name, IpAddress* out) {
  if (!out) return 0;
  return lookup(name, out) ? 1 : 0;
}

int dns_resolve(std::string_view name, IpAddress* out) {
  if (!out) return 0;
  int found = lookup(name, out);
  if (found == 3) maybe_query(name);
  if (found) return 1;
  maybe_query(name);
  return 0;
}

int dns_cache_store(std::string_view name, const IpAddress& addr) { return cache_put(name, addr, false, 0); }

int dns_servers(int family, IpAddress out[kDnsMaxServers]) {
  for (int i = 0; i < kDnsMaxServers; ++i) out[i] = IpAddress{};
  int count = 0;
  IpAddress adapter;
  if (g_network->adapter_dns(family, &adapter) == 1 && !is_none(adapter)) {
    bool right_family = family == kFamilyIPv6 ? adapter.ipv4 == 0 : adapter.ipv4 != 0;
    if (right_family) out[count++] = adapter;
  }
  return parse_server_list(family == kFamilyIPv6 ? kBuiltinIPv6 : kBuiltinIPv4, out, count);
}

void dns_override_network(const DnsNetwork* network) { g_network = network ? network : &kSystemNetwork; }

void dns_override_servers(DnsServerFill fill) { g_fill = fill; }

void dns_override_paths(const char* nowan_marker, const char* system_hosts) {
  g_nowan_overridden = nowan_marker != nullptr;
  g_nowan_override = nowan_marker ? nowan_marker : "";
  g_hosts_overridden = system_hosts != nullptr;
  g_hosts_override = system_hosts ? system_hosts : "";
}

void dns_reset() {
  {
    Cache& c = cache();
    std::lock_guard<std::mutex> hold(c.lock);
    for (CacheEntry& e : c.entries) e = CacheEntry{};
    c.used = 0;
  }
  for (Query* q : g.pending) {
    stop(q);
    fmessage_unregister(q);
    delete q;
  }
  g = State{};
}

int dns_pending_count() { return static_cast<int>(g.pending.size()); }
