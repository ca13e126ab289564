// Device API requests come from web pages, which take them from the
// browser. The input up to its first NUL is the request text; bytes after
// it become the UPS's brand and the device name, so the answers carry
// texts of any kind. Every document answer must be valid JSON, and the
// front door must report an answer that does not fit instead of cutting it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "fuzz/fuzz_support.h"
#include "service/api/device_api.h"
#include "service/core/file_util.h"
#include "service/core/json.h"
#include "service/net/netinfo.h"
#include "service/supervision/alarm.h"
#include "service/supervision/device_table.h"
#include "service/supervision/record.h"
#include "service/supervision/sup_common.h"
#include "service/supervision/supervision.h"
#include "service/ups/ups_console.h"
#include "service/ups/ups_status.h"

namespace {

constexpr const char* kConfig = "[master]\nname=UPS\nlanguage=en\n\n[passwd]\npass1=secret\n";

int no_adapters(std::vector<NetAdapter>&) { return 0; }

// A private program folder, made current on first use and removed at exit.
void setup_once() {
  static bool done = [] {
    std::random_device rd;
    char name[64];
    std::snprintf(name, sizeof name, "/kvfuzz-api-%08x%08x", rd(), rd());
    static std::string path = system_temp_dir() + name;
    require(dir_create(path.c_str()) == 0);
    require(change_dir(path.c_str()) == 0);
    require(dir_create("user") == 0 && dir_create("tmp") == 0);
    marker_root_set("tmp");
    static std::string console;
    ups_console_capture(&console, true);
    netinfo_override(no_adapters);
    device_table_create(1);
    device_get(0)->query = api_request;
    device_get(0)->record_format = record_json;
    std::atexit([] {
      change_dir(system_temp_dir().c_str());
      tree_delete(path.c_str());
    });
    return true;
  }();
  (void)done;
}

template <size_t N>
void fill(char (&dest)[N], const uint8_t* data, size_t size) {
  size_t n = size < N - 1 ? size : N - 1;
  std::memcpy(dest, data, n);
  dest[n] = '\0';
}

bool valid_json(const std::string& text) {
  return json_check(text.c_str(), static_cast<int>(text.size())) == static_cast<int>(text.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  setup_once();
  // Rewritten only after a "set" changed it: every rewrite goes to the disk.
  std::string config;
  if (file_read_all("user/config.inf", config) < 0 || config != kConfig) file_write_atomic("user/config.inf", kConfig);
  const auto* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  std::string request(reinterpret_cast<const char*>(data), nul ? static_cast<size_t>(nul - data) : size);
  const uint8_t* extra = nul ? nul + 1 : data + size;
  const size_t extra_size = static_cast<size_t>(data + size - extra);

  ups_status_reset();
  sup_settings = SupervisionSettings{};
  sup_policy = PolicySettings{};
  sup_policy.app_shutdown = 1;
  alarm_table_reset();
  fill(ups_status.brand, extra, extra_size);
  fill(sup_settings.name, extra, extra_size);
  ups_status.in_phases = 3;
  ups_status.out_phases = 1;
  data_state = extra_size % 3;
  link_error = extra_size % 2;

  const int user = request.size() % 2 ? kApiAdmin : 5;
  std::string out;
  int n = api_request(user, request.c_str(), out);
  require(n == static_cast<int>(out.size()));
  if (!request.starts_with("@")) {
    require(n > 0);
    require(out.starts_with("{\"return\":[") || out == "{\"answer\":\"410 bad request\"}");
    require(valid_json(out));
  }

  // The front door answers the same, or reports the size it needs.
  char small[64];
  int m = device_request(request.c_str(), small);
  require(m >= 0);
  if (m < static_cast<int>(sizeof small)) require(std::strlen(small) == static_cast<size_t>(m));
  else require(small[0] == '\0');

  // The identity items with the texts of the extra bytes.
  out.clear();
  api_request(kApiAdmin, "{\"get\":[\"info\",\"ident\",\"name\"]}", out);
  require(valid_json(out));
  return 0;
}
