// Sockets of the service: a small portable face over BSD sockets and
// Winsock. Results follow the house rule (count or 0, -1 on failure); after
// a failure socket_would_block / socket_interrupted tell the usual cases
// apart. Every call may be made from any thread, but the event loop's own
// sockets belong to the event thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

using sock_t = int64_t;  // a system socket; -1 when none
constexpr sock_t kNoSocket = -1;

// Portable address family values; the system files map them.
constexpr int kFamilyIPv4 = 2;
constexpr int kFamilyIPv6 = 23;

// An address record: the IPv4 address (network order, as it sits in the
// packet) and the IPv6 address side by side. A non-zero IPv4 part means
// IPv4; otherwise a non-zero IPv6 part means IPv6; all zero means "none".
struct IpAddress {
  uint32_t ipv4 = 0;
  uint8_t ipv6[16] = {};
};

// A socket address in portable form. For IPv6 the IPv4 part of addr stays
// zero, so addr always reads as the right kind of address record.
struct SockAddr {
  int family = 0;     // 0, kFamilyIPv4 or kFamilyIPv6
  uint16_t port = 0;  // host order
  IpAddress addr;
  uint32_t scope_id = 0;  // IPv6 interface index, 0 for none
};

// Length of the system's form of the address: 16 for IPv4, 28 for IPv6,
// 0 for none.
int sockaddr_len(const SockAddr& sa);

// Classifies a literal: 2 for digits with exactly three dots, 23 for hex
// digits with at least two colons and either no dot or exactly three dots
// after the last colon; 0 for anything else.
int address_family(std::string_view text);

// Fills sa from an address record and a port. When addr is sa.addr itself
// the address is kept and only the port changes; a port of 0 keeps the old
// port. Returns the resulting family (0 when the record is empty), -1 for
// a port outside 0..65535 (sa unchanged).
int make_sockaddr(SockAddr* sa, const IpAddress* addr, int port);

// ::ffff:a.b.c.d, the form an IPv4 peer has on a dual-stack socket.
bool ip_is_v4_mapped(const IpAddress& addr);
IpAddress ip_v4_mapped(uint32_t ipv4);
// The IPv4 loopback (127.0.0.1) and the IPv6 loopback (::1) as records.
IpAddress ip_loopback(int family);

// Parses a literal IPv4 or IPv6 address (no scope, no port). Returns its
// family (2 or 23) and fills *out, or -1 with *out cleared.
int ip_parse(std::string_view text, IpAddress* out);
// Writes the standard text form (an IPv4-mapped IPv6 address as dotted
// IPv4) into out, NUL-terminated and cut to fit; returns its length, -1
// when out is empty. An empty record gives "".
int ip_format(const IpAddress& addr, std::span<char> out);

// Start and release of the socket library (Winsock 2.0); counted, so each
// successful net_startup needs one net_cleanup.
int net_startup();
void net_cleanup();

// A UDP socket; for IPv6 it takes IPv4 as well (IPv6-only off) and joins
// the all-nodes multicast group ff02::1 on the default interface.
sock_t udp_socket(int family);
// A TCP socket; for IPv6 with IPv6-only off.
sock_t tcp_socket(int family);
// Non-blocking connect; normally fails with socket_would_block() true, and
// completion shows as writability (fmessage_socket, direction 2).
int tcp_connect(sock_t s, const SockAddr& to);

int socket_set_nonblocking(sock_t s);
// Lets a restarted server bind its port again at once, without letting a
// second server share a port that is in use.
int socket_set_reuse(sock_t s);
int socket_set_buffers(sock_t s, int receive_bytes, int send_bytes);
int socket_bind(sock_t s, const SockAddr& at);
int socket_listen(sock_t s, int backlog);
// Accepted socket or -1; *peer receives the peer's address when given.
sock_t socket_accept(sock_t s, SockAddr* peer);
// Bytes moved, 0 at end of stream (recv), -1 on failure. send never raises
// a signal when the peer has gone.
int socket_recv(sock_t s, void* data, size_t size);
int socket_send(sock_t s, const void* data, size_t size);
int socket_sendto(sock_t s, const void* data, size_t size, const SockAddr& to);
int socket_recvfrom(sock_t s, void* data, size_t size, SockAddr* from);
int socket_local_address(sock_t s, SockAddr* out);
// The socket's pending error (0 for none), clearing it: the outcome of a
// non-blocking connect.
int socket_pending_error(sock_t s);
int socket_close(sock_t s);

// The last socket failure of this thread was "would block" (or a connect
// in progress) / an interrupted call. socket_last_error gives the raw code.
bool socket_would_block();
bool socket_interrupted();
int socket_last_error();

// Readiness bits of the poller, as in the XF_SOCKET messages.
constexpr uint8_t kReadable = 1, kWritable = 2, kException = 4;
struct PollEntry {
  sock_t socket = kNoSocket;
  uint8_t want = 0;   // kReadable | kWritable | kException
  uint8_t ready = 0;  // filled by socket_poll, a subset of want
};
// Most sockets in one direction of one poll (the Windows descriptor sets).
constexpr size_t kPollSetLimit = 1024;
// Waits up to timeout_ms (>= 0) until an entry is ready; with no entries it
// simply waits. Returns the number of ready entries, 0 on time-out, -1 on
// failure. A failed connect shows as writable, an error or hang-up as
// ready in every wanted direction, so the owner learns of it by its next
// call on the socket.
int socket_poll(std::span<PollEntry> entries, int timeout_ms);

// Datagram send as every module does it: an IPv4 destination that the
// socket refuses is tried once more in its IPv4-mapped IPv6 form when the
// event loop runs IPv6. Returns bytes sent or -1.
int datagram_send(sock_t s, const void* data, size_t size, const SockAddr& to);

// The wake socket of the start-up: a UDP socket of the loop's family bound
// to that family's loopback address with a system-chosen port; *address
// receives the bound address. Returns the socket or -1.
sock_t wake_socket_create(SockAddr* address);
// Sends the one-byte datagram "1" to the wake socket (from any thread).
int wake_socket_signal(sock_t s, const SockAddr& address);
// Reads and discards one datagram of up to 128 bytes.
void wake_socket_drain(sock_t s);
