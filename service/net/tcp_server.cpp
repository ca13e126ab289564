#include "service/net/tcp_server.h"

#include <algorithm>
#include <cstdio>

#include "service/core/clock.h"

namespace {

void (*g_sleep)(uint32_t ms) = nullptr;
bool (*g_give_up)() = nullptr;

void pause_sleep(uint32_t ms) {
  if (g_sleep) {
    g_sleep(ms);
    return;
  }
  sleep_ms(ms);
}

void print_line(const char* format, int value) {
  std::printf(format, value);
  std::fflush(stdout);
}

// The backlog keeps clients waiting while the server is full; they are
// taken once the sweep has made room.
void pause_accepting(TcpServer* s) {
  s->paused = true;
  fmessage_socket(s, kTcpSocketId, s->listen_socket, kUnwatchRead);
}

void resume_accepting(TcpServer* s) {
  s->paused = false;
  fmessage_socket(s, kTcpSocketId, s->listen_socket, kWatchRead);
}

void close_socket(TcpServer* s, sock_t* socket) {
  if (*socket < 0) return;
  fmessage_socket(s, 0, *socket, 0);
  socket_close(*socket);
  *socket = kNoSocket;
}

void accept_one(TcpServer* s) {
  if (static_cast<int64_t>(s->connections.size()) >= s->params->max_connections) {
    pause_accepting(s);
    return;
  }
  SockAddr peer;
  sock_t socket = socket_accept(s->listen_socket, &peer);
  if (socket < 0) {
    // Out of descriptors or the like: the listener stays readable, so
    // waiting for the sweep is better than spinning on it.
    if (!socket_would_block() && !socket_interrupted()) pause_accepting(s);
    return;
  }
  if (fmessage_socket(s, kTcpSocketId, socket, kWatchRead) == 0) {
    socket_close(socket);
    return;
  }
  auto* c = new TcpConnection;
  c->server = s;
  c->socket = socket;
  c->peer = peer;
  c->last_activity = tick_ms();
  s->connections.insert(s->connections.begin(), c);
  if (s->params->on_accept) s->params->on_accept(c);
}

void read_aux(TcpConnection* c) {
  char text[kTcpAuxTextMax + 1];
  int n = socket_recv(c->aux_socket, text, kTcpAuxTextMax);
  if (n > 0) {
    text[n] = 0;
    if (c->server->params->on_aux_text) c->server->params->on_aux_text(c, text, n);
    return;
  }
  if (n < 0 && (socket_would_block() || socket_interrupted())) return;
  // End of stream or an error stays readable for ever; stop listening to
  // the socket instead of spinning on it. Its owner closes it.
  fmessage_socket(c->server, kTcpSocketId, c->aux_socket, kUnwatchRead);
}

void on_socket(TcpServer* s, sock_t socket, int64_t direction) {
  if (socket == s->listen_socket) {
    if (direction == kWatchRead) accept_one(s);
    return;
  }
  for (TcpConnection* c : s->connections) {
    if (c->socket >= 0 && c->socket == socket) {
      if (direction == kWatchRead && s->params->on_readable) s->params->on_readable(c);
      if (direction == kWatchWrite && s->params->on_writable) s->params->on_writable(c);
      return;
    }
    if (c->aux_socket >= 0 && c->aux_socket == socket) {
      if (direction == kWatchRead) read_aux(c);
      return;
    }
  }
}

void sweep(TcpServer* s) {
  uint32_t now = tick_ms();
  // Copy: closing posts only, but on_close may do anything.
  std::vector<TcpConnection*> all = s->connections;
  for (TcpConnection* c : all) {
    if (c->socket < 0) continue;
    if (c->busy) {
      c->last_activity = now;
      continue;
    }
    int seconds = std::clamp(c->idle_timeout, 0, 2000000);
    if (tick_diff(now, c->last_activity + static_cast<uint32_t>(seconds) * 1000u) > 0) tcp_connection_close(c);
  }
  std::vector<TcpConnection*> closed;
  std::erase_if(s->connections, [&](TcpConnection* c) {
    if (c->socket >= 0) return false;
    closed.push_back(c);
    return true;
  });
  for (TcpConnection* c : closed) {
    close_socket(s, &c->aux_socket);
    if (s->params->on_close) s->params->on_close(c);
    delete c;
  }
  if (s->paused && static_cast<int64_t>(s->connections.size()) < s->params->max_connections) resume_accepting(s);
}

void server_handler(Handler* self, uint32_t id, int64_t a, int64_t b) {
  auto* s = static_cast<TcpServer*>(self);
  if (id == kTcpSocketId) {
    on_socket(s, a, b);
  } else if (id == kTcpSweepTimer) {
    sweep(s);
  }
}

int port_offset(int64_t unix_seconds) { return static_cast<int>(((unix_seconds % 1024) + 1024) % 1024); }

// Binds and listens, trying again every second for as long as it takes.
sock_t bind_port(int32_t configured, int* port_out) {
  int64_t now = unix_time();
  int port = tcp_port_first(configured, now);
  bool fixed = configured > 0 && configured <= 65535;
  bool reported = false;
  int family = fmessage_family();
  for (;;) {
    sock_t s = tcp_socket(family);
    if (s >= 0) {
      socket_set_reuse(s);
      SockAddr any;  // the wildcard address; for IPv6 it takes IPv4 clients too
      any.family = family;
      any.port = static_cast<uint16_t>(port);
      if (socket_bind(s, any) == 0 && socket_listen(s, kTcpBacklog) == 0) {
        *port_out = port;
        return s;
      }
      socket_close(s);
    }
    if (fixed) {
      if (!reported) print_line("tcp bind FAIL ... port = %d\n", port);
      reported = true;
    } else {
      port = port >= 65535 ? 1024 : port + 1;
    }
    // A user who quits while the port is taken must not wait forever.
    if (g_give_up && g_give_up()) return kNoSocket;
    pause_sleep(1000);
  }
}

}  // namespace

int tcp_port_first(int32_t port, int64_t unix_seconds) {
  int offset = port_offset(unix_seconds);
  int64_t first = 8192 + offset;
  if (port > 0 && port <= 65535) return port;
  if (port < 0) first = -static_cast<int64_t>(port) + offset;
  // Beyond the last port: fall back to the default range.
  if (first > 65535) first = 8192 + offset;
  return static_cast<int>(first);
}

void tcp_server_override_sleep(void (*sleep)(uint32_t ms)) { g_sleep = sleep; }
void tcp_server_set_give_up(bool (*give_up)()) { g_give_up = give_up; }

TcpServer* tcp_server_start(TcpServerParams* params) {
  if (!params || fmessage_state() != 1) return nullptr;
  auto* s = new TcpServer;
  s->handler = server_handler;
  s->params = params;
  fmessage_register(s, 0);
  fmessage_timer(s, kTcpSweepTimer, kTcpSweepIntervalMs);
  int port = 0;
  s->listen_socket = bind_port(params->port, &port);
  if (s->listen_socket == kNoSocket) {
    fmessage_unregister(s);
    delete s;
    return nullptr;
  }
  print_line("tcp bind OK ... port = %d\n", port);
  print_line("tcp server on : %d\n", port);
  params->port = port;
  s->paused = false;
  fmessage_socket(s, kTcpSocketId, s->listen_socket, kWatchRead);
  return s;
}

void tcp_server_stop(TcpServer* s) {
  if (!s) return;
  std::vector<TcpConnection*> all;
  all.swap(s->connections);
  for (TcpConnection* c : all) {
    close_socket(s, &c->socket);
    close_socket(s, &c->aux_socket);
    if (s->params->on_close) s->params->on_close(c);
    delete c;
  }
  close_socket(s, &s->listen_socket);
  fmessage_unregister(s);
  std::printf("tcp server quit\n");
  std::fflush(stdout);
  delete s;
}

int tcp_connection_close(TcpConnection* c) {
  if (!c || !c->server) return -1;
  close_socket(c->server, &c->socket);
  close_socket(c->server, &c->aux_socket);
  fmessage_post(c->server, kTcpSweepTimer, 0, 0);
  return -1;
}

int tcp_connection_want_write(TcpConnection* c) {
  if (!c || c->socket < 0) return -1;
  return fmessage_socket(c->server, kTcpSocketId, c->socket, kWatchWrite) ? 0 : -1;
}

int tcp_connection_attach_aux(TcpConnection* c, sock_t aux) {
  if (!c || c->socket < 0 || aux < 0) return -1;
  close_socket(c->server, &c->aux_socket);
  c->aux_socket = aux;
  return fmessage_socket(c->server, kTcpSocketId, aux, kWatchRead) ? 0 : -1;
}
