// The three protocol drivers. All speak the same line protocol: a command
// of a few letters ended by CR; a reply of one ASCII line ended by CR whose
// first character is "(" (measurements, status) or "#" (identity, rating)
// and whose rest is a list of fields separated by blanks. Each parser is a
// table of fields and where they go, with the reply shown above it; the
// rulers number the fields as the splitter counts them.
#include "service/ups/ups_driver.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "service/core/clock.h"
#include "service/core/text.h"
#include "service/ups/ups_status.h"

namespace {

// ---------------------------------------------------------------------------
// Conversions that cannot overflow, whatever a UPS sends.

int clamp_int(int64_t v) {
  if (v > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  if (v < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  return static_cast<int>(v);
}

// Integer part, truncated towards zero, of a value that may be huge.
int trunc_int(double v) {
  if (!(v == v)) return 0;  // NaN
  if (v >= 2147483647.0) return std::numeric_limits<int>::max();
  if (v <= -2147483648.0) return std::numeric_limits<int>::min();
  return static_cast<int>(v);
}

// Integer part of v * factor. The replies carry decimal tenths that single
// precision cannot hold exactly (50.1 reads as 50.0999985), so the product
// is nudged outwards by far less than a tenth before it is cut; otherwise
// 50.1 Hz would be shown as 50.0 Hz.
int scaled_int(double v, double factor) { return trunc_int(v * factor * (1.0 + 1e-6)); }

int field_int(const SplitList& f, int n) { return parse_int(f.items[static_cast<size_t>(n)].c_str()); }
double field_float(const SplitList& f, int n) { return parse_float(f.items[static_cast<size_t>(n)].c_str()); }

// Fields of a reply: everything after the lead character, split at blanks.
SplitList reply_fields(std::string_view reply) {
  if (reply.empty()) return {};
  return text_split(reply.substr(1), ' ');
}

bool starts_with(std::string_view reply, char lead) { return !reply.empty() && reply[0] == lead; }

// Identity texts end up in JSON answers and pages: control bytes and bytes
// outside ASCII become "?".
void copy_text(std::span<char> dest, std::string_view text) {
  if (dest.empty()) return;
  size_t n = text.size() < dest.size() - 1 ? text.size() : dest.size() - 1;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    dest[i] = (c < 0x20 || c >= 0x7F) ? '?' : static_cast<char>(c);
  }
  dest[n] = '\0';
}

// Threshold rule: lost below 80 % of the rated voltage, in integers.
bool below_threshold(int volt, int rated) { return volt < (static_cast<int64_t>(rated) * 8) / 10; }

int phase_count(int phases) { return phases < 0 ? 0 : phases > kUpsPhases ? kUpsPhases : phases; }

void set_cond(int n) { ups_status.work.cond[n] = 1; }
bool has_cond(int n) { return ups_status.work.cond[n] != 0; }

// ---------------------------------------------------------------------------
// Field tables. A row names the field number and the slot it fills.

using IntSlot = int* (*)(UpsStatus&);
struct IntField {
  int field;
  IntSlot slot;
};
using TextSlot = std::span<char> (*)(UpsStatus&);
struct TextField {
  int field;
  TextSlot slot;
};

void apply_ints(const SplitList& f, std::span<const IntField> rows) {
  for (const IntField& row : rows) *row.slot(ups_status) = field_int(f, row.field);
}
void apply_texts(const SplitList& f, std::span<const TextField> rows) {
  for (const TextField& row : rows) copy_text(row.slot(ups_status), f.items[static_cast<size_t>(row.field)]);
}

// ---------------------------------------------------------------------------
// Test memory: the kind of self test last asked for with "#test". It labels
// the next test the UPS reports as running. It is dropped once a test has
// been seen or has ended, and a request the UPS never acted on expires, so
// that a later test started at the UPS itself is not mislabelled.
constexpr int32_t kTestMemoryLifetimeMs = 60000;
int g_test_memory = 0;
uint32_t g_test_memory_tick = 0;

void test_memory_set(int kind) {
  g_test_memory = kind;
  g_test_memory_tick = tick_ms();
}
void test_memory_clear() { g_test_memory = 0; }

// ---------------------------------------------------------------------------
// Status bits (field 7 of the Q1 / QS reply), b7 first:
//   b7 utility failed, b6 battery low, b5 bypass, b4 UPS failed,
//   b3 standby type, b2 test running, b1 shutdown active, b0 beeper on.
enum class Family { Rtq6, Stk0 };

void apply_status_bits(std::string_view bits, Family family, int out_volt) {
  auto on = [&](int bit) { return bits[static_cast<size_t>(7 - bit)] != '0'; };
  UpsMeasurements& w = ups_status.work;
  const UpsMeasurements& pub = ups_status.published;
  if (on(7)) {
    set_cond(COND_INPUT_LOST);
    w.out_mode = MODE_BATTERY;
  } else {
    w.out_mode = MODE_MAINS;
  }
  if (on(6)) {
    set_cond(COND_BATTERY_LOW);
    w.batt_status = BATT_LOW;
  }
  if (on(5)) {
    set_cond(COND_ON_BYPASS);
    w.out_mode = MODE_BYPASS;
  }
  if (on(4)) set_cond(COND_FAULT);
  ups_status.ups_type = on(3) ? 1 : 0;
  uint32_t now = tick_ms();
  if (on(2)) {
    set_cond(COND_TEST_RUNNING);
    w.test_result = TEST_RUNNING;
    w.out_mode = MODE_BATTERY;
    if (pub.test_result != TEST_RUNNING) {
      w.test_id = (g_test_memory >= 1 && g_test_memory <= 3) ? g_test_memory : 1;
      w.test_start = now;
      w.test_duration = 10;
      test_memory_clear();
    }
  } else if (pub.test_result == TEST_RUNNING) {
    w.test_duration = static_cast<int>(now - w.test_start);
    if (family == Family::Stk0) w.test_result = TEST_PASSED;
    test_memory_clear();
  } else if (g_test_memory != 0 && tick_diff(now, g_test_memory_tick) > kTestMemoryLifetimeMs) {
    test_memory_clear();
  }
  if (on(1)) {
    if (family == Family::Rtq6) {
      if (has_cond(COND_OUTPUT_OFF)) w.out_mode = MODE_STANDBY;
      else set_cond(COND_SHUTTING_DOWN);
    } else if (out_volt < 10) {
      set_cond(COND_OUTPUT_OFF);
      set_cond(COND_SYSTEM_OFF);
      w.out_mode = MODE_STANDBY;
    } else {
      set_cond(COND_SHUTTING_DOWN);
    }
  }
  if (on(0)) set_cond(COND_BEEPER_ON);

  if (w.out_mode == MODE_MAINS) set_cond(COND_ON_MAINS);
  if (w.out_mode == MODE_BATTERY) set_cond(COND_ON_BATTERY);
  int in_n = family == Family::Rtq6 ? phase_count(ups_status.in_phases) : 1;
  int out_n = family == Family::Rtq6 ? phase_count(ups_status.out_phases) : 1;
  if (has_cond(COND_SYSTEM_OFF))
    for (int i = 0; i < in_n; ++i) w.input[i].lost = 0;
  if (has_cond(COND_OUTPUT_OFF))
    for (int i = 0; i < out_n; ++i) w.output[i].lost = 0;
  if (family == Family::Stk0 && has_cond(COND_OUTPUT_OFF)) return;
  for (int i = 0; i < out_n; ++i)
    if (w.output[i].lost) set_cond(COND_OUTPUT_ABNORMAL);
}

// ===========================================================================
// RTQ6: three-phase UPS.

// Rating reply, detection only. Exactly 11 fields; 1, 3 and 9 unused.
//  > [RT\r]
//  < [(01.20 0 RT3000 0 3 220 50 12 20 0 3000\r]
//      0     1 2      3 4 5   6  7  8  9 10
const TextField kRtTexts[] = {
    {.field = 0, .slot = [](UpsStatus& s) { return std::span<char>(s.firmware); }},
    {.field = 2, .slot = [](UpsStatus& s) { return std::span<char>(s.model); }},
};
const IntField kRtInts[] = {
    {.field = 4, .slot = [](UpsStatus& s) { return &s.in_phases; }},
    {.field = 4, .slot = [](UpsStatus& s) { return &s.out_phases; }},
    {.field = 5, .slot = [](UpsStatus& s) { return &s.in_volt; }},
    {.field = 5, .slot = [](UpsStatus& s) { return &s.out_volt; }},
    {.field = 10, .slot = [](UpsStatus& s) { return &s.rated_power; }},
};

int parse_rt(int, std::string_view reply, int, DriverStep*) {
  if (!starts_with(reply, '(')) return 0;
  SplitList f = reply_fields(reply);
  if (f.count() != 11) return 0;
  copy_text(ups_status.brand, "ups factory");
  apply_texts(f, kRtTexts);
  apply_ints(f, kRtInts);
  int freq = clamp_int(static_cast<int64_t>(field_int(f, 6)) * 10);
  ups_status.in_freq_x10 = ups_status.out_freq_x10 = freq;
  int cells = clamp_int(static_cast<int64_t>(field_int(f, 7)) * field_int(f, 8));
  ups_status.rated_batt_x10 = clamp_int(static_cast<int64_t>(cells) * 10);
  ups_status.ups_type = 1;
  ups_status.capabilities = 15;
  return 1;
}

// Measurement reply, every cycle. At least 19 fields.
//  > [Q6\r]
//  < [(230.1 229.8 231.0 50.0 220.0 220.1 219.9 50.0 035 032 030 120.1 120.2 028 045 100 30 000 000\r]
//      0     1     2     3    4     5     6     7    8   9   10  11    12    13  14  15  16 17  18
//     in V 1-3 | in Hz | out V 1-3 | out Hz | load % 1-3 | battery halves V | temp | minutes | charge | state
const IntField kQ6Ints[] = {
    {.field = 0, .slot = [](UpsStatus& s) { return &s.work.input[0].volt; }},
    {.field = 1, .slot = [](UpsStatus& s) { return &s.work.input[1].volt; }},
    {.field = 2, .slot = [](UpsStatus& s) { return &s.work.input[2].volt; }},
    {.field = 4, .slot = [](UpsStatus& s) { return &s.work.output[0].volt; }},
    {.field = 5, .slot = [](UpsStatus& s) { return &s.work.output[1].volt; }},
    {.field = 6, .slot = [](UpsStatus& s) { return &s.work.output[2].volt; }},
    {.field = 8, .slot = [](UpsStatus& s) { return &s.work.output[0].load; }},
    {.field = 9, .slot = [](UpsStatus& s) { return &s.work.output[1].load; }},
    {.field = 10, .slot = [](UpsStatus& s) { return &s.work.output[2].load; }},
    {.field = 13, .slot = [](UpsStatus& s) { return &s.work.batt_temp; }},
    {.field = 14, .slot = [](UpsStatus& s) { return &s.work.batt_remain; }},
    {.field = 15, .slot = [](UpsStatus& s) { return &s.work.batt_percent; }},
};

// State code, first character: conditions and output mode.
struct StateRow {
  const char* chars;
  int cond_a, cond_b;  // -1: none
  int mode;            // -1: unchanged
};
const StateRow kQ6States[] = {
    {.chars = "09", .cond_a = COND_OUTPUT_OFF, .cond_b = COND_SYSTEM_OFF, .mode = MODE_STANDBY},
    {.chars = "1", .cond_a = COND_OUTPUT_OFF, .cond_b = -1, .mode = MODE_STANDBY},
    {.chars = "278", .cond_a = COND_ON_BYPASS, .cond_b = -1, .mode = MODE_BYPASS},
    {.chars = "3", .cond_a = COND_ON_MAINS, .cond_b = -1, .mode = MODE_MAINS},
    {.chars = "4", .cond_a = COND_ON_BATTERY, .cond_b = -1, .mode = MODE_BATTERY},
    {.chars = "5", .cond_a = COND_TEST_RUNNING, .cond_b = COND_ON_BATTERY, .mode = MODE_BATTERY},
    {.chars = "6", .cond_a = COND_FAULT, .cond_b = -1, .mode = -1},
};
// State code, second character: the test result ("3" also sets condition 10).
struct ResultRow {
  const char* chars;
  int result;
};
const ResultRow kQ6Results[] = {
    {.chars = "0", .result = TEST_NONE},   {.chars = "1", .result = TEST_RUNNING},
    {.chars = "2", .result = TEST_PASSED}, {.chars = "3", .result = TEST_FAILED},
    {.chars = "45", .result = TEST_ABORTED},
};

void apply_state_code(std::string_view code) {
  UpsMeasurements& w = ups_status.work;
  if (!code.empty()) {
    for (const StateRow& row : kQ6States) {
      if (!std::strchr(row.chars, code[0]) || code[0] == '\0') continue;
      if (row.cond_a >= 0) set_cond(row.cond_a);
      if (row.cond_b >= 0) set_cond(row.cond_b);
      if (row.mode >= 0) w.out_mode = row.mode;
      break;
    }
  }
  if (code.size() < 2) return;
  for (const ResultRow& row : kQ6Results) {
    if (!std::strchr(row.chars, code[1]) || code[1] == '\0') continue;
    w.test_result = row.result;
    if (row.result == TEST_FAILED) set_cond(COND_TEST_FAILED);
    break;
  }
}

int parse_q6(int, std::string_view reply, int, DriverStep*) {
  if (!starts_with(reply, '(')) return 0;
  SplitList f = reply_fields(reply);
  if (f.count() < 19) return 0;
  UpsMeasurements& w = ups_status.work;
  apply_ints(f, kQ6Ints);
  double in_freq = field_float(f, 3);
  double out_freq = field_float(f, 7);
  w.batt_volt_x10 = clamp_int(static_cast<int64_t>(scaled_int(field_float(f, 12), 10)) +
                              scaled_int(field_float(f, 11), 10));
  w.batt_status = BATT_NORMAL;
  int in_n = phase_count(ups_status.in_phases);
  int out_n = phase_count(ups_status.out_phases);
  for (int i = 0; i < in_n; ++i) {
    if (below_threshold(w.input[i].volt, ups_status.in_volt)) w.input[i].lost = 1;
    else w.input[i].freq_x10 = scaled_int(in_freq, 10);
  }
  for (int i = 0; i < out_n; ++i) {
    if (below_threshold(w.output[i].volt, ups_status.out_volt)) w.output[i].lost = 1;
    else w.output[i].freq_x10 = scaled_int(out_freq, 10);
    if (w.output[i].load > 100) set_cond(COND_OVERLOAD);
  }
  if (w.batt_temp > 100) set_cond(COND_HIGH_TEMPERATURE);
  apply_state_code(f.items[16]);
  return 1;
}

// Status-bits reply, every cycle after Q6. Exactly 8 fields; only 7 used.
//  > [Q1\r]
//  < [(230.0 230.0 229.0 012 50.0 2.27 25.0 00001000\r]
//      0     1     2     3   4    5    6    7
int parse_rtq6_q1(int, std::string_view reply, int, DriverStep*) {
  if (!starts_with(reply, '(')) return 0;
  SplitList f = reply_fields(reply);
  if (f.count() != 8) return 0;
  const std::string& bits = f.items[7];
  if (bits.size() >= 8) apply_status_bits(bits, Family::Rtq6, 0);
  return 1;
}

void rtq6_init() { test_memory_clear(); }

// ===========================================================================
// stk0@2400 and stk0@2400QS: single-phase UPS.

void stk0_init() {
  copy_text(ups_status.brand, "stk0");
  copy_text(ups_status.model, "A500");
  copy_text(ups_status.firmware, "v3");
  test_memory_clear();
  ups_status.in_phases = 1;
  ups_status.in_freq_x10 = 500;
  ups_status.in_volt = 220;
  ups_status.out_phases = 1;
  ups_status.out_freq_x10 = 500;
  ups_status.out_volt = 220;
  ups_status.rated_power = 500;
  ups_status.rated_batt_x10 = 120;
  ups_status.ups_type = 1;
  ups_status.capabilities = 15;
}

// Identity reply (optional). Three fields, or fixed columns:
//  > [I\r]
//  < [#Maker Ltd      LS-1000 2.10\r]
//      0              1       2          (three or more words)
//     #|<- brand: 15 ->|<- model firmware, split again
const TextField kIdentityTexts[] = {
    {.field = 0, .slot = [](UpsStatus& s) { return std::span<char>(s.brand); }},
    {.field = 1, .slot = [](UpsStatus& s) { return std::span<char>(s.model); }},
    {.field = 2, .slot = [](UpsStatus& s) { return std::span<char>(s.firmware); }},
};
constexpr size_t kBrandColumns = 15;

int parse_identity(int, std::string_view reply, int, DriverStep*) {
  if (!starts_with(reply, '#')) return 0;
  SplitList f = reply_fields(reply);
  if (f.count() < 3) return 0;
  if (f.count() == 3) {
    apply_texts(f, kIdentityTexts);
    return 1;
  }
  std::string_view body = reply.substr(1);
  copy_text(ups_status.brand, body.substr(0, kBrandColumns));
  std::string_view rest = body.size() > kBrandColumns ? body.substr(kBrandColumns) : std::string_view{};
  SplitList tail = text_split(rest, ' ');
  if (tail.count() != 2) return 0;
  copy_text(ups_status.model, tail.items[0]);
  copy_text(ups_status.firmware, tail.items[1]);
  return 1;
}

// Rating reply (optional). At least 4 fields.
//  > [F\r]
//  < [#220.0 004 12.00 50.0\r]
//      0     1   2     3
//     rated V | rated A | battery V | Hz
int parse_rating(int, std::string_view reply, int, DriverStep*) {
  if (!starts_with(reply, '#')) return 0;
  SplitList f = reply_fields(reply);
  if (f.count() < 4) return 0;
  int volt = field_int(f, 0);
  int amps = field_int(f, 1);
  int batt = field_int(f, 2);
  int freq = field_int(f, 3);
  ups_status.in_volt = ups_status.out_volt = volt;
  ups_status.in_freq_x10 = ups_status.out_freq_x10 = clamp_int(static_cast<int64_t>(freq) * 10);
  ups_status.rated_power = clamp_int(static_cast<int64_t>(volt) * amps);
  int64_t batt_x10 = static_cast<int64_t>(batt) * 10;
  ups_status.rated_batt_x10 = batt_x10 < 119 ? 120 : clamp_int(batt_x10);
  return 1;
}

// Measurement-and-status reply, every cycle. At least 8 fields; 1 unused.
//  > [Q1\r]  (stk0@2400QS: [QS\r], same layout)
//  < [(230.0 230.0 229.0 012 50.0 2.27 25.0 00001000\r]
//      0     1     2     3   4    5    6    7
//     in V | fault V | out V | load % | Hz | battery | temp | status bits
const IntField kQ1Ints[] = {
    {.field = 0, .slot = [](UpsStatus& s) { return &s.work.input[0].volt; }},
    {.field = 2, .slot = [](UpsStatus& s) { return &s.work.output[0].volt; }},
    {.field = 3, .slot = [](UpsStatus& s) { return &s.work.output[0].load; }},
    {.field = 6, .slot = [](UpsStatus& s) { return &s.work.batt_temp; }},
};

// The battery field is a per-cell voltage below 3.0, otherwise the battery
// voltage itself, from which the nominal battery voltage is inferred.
void apply_battery(double value) {
  UpsMeasurements& w = ups_status.work;
  int divisor;
  if (value < 3.0) {
    w.batt_volt_x10 = scaled_int(value, ups_status.rated_batt_x10 * 0.5);
    divisor = ups_status.rated_batt_x10;
  } else {
    w.batt_volt_x10 = scaled_int(value, 10);
    int tenths = w.batt_volt_x10;
    ups_status.rated_batt_x10 = tenths > 300 ? 360 : tenths > 150 ? 240 : 120;
    divisor = ups_status.rated_batt_x10;
  }
  // Never 0 with the shipped init and rating rules; kept safe regardless.
  if (divisor <= 0) divisor = 120;
  w.batt_percent = charge_curve(clamp_int(static_cast<int64_t>(w.batt_volt_x10) * 100 / divisor));
  w.batt_status = BATT_NORMAL;
}

int parse_stk0_q1(int, std::string_view reply, int, DriverStep*) {
  if (!starts_with(reply, '(')) return 0;
  SplitList f = reply_fields(reply);
  if (f.count() < 8) return 0;
  UpsMeasurements& w = ups_status.work;
  apply_ints(f, kQ1Ints);
  double freq = field_float(f, 4);
  apply_battery(field_float(f, 5));
  if (below_threshold(w.input[0].volt, ups_status.in_volt)) w.input[0].lost = 1;
  else w.input[0].freq_x10 = scaled_int(freq, 10);
  if (below_threshold(w.output[0].volt, ups_status.out_volt)) w.output[0].lost = 1;
  else w.output[0].freq_x10 = scaled_int(freq, 10);
  if (w.output[0].load > 100) set_cond(COND_OVERLOAD);
  if (w.batt_temp > 100) set_cond(COND_HIGH_TEMPERATURE);
  const std::string& bits = f.items[7];
  if (bits.size() >= 8) apply_status_bits(bits, Family::Stk0, w.output[0].volt);
  return 1;
}

// ===========================================================================
// Shared operations.

void clear_work() { ups_clear_work(); }
void cycle_end(int) {}

// Steps are writable: STEP_UNSUPPORTED is set at run time.
constexpr DriverStep kRtq6Steps[] = {
    {.flags = STEP_DETECT, .command = "RT\r", .length = 3, .parser = parse_rt},
    {.flags = STEP_QUERY, .command = "Q6\r", .length = 3, .parser = parse_q6},
    {.flags = STEP_QUERY, .command = "Q1\r", .length = 3, .parser = parse_rtq6_q1},
    {.flags = 0, .command = "", .length = 0, .parser = nullptr},
};
constexpr DriverStep kStk0Steps[] = {
    {.flags = STEP_DETECT | STEP_OPTIONAL, .command = "I\r", .length = 2, .parser = parse_identity},
    {.flags = STEP_DETECT | STEP_OPTIONAL, .command = "F\r", .length = 2, .parser = parse_rating},
    {.flags = STEP_QUERY, .command = "Q1\r", .length = 3, .parser = parse_stk0_q1},
    {.flags = 0, .command = "", .length = 0, .parser = nullptr},
};
constexpr DriverStep kStk0QsSteps[] = {
    {.flags = STEP_DETECT | STEP_OPTIONAL, .command = "I\r", .length = 2, .parser = parse_identity},
    {.flags = STEP_DETECT | STEP_OPTIONAL, .command = "F\r", .length = 2, .parser = parse_rating},
    {.flags = STEP_QUERY, .command = "QS\r", .length = 3, .parser = parse_stk0_q1},
    {.flags = 0, .command = "", .length = 0, .parser = nullptr},
};

// The working copies, constant-initialised from the shipped tables.
DriverStep g_rtq6_steps[4] = {kRtq6Steps[0], kRtq6Steps[1], kRtq6Steps[2], kRtq6Steps[3]};
DriverStep g_stk0_steps[4] = {kStk0Steps[0], kStk0Steps[1], kStk0Steps[2], kStk0Steps[3]};
DriverStep g_stk0qs_steps[4] = {kStk0QsSteps[0], kStk0QsSteps[1], kStk0QsSteps[2], kStk0QsSteps[3]};

template <size_t N>
void copy_steps(DriverStep (&dest)[N], const DriverStep (&src)[N]) {
  for (size_t i = 0; i < N; ++i) dest[i] = src[i];
}

// Service command -> UPS frame, identical for every driver.
struct CommandRow {
  const char* command;
  const char* frame;
  int test_memory;  // 0: unchanged
};
const CommandRow kCommands[] = {
    {.command = "#beep", .frame = "Q\r", .test_memory = 0},
    {.command = "#start", .frame = "C\r", .test_memory = 0},
    {.command = "#down 1", .frame = "S.2R9999\r", .test_memory = 0},
    {.command = "#down 2", .frame = "S.2R9999\r", .test_memory = 0},
    {.command = "#test 0", .frame = "CT\r", .test_memory = 4},
    {.command = "#test 1", .frame = "T\r", .test_memory = 1},
    {.command = "#test 2", .frame = "QT\r", .test_memory = 2},
    {.command = "#test 3", .frame = "TL\r", .test_memory = 3},
};

}  // namespace

UpsDriver ups_drivers[kDriverCount] = {
    {.name = "RTQ6", .link_type = kLinkSerial, .bit_rate = 2400, .step_delay = 100,
     .poll_interval = 6000, .steps = g_rtq6_steps, .init = rtq6_init, .clear_work = clear_work,
     .cycle_end = cycle_end, .format_command = format_service_command, .split_frame = frame_split,
     .format_answer = nullptr},
    {.name = "stk0@2400", .link_type = kLinkSerial, .bit_rate = 2400, .step_delay = 100,
     .poll_interval = 6000, .steps = g_stk0_steps, .init = stk0_init, .clear_work = clear_work,
     .cycle_end = cycle_end, .format_command = format_service_command, .split_frame = frame_split,
     .format_answer = nullptr},
    {.name = "stk0@2400QS", .link_type = kLinkSerial, .bit_rate = 2400, .step_delay = 100,
     .poll_interval = 6000, .steps = g_stk0qs_steps, .init = stk0_init, .clear_work = clear_work,
     .cycle_end = cycle_end, .format_command = format_service_command, .split_frame = frame_split,
     .format_answer = nullptr},
};

void drivers_reset_steps() {
  copy_steps(g_rtq6_steps, kRtq6Steps);
  copy_steps(g_stk0_steps, kStk0Steps);
  copy_steps(g_stk0qs_steps, kStk0QsSteps);
}

int driver_find(std::string_view name) {
  for (int i = 0; i < kDriverCount; ++i)
    if (name == ups_drivers[i].name) return i;
  return -1;
}

int frame_split(std::string_view received) {
  size_t cr = received.find('\r');
  if (cr != std::string_view::npos) return static_cast<int>(cr);
  if (received.size() > static_cast<size_t>(kMaxFrame)) return kFrameTooLong;
  return -static_cast<int>(received.size());
}

int charge_curve(int ratio) {
  if (ratio > 110) return 100;
  if (ratio < 60) return 0;
  int d = ratio - 60;
  int i = (10000 - 4 * d * d) / 100;
  // floor(10 * sqrt(i)) == floor(sqrt(100 * i)), kept in integers.
  int root = static_cast<int>(std::sqrt(static_cast<double>(100 * i)));
  while (root * root > 100 * i) --root;
  while ((root + 1) * (root + 1) <= 100 * i) ++root;
  return 100 - root;
}

int format_service_command(std::span<char> buffer, int length) {
  if (length < 0 || buffer.empty() || static_cast<size_t>(length) >= buffer.size()) return -1;
  std::string_view text(buffer.data(), static_cast<size_t>(length));
  // Commands compare as whole texts, so "#beep " is not "#beep".
  if (text.find('\0') != std::string_view::npos) return -1;
  for (const CommandRow& row : kCommands) {
    if (text != row.command) continue;
    if (row.test_memory) test_memory_set(row.test_memory);
    return copy_cut(buffer, row.frame);
  }
  if (text.starts_with("#config ")) return 0;
  if (text.size() < 2 || text[0] != '@') return -1;
  std::string frame(text.substr(1));
  if (frame.back() != '\r') frame += '\r';
  // A frame must leave room for its terminator (frames are at most 127).
  if (frame.size() > static_cast<size_t>(kMaxFrame - 1) || frame.size() >= buffer.size()) return -1;
  std::memcpy(buffer.data(), frame.data(), frame.size());
  buffer[frame.size()] = '\0';
  return static_cast<int>(frame.size());
}

int driver_test_memory() { return g_test_memory; }
