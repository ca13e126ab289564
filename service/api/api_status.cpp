// The UPS status items of the device API, written from the published
// block of the status record, the alarm table and the shutdown schedule.
#include <cstring>
#include <string_view>

#include "service/api/api_text.h"
#include "service/api/device_api.h"
#include "service/core/clock.h"
#include "service/supervision/alarm.h"
#include "service/supervision/supervision.h"
#include "service/ups/ups_command.h"
#include "service/ups/ups_status.h"

namespace {

// Phase counts come from the UPS: only the phases the record holds are
// written.
int phases(int count) { return count < 0 ? 0 : count > kUpsPhases ? kUpsPhases : count; }

// Tenths as one decimal place.
double tenths(int value_x10) { return value_x10 / 10.0; }

int64_t seconds_on_battery() {
  const AlarmEntry& a = ups_alarms[ALARM_ON_BATTERY];
  if (a.since == 0) return 0;
  return svc_seconds() - a.since;
}

void write_config(std::string& out) {
  out += '[';
  for (int i = 0; i < 5; ++i) append_format(out, "%s[%d,%d]", i ? "," : "", i + 1, ups_status.config_items[i]);
  out += ']';
}

void write_ident(std::string& out) {
  const UpsStatus& s = ups_status;
  out += '[';
  api_append_string(out, api_field(s.brand));
  out += ',';
  api_append_string(out, api_field(s.model));
  out += ',';
  api_append_string(out, api_field(s.firmware));
  out += ',';
  api_append_string(out, api_field(s.platform));
  out += ',';
  api_append_string(out, api_field(sup_settings.name));
  out += ',';
  api_append_string(out, api_field(sup_settings.remark));
  out += ']';
}

void write_rating(std::string& out) {
  const UpsStatus& s = ups_status;
  append_format(out, "[%d,%d,%d,%d,%d,%d,%d,%d,%d,%d]", s.in_phases, s.in_freq_x10 / 10, s.in_volt, s.out_phases,
             s.out_freq_x10 / 10, s.out_volt, s.rated_power, s.rated_batt_x10 / 10, s.ups_type, s.capabilities);
}

void write_stat(std::string& out) {
  append_format(out, "[%d", static_cast<int32_t>(api_status_word()));
  for (int16_t code : ups_status.published.codes) {
    if (code == 0) break;
    append_format(out, ",%d", code);
  }
  out += ']';
}

void write_battery(std::string& out) {
  const UpsMeasurements& m = ups_status.published;
  append_format(out, "[%d,%lld,%d,%d,%d,%.1f,%d]", m.batt_status, static_cast<long long>(seconds_on_battery()),
             m.batt_remain, m.batt_percent, m.batt_temp, tenths(m.batt_volt_x10), m.batt_extra);
}

void write_phases_in(std::string& out, const PhaseIn (&list)[kUpsPhases]) {
  int n = phases(ups_status.in_phases);
  append_format(out, "[%d", ups_status.in_phases);
  for (int i = 0; i < n; ++i) {
    const PhaseIn& p = list[i];
    append_format(out, ",[%d,%.1f,%d,%d]", p.lost, tenths(p.freq_x10), p.volt, p.extra);
  }
  out += ']';
}

void write_output(std::string& out) {
  const UpsMeasurements& m = ups_status.published;
  int n = phases(ups_status.out_phases);
  append_format(out, "[%d,%d", ups_status.out_phases, m.out_mode);
  for (int i = 0; i < n; ++i) {
    const PhaseOut& p = m.output[i];
    append_format(out, ",[%d,%.1f,%d,%d,%d]", p.lost, tenths(p.freq_x10), p.volt, p.extra, p.load);
  }
  out += ']';
}

void write_test(std::string& out) {
  const UpsMeasurements& m = ups_status.published;
  const bool running = m.test_result == TEST_RUNNING;
  int seconds;
  if (running) {
    int32_t elapsed = tick_diff(tick_ms(), m.test_start);
    seconds = elapsed > 0 ? elapsed / 1000 : 0;
  } else {
    seconds = m.test_duration / 1000;
  }
  append_format(out, "[%d,%d,%d,", m.test_id, seconds, m.test_result);
  api_append_string(out, running ? std::string_view() : api_field(m.test_text));
  out += ']';
}

void write_down(std::string& out) {
  const int64_t now = svc_seconds();
  const UpsSchedule& s = ups_schedule;
  int kind = 0;
  long long down = 0, restart = 0;
  if (s.shutdown_time > now) {
    kind = s.shutdown_kind;
    down = s.shutdown_time - now;
  }
  if (s.restart_time > now) restart = s.restart_time - now;
  append_format(out, "[%d,%lld,%lld]", kind, down, restart);
}

struct StatusItem {
  const char* name;
  void (*write)(std::string& out);
};

const StatusItem kStatusItems[] = {
    {"config", write_config},
    {"ident", write_ident},
    {"rating", write_rating},
    {"stat", write_stat},
    {"battery", write_battery},
    {"input", [](std::string& out) { write_phases_in(out, ups_status.published.input); }},
    {"bypass", [](std::string& out) { write_phases_in(out, ups_status.published.bypass); }},
    {"output", write_output},
    {"test", write_test},
    {"down", write_down},
};

}  // namespace

uint32_t api_status_word() {
  uint32_t word = alarm_status_bits();
  if (data_state != 2) word |= 1u << ALARM_NOT_READY;
  if (link_error) word |= 1u << ALARM_LINK_FAILURE;
  return word;
}

int api_status(const char* item, std::string& out) {
  if (!item) return 0;
  for (const StatusItem& s : kStatusItems) {
    if (std::strcmp(item, s.name) != 0) continue;
    const size_t start = out.size();
    s.write(out);
    return static_cast<int>(out.size() - start);
  }
  return 0;
}
