// The service's HTTP server alone, for the benchmark: the event loop and
// the web server exactly as the service runs them (same loop, same
// request folders, same gate), without the UPS link and the other modules.
// Serves the current folder; prints "port N" once it listens.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "service/core/clock.h"
#include "service/net/fmessage.h"
#include "service/web/http_server.h"

namespace {
std::atomic<bool> g_stop{false};
void on_signal(int) { g_stop = true; }
}  // namespace

int main(int argc, char** argv) {
  int port = argc > 1 ? std::atoi(argv[1]) : 0;
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  fmessage_init();
  if (http_start(&port) != 0) return 1;
  http_request_counter_reset();
  std::printf("port %d\n", port);
  std::fflush(stdout);
  while (!g_stop.load()) {
    int r = fmessage_step();
    if (r < 0) break;
    if (r > 0) continue;
    // The service's main loop waits for the rest of the tick period; a
    // short wait here answers the stop signal quickly all the same.
    fmessage_wait(100);
  }
  http_stop();
  fmessage_shutdown();
  return 0;
}
