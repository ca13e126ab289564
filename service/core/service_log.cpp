#include "service/core/service_log.h"

#include <cinttypes>
#include <cstdio>

#include "service/core/clock.h"
#include "service/core/file_util.h"

void service_log(const char* text) {
  char line[1024];
  int n = std::snprintf(line, sizeof line, "%" PRId64 " %s", unix_time(), text ? text : "");
  if (n < 0) return;
  // A cut text keeps its line end so the next entry starts on its own line.
  std::size_t len = static_cast<std::size_t>(n) < sizeof line - 1 ? static_cast<std::size_t>(n) : sizeof line - 2;
  line[len++] = '\n';
  FILE* f = file_open("user/log.txt", "ab");
  if (!f) return;
  std::fwrite(line, 1, len, f);
  std::fclose(f);
}
