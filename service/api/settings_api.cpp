#include "service/api/settings_api.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "service/api/api_text.h"
#include "service/api/device_api.h"
#include "service/core/clock.h"
#include "service/core/file_util.h"
#include "service/core/json.h"
#include "service/core/profile.h"
#include "service/core/text.h"
#include "service/net/netinfo.h"
#include "service/net/socket.h"
#include "service/supervision/sup_common.h"
#include "service/supervision/supervision.h"

namespace {

constexpr int kApListRead = 1024;
constexpr int kSerialNumberRead = 32;
constexpr const char* kApNamePrefix = "norvel-";
// "-z" stands for the empty value where a page cannot send an empty field.
constexpr std::string_view kEmptyValue = "-z";

int append(std::string& out, std::string_view text) {
  out.append(text);
  return static_cast<int>(text.size());
}

int answer(std::string& out, bool ok) { return append(out, ok ? "true" : "false"); }

template <size_t N>
void set_text(char (&dest)[N], std::string_view value) {
  copy_cut(std::span<char>(dest, N), utf8_cut(value, N - 1));
}

// The first max bytes of a state file ("" when it cannot be read).
std::string read_head(const std::string& path, size_t max) {
  std::string text;
  FILE* f = file_open(path.c_str(), "rb");
  if (!f) return text;
  text.resize(max);
  size_t n = std::fread(text.data(), 1, max, f);
  std::fclose(f);
  text.resize(n);
  // The state file is text; a NUL ends it.
  text.resize(std::strlen(text.c_str()));
  return text;
}

bool wireless() { return marker_exists(kWifiConfigFile); }
bool access_point() { return wireless() && marker_exists(kApConfigFile); }

std::string config(const char* header, const char* key) { return profile_get(kUserConfig, header, key); }

// ---- get -----------------------------------------------------------------

std::string interface_item(const char* item) {
  char text[kApiNetworkCapacity];
  interface_info(kFamilyIPv4, item, text);
  return text;
}

void write_ifconfig(std::string& out) {
  std::string ip = config("[network]", "ip");
  const bool automatic = ip.empty();
  std::string values[4];
  const char* const kKeys[] = {"ip", "mask", "gateway", "dns"};
  for (int i = 0; i < 4; ++i) values[i] = automatic ? interface_item(kKeys[i]) : config("[network]", kKeys[i]);
  out += automatic ? "[1" : "[0";
  for (const std::string& v : values) {
    out += ',';
    api_append_string(out, v);
  }
  out += ',';
  api_append_string(out, interface_item("mac"));
  out += ']';
}

void write_wifi(std::string& out) {
  out += '[';
  api_append_string(out, config("[wifi]", "ssid"));
  out += ',';
  api_append_string(out, config("[wifi]", "pass"));
  out += ",[";
  SplitList aps = text_split(read_head(marker_path(kWifiApListFile), kApListRead), ';');
  for (int i = 0; i < aps.count(); ++i) {
    if (i) out += ',';
    api_append_string(out, aps.items[static_cast<size_t>(i)]);
  }
  out += "]]";
}

// Without a configured name the access point is named after the serial
// number: the prefix and its 9th to 12th byte.
std::string ap_name() {
  std::string name = config("[wifi]", "ap_name");
  if (!name.empty()) return name;
  std::string psno = read_head(marker_path(kSerialNumberFile), kSerialNumberRead);
  while (!psno.empty() && is_space(psno.back())) psno.pop_back();
  std::string_view part = psno.size() > 8 ? std::string_view(psno).substr(8, 4) : std::string_view();
  return kApNamePrefix + std::string(part);
}

void write_wifi_ap(std::string& out) {
  out += '[';
  api_append_string(out, ap_name());
  out += ',';
  api_append_string(out, config("[wifi]", "ap_pass"));
  out += ']';
}

void write_email(std::string& out) {
  out += '[';
  api_append_string(out, config("[email]", "subject"));
  out += ',';
  api_append_string(out, config("[email]", "receiver"));
  out += ',';
  api_append_string(out, config("[email]", "language"));
  out += ']';
}

// ---- set -----------------------------------------------------------------

// How a value is taken: white space at its ends is dropped (the profile
// reader would drop it anyway), or the value is refused with it (a
// password must be exactly what the user typed).
enum class Ends { kTrim, kKeep };

// Element n of the array value, decoded, into text (capacity bytes with
// the NUL). false when it is absent, does not fit or cannot be stored.
bool element(const char* value, int n, size_t capacity, Ends ends, std::string& text) {
  text.assign(capacity, '\0');
  int len = json_at(value, n, std::span<char>(text.data(), capacity));
  if (len < 0 || len >= static_cast<int>(capacity)) return false;
  text.resize(static_cast<size_t>(len));
  if (ends == Ends::kTrim) text = std::string(trim_view(text));
  return api_value_storable(text);
}

// A value of the form "-z" means empty (a view of "", never a null one:
// it ends in memmove).
std::string_view plain_value(const char* value, Ends ends) {
  std::string_view v(value);
  if (v == kEmptyValue) return "";
  return ends == Ends::kTrim ? trim_view(v) : v;
}

bool write(const char* header, const char* key, const std::string& value) {
  return profile_write_value(kUserConfig, header, key, value.c_str()) == 0;
}

bool set_name(int user, const char* value) {
  std::string_view v = plain_value(value, Ends::kTrim);
  if (user != kApiAdmin || v.size() > kApiNameMax || !api_value_storable(v)) return false;
  write("[master]", "name", std::string(v));
  set_text(sup_settings.name, v.empty() ? api_field(sup_settings.default_name) : v);
  return true;
}

bool set_remark(int user, const char* value) {
  std::string_view v = plain_value(value, Ends::kTrim);
  if (user != kApiAdmin || v.size() > kApiNameMax || !api_value_storable(v)) return false;
  write("[master]", "remark", std::string(v));
  set_text(sup_settings.remark, v);
  return true;
}

bool set_pass(int user, const char* value) {
  std::string_view v = plain_value(value, Ends::kKeep);
  // The password slot holds 63 bytes; a longer one would be cut in memory
  // and never match at the gate.
  if (user != kApiAdmin || v.size() >= sizeof sup_settings.passwords[0] || !api_value_storable(v)) return false;
  write("[passwd]", "pass1", std::string(v));
  set_text(sup_settings.passwords[0], v);
  return true;
}

bool set_language(const char* value) {
  std::string_view v(value);
  // The code names folders of the web package.
  if (!api_language_code(v, kApiLanguageMax)) return false;
  if (v == api_field(sup_settings.language)) return true;
  set_text(sup_settings.language, v);
  write("[master]", "language", std::string(v));
  return true;
}

bool set_ifconfig(int user, const char* value) {
  if (user != kApiAdmin) return false;
  std::string mode;
  bool array = trim_view(value).starts_with("[");
  int first = array ? json_at(value, 0, {}) : -1;
  if (first >= 0 && !element(value, 0, kApiNetworkCapacity, Ends::kTrim, mode)) return false;
  if (first < 0 || mode.empty() || parse_int(mode.c_str()) == 1) {
    profile_write_section(kUserConfig, "[network]", "");
    return true;
  }
  // Fewer than five elements leave the configuration as it is.
  if (json_at(value, 4, {}) < 0) return true;
  std::string values[4];
  for (int i = 0; i < 4; ++i)
    if (!element(value, i + 1, kApiNetworkCapacity, Ends::kTrim, values[i])) return false;
  write("[network]", "ip", values[0]);
  write("[network]", "mask", values[1]);
  write("[network]", "gateway", values[2]);
  write("[network]", "dns", values[3]);
  return true;
}

bool set_wifi(int user, const char* value) {
  if (user != kApiAdmin || !wireless()) return false;
  std::string ssid, pass;
  if (!element(value, 0, kApiSsidCapacity, Ends::kTrim, ssid)) return false;
  if (!element(value, 1, kApiWifiPassCapacity, Ends::kKeep, pass)) return false;
  write("[wifi]", "ssid", ssid);
  write("[wifi]", "pass", pass);
  return true;
}

bool set_wifi_ap(int user, const char* value) {
  if (user != kApiAdmin || !access_point()) return false;
  std::string pass;
  if (!element(value, 1, kApiWifiPassCapacity, Ends::kKeep, pass)) return false;
  write("[wifi]", "ap_pass", pass);
  return true;
}

bool set_email(int user, const char* value) {
  if (user != kApiAdmin) return false;
  std::string subject, receiver, language;
  if (!element(value, 0, kApiMailSubjectCapacity, Ends::kTrim, subject)) return false;
  if (!element(value, 1, kApiMailReceiverCapacity, Ends::kTrim, receiver)) return false;
  // The language may be left out; when given it must be a language code.
  if (json_at(value, 2, {}) >= 0) {
    if (!element(value, 2, kApiMailLanguageCapacity, Ends::kTrim, language)) return false;
    if (!language.empty() && !api_language_code(language, kApiMailLanguageCapacity - 1)) return false;
  }
  write("[email]", "subject", subject);
  write("[email]", "receiver", receiver);
  if (!language.empty()) write("[email]", "language", language);
  return true;
}

}  // namespace

int api_settings_get(int /*user*/, const char* item, std::string& out) {
  if (!item) return 0;
  std::string_view it(item);
  const size_t start = out.size();
  if (it == "info") {
    api_device_info(out);
  } else if (it == "name") {
    api_append_string(out, api_field(sup_settings.name));
  } else if (it == "time") {
    append_format(out, "%lld", static_cast<long long>(unix_time()));
  } else if (it == "ifconfig") {
    write_ifconfig(out);
  } else if (it == "wifi") {
    if (wireless()) write_wifi(out);
    else out += "false";
  } else if (it == "wifi_ap") {
    if (access_point()) write_wifi_ap(out);
    else out += "false";
  } else if (it == "email") {
    write_email(out);
  } else {
    return 0;
  }
  return static_cast<int>(out.size() - start);
}

int api_set(int user, const char* key, const char* value, std::string& out) {
  if (!key || !value) return 0;
  std::string_view k(key);
  if (k == "name") return answer(out, set_name(user, value));
  if (k == "pass") return answer(out, set_pass(user, value));
  if (k == "remark") return answer(out, set_remark(user, value));
  if (k == "language") return answer(out, set_language(value));
  if (k == "time") return answer(out, true);
  if (k == "ifconfig") return answer(out, set_ifconfig(user, value));
  if (k == "wifi") return answer(out, set_wifi(user, value));
  if (k == "wifi_ap") return answer(out, set_wifi_ap(user, value));
  if (k == "email") return answer(out, set_email(user, value));
  return 0;
}
