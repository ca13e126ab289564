// The newest page of a full record log (100 MiB of single-phase records,
// the size at which the log is cut): the seeking listing against the full
// rescan it replaces, measured in the same run on the
// same file, with the outputs compared.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "service/core/file_util.h"
#include "service/supervision/device_table.h"
#include "service/supervision/record.h"
#include "service/supervision/sup_common.h"

namespace {

double ms_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

// Measurements a UPS on mains would give, drifting a little.
bool write_log(const char* path, int64_t count, uint32_t first_time) {
  FILE* f = file_open(path, "wb");
  if (!f) return false;
  std::mt19937 rng(42);
  std::uniform_int_distribution<int> jitter(-3, 3);
  std::vector<uint8_t> buf;
  buf.reserve(46 * 4096);
  uint8_t h[2];
  put_u16(h, 46);
  std::fwrite(h, 1, 2, f);
  int volt = 230, load = 35, temp = 27;
  for (int64_t i = 0; i < count; ++i) {
    uint8_t r[46] = {};
    volt = std::clamp(volt + jitter(rng), 200, 250);
    load = std::clamp(load + jitter(rng), 0, 100);
    temp = std::clamp(temp + jitter(rng) / 3, 15, 45);
    put_u32(r, first_time + static_cast<uint32_t>(i) * 60u);
    put_u32(r + 4, 1u << 11);
    put_u16(r + 8, 1);
    put_u16(r + 12, static_cast<uint16_t>(499 + jitter(rng) / 2));
    put_u16(r + 14, static_cast<uint16_t>(volt));
    put_u16(r + 18, 1);
    put_u16(r + 20, 3);
    put_u16(r + 24, 500);
    put_u16(r + 26, static_cast<uint16_t>(volt - 1));
    put_u16(r + 30, static_cast<uint16_t>(load));
    put_u16(r + 32, 2);
    put_u16(r + 36, static_cast<uint16_t>(60 - load / 2));
    put_u16(r + 38, 100);
    put_u16(r + 40, static_cast<uint16_t>(temp));
    put_u16(r + 42, 545);
    buf.insert(buf.end(), r, r + 46);
    if (buf.size() >= 46 * 4096) {
      std::fwrite(buf.data(), 1, buf.size(), f);
      buf.clear();
    }
  }
  std::fwrite(buf.data(), 1, buf.size(), f);
  return std::fclose(f) == 0;
}

}  // namespace

int main() {
  std::random_device rd;
  char name[64];
  std::snprintf(name, sizeof name, "/kvbench-records-%08x", rd());
  std::string dir = system_temp_dir() + name;
  if (dir_create(dir.c_str()) != 0 || change_dir(dir.c_str()) != 0) return 2;
  dir_create("user");
  dir_create("tmp");
  marker_root_set("tmp");
  device_table_create(1);
  device_get(0)->record_format = record_json;

  const int64_t records = (kRecordLogLimit - 2) / 46;  // 2279513: exactly 100 MiB
  const std::string path = record_log_file(0);
  if (!write_log(path.c_str(), records, 1600000000u)) return 2;
  std::printf("record log: %lld records of 46 bytes, %lld bytes\n", static_cast<long long>(records),
              static_cast<long long>(file_size(path.c_str())));

  // What the start-up does anyway; it leaves the index of the log.
  auto t = std::chrono::steady_clock::now();
  record_log_purge(0);
  double purge = ms_since(t);

  std::string reference;
  t = std::chrono::steady_clock::now();
  record_log_list_rescan(-1, reference);
  double rescan = ms_since(t);
  std::vector<double> rescans{rescan};
  for (int i = 0; i < 2; ++i) {
    std::string again;
    t = std::chrono::steady_clock::now();
    record_log_list_rescan(-1, again);
    rescans.push_back(ms_since(t));
  }
  std::sort(rescans.begin(), rescans.end());

  std::vector<double> seeks;
  bool same = true;
  for (int i = 0; i < 200; ++i) {
    std::string page;
    t = std::chrono::steady_clock::now();
    record_log_list(-1, page);
    seeks.push_back(ms_since(t));
    same = same && page == reference;
  }
  std::sort(seeks.begin(), seeks.end());
  double median = seeks[seeks.size() / 2], worst = seeks.back();

  std::printf("newest page (%zu bytes), same output: %s\n", reference.size(), same ? "yes" : "NO");
  std::printf("  start-up purge (reads the log, builds the index): %9.1f ms\n", purge);
  std::printf("  full rescan, as listed before (median of 3):      %9.1f ms\n", rescans[1]);
  std::printf("  seeking: median of 200                            %9.3f ms   target 5 ms   ratio %.3f\n", median,
              median / 5.0);
  std::printf("  seeking: slowest of 200                           %9.3f ms\n", worst);
  std::printf("  rescan / seeking: %.0f x\n", rescans[1] / median);

  change_dir(system_temp_dir().c_str());
  tree_delete(dir.c_str());
  return same && worst < 5.0 ? 0 : 1;
}
