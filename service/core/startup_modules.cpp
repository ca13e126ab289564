#include "service/core/startup_modules.h"

#include "service/api/device_api.h"
#include "service/cloud/notify.h"
#include "service/cloud/webpack.h"
#include "service/core/service_cmd.h"
#include "service/core/startup.h"
#include "service/net/fmessage.h"
#include "service/net/socket.h"
#include "service/net/tcp_server.h"
#include "service/script/script.h"
#include "service/supervision/device_table.h"
#include "service/supervision/supervision.h"
#include "service/ups/ups_link.h"
#include "service/ups/ups_status.h"
#include "service/web/http_server.h"
#include "service/web/web_request.h"

namespace {

struct WakeModule : Handler {
  sock_t socket = kNoSocket;
  SockAddr address;
};
WakeModule g_wake;

void wake_handler(Handler* self, uint32_t id, int64_t a, int64_t b) {
  auto* wake = static_cast<WakeModule*>(self);
  if (id == XF_SOCKET + 1 && b == kReadable && a == wake->socket) wake_socket_drain(wake->socket);
}

}  // namespace

int wake_socket_open() {
  g_wake.handler = wake_handler;
  g_wake.socket = wake_socket_create(&g_wake.address);
  if (g_wake.socket == kNoSocket) return -1;
  fmessage_register(&g_wake, 0);
  fmessage_socket(&g_wake, XF_SOCKET + 1, g_wake.socket, kWatchRead);
  return 0;
}

int wake_socket_send() {
  if (g_wake.socket == kNoSocket) return -1;
  return wake_socket_signal(g_wake.socket, g_wake.address);
}

void wake_socket_close() {
  fmessage_unregister(&g_wake);
  if (g_wake.socket != kNoSocket) socket_close(g_wake.socket);
  g_wake.socket = kNoSocket;
}

void webpack_install_local_hook() { webpack_install_local(); }

int modules_start() {
  // The device API first: the supervision copies its query hook into
  // device 0. The notification (device table, mail settings, clock offset,
  // log purge, post queue) comes before the supervision, which starts the
  // link.
  device_api_install();
  int result = notify_start();
  if (supervision_start() != 0) result = -1;
  return result;
}

void modules_stop() {
  supervision_stop();
  ups_link_stop();
  notify_stop();
}

namespace {
bool stop_requested() { return service_state.load() == 4; }
const char* current_language() { return app_language; }
// The web layer maps paths relative to the script that is running.
const char* running_script() { return script_get_var("script"); }
}  // namespace

int http_server_start() {
  tcp_server_set_give_up(stop_requested);
  web_set_language_hook(current_language);
  web_set_script_name_hook(running_script);
  script_set_seconds_clock(svc_seconds);
  web_pages_install();
  int port = web_port.load();
  if (http_start(&port) != 0) return -1;
  web_port.store(port);
  return 0;
}

void http_server_stop() { http_stop(); }

void http_counter_reset() { http_request_counter_reset(); }
