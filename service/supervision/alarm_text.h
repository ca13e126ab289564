// Alarm texts in the user's language, from the resource files under
// "www/resource". An alarm code: bits 0-14 the alarm number, bit 15 set for
// a removal, bits 16-23 and 24-27 two parameters, bits 28-31 the text group
// (0 for the UPS alarms).
#pragma once
#include <cstdint>
#include <string>

constexpr uint32_t kAlarmRemoved = 0x8000;
constexpr uint32_t kAlarmNumberMask = 0x7FFF;

// Longest alarm text kept, in bytes (cut at a character boundary).
constexpr size_t kAlarmTextMax = 511;

// The text of the code in the language ("" or nullptr: "en", with the
// error line the service has always printed). A missing file or key gives
// the key itself ("alarm_17", "alarm_17x").
std::string alarm_text(uint32_t code, const char* language);
