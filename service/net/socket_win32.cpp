// Winsock 2, with select() as the poller.
// The descriptor sets hold 1024 sockets instead of Winsock's default 64; the
// size must be set before the first Winsock header.
#define FD_SETSIZE 1024
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <climits>
#include <cstring>

#include "service/net/socket.h"

namespace {

static_assert(FD_SETSIZE >= kPollSetLimit, "descriptor sets smaller than the poll limit");

int os_family(int family) {
  if (family == kFamilyIPv4) return AF_INET;
  if (family == kFamilyIPv6) return AF_INET6;
  return -1;
}

SOCKET os(sock_t s) { return static_cast<SOCKET>(s); }

int to_os(const SockAddr& sa, sockaddr_storage* out, int* len) {
  std::memset(out, 0, sizeof *out);
  if (sa.family == kFamilyIPv4) {
    auto* in = reinterpret_cast<sockaddr_in*>(out);
    in->sin_family = AF_INET;
    in->sin_port = htons(sa.port);
    std::memcpy(&in->sin_addr, &sa.addr.ipv4, 4);
    *len = sizeof(sockaddr_in);
    return 0;
  }
  if (sa.family == kFamilyIPv6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(out);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(sa.port);
    std::memcpy(&in6->sin6_addr, sa.addr.ipv6, 16);
    in6->sin6_scope_id = sa.scope_id;
    *len = sizeof(sockaddr_in6);
    return 0;
  }
  WSASetLastError(WSAEAFNOSUPPORT);
  return -1;
}

void from_os(const sockaddr_storage& in, SockAddr* out) {
  *out = SockAddr{};
  if (in.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&in);
    out->family = kFamilyIPv4;
    out->port = ntohs(v4->sin_port);
    std::memcpy(&out->addr.ipv4, &v4->sin_addr, 4);
  } else if (in.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&in);
    out->family = kFamilyIPv6;
    out->port = ntohs(v6->sin6_port);
    std::memcpy(out->addr.ipv6, &v6->sin6_addr, 16);
    out->scope_id = v6->sin6_scope_id;
  }
}

int clamp_size(size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

// Sockets are inheritable by default; programs the service starts must not
// keep its ports.
void no_inherit(SOCKET s) { SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0); }

sock_t make_socket(int family, int type, int protocol) {
  int af = os_family(family);
  if (af < 0) {
    WSASetLastError(WSAEAFNOSUPPORT);
    return kNoSocket;
  }
  SOCKET s = ::socket(af, type, protocol);
  if (s == INVALID_SOCKET) return kNoSocket;
  no_inherit(s);
  if (af == AF_INET6) {
    DWORD off = 0;
    setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off), sizeof off);
  }
  return static_cast<sock_t>(s);
}

bool is_socket(SOCKET s) {
  int type = 0;
  int len = sizeof type;
  return getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &len) == 0 ||
         WSAGetLastError() != WSAENOTSOCK;
}

// A datagram longer than the buffer: Winsock fills the buffer and reports
// an error; BSD sockets cut it silently. The service takes the BSD view.
bool truncated_datagram() { return WSAGetLastError() == WSAEMSGSIZE; }

void set_add(fd_set* set, SOCKET s) {
  if (set->fd_count < FD_SETSIZE) set->fd_array[set->fd_count++] = s;
}

}  // namespace

int net_startup() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 0), &data) == 0 ? 0 : -1;
}

void net_cleanup() { WSACleanup(); }

sock_t udp_socket(int family) {
  sock_t s = make_socket(family, SOCK_DGRAM, IPPROTO_UDP);
  if (s < 0 || family != kFamilyIPv6) return s;
  ipv6_mreq group{};
  group.ipv6mr_multiaddr.s6_addr[0] = 0xff;
  group.ipv6mr_multiaddr.s6_addr[1] = 0x02;
  group.ipv6mr_multiaddr.s6_addr[15] = 0x01;
  group.ipv6mr_interface = 0;
  setsockopt(os(s), IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&group), sizeof group);
  return s;
}

sock_t tcp_socket(int family) { return make_socket(family, SOCK_STREAM, IPPROTO_TCP); }

int tcp_connect(sock_t s, const SockAddr& to) {
  if (socket_set_nonblocking(s) < 0) return -1;
  sockaddr_storage sa;
  int len = 0;
  if (to_os(to, &sa, &len) < 0) return -1;
  return ::connect(os(s), reinterpret_cast<sockaddr*>(&sa), len) == SOCKET_ERROR ? -1 : 0;
}

int socket_set_nonblocking(sock_t s) {
  u_long on = 1;
  return ioctlsocket(os(s), FIONBIO, &on) == SOCKET_ERROR ? -1 : 0;
}

int socket_set_reuse(sock_t) {
  // Nothing to do: Winsock lets a new listener bind a port whose old
  // connections linger in TIME_WAIT by default, while its SO_REUSEADDR would
  // let a second server take a port in use, and SO_EXCLUSIVEADDRUSE would
  // block the rebind until those old connections have gone.
  return 0;
}

int socket_set_buffers(sock_t s, int receive_bytes, int send_bytes) {
  int r = setsockopt(os(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receive_bytes), sizeof receive_bytes);
  int w = setsockopt(os(s), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&send_bytes), sizeof send_bytes);
  return r == SOCKET_ERROR || w == SOCKET_ERROR ? -1 : 0;
}

int socket_bind(sock_t s, const SockAddr& at) {
  sockaddr_storage sa;
  int len = 0;
  if (to_os(at, &sa, &len) < 0) return -1;
  return ::bind(os(s), reinterpret_cast<sockaddr*>(&sa), len) == SOCKET_ERROR ? -1 : 0;
}

int socket_listen(sock_t s, int backlog) { return ::listen(os(s), backlog) == SOCKET_ERROR ? -1 : 0; }

sock_t socket_accept(sock_t s, SockAddr* peer) {
  sockaddr_storage sa{};
  int len = sizeof sa;
  SOCKET c = ::accept(os(s), reinterpret_cast<sockaddr*>(&sa), &len);
  if (c == INVALID_SOCKET) return kNoSocket;
  no_inherit(c);
  if (peer) from_os(sa, peer);
  return static_cast<sock_t>(c);
}

int socket_recv(sock_t s, void* data, size_t size) {
  int n = ::recv(os(s), static_cast<char*>(data), clamp_size(size), 0);
  if (n == SOCKET_ERROR) return truncated_datagram() ? clamp_size(size) : -1;
  return n;
}

int socket_send(sock_t s, const void* data, size_t size) {
  int n = ::send(os(s), static_cast<const char*>(data), clamp_size(size), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

int socket_sendto(sock_t s, const void* data, size_t size, const SockAddr& to) {
  sockaddr_storage sa;
  int len = 0;
  if (to_os(to, &sa, &len) < 0) return -1;
  int n = ::sendto(os(s), static_cast<const char*>(data), clamp_size(size), 0, reinterpret_cast<sockaddr*>(&sa), len);
  return n == SOCKET_ERROR ? -1 : n;
}

int socket_recvfrom(sock_t s, void* data, size_t size, SockAddr* from) {
  sockaddr_storage sa{};
  int len = sizeof sa;
  int n = ::recvfrom(os(s), static_cast<char*>(data), clamp_size(size), 0, reinterpret_cast<sockaddr*>(&sa), &len);
  if (n == SOCKET_ERROR && truncated_datagram()) n = clamp_size(size);
  if (n == SOCKET_ERROR) return -1;
  if (from) from_os(sa, from);
  return n;
}

int socket_local_address(sock_t s, SockAddr* out) {
  sockaddr_storage sa{};
  int len = sizeof sa;
  if (getsockname(os(s), reinterpret_cast<sockaddr*>(&sa), &len) == SOCKET_ERROR) return -1;
  if (out) from_os(sa, out);
  return 0;
}

int socket_pending_error(sock_t s) {
  int error = 0;
  int len = sizeof error;
  if (getsockopt(os(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) == SOCKET_ERROR) {
    return WSAGetLastError();
  }
  return error;
}

int socket_close(sock_t s) {
  if (s < 0) return -1;
  return closesocket(os(s)) == SOCKET_ERROR ? -1 : 0;
}

bool socket_would_block() {
  int e = WSAGetLastError();
  return e == WSAEWOULDBLOCK || e == WSAEINPROGRESS;
}
bool socket_interrupted() { return WSAGetLastError() == WSAEINTR; }
int socket_last_error() { return WSAGetLastError(); }

int socket_poll(std::span<PollEntry> entries, int timeout_ms) {
  if (timeout_ms < 0) timeout_ms = 0;
  for (PollEntry& e : entries) e.ready = 0;
  // A descriptor Winsock no longer knows would fail the whole select and
  // starve every other socket: report it ready, as poll() does, and wait on
  // the rest.
  int stale = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    fd_set rd, wr, ex;
    rd.fd_count = wr.fd_count = ex.fd_count = 0;
    for (PollEntry& e : entries) {
      if (!e.want || e.ready || e.socket < 0) continue;
      SOCKET s = os(e.socket);
      if (e.want & kReadable) set_add(&rd, s);
      if (e.want & kWritable) set_add(&wr, s);
      // A failed connect shows in the exception set only.
      if (e.want & (kWritable | kException)) set_add(&ex, s);
    }
    if (rd.fd_count + wr.fd_count + ex.fd_count == 0) {
      if (stale) return stale;
      // Winsock's select refuses empty sets; nothing to watch is a plain wait.
      Sleep(static_cast<DWORD>(timeout_ms));
      return 0;
    }
    int wait = stale ? 0 : timeout_ms;
    timeval tv{wait / 1000, (wait % 1000) * 1000};
    int n = ::select(0, rd.fd_count ? &rd : nullptr, wr.fd_count ? &wr : nullptr, ex.fd_count ? &ex : nullptr, &tv);
    if (n == SOCKET_ERROR) {
      if (WSAGetLastError() != WSAENOTSOCK || attempt > 0) return stale ? stale : -1;
      for (PollEntry& e : entries) {
        if (e.want && e.socket >= 0 && !is_socket(os(e.socket))) {
          e.ready = e.want;
          ++stale;
        }
      }
      if (!stale) return -1;
      continue;
    }
    int ready = stale;
    for (PollEntry& e : entries) {
      if (!e.want || e.ready || e.socket < 0) continue;
      SOCKET s = os(e.socket);
      uint8_t bits = 0;
      if ((e.want & kReadable) && FD_ISSET(s, &rd)) bits |= kReadable;
      if ((e.want & kWritable) && FD_ISSET(s, &wr)) bits |= kWritable;
      if (FD_ISSET(s, &ex)) bits |= e.want & (kWritable | kException);
      e.ready = bits;
      if (bits) ++ready;
    }
    return ready;
  }
  return stale;
}
