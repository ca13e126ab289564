// The alarm log "user/alarm.log": 16-byte entries (signed 64-bit Unix time,
// 32-bit alarm code, 4 bytes of filler), little-endian, no header, kept
// near 4 KiB.
#pragma once
#include <cstdint>
#include <string>

constexpr int kAlarmLogEntry = 16;
constexpr int64_t kAlarmLogMax = 4096;
// Entries left out when the log has grown past its size.
constexpr int kAlarmLogCut = 31;
constexpr const char* kAlarmTimeMarker = "error_time_alarm";

std::string alarm_log_file();
// One entry with the current time; a time from an unset clock leaves the
// marker for the later repair. 0, or -1 when the log cannot be written.
int alarm_log_append(uint32_t code);
// At start: drops the entries taken with an unset clock.
int alarm_log_purge();
// Once the clock is set: adds offset seconds to every entry taken while it
// was unset; only while the marker exists.
int alarm_log_fix_time(int32_t offset);
// Entries later than from (-1: the newest page), appended to out as
// "[[time,code,\"text\"],...]"; "[]" when there is none. The length appended.
int alarm_log_list(int64_t from, std::string& out);
// The newest valid entry as "[time,code,\"text\"]", or "[]".
int alarm_log_last(std::string& out);
int alarm_log_clear();
