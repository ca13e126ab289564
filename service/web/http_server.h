// The service's HTTP/1.1 server on the generic TCP server: reads each
// request into a per-request folder, passes it through the request gate
// and the request processor, and streams the answer's parts back, keeping
// the connection open for further requests. Event thread only.
#pragma once
#include <cstdint>

struct TcpServerParams;

// At most this many connections; more clients wait in the backlog.
constexpr int kHttpMaxConnections = 100;

// Starts the server on *port (> 0 fixed, < 0 random from -port up, 0
// random in 8192 to 9215; the bind retries as the TCP server does) and
// writes the bound port back. 0, or -1 when the event loop is not running.
int http_start(int* port);
// Closes every connection (their request folders go too) and the server.
void http_stop();
// Sets the per-request folder counter to 0.
void http_request_counter_reset();

// The marker whose presence at accept time keeps request folders after the
// answer ("/tmp/httpd_debug"); tests point it elsewhere (nullptr restores).
void http_set_debug_marker(const char* path);
// Open connections of the running server (0 when stopped).
int http_connection_count();
