#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "service/web/http_socket.h"

int tcp_set_nodelay(sock_t s) {
  int on = 1;
  return setsockopt(static_cast<int>(s), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0 ? 0 : -1;
}

int tcp_shutdown_send(sock_t s) { return shutdown(static_cast<int>(s), SHUT_WR) == 0 ? 0 : -1; }
