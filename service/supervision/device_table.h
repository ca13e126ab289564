// The device table of the notification start-up (this system has one
// device, index 0), the clock start offset with the repair of log times
// taken while the clock was unset, and the start of the logs.
#pragma once
#include <cstdint>
#include <string>

// The device API dispatcher: answers a request text for a user, appending
// to out; the appended length.
using DeviceQueryFn = int (*)(int user, const char* request, std::string& out);
// Formats one data record as JSON, appending to out; the appended length,
// 0 for a record that is not well formed.
using RecordFormatFn = int (*)(const uint8_t* record, int length, std::string& out);

struct DeviceEntry {
  int index;
  DeviceQueryFn query;
  RecordFormatFn record_format;
};

// Creates the table with count devices (1 here), entries empty. 0 or -1.
int device_table_create(int count);
// Module stop: releases the table.
void device_table_release();
int device_count();
// The entry, or nullptr when the table has no such device.
DeviceEntry* device_get(int index);

// The device query that supervision_start puts into device 0 (the device
// API installs it; nullptr leaves the entry without one).
void device_set_query_hook(DeviceQueryFn fn);
DeviceQueryFn device_query_hook();

// Clock start offset: at start, when the clock is not yet set, the Unix
// time minus the service's seconds clock; 0 otherwise.
extern int64_t clock_start_offset;
void clock_note_start();
// Every 2000 ms until it returns 1: once the clock is set, shifts the log
// times taken before by the amount the clock was behind.
int time_fix_check();

// Start of every device's record log and alarm log (drops entries taken
// with an unset clock).
void logs_start();

// The notification start-up pieces of this system that come before the
// supervision start-up, in their order: device table, mail settings, clock
// start offset, log start. 0 or -1.
int notify_base_start();
// Module stop: the device table (after ups_link_stop), then the record
// logs (record_log_flush).
void notify_base_stop();
