#include "service/core/startup.h"

#include <cstdio>
#include <cstring>
#include <thread>

#include "service/core/clock.h"
#include "service/core/file_util.h"
#include "service/core/locale_name.h"
#include "service/core/profile.h"
#include "service/core/service_log.h"
#include "service/core/startup_modules.h"
#include "service/core/text.h"
#include "service/net/fmessage.h"

std::atomic<int> service_state{0};
std::atomic<int> loop_state{0};
char app_language[8];
char app_os[8];
std::atomic<int> web_port{0};

namespace {

constexpr const char* kAppInfo = "appinfo.inf";
constexpr const char* kUserConfig = "user/config.inf";

// The handshakes are waits on the shared integers rather than sleeps in a
// loop: the service is idle for months and every wakeup costs.
void wait_while(std::atomic<int>& value, int old) {
  while (value.load() == old) value.wait(old);
}
void wait_until(std::atomic<int>& value, int wanted) {
  for (int v = value.load(); v != wanted; v = value.load()) value.wait(v);
}
void set_state(std::atomic<int>& value, int v) {
  value.store(v);
  value.notify_all();
}

void write_language(const char* file, const char* header) {
  profile_write_value(file, header, "language", app_language);
}

void main_loop() {
  for (;;) {
    int r = fmessage_step();
    if (r < 0) break;
    if (r > 0) continue;
    if (loop_state.load() == 1) {
      uint32_t now = tick_ms();
      uint32_t& next = fmessage_next_tick();
      uint32_t period = fmessage_tick_period();
      if (period == 0) period = 1;
      while (tick_diff(next, now) <= 0) next += period;
      fmessage_wait(tick_diff(next, now));
    }
    if (loop_state.load() == 0) break;
  }
}

void event_thread() {
  fmessage_init();
  wake_socket_open();
  prepare_folders();
  webpack_install_local_hook();
  resolve_language();
  modules_start();
  web_port.store(configured_web_port());
  http_server_start();
  dir_create("tmp");
  http_counter_reset();
  set_state(loop_state, 1);
  main_loop();

  http_server_stop();
  modules_stop();
  wake_socket_close();
  fmessage_shutdown();
  set_state(loop_state, 4);
}

void controller_thread() {
  char lang[64] = {};
  profile_read_value(kAppInfo, "[app]", "language", lang);
  if (!lang[0]) {
    std::string sys = system_locale_name();
    profile_write_value(kAppInfo, "[app]", "language", sys.c_str());
  }
  // On the very first start "user" does not exist yet; without it the
  // "start" line would be lost.
  dir_create("user");
  service_log("start");
  set_state(service_state, 0);
  std::printf("appweb start\n");
  std::fflush(stdout);

  set_state(loop_state, 0);
  std::thread events(event_thread);
  wait_until(loop_state, 1);
  wait_while(service_state, 0);

  if (loop_state.load() != 0) {
    set_state(loop_state, 0);
    wake_socket_send();
    wait_until(loop_state, 4);
    set_state(loop_state, 0);
  }
  events.join();
  service_log("stop");
  set_state(service_state, 2);
}

std::thread g_controller;

}  // namespace

void prepare_folders() {
  for (const char* d : {"user", "var", "data", "tmp"}) dir_create(d);
  tree_delete("tmp");
  dir_create("tmp");

  copy_cut(app_language, "");
  copy_cut(app_os, "");
  profile_read_value(kAppInfo, "[app]", "language", app_language);
  profile_read_value(kAppInfo, "[app]", "os", app_os);
  if (normalise_chinese(app_language, sizeof app_language)) write_language(kAppInfo, "[app]");
}

bool normalise_chinese(char* language, std::size_t capacity) {
  std::string_view lang(language);
  if (lang.size() <= 2 || lang.substr(0, 2) != "zh" || lang == "zh-CN" || lang == "zh-TW") return false;
  std::string_view rest = lang.size() > 3 ? lang.substr(3) : std::string_view{};
  bool traditional = rest.starts_with("Hant") || rest.starts_with("TW") || rest.starts_with("HK");
  copy_cut(std::span<char>(language, capacity), traditional ? "zh-TW" : "zh-CN");
  return true;
}

void resolve_language() {
  auto has_locale = [](const char* lang) {
    char path[96];
    std::snprintf(path, sizeof path, "www/locale/%s/locale.txt", lang);
    return path_kind(path) == 2;
  };
  if (!has_locale(app_language)) {
    char* dash = std::strchr(app_language, '-');
    if (dash) *dash = 0;
    if (!has_locale(app_language)) copy_cut(app_language, "en");
    write_language(kAppInfo, "[app]");
  }
  write_language(kUserConfig, "[master]");
}

int configured_web_port() {
  char text[32] = {};
  profile_read_value(kAppInfo, "[app]", "webport", text);
  int port = parse_int(text);
  return port == 0 ? -6000 : port;
}

int mainform_start() {
  std::string folder = program_folder();
  change_dir(folder.c_str());
  set_state(service_state, 1);
  g_controller = std::thread(controller_thread);
  wait_while(service_state, 1);
  return 0;
}

int mainform_stop() {
  set_state(service_state, 4);
  wait_while(service_state, 4);
  set_state(service_state, 0);
  if (g_controller.joinable()) g_controller.join();
  return 0;
}

int kelvane_main(int, char**) {
  ui_prepare();
  mainform_start();
  ui_wait_quit();
  mainform_stop();
  return 0;
}
