#pragma once

// Appends "<unix seconds> <text>\n" to "user/log.txt"; a line holds at most
// 1023 bytes, longer texts are cut. A failure to open is ignored.
void service_log(const char* text);
