// The script engine on arbitrary text, with a small store and output so the
// bounds are met often. Files and the command interpreter stay out of
// reach: every path is refused, system runs nothing, and the run happens in
// a scratch folder of its own.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "service/core/file_util.h"
#include "service/script/script.h"

namespace {

int refuse_path(const char*, const char*, std::span<char>) { return -1; }
int refuse_system(const char*) { return -1; }

std::string_view lookup(const char* name) {
  if (std::strcmp(name, "request_body") == 0) return "a=1&b=x";
  if (std::strcmp(name, "request_bodysize") == 0) return "7";
  return {};
}

int service(const char* const* args, int, std::span<char> out) {
  if (std::strcmp(args[0], "webport") != 0) return -1;
  return std::snprintf(out.data(), out.size(), "9800");
}

bool prepare() {
  const std::string scratch = system_temp_dir() + "/kelvane-fuzz-script";
  dir_create(scratch.c_str());
  change_dir(scratch.c_str());
  script_set_path_mapper(refuse_path);
  script_set_system_runner(refuse_system);
  script_set_request_lookup(lookup);
  script_set_service_commands(service);
  script_set_step_budget(5000);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = prepare();
  (void)ready;
  if (size == 0 || size > 65536) return 0;
  const int mode = data[0] % 3;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  static std::vector<char> output(8192);
  if (script_store_create(16384) != 0) return 0;
  script_set_var("config_inf", "/user/config.inf");
  script_run(output, "fuzz.ts", text.c_str(), mode);
  script_get_var("script_error");
  script_store_release();
  return 0;
}
