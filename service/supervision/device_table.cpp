#include "service/supervision/device_table.h"

#include <vector>

#include "service/core/clock.h"
#include "service/supervision/alarm_log.h"
#include "service/supervision/mail_text.h"
#include "service/supervision/record.h"
#include "service/supervision/sup_common.h"
#include "service/ups/ups_status.h"

int64_t clock_start_offset = 0;

namespace {
std::vector<DeviceEntry> g_devices;
DeviceQueryFn g_query_hook = nullptr;
}  // namespace

int device_table_create(int count) {
  g_devices.clear();
  if (count <= 0) return -1;
  for (int i = 0; i < count; ++i) g_devices.push_back(DeviceEntry{i, nullptr, nullptr});
  return 0;
}

void device_table_release() { g_devices.clear(); }

int device_count() { return static_cast<int>(g_devices.size()); }

DeviceEntry* device_get(int index) {
  if (index < 0 || index >= device_count()) return nullptr;
  return &g_devices[static_cast<size_t>(index)];
}

void device_set_query_hook(DeviceQueryFn fn) { g_query_hook = fn; }
DeviceQueryFn device_query_hook() { return g_query_hook; }

void clock_note_start() {
  int64_t now = unix_time();
  clock_start_offset = time_valid(now) ? 0 : now - svc_seconds();
}

int time_fix_check() {
  if (clock_start_offset == 0) return 1;
  int64_t now = unix_time();
  if (!time_valid(now)) return 0;
  // 32-bit on purpose: log times of the record log are 32 bits wide.
  auto offset = static_cast<int32_t>(static_cast<uint32_t>(now) -
                                     static_cast<uint32_t>(clock_start_offset + svc_seconds()));
  for (int i = 0; i < device_count(); ++i) {
    record_log_fix_time(i, offset);
    if (i == 0) alarm_log_fix_time(offset);
  }
  clock_start_offset = 0;
  return 1;
}

void logs_start() {
  for (int i = 0; i < device_count(); ++i) {
    record_log_purge(i);
    if (i == 0) alarm_log_purge();
  }
}

int notify_base_start() {
  if (device_table_create(1) != 0) return -1;
  mail_settings_load();
  clock_note_start();
  logs_start();
  return 0;
}

void notify_base_stop() {
  int count = device_count() > 0 ? device_count() : 1;
  device_table_release();
  for (int i = 0; i < count; ++i) record_log_flush(i);
}
