#include "service/supervision/mail_text.h"

#include <cstring>
#include <string>

#include "service/core/clock.h"
#include "service/core/profile.h"
#include "service/core/text.h"
#include "service/supervision/alarm_text.h"
#include "service/supervision/device_table.h"
#include "service/supervision/sup_common.h"
#include "service/supervision/supervision.h"

char mail_text[kMailTextCapacity];
char mail_language[kMailLanguageCapacity];
int32_t mail_time_offset = 0;

namespace {

int g_length = 0;
MailFlushFn g_flush = nullptr;

void flush_now() {
  if (g_flush) g_flush();
}

std::string device_name() {
  DeviceEntry* d = device_get(0);
  if (d && d->query) {
    std::string name;
    if (d->query(1, "@get_name", name) > 0) return name;
  }
  return sup_settings.name;
}

}  // namespace

int mail_text_length() { return g_length; }

void mail_text_clear() {
  g_length = 0;
  mail_text[0] = '\0';
}

bool mail_text_append(std::string_view block) {
  if (block.size() + static_cast<size_t>(g_length) >= static_cast<size_t>(kMailTextCapacity)) return false;
  std::memcpy(mail_text + g_length, block.data(), block.size());
  g_length += static_cast<int>(block.size());
  mail_text[g_length] = '\0';
  return true;
}

void mail_settings_load() {
  mail_text_clear();
  mail_time_offset = parse_int(profile_get(kUserConfig, "[master]", "timezone").c_str());
  std::string lang = profile_get(kUserConfig, "[email]", "language");
  if (lang.empty()) lang = profile_get(kUserConfig, "[master]", "language");
  if (lang.empty()) lang = "en";
  copy_cut(mail_language, utf8_cut(lang, kMailLanguageCapacity - 1));
}

void mail_set_flush_hook(MailFlushFn fn) { g_flush = fn; }

void mail_alarm_line(uint32_t code) {
  int64_t now = unix_time();
  if (!time_valid(now)) return;
  std::string line = device_name() + " " + alarm_text(code, mail_language);
  CivilTime c = civil_from_unix(mail_time_offset != 0 ? now - mail_time_offset : now);
  std::string block = "\r\n";
  append_format(block, "%s %04d-%02d-%02d %02d:%02d:%02d", mail_time_offset != 0 ? "Time" : "GMT", c.year, c.month,
                c.day, c.hour, c.minute, c.second);
  block += "\r\n";
  block += line;
  block += "\r\n";
  // A full text goes out first so that the new lines are not lost.
  if (!mail_text_append(block)) {
    flush_now();
    if (!mail_text_append(block)) return;
  }
  if (g_length > kMailFlushAbove) flush_now();
}
