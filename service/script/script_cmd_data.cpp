// Command families for profile files, passwords, registers, time and the
// network interface.
#include <gcrypt.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "service/core/clock.h"
#include "service/core/profile.h"
#include "service/net/netinfo.h"
#include "service/script/script_internal.h"

namespace {

struct Mapped {
  char path[kScriptPathSize];
  bool ok = false;
  explicit Mapped(const char* web) { ok = script_map_path(web, path) > 0; }
};

// ---- Profile ---------------------------------------------------------------

void put_string_array(ScriptOut& out, const std::vector<std::string>& items) {
  if (items.empty()) return;
  for (std::size_t i = 0; i < items.size(); ++i) {
    out.put(i ? ",\"" : "[\"");
    out.put(items[i]);
    out.put_char('"');
  }
  out.put_char(']');
}

void cmd_profile_get(const ScriptArgs& a, ScriptOut& out) {
  if (!a[1][0] || !a[2][0]) return;
  const Mapped m(a[1]);
  if (!m.ok) return;
  if (a.count() == 3) {
    if (!a[3][0]) return;
    out.put(profile_get(m.path, a[2], a[3]));
    return;
  }
  const std::span<char> room = out.room();
  const int n = profile_section_text(m.path, a[2], room);
  if (n > 0) out.commit(static_cast<std::size_t>(n));
}

void cmd_profile_set(const ScriptArgs& a, ScriptOut&) {
  if (!a[1][0] || !a[2][0]) return;
  const Mapped m(a[1]);
  if (!m.ok) return;
  if (a.count() == 4) {
    if (a[3][0]) profile_write_value(m.path, a[2], a[3], a[4]);
    return;
  }
  profile_write_section(m.path, a[2], a[3]);
}

void cmd_profile_clr(const ScriptArgs& a, ScriptOut&) {
  if (!a[1][0] || !a[2][0]) return;
  const Mapped m(a[1]);
  if (!m.ok) return;
  if (a.count() == 3) {
    if (a[3][0]) profile_write_value(m.path, a[2], a[3], nullptr);
    return;
  }
  profile_write_section(m.path, a[2], std::string_view());
}

void cmd_profile_get_section_list(const ScriptArgs& a, ScriptOut& out) {
  if (!a[1][0]) return;
  const Mapped m(a[1]);
  if (!m.ok) return;
  std::string text;
  if (profile_load(m.path, text) < 0) return;
  const std::string_view prefix = a.count() == 2 ? a[2] : "";
  const std::string_view all(text);
  bool any = false;
  std::size_t pos = 0;
  while (pos < all.size()) {
    std::size_t end = all.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = all.size();
    std::string_view line = all.substr(pos, end - pos);
    if (line.size() > 1023) line = line.substr(0, 1023);
    if (!line.empty() && line[0] == '[' && line.substr(0, 2) != "[]" && line.substr(0, prefix.size()) == prefix) {
      out.put(any ? ",\"" : "[\"");
      out.put(line);
      out.put_char('"');
      any = true;
    }
    const std::size_t nl = all.find('\n', pos);
    if (nl == std::string_view::npos) break;
    pos = nl + 1;
  }
  if (any) out.put_char(']');
}

void cmd_profile_get_field_list(const ScriptArgs& a, ScriptOut& out) {
  if (!a[1][0] || !a[2][0]) return;
  const Mapped m(a[1]);
  if (m.ok) put_string_array(out, profile_read_section(m.path, a[2]).keys);
}

void cmd_profile_get_value_list(const ScriptArgs& a, ScriptOut& out) {
  if (!a[1][0] || !a[2][0]) return;
  const Mapped m(a[1]);
  if (m.ok) put_string_array(out, profile_read_section(m.path, a[2]).values);
}

void cmd_profile_get_map_list(const ScriptArgs& a, ScriptOut& out) {
  if (!a[1][0] || !a[2][0]) return;
  const Mapped m(a[1]);
  if (!m.ok) return;
  const ProfileList list = profile_read_section(m.path, a[2]);
  if (list.count() == 0) return;
  for (int i = 0; i < list.count(); ++i) {
    out.put(i ? ",[\"" : "[[\"");
    out.put(list.keys[static_cast<std::size_t>(i)]);
    out.put("\",\"");
    out.put(list.values[static_cast<std::size_t>(i)]);
    out.put("\"]");
  }
  out.put_char(']');
}

const ScriptCommandDef kProfile[] = {
    {"profile_get", 2, 3, cmd_profile_get},
    {"profile_set", 3, 4, cmd_profile_set},
    {"profile_clr", 2, 3, cmd_profile_clr},
    {"profile_get_section_list", 1, 2, cmd_profile_get_section_list},
    {"profile_get_field_list", 2, 2, cmd_profile_get_field_list},
    {"profile_get_value_list", 2, 2, cmd_profile_get_value_list},
    {"profile_get_map_list", 2, 2, cmd_profile_get_map_list},
};

// ---- Passwords -------------------------------------------------------------

void gcrypt_ready() {
  static bool ready = false;
  if (ready) return;
  gcry_check_version(nullptr);
  gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
  gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  ready = true;
}

void digest(int algo, std::string_view text, unsigned char* out) {
  gcrypt_ready();
  gcry_md_hash_buffer(algo, out, text.data(), text.size());
}

bool all_hex(std::string_view s, std::size_t n) {
  if (s.size() != n) return false;
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

void put_digest(ScriptOut& out, int algo, std::size_t size, std::string_view text) {
  unsigned char d[20];
  digest(algo, text, d);
  static const char kHex[] = "0123456789abcdef";
  for (std::size_t i = 0; i < size; ++i) {
    out.put_char(kHex[d[i] >> 4]);
    out.put_char(kHex[d[i] & 15]);
  }
}

void cmd_md5(const ScriptArgs& a, ScriptOut& out) { put_digest(out, GCRY_MD_MD5, 16, a[1]); }
void cmd_sha(const ScriptArgs& a, ScriptOut& out) { put_digest(out, GCRY_MD_SHA1, 20, a[1]); }

void cmd_md5_pass(const ScriptArgs& a, ScriptOut& out) {
  if (all_hex(a[1], 32)) {
    out.put(a[1]);
    return;
  }
  cmd_md5(a, out);
}

void cmd_sha_pass(const ScriptArgs& a, ScriptOut& out) {
  if (all_hex(a[1], 40)) {
    out.put(a[1]);
    return;
  }
  cmd_sha(a, out);
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

// 40 hexadecimal digits are a stored SHA-1 digest; anything else is a plain
// password and is hashed.
void pass_digest(std::string_view text, unsigned char* d) {
  if (!all_hex(text, 40)) {
    digest(GCRY_MD_SHA1, text, d);
    return;
  }
  for (int i = 0; i < 20; ++i) d[i] = static_cast<unsigned char>(hex_value(text[2 * i]) * 16 + hex_value(text[2 * i + 1]));
}

void cmd_cmp_pass(const ScriptArgs& a, ScriptOut& out) {
  unsigned char x[20], y[20];
  pass_digest(a[1], x);
  pass_digest(a[2], y);
  // Every byte is compared, so the time taken tells nothing about where
  // two digests part.
  unsigned diff = 0;
  for (int i = 0; i < 20; ++i) diff |= static_cast<unsigned>(x[i] ^ y[i]);
  if (diff) out.put_char('1');
}

const ScriptCommandDef kPasswords[] = {
    {"md5", 1, 1, cmd_md5},           {"md5_pass", 1, 1, cmd_md5_pass}, {"sha", 1, 1, cmd_sha},
    {"sha_pass", 1, 1, cmd_sha_pass}, {"cmp_pass", 2, 2, cmd_cmp_pass},
};

// ---- Registers -------------------------------------------------------------

// Process-wide; zero until set, kept across page runs.
int32_t g_register[16];

void cmd_set_register(const ScriptArgs& a, ScriptOut&) {
  if (!a[1][0] || !a[2][0]) return;
  const int32_t i = script_number(a[1]);
  if (i >= 0 && i < 16) g_register[i] = script_number(a[2]);
}

void cmd_get_register(const ScriptArgs& a, ScriptOut& out) {
  if (!a[1][0]) return;
  const int32_t i = script_number(a[1]);
  if (i >= 0 && i < 16) out.put_int(g_register[i]);
}

const ScriptCommandDef kRegisters[] = {
    {"set_register", 2, 2, cmd_set_register},
    {"get_register", 1, 1, cmd_get_register},
};

// ---- Time ------------------------------------------------------------------

constexpr int64_t kEarliestShown = 1609372801;

// Days since 1970-01-01 to the civil date (proleptic Gregorian).
void civil(int64_t days, int& year, int& month, int& day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

// Seconds as written in a script; times run past 2038, so they are read
// with 64 bits.
int64_t read_seconds(std::string_view s) {
  bool negative = false;
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  int64_t v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9' && v < (int64_t{1} << 40); ++i) v = v * 10 + (s[i] - '0');
  return negative ? -v : v;
}

void cmd_os_time(const ScriptArgs&, ScriptOut& out) { out.put_int(script_seconds_clock()()); }

void cmd_time(const ScriptArgs&, ScriptOut& out) { out.put_uint(static_cast<uint64_t>(unix_time())); }

void cmd_localtime(const ScriptArgs& a, ScriptOut& out) {
  const int64_t t = a.count() == 1 ? read_seconds(a[1]) : unix_time();
  if (t < kEarliestShown) return;
  const int64_t shown = t - read_seconds(var_view("TZ"));
  int64_t days = shown / 86400;
  int64_t rest = shown % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  int year, month, day;
  civil(days, year, month, day);
  char s[48];
  const int k = std::snprintf(s, sizeof s, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day,
                              static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                              static_cast<int>(rest % 60));
  out.put(std::string_view(s, static_cast<std::size_t>(k)));
}

const ScriptCommandDef kTime[] = {
    {"os_time", 0, 0, cmd_os_time},
    {"time", 0, 0, cmd_time},
    {"localtime", 0, 1, cmd_localtime},
};

// ---- Network ---------------------------------------------------------------

int machine_ipv6_list(std::span<char> out) { return ipv6_address_list(out); }

int machine_item(int family, const char* item, std::span<char> out) {
  return interface_info(family == 6 ? kFamilyIPv6 : kFamilyIPv4, item, out);
}

const ScriptNetInfo kMachine{machine_ipv6_list, machine_item};

const ScriptNetInfo* net_info() {
  const ScriptNetInfo* net = script_net_info();
  return net ? net : &kMachine;
}

void put_item(ScriptOut& out, int family, const char* item) {
  const ScriptNetInfo* net = net_info();
  if (!net || !net->item) return;
  const std::span<char> room = out.room();
  const int n = net->item(family, item, room);
  if (n > 0) out.commit(static_cast<std::size_t>(n));
}

void cmd_ipv6_list(const ScriptArgs&, ScriptOut& out) {
  const ScriptNetInfo* net = net_info();
  if (!net || !net->ipv6_list) return;
  const std::span<char> room = out.room();
  const int n = net->ipv6_list(room);
  if (n > 0) out.commit(static_cast<std::size_t>(n));
}

// 2000::/3: the first group's top three bits are 001.
bool global_unicast(std::string_view ip) {
  uint32_t group = 0;
  std::size_t i = 0;
  for (; i < ip.size() && i < 5 && ip[i] != ':'; ++i) {
    const char c = ip[i];
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    if (d < 0) return false;
    group = group * 16 + static_cast<uint32_t>(d);
  }
  if (i == 0 || i > 4 || i >= ip.size() || ip[i] != ':') return false;
  return (group >> 13) == 1;
}

void cmd_ipv6(const ScriptArgs&, ScriptOut& out) {
  const std::size_t start = out.len;
  put_item(out, 6, "ip");
  if (out.overflow) return;
  if (!global_unicast(std::string_view(out.data + start, out.len - start))) {
    out.len = start;
    out.terminate();
  }
}

void cmd_if_config(const ScriptArgs& a, ScriptOut& out) { put_item(out, 4, a[1]); }
void cmd_if6_config(const ScriptArgs& a, ScriptOut& out) { put_item(out, 6, a[1]); }

const ScriptCommandDef kNetwork[] = {
    {"ipv6_list", 0, -1, cmd_ipv6_list},
    {"ipv6", 0, -1, cmd_ipv6},
    {"if_config", 1, 2, cmd_if_config},
    {"if6_config", 1, 2, cmd_if6_config},
};

}  // namespace

int script_family_profile(const ScriptArgs& args, ScriptOut& out) { return script_run_table(kProfile, args, out); }
int script_family_passwords(const ScriptArgs& args, ScriptOut& out) { return script_run_table(kPasswords, args, out); }
int script_family_registers(const ScriptArgs& args, ScriptOut& out) { return script_run_table(kRegisters, args, out); }
int script_family_time(const ScriptArgs& args, ScriptOut& out) { return script_run_table(kTime, args, out); }
int script_family_network(const ScriptArgs& args, ScriptOut& out) { return script_run_table(kNetwork, args, out); }
