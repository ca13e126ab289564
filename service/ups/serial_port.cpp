#include <cstdio>
#include <string>

#include "service/core/text.h"
#include "service/ups/serial_port.h"

namespace {

sport_t open_by_name(const char* name, int32_t baud) { return sport_open(name, baud); }

constexpr int kDrainChunk = 32;
// A line that keeps delivering (a pseudo-terminal can be written faster
// than we read) must not hold the event loop: one drain discards at most
// this much.
constexpr int kDrainLimit = 4096;

}  // namespace

int sport_drain(sport_t handle) {
  if (!sport_valid(handle)) return 0;
  uint8_t scratch[kDrainChunk];
  for (int total = 0; total < kDrainLimit; total += kDrainChunk) {
    if (sport_read(handle, scratch, kDrainChunk) <= 0) break;
  }
  return 0;
}

const SportOps sport_ops{open_by_name, sport_open, sport_close, sport_drain, sport_read, sport_write};

int sport_com_path(std::string_view name, std::span<char> out) {
  if (name.size() < 4 || out.empty()) return -1;
  // The number starts at the fourth character and ends at the first
  // non-digit; a copy makes it a terminated text for parse_int.
  std::string digits(name.substr(3, 12));
  int32_t number = parse_int(digits.c_str());
  if (number <= 0) return -1;
  int n = number <= 9 ? std::snprintf(out.data(), out.size(), "COM%d", number)
                      : std::snprintf(out.data(), out.size(), "\\\\.\\COM%d", number);
  if (n < 0 || static_cast<size_t>(n) >= out.size()) return -1;
  return n;
}
