#include "tests/support/test_support.h"

#include <atomic>
#include <cstdio>
#include <random>

#include "service/core/file_util.h"

namespace kvtest {
namespace {

std::atomic<uint32_t> g_tick{0};
std::atomic<int64_t> g_unix{0};
uint32_t fake_tick() { return g_tick.load(); }
int64_t fake_unix() { return g_unix.load(); }
const ClockSource kFake{fake_tick, fake_unix};

}  // namespace

TempProgramFolder::TempProgramFolder() {
  std::random_device rd;
  std::string base = system_temp_dir();
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[64];
    std::snprintf(name, sizeof name, "/kvtest-%08x%08x", rd(), rd());
    std::string candidate = base + name;
    if (path_kind(candidate.c_str()) != 0) continue;
    if (dir_create(candidate.c_str()) == 0) {
      path_ = candidate;
      break;
    }
  }
  previous_ = ::current_dir();
  if (!path_.empty()) change_dir(path_.c_str());
}

TempProgramFolder::~TempProgramFolder() {
  change_dir(previous_.c_str());
  if (!path_.empty()) tree_delete(path_.c_str());
}

bool write_file(const std::string& path, std::string_view data) {
  FILE* f = file_open(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  return std::fclose(f) == 0 && ok;
}

std::string read_file(const std::string& path) {
  std::string out;
  if (file_read_all(path.c_str(), out) < 0) return {};
  return out;
}

FakeClock::FakeClock(uint32_t tick, int64_t unix_seconds) {
  g_tick = tick;
  g_unix = unix_seconds;
  clock_override(&kFake);
}
FakeClock::~FakeClock() { clock_override(nullptr); }
void FakeClock::advance_ms(uint32_t ms) {
  uint32_t before = g_tick.load();
  g_tick = before + ms;
  // The Unix clock follows whole seconds crossed by the tick.
  g_unix += (static_cast<uint64_t>(before % 1000) + ms) / 1000;
}
void FakeClock::set_tick(uint32_t tick) { g_tick = tick; }
void FakeClock::set_unix(int64_t seconds) { g_unix = seconds; }
uint32_t FakeClock::tick() const { return g_tick.load(); }
int64_t FakeClock::unix_seconds() const { return g_unix.load(); }

}  // namespace kvtest
