#include "service/supervision/alarm.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "service/core/profile.h"
#include "service/core/text.h"
#include "service/supervision/alarm_log.h"
#include "service/supervision/alarm_text.h"
#include "service/supervision/local_action.h"
#include "service/supervision/mail_text.h"
#include "service/supervision/sup_common.h"
#include "service/supervision/supervision.h"
#include "service/ups/ups_status.h"

AlarmEntry ups_alarms[kAlarmCount];
int32_t alarm_seq = kAlarmSeqFirst;

namespace {

constexpr const char* kAlarmSection = "[ups_alarm]";

// Alarms whose changes are neither logged nor notified.
bool silent(int k) { return k == ALARM_NOT_READY || k == ALARM_BEEPER_ON || k == ALARM_ON_MAINS; }

// Removals nobody needs a mail for: the raise said it all, and the end is
// either obvious or follows from another alarm's removal.
bool quiet_removal(int k) { return (k >= 2 && k <= 5) || k == 8 || (k >= 10 && k <= 16); }

void persist() {
  char seq[16];
  std::snprintf(seq, sizeof seq, "%d", alarm_seq);
  profile_write_value(kUserConfig, "[modules]", "ups_alarm_id", seq);
  std::string body;
  for (int k = 2; k < kAlarmCount; ++k) {
    if (ups_alarms[k].since == 0) continue;
    append_format(body, "%d %d\n", k, static_cast<int>(ups_alarms[k].seq));
  }
  profile_write_section(kUserConfig, kAlarmSection, body);
}

int32_t now_since() {
  // 0 means inactive: an alarm raised in the clock's first second still
  // has to count as raised.
  auto s = static_cast<int32_t>(svc_seconds());
  return s == 0 ? 1 : s;
}

}  // namespace

bool alarm_active(int k) { return k >= 0 && k < kAlarmCount && ups_alarms[k].since != 0; }

void alarm_table_reset() {
  std::memset(ups_alarms, 0, sizeof ups_alarms);
  alarm_seq = kAlarmSeqFirst;
}

uint32_t alarm_status_bits() {
  uint32_t bits = 0;
  for (int k = 0; k < kAlarmCount; ++k)
    if (ups_alarms[k].since != 0) bits |= 1u << k;
  return bits;
}

void alarm_set(uint32_t code) {
  const auto k = static_cast<int>(code & kAlarmNumberMask);
  if (k >= kAlarmCount) return;
  const bool removal = (code & kAlarmRemoved) != 0;
  AlarmEntry& a = ups_alarms[k];
  if (removal) {
    if (a.since == 0) return;
    a.since = 0;
    a.seq = 0;
  } else {
    if (a.since != 0) return;
    a.since = now_since();
    a.seq = static_cast<uint32_t>(++alarm_seq);
    if (k == ALARM_NOT_READY) return;
  }
  if (silent(k)) return;
  const uint32_t logged = removal ? kAlarmRemoved + static_cast<uint32_t>(k) : static_cast<uint32_t>(k);
  persist();
  alarm_log_append(logged);
  supervision_after_alarm();
  // Without the local shutdown, "Shutting down" is only a log entry: the
  // user chose not to have the computer switched off.
  if (k == ALARM_SHUTTING_DOWN && sup_policy.shutdown_alarm == 0) return;
  if (removal && quiet_removal(k)) return;
  mail_alarm_line(logged);
  if (!removal) local_actions(k, alarm_text(logged, sup_settings.language).c_str());
}

void alarm_restore() {
  std::string id = profile_get(kUserConfig, "[modules]", "ups_alarm_id");
  if (!id.empty()) alarm_seq = parse_int(id.c_str()) + 100;
  if (alarm_seq < kAlarmSeqFirst || alarm_seq > kAlarmSeqLast) alarm_seq = kAlarmSeqFirst;
  char body[4096];
  int n = profile_section_text(kUserConfig, kAlarmSection, body);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof body) return;
  SplitList lines = text_split(std::string_view(body, static_cast<size_t>(n)), '\n');
  for (const std::string& line : lines.items) {
    SplitList words = text_split(line, ' ');
    if (words.count() != 2) continue;
    int k = parse_int(words.items[0].c_str());
    if (k < 2 || k >= kAlarmCount) continue;
    ups_alarms[k].seq = static_cast<uint32_t>(parse_int(words.items[1].c_str()));
    ups_alarms[k].since = now_since();
  }
}

int alarm_list_json(std::string& out) {
  int active[kAlarmCount];
  int n = 0;
  for (int k = 3; k < kAlarmCount; ++k)
    if (k != ALARM_ON_MAINS && ups_alarms[k].since != 0) active[n++] = k;
  std::stable_sort(active, active + n, [](int x, int y) { return ups_alarms[x].since < ups_alarms[y].since; });
  const size_t start = out.size();
  const auto now = static_cast<int32_t>(svc_seconds());
  out += '[';
  for (int i = 0; i < n; ++i) {
    int k = active[i];
    if (i > 0) out += ',';
    append_format(out, "[%d,%d,%d,\"", static_cast<int>(ups_alarms[k].seq), now - ups_alarms[k].since, k);
    json_escape_append(out, alarm_text(static_cast<uint32_t>(k), sup_settings.language));
    out += "\"]";
  }
  out += ']';
  return static_cast<int>(out.size() - start);
}

int alarm_api_get(const char* item, std::string& out) {
  if (!item) return 0;
  std::string_view it(item);
  if (it == "alarm_list") return alarm_list_json(out);
  if (it == "alarm") return alarm_log_last(out);
  constexpr std::string_view kLog = "alarm_log ";
  if (!it.starts_with(kLog)) return 0;
  std::string arg(it.substr(kLog.size()));
  if (arg == "-z") {
    alarm_log_clear();
    out += "true";
    return 4;
  }
  if (arg == "last") return alarm_log_last(out);
  return alarm_log_list(parse_int(arg.c_str()), out);
}
