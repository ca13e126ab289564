// UPS protocol drivers: which frames to send for detection and for each
// poll cycle, where a reply ends, how replies become status fields, and how
// service commands become UPS frames. The table order is the detection
// order.
#pragma once
#include <cstdint>
#include <span>
#include <string_view>

constexpr int STEP_DETECT = 1;       // runs during detection
constexpr int STEP_QUERY = 2;        // runs in every poll cycle (and during detection)
constexpr int STEP_OPTIONAL = 4;     // skipped in a full scan; a failure does not reject the driver
constexpr int STEP_UNSUPPORTED = 8;  // set at run time when an optional step failed

constexpr int kLinkSerial = 232;
// The splitter's verdict for more than kMaxFrame bytes without a frame end.
constexpr int kFrameTooLong = 102400;
constexpr int kMaxFrame = 128;

struct DriverStep;
// Reads one reply (the frame without its CR) into the status record;
// nonzero when the reply is accepted.
using StepParser = int (*)(int step_index, std::string_view reply, int frame_len, DriverStep* steps);

struct DriverStep {
  int flags;
  char command[32];
  int length;
  StepParser parser;  // nullptr ends the step list
};

struct UpsDriver {
  const char* name;
  int link_type;
  int bit_rate;
  int step_delay;     // ms between two steps
  int poll_interval;  // ms between two poll cycles
  DriverStep* steps;
  void (*init)();
  void (*clear_work)();
  void (*cycle_end)(int step);
  // Rewrites the service command in buffer (zero-terminated, length bytes)
  // into a UPS frame: its length, 0 to drop it, -1 to refuse it.
  int (*format_command)(std::span<char> buffer, int length);
  // Frame length (position of the first CR), minus the bytes kept while
  // waiting, or kFrameTooLong.
  int (*split_frame)(std::string_view received);
  // Turns a stored raw answer into text; nullptr when the driver has none.
  int (*format_answer)(std::span<char> out, std::string_view answer);
};

constexpr int kDriverCount = 3;
extern UpsDriver ups_drivers[kDriverCount];

// Position of the driver with exactly this name, or -1.
int driver_find(std::string_view name);
// Puts every step flag back as shipped (tests, restart).
void drivers_reset_steps();

// Shared pieces, exposed for the tests and the fuzzer.
int frame_split(std::string_view received);
int charge_curve(int ratio);
int format_service_command(std::span<char> buffer, int length);
// The test kind last requested by a "#test" command (0 none).
int driver_test_memory();
