// The generic TCP server: accepts connections on one port, hands their
// readiness to a protocol layer through five handlers and closes
// connections that fall idle. Event thread only.
#pragma once
#include <cstdint>
#include <vector>

#include "service/net/fmessage.h"

struct TcpConnection;
struct TcpServer;

// The socket message id of the server's watches and its sweep timer.
constexpr uint32_t kTcpSocketId = XF_SOCKET + 10;
constexpr uint32_t kTcpSweepTimer = XF_TIMER + 10;
constexpr uint32_t kTcpSweepIntervalMs = 10000;
constexpr int kTcpBacklog = 20;
constexpr int kTcpIdleTimeoutSeconds = 10;
// Most bytes handed to on_aux_text at once.
constexpr int kTcpAuxTextMax = 127;

// Supplied and kept by the caller for the server's whole life.
struct TcpServerParams {
  int32_t max_connections = 100;
  // In: > 0 a fixed port, < 0 random from -port up, 0 random in 8192 to
  // 9215. Out: the port in use.
  int32_t port = 0;
  void (*on_accept)(TcpConnection* c) = nullptr;
  void (*on_close)(TcpConnection* c) = nullptr;
  // Results are the protocol's own (-1 after closing); the server ignores them.
  int (*on_readable)(TcpConnection* c) = nullptr;
  int (*on_writable)(TcpConnection* c) = nullptr;
  // text is NUL-terminated, length bytes (at most kTcpAuxTextMax).
  void (*on_aux_text)(TcpConnection* c, const char* text, int length) = nullptr;
  void* context = nullptr;  // for the protocol layer; the server ignores it
};

struct TcpConnection {
  TcpServer* server = nullptr;
  sock_t socket = kNoSocket;  // -1 once closed
  SockAddr peer;              // IPv4, IPv6 or IPv4-mapped IPv6
  bool peer_closed = false;   // set by the protocol layer at end of stream
  sock_t aux_socket = kNoSocket;
  void* state = nullptr;  // owned by the protocol layer
  bool busy = false;      // the idle sweep counts a busy connection as active
  int idle_timeout = kTcpIdleTimeoutSeconds;  // seconds
  uint32_t last_activity = 0;                 // tick of the last send or receive
};

struct TcpServer : Handler {
  TcpServerParams* params = nullptr;
  sock_t listen_socket = kNoSocket;
  bool paused = false;
  // Front is index 0: new connections go there.
  std::vector<TcpConnection*> connections;
};

// Creates and registers the server, starts its sweep timer, binds (retrying
// every second until the port is free), listens and writes the port into
// params->port. nullptr when the event loop is not running.
TcpServer* tcp_server_start(TcpServerParams* params);
// Closes every connection (on_close for each), the listening socket,
// unregisters and releases the server.
void tcp_server_stop(TcpServer* server);

// Closes the connection's sockets; the next sweep releases it. Returns -1,
// for protocol handlers to pass on.
int tcp_connection_close(TcpConnection* c);
// Asks for one writable message (on_writable) on the connection's socket.
int tcp_connection_want_write(TcpConnection* c);
// Attaches an auxiliary socket whose incoming text goes to on_aux_text; the
// connection owns it from now on.
int tcp_connection_attach_aux(TcpConnection* c, sock_t aux);

// The first port tried for a configured port at a given Unix time (0 for
// an invalid port).
int tcp_port_first(int32_t port, int64_t unix_seconds);
// The wait between bind attempts; tests replace it (nullptr restores).
void tcp_server_override_sleep(void (*sleep)(uint32_t ms));
// Asked before every wait between bind attempts; when it answers true the
// start gives up and returns nullptr (nullptr: retry forever).
void tcp_server_set_give_up(bool (*give_up)());
