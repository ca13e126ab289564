// Data records: the published measurements packed into a compact record,
// written to the record log "user/record.log" at an interval and after
// every logged alarm change, and read back as JSON pages for the history
// chart.
//
// Record (little-endian): time (u32), status word (u32), n_in (i16),
// n_in x {lost, freq_x10, volt, extra}, n_out, out_mode,
// n_out x {lost, freq_x10, volt, extra, load}, then the battery: status,
// seconds on battery, remain, percent, temperature, volt_x10, extra; all
// i16 after the first two. 28 + 8 n_in + 10 n_out bytes.
//
// Log: a u16 record length L, then records of exactly L bytes.
#pragma once
#include <cstdint>
#include <span>
#include <string>

constexpr int kRecordMax = 512;
constexpr int64_t kRecordLogLimit = 104857600;  // 100 MiB
constexpr int kRecordLogCut = 21;               // oldest records dropped at the limit
constexpr const char* kRecordTimeMarker = "error_time_record";

inline int record_length(int n_in, int n_out) { return 28 + 8 * n_in + 10 * n_out; }

// The current record into out (kRecordMax bytes); its length, 0 while the
// link has failed or the data are not ready.
int record_build(std::span<uint8_t, kRecordMax> out);
// True when the record's own phase counts match its length.
bool record_well_formed(const uint8_t* record, int length);
// Appends the record's JSON to out; the appended length, 0 (nothing
// appended) for a record that is not well formed.
int record_json(const uint8_t* record, int length, std::string& out);

std::string record_log_file(int device_index);
// A record of another length than the log's starts a new log; at the size
// limit the oldest records go. 0, or -1 when nothing was written.
int record_log_append(int device_index, const uint8_t* record, int length);
// At start: drops records taken with an unset clock.
int record_log_purge(int device_index);
// Once the clock is set: adds offset to every record time taken while it
// was unset; only while the marker exists.
int record_log_fix_time(int device_index, int32_t offset);
// Records of device 0 later than from, as a JSON page of at most 1200
// bytes; from = -1 gives the newest page. Appends to out; the appended
// length, 0 when there is none or no record formatter is registered.
int record_log_list(int64_t from, std::string& out);
// The same page by the full rescan the listing has always used (for the
// comparison in tests and the benchmark).
int record_log_list_rescan(int64_t from, std::string& out);
int record_log_clear();
// Module stop: records are written whole at every append, so nothing is
// pending. Always 0.
int record_log_flush(int device_index);

// SUP_RECORD: builds the current record and appends it to device 0's log.
void record_write_current();

// The device API items served here: "record" and "record_log " with "-z"
// or a start time. Appends the answer; its length, 0 for another item.
int record_api_get(const char* item, std::string& out);
