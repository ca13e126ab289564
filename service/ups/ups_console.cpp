#include "service/ups/ups_console.h"

#include <cstdarg>
#include <cstdio>

namespace {
std::string* g_sink = nullptr;
bool g_quiet = false;
}  // namespace

void ups_print(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n < 0) return;
  if (g_sink) g_sink->append(line);
  if (!g_quiet) {
    std::fputs(line, stdout);
    std::fflush(stdout);
  }
}

void ups_console_capture(std::string* sink, bool quiet) {
  g_sink = sink;
  g_quiet = sink ? quiet : false;
}
