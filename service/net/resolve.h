// Name resolution that never blocks the event thread: literal addresses,
// the hosts files, a small cache and a DNS client whose queries are handler
// objects of the event loop. A caller that gets 0 tries again later; every
// successful answer is broadcast (XF_BROADCAST, a = b = 0) so that waiting
// clients retry at once.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "service/net/fmessage.h"
#include "service/net/socket.h"

constexpr int kDnsMaxServers = 8;
constexpr int kDnsCacheEntries = 16;
// Longest name the cache and the client take, in bytes.
constexpr int kDnsMaxName = 127;
constexpr uint16_t kDnsPort = 53;
// Largest datagram read; answers to our queries carry no EDNS, so they stay
// within 512 bytes.
constexpr int kDnsMaxPacket = 1024;
// Send cycles of one query, and the servers one cycle goes to.
constexpr int kDnsCycles = 3;
constexpr int kDnsServersPerCycle = 3;
constexpr uint32_t kDnsCycleMs = 6000;
constexpr uint32_t kDnsNetworkWaitMs = 1000;
constexpr uint32_t kDnsBackoffMs = 120000;

// Message ids of a query.
constexpr uint32_t kDnsStartTimer = XF_TIMER + 10;
constexpr uint32_t kDnsCycleTimer = XF_TIMER + 20;
constexpr uint32_t kDnsSocketId = XF_SOCKET + 10;

// DNS record types.
constexpr uint16_t kDnsTypeA = 1;
constexpr uint16_t kDnsTypeAAAA = 28;

// 1 with *out filled when the address is known at once (literal, hosts
// file, cache), else 0 with *out cleared; then a query may have started.
// Event thread only (queries are handlers of the loop).
int dns_resolve(std::string_view name, IpAddress* out);
// The immediate part of dns_resolve; never starts a query. 1 when found.
// Safe from any thread.
int dns_lookup(std::string_view name, IpAddress* out);
// Stores or replaces the cache entry of the name; it never goes stale.
// 0, or -1 when the name is too long or the cache is full.
int dns_cache_store(std::string_view name, const IpAddress& addr);

// Writes the name as length-prefixed labels ending with a zero byte (a
// final "." is allowed). Returns the bytes written, -1 for an empty label,
// a label over 63 bytes, a wire form over 255 bytes or too small a buffer.
int dns_encode_name(std::span<uint8_t> out, std::string_view name);
// Reads the name at offset, following compression pointers, into out as
// labels joined by "." (NUL-terminated; out must hold 256 bytes to take
// every name). Returns the bytes the name takes at offset, or -1 for a
// name that runs past the packet, loops, points forward or is too long.
int dns_decode_name(std::span<const uint8_t> packet, size_t offset, std::span<char> out);
// The first address of the family (A for IPv4, AAAA for IPv6) among the
// answer records of a response without error: 1 with *out (and *ttl, in
// seconds, when given), else 0 with *out cleared.
int dns_parse_answer(int family, std::span<const uint8_t> packet, IpAddress* out, uint32_t* ttl = nullptr);
// Builds the query packet (one question, recursion desired); its length or
// -1 when the name cannot be encoded or out is too small.
int dns_build_query(std::span<uint8_t> out, uint16_t id, std::string_view name, int family);
// 1 when the packet answers exactly this query: a response with the same id
// and one question of the same name (letters in any case), type and class.
int dns_answer_matches(std::span<const uint8_t> packet, uint16_t id, std::string_view name, int family);
// The server list of a family: the primary adapter's first DNS server, then
// the built-in public servers; at most kDnsMaxServers, the rest cleared.
// Returns the number of entries.
int dns_servers(int family, IpAddress out[kDnsMaxServers]);

// Seams for tests and diagnostics.
struct DnsNetwork {
  // The machine has a usable address of the family.
  bool (*usable)(int family);
  // The primary adapter's first DNS server of the family: 1 with *out.
  int (*adapter_dns)(int family, IpAddress* out);
};
// Replaces the view of the machine's network (nullptr restores it).
void dns_override_network(const DnsNetwork* network);
// Replaces the servers queries go to, ports included: fills out and
// returns the count (nullptr restores dns_servers on port 53). Tests point
// this at stand-ins on loopback.
using DnsServerFill = int (*)(int family, SockAddr out[kDnsMaxServers]);
void dns_override_servers(DnsServerFill fill);
// Replaces the marker whose presence stops all queries ("/tmp/nowan") and
// the system's hosts file; nullptr restores either.
void dns_override_paths(const char* nowan_marker, const char* system_hosts);
// Empties the cache and forgets the back-off and network state. Only while
// no query runs (after fmessage_shutdown).
void dns_reset();
// Names whose query is running.
int dns_pending_count();

// The system's own hosts file (one implementation per system).
const char* dns_system_hosts_path();
// Fills out with unpredictable bytes from the system. 0 or -1.
int dns_random_bytes(std::span<uint8_t> out);
