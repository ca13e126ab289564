// BSD sockets, with poll() as the poller.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <vector>

#include "service/net/socket.h"

namespace {

int os_family(int family) {
  if (family == kFamilyIPv4) return AF_INET;
  if (family == kFamilyIPv6) return AF_INET6;
  return -1;
}

int to_os(const SockAddr& sa, sockaddr_storage* out, socklen_t* len) {
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
  errno = EAFNOSUPPORT;
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

int fd(sock_t s) { return s < 0 || s > INT_MAX ? -1 : static_cast<int>(s); }

int clamp_size(size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

sock_t make_socket(int family, int type) {
  int af = os_family(family);
  if (af < 0) {
    errno = EAFNOSUPPORT;
    return kNoSocket;
  }
  // Close-on-exec: programs the service starts must not keep its ports.
  int s = ::socket(af, type | SOCK_CLOEXEC, 0);
  if (s < 0) return kNoSocket;
  if (af == AF_INET6) {
    int off = 0;
    setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  }
  return s;
}

}  // namespace

int net_startup() {
  // Descriptors 0 to 2 stay taken: a socket there would be mistaken for
  // "any socket" by the watch calls and written to by stray output.
  for (int want = 0; want <= 2; ++want) {
    if (fcntl(want, F_GETFD) != -1 || errno != EBADF) continue;
    int n = open("/dev/null", O_RDWR);
    if (n >= 0 && n != want) close(n);
  }
  return 0;
}

void net_cleanup() {}

sock_t udp_socket(int family) {
  sock_t s = make_socket(family, SOCK_DGRAM);
  if (s < 0 || family != kFamilyIPv6) return s;
  ipv6_mreq group{};
  inet_pton(AF_INET6, "ff02::1", &group.ipv6mr_multiaddr);
  group.ipv6mr_interface = 0;
  setsockopt(fd(s), IPPROTO_IPV6, IPV6_JOIN_GROUP, &group, sizeof group);
  return s;
}

sock_t tcp_socket(int family) { return make_socket(family, SOCK_STREAM); }

int tcp_connect(sock_t s, const SockAddr& to) {
  if (socket_set_nonblocking(s) < 0) return -1;
  sockaddr_storage sa;
  socklen_t len = 0;
  if (to_os(to, &sa, &len) < 0) return -1;
  return ::connect(fd(s), reinterpret_cast<sockaddr*>(&sa), len);
}

int socket_set_nonblocking(sock_t s) {
  int flags = fcntl(fd(s), F_GETFL, 0);
  if (flags < 0) return -1;
  if (flags & O_NONBLOCK) return 0;
  return fcntl(fd(s), F_SETFL, flags | O_NONBLOCK) < 0 ? -1 : 0;
}

int socket_set_reuse(sock_t s) {
  int on = 1;
  return setsockopt(fd(s), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0 ? -1 : 0;
}

int socket_set_buffers(sock_t s, int receive_bytes, int send_bytes) {
  int r = setsockopt(fd(s), SOL_SOCKET, SO_RCVBUF, &receive_bytes, sizeof receive_bytes);
  int w = setsockopt(fd(s), SOL_SOCKET, SO_SNDBUF, &send_bytes, sizeof send_bytes);
  return r < 0 || w < 0 ? -1 : 0;
}

int socket_bind(sock_t s, const SockAddr& at) {
  sockaddr_storage sa;
  socklen_t len = 0;
  if (to_os(at, &sa, &len) < 0) return -1;
  return ::bind(fd(s), reinterpret_cast<sockaddr*>(&sa), len) < 0 ? -1 : 0;
}

int socket_listen(sock_t s, int backlog) { return ::listen(fd(s), backlog) < 0 ? -1 : 0; }

sock_t socket_accept(sock_t s, SockAddr* peer) {
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  int c = ::accept4(fd(s), reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
  if (c < 0) return kNoSocket;
  if (peer) from_os(sa, peer);
  return c;
}

int socket_recv(sock_t s, void* data, size_t size) {
  ssize_t n = ::recv(fd(s), data, static_cast<size_t>(clamp_size(size)), 0);
  return n < 0 ? -1 : static_cast<int>(n);
}

int socket_send(sock_t s, const void* data, size_t size) {
  ssize_t n = ::send(fd(s), data, static_cast<size_t>(clamp_size(size)), MSG_NOSIGNAL);
  return n < 0 ? -1 : static_cast<int>(n);
}

int socket_sendto(sock_t s, const void* data, size_t size, const SockAddr& to) {
  sockaddr_storage sa;
  socklen_t len = 0;
  if (to_os(to, &sa, &len) < 0) return -1;
  ssize_t n = ::sendto(fd(s), data, static_cast<size_t>(clamp_size(size)), MSG_NOSIGNAL,
                       reinterpret_cast<sockaddr*>(&sa), len);
  return n < 0 ? -1 : static_cast<int>(n);
}

int socket_recvfrom(sock_t s, void* data, size_t size, SockAddr* from) {
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  ssize_t n = ::recvfrom(fd(s), data, static_cast<size_t>(clamp_size(size)), 0, reinterpret_cast<sockaddr*>(&sa), &len);
  if (n < 0) return -1;
  if (from) from_os(sa, from);
  return static_cast<int>(n);
}

int socket_local_address(sock_t s, SockAddr* out) {
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  if (getsockname(fd(s), reinterpret_cast<sockaddr*>(&sa), &len) < 0) return -1;
  if (out) from_os(sa, out);
  return 0;
}

int socket_pending_error(sock_t s) {
  int error = 0;
  socklen_t len = sizeof error;
  if (getsockopt(fd(s), SOL_SOCKET, SO_ERROR, &error, &len) < 0) return errno;
  return error;
}

int socket_close(sock_t s) {
  if (fd(s) < 0) return -1;
  return ::close(fd(s)) < 0 ? -1 : 0;
}

bool socket_would_block() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS; }
bool socket_interrupted() { return errno == EINTR; }
int socket_last_error() { return errno; }

int socket_poll(std::span<PollEntry> entries, int timeout_ms) {
  if (timeout_ms < 0) timeout_ms = 0;
  std::vector<pollfd> fds;
  fds.reserve(entries.size());
  for (PollEntry& e : entries) {
    e.ready = 0;
    pollfd p{};
    // A descriptor nobody wants anything from is left out: poll would
    // still report its errors and wake the loop for nothing.
    p.fd = e.want ? fd(e.socket) : -1;
    if (e.want & kReadable) p.events |= POLLIN;
    if (e.want & kWritable) p.events |= POLLOUT;
    if (e.want & kException) p.events |= POLLPRI;
    fds.push_back(p);
  }
  int n = ::poll(fds.data(), fds.size(), timeout_ms);
  if (n <= 0) return n < 0 ? -1 : 0;
  int ready = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    short r = fds[i].revents;
    PollEntry& e = entries[i];
    uint8_t bits = 0;
    if (r & POLLIN) bits |= kReadable;
    if (r & POLLOUT) bits |= kWritable;
    if (r & POLLPRI) bits |= kException;
    // Errors, hang-up and a stale descriptor: the owner finds out by its
    // next call, whichever direction it waits for.
    if (r & (POLLERR | POLLHUP | POLLNVAL)) bits |= e.want;
    e.ready = bits & e.want;
    if (e.ready) ++ready;
  }
  return ready;
}
