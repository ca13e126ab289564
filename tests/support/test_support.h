// Shared fixtures: every test that touches files runs in a fresh temporary
// program folder that is removed afterwards.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "service/core/clock.h"

namespace kvtest {

// Creates a unique folder under the system's temporary folder, makes it the
// current directory and, on destruction, returns to the previous one and
// deletes the tree.
class TempProgramFolder {
 public:
  TempProgramFolder();
  ~TempProgramFolder();
  TempProgramFolder(const TempProgramFolder&) = delete;
  TempProgramFolder& operator=(const TempProgramFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string previous_;
};

// Writes / reads a whole file (binary); write returns false on failure.
bool write_file(const std::string& path, std::string_view data);
std::string read_file(const std::string& path);

// A clock the test moves by hand; installed while the object lives.
class FakeClock {
 public:
  explicit FakeClock(uint32_t tick = 1000, int64_t unix_seconds = 1700000000);
  ~FakeClock();
  FakeClock(const FakeClock&) = delete;
  FakeClock& operator=(const FakeClock&) = delete;
  void advance_ms(uint32_t ms);
  void set_tick(uint32_t tick);
  void set_unix(int64_t seconds);
  uint32_t tick() const;
  int64_t unix_seconds() const;
};

}  // namespace kvtest
