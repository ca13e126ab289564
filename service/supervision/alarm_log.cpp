#include "service/supervision/alarm_log.h"

#include <map>

#include "service/core/clock.h"
#include "service/core/file_util.h"
#include "service/supervision/alarm_text.h"
#include "service/supervision/log_pager.h"
#include "service/supervision/log_rewrite.h"
#include "service/supervision/sup_common.h"
#include "service/supervision/supervision.h"

namespace {

struct Entry {
  int64_t time;
  uint32_t code;
};

Entry decode(const uint8_t* p) { return Entry{get_i64(p), get_u32(p + 8)}; }

// Texts are read from the resource files; a listing asks for the same few
// codes again and again.
struct TextCache {
  std::map<uint32_t, std::string> texts;
  const std::string& get(uint32_t code) {
    auto it = texts.find(code);
    if (it != texts.end()) return it->second;
    return texts.emplace(code, alarm_text(code, sup_settings.language)).first->second;
  }
};

void format_entry(const Entry& e, TextCache& cache, std::string& text) {
  append_format(text, "[%lu,%d,\"", static_cast<unsigned long>(static_cast<uint32_t>(e.time)),
                static_cast<int>(e.code));
  json_escape_append(text, cache.get(e.code));
  text += "\"]";
}

bool list_format(const uint8_t* p, int, int64_t from, std::string* text, void* context) {
  Entry e = decode(p);
  if (!(e.time > from) || !time_valid(e.time)) return false;
  if (text) format_entry(e, *static_cast<TextCache*>(context), *text);
  return true;
}

bool keep_valid(uint8_t* p, int, void*, bool*) { return time_valid(get_i64(p)); }

bool add_offset(uint8_t* p, int, void* context, bool* changed) {
  int64_t t = get_i64(p);
  if (time_unset(t)) {
    put_i64(p, t + *static_cast<int32_t*>(context));
    *changed = true;
  }
  return true;
}

// A crash during an append can leave part of an entry; every later entry
// would then be read out of step. The torn bytes go before the next one.
void drop_torn_tail(const std::string& path) {
  if (file_size(path.c_str()) % kAlarmLogEntry == 0) return;
  LogRewrite how;
  how.entry_length = kAlarmLogEntry;
  log_rewrite(path.c_str(), how);
}

}  // namespace

std::string alarm_log_file() { return log_path("alarm", 0); }

int alarm_log_append(uint32_t code) {
  std::string path = alarm_log_file();
  drop_torn_tail(path);
  FILE* f = file_open(path.c_str(), "ab");
  if (!f) return -1;
  uint8_t e[kAlarmLogEntry] = {};
  int64_t now = unix_time();
  put_i64(e, now);
  put_u32(e + 8, code);
  bool ok = std::fwrite(e, 1, sizeof e, f) == sizeof e;
  ok = std::fclose(f) == 0 && ok;
  if (!ok) return -1;
  if (time_unset(now)) marker_create(kAlarmTimeMarker);
  if (file_size(path.c_str()) > kAlarmLogMax) {
    LogRewrite how;
    how.entry_length = kAlarmLogEntry;
    how.first = kAlarmLogCut;
    log_rewrite(path.c_str(), how);
  }
  return 0;
}

int alarm_log_purge() {
  std::string path = alarm_log_file();
  if (file_size(path.c_str()) == 0) return 0;
  LogRewrite how;
  how.entry_length = kAlarmLogEntry;
  how.edit = keep_valid;
  return log_rewrite(path.c_str(), how);
}

int alarm_log_fix_time(int32_t offset) {
  if (!marker_exists(kAlarmTimeMarker)) return 0;
  marker_delete(kAlarmTimeMarker);
  std::string path = alarm_log_file();
  if (path_kind(path.c_str()) != 2) return 0;
  LogRewrite how;
  how.entry_length = kAlarmLogEntry;
  how.edit = add_offset;
  how.context = &offset;
  return log_rewrite(path.c_str(), how);
}

int alarm_log_list(int64_t from, std::string& out) {
  FixedLogReader log;
  TextCache cache;
  int n = 0;
  if (log.open(alarm_log_file().c_str(), 0, kAlarmLogEntry) == 0) n = log_list_rescan(log, from, list_format, &cache, out);
  if (n > 0) return n;
  out += "[]";
  return 2;
}

int alarm_log_last(std::string& out) {
  FixedLogReader log;
  if (log.open(alarm_log_file().c_str(), 0, kAlarmLogEntry) == 0) {
    for (int64_t i = log.count() - 1; i >= 0; --i) {
      const uint8_t* p = log.at(i);
      if (!p) break;
      Entry e = decode(p);
      if (!time_valid(e.time)) continue;
      TextCache cache;
      std::string text;
      format_entry(e, cache, text);
      out += text;
      return static_cast<int>(text.size());
    }
  }
  out += "[]";
  return 2;
}

int alarm_log_clear() {
  std::string path = alarm_log_file();
  if (path_kind(path.c_str()) == 0) return 0;
  return file_delete(path.c_str());
}
