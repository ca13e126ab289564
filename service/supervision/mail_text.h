// The alarm mail text: alarm changes are appended here as time and text
// lines; the notification sends the collected text every few seconds, or
// at once when it grows long. The settings the lines need (mail language,
// time offset) live here too.
#pragma once
#include <cstdint>
#include <string_view>

constexpr int kMailTextCapacity = 2048;  // with the terminator
constexpr int kMailFlushAbove = 1800;
constexpr int kMailLanguageCapacity = 32;

// Zero-terminated; mail_text_length() bytes long.
extern char mail_text[kMailTextCapacity];
extern char mail_language[kMailLanguageCapacity];
// Seconds subtracted from UTC in the time lines ("timezone" of "[master]");
// 0 writes the lines in GMT.
extern int32_t mail_time_offset;

int mail_text_length();
void mail_text_clear();
// Appends the block; false when it does not fit (nothing appended).
bool mail_text_append(std::string_view block);

// Reads the mail language ("[email]" language, else "[master]" language,
// else "en") and the time offset; empties the mail text.
void mail_settings_load();

// Asks the notification to send the mail text now (installed by it).
using MailFlushFn = void (*)();
void mail_set_flush_hook(MailFlushFn fn);

// The lines of one alarm change: "\r\n<time line>\r\n<name> <text>\r\n".
// Nothing while the system clock is unset.
void mail_alarm_line(uint32_t code);
