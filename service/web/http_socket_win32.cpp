#include <winsock2.h>
#include <ws2tcpip.h>

#include "service/web/http_socket.h"

int tcp_set_nodelay(sock_t s) {
  BOOL on = TRUE;
  return setsockopt(static_cast<SOCKET>(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) == 0
             ? 0
             : -1;
}

int tcp_shutdown_send(sock_t s) { return shutdown(static_cast<SOCKET>(s), SD_SEND) == 0 ? 0 : -1; }
