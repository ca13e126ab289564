// The alarm log and the record log come from disk, where a crash, a full
// disk or another program may have left anything. The input is taken as
// the whole content of each log in turn; every reader and rewriter runs on
// it, and the seeking newest page of the record log must equal the page of
// the full rescan.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "fuzz/fuzz_support.h"
#include "service/core/file_util.h"
#include "service/supervision/alarm_log.h"
#include "service/supervision/device_table.h"
#include "service/supervision/record.h"
#include "service/supervision/sup_common.h"

namespace {

// A private program folder, made current on first use and removed at exit.
const std::string& folder() {
  static const std::string* path = [] {
    std::random_device rd;
    char name[64];
    std::snprintf(name, sizeof name, "/kvfuzz-logs-%08x%08x", rd(), rd());
    auto* p = new std::string(system_temp_dir() + name);
    require(dir_create(p->c_str()) == 0);
    require(change_dir(p->c_str()) == 0);
    require(dir_create("user") == 0 && dir_create("tmp") == 0);
    marker_root_set("tmp");
    device_table_create(1);
    device_get(0)->record_format = record_json;
    std::atexit([] {
      change_dir(system_temp_dir().c_str());
      tree_delete(folder().c_str());
    });
    return p;
  }();
  return *path;
}

void put(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = file_open(path.c_str(), "wb");
  require(f != nullptr);
  if (size) require(std::fwrite(data, 1, size, f) == size);
  require(std::fclose(f) == 0);
}

int64_t from_of(const uint8_t* data, size_t size) {
  uint32_t v = 0;
  for (size_t i = 0; i < size && i < 4; ++i) v |= static_cast<uint32_t>(data[i]) << (8 * i);
  return static_cast<int32_t>(v);
}

void alarm_log(const uint8_t* data, size_t size) {
  const std::string path = alarm_log_file();
  put(path, data, size);
  std::string out;
  require(alarm_log_list(-1, out) > 0 && out.size() < 1200 + 600);
  out.clear();
  alarm_log_list(from_of(data, size), out);
  out.clear();
  alarm_log_last(out);
  require(out.front() == '[' && out.back() == ']');
  marker_create(kAlarmTimeMarker);
  alarm_log_fix_time(12345);
  alarm_log_purge();
  alarm_log_append(0x8000 + 17);
  require(file_size(path.c_str()) % kAlarmLogEntry == 0);
  if (size <= static_cast<size_t>(kAlarmLogMax)) require(file_size(path.c_str()) <= kAlarmLogMax);
  alarm_log_clear();
}

void record_log(const uint8_t* data, size_t size) {
  const std::string path = record_log_file(0);
  put(path, data, size);
  std::string seek, scan;
  record_log_list(-1, seek);
  record_log_list_rescan(-1, scan);
  require(seek == scan);
  seek.clear();
  record_log_list(from_of(data, size), seek);
  // After the start-up purge the seeking page runs on the purge's index.
  record_log_purge(0);
  seek.clear();
  scan.clear();
  record_log_list(-1, seek);
  record_log_list_rescan(-1, scan);
  require(seek == scan);
  marker_create(kRecordTimeMarker);
  record_log_fix_time(0, -7);
  uint8_t r[46] = {};
  put_u32(r, 1700000000u);
  put_u16(r + 8, 1);
  put_u16(r + 18, 1);
  record_log_append(0, r, 46);
  seek.clear();
  scan.clear();
  record_log_list(-1, seek);
  record_log_list_rescan(-1, scan);
  require(seek == scan);
  record_log_clear();
  // The input as one record of its own length.
  std::string json;
  int n = record_json(data, static_cast<int>(size), json);
  require(n == static_cast<int>(json.size()));
  require(n == 0 || record_well_formed(data, static_cast<int>(size)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  folder();
  alarm_log(data, size);
  record_log(data, size);
  return 0;
}
