// The service's HTTP server with its script pages, for the benchmark: the
// event loop, the web server, the page runner, the script engine and the
// service commands exactly as the service installs them, without the UPS
// link and the other modules. Serves the current folder; prints "port N"
// once it listens.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "service/core/service_cmd.h"
#include "service/core/startup.h"
#include "service/net/fmessage.h"
#include "service/script/script.h"
#include "service/web/http_server.h"
#include "service/web/web_request.h"

namespace {
std::atomic<bool> g_stop{false};
void on_signal(int) { g_stop = true; }
const char* language() { return app_language; }
const char* running_script() { return script_get_var("script"); }
}  // namespace

int main(int argc, char** argv) {
  int port = argc > 1 ? std::atoi(argv[1]) : 0;
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  std::strcpy(app_language, "en");
  std::strcpy(app_os, "linux");
  fmessage_init();
  web_set_language_hook(language);
  web_set_script_name_hook(running_script);
  web_pages_install();
  if (http_start(&port) != 0) return 1;
  web_port.store(port);
  http_request_counter_reset();
  std::printf("port %d\n", port);
  std::fflush(stdout);
  while (!g_stop.load()) {
    int r = fmessage_step();
    if (r < 0) break;
    if (r > 0) continue;
    fmessage_wait(100);
  }
  http_stop();
  fmessage_shutdown();
  return 0;
}
