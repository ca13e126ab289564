// Console lines of the UPS link. Users and support read them, so their
// texts are fixed; a test can collect them instead of reading stdout.
#pragma once
#include <string>

void ups_print(const char* format, ...) __attribute__((format(printf, 1, 2)));
// While a capture is installed every line is appended to it as well
// (nullptr ends the capture). quiet also keeps the lines off stdout.
void ups_console_capture(std::string* sink, bool quiet = false);
