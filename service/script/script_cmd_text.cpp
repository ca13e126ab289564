// Command families for numbers and bytes, string splitting and JSON.
// Arguments are already substituted; unusable arguments give no text.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "service/core/json.h"
#include "service/core/text.h"
#include "service/script/script_internal.h"

namespace {

bool space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && space(s.front())) s.remove_prefix(1);
  while (!s.empty() && space(s.back())) s.remove_suffix(1);
  return s;
}

// ---- Numbers and bytes -----------------------------------------------------

void cmd_trim(const ScriptArgs& a, ScriptOut& out) { out.put(trimmed(a[1])); }

void put_hex(ScriptOut& out, uint32_t v, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char s[8];
  int k = 0;
  do {
    s[k++] = digits[v & 15];
    v >>= 4;
  } while (v);
  while (k > 0) out.put_char(s[--k]);
}

void cmd_to_HEX(const ScriptArgs& a, ScriptOut& out) { put_hex(out, static_cast<uint32_t>(script_number(a[1])), true); }
void cmd_to_hex(const ScriptArgs& a, ScriptOut& out) { put_hex(out, static_cast<uint32_t>(script_number(a[1])), false); }

void cmd_to_bin(const ScriptArgs& a, ScriptOut& out) {
  const uint32_t v = static_cast<uint32_t>(script_number(a[1]));
  for (int bit = 31; bit >= 0; --bit) out.put_char((v >> bit) & 1 ? '1' : '0');
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void cmd_parse_hex(const ScriptArgs& a, ScriptOut& out) {
  uint32_t v = 0;
  for (const char* p = a[1]; hex_digit(*p) >= 0; ++p) v = v * 16 + static_cast<uint32_t>(hex_digit(*p));
  out.put_int(static_cast<int32_t>(v));
}

void cmd_parse_bin(const ScriptArgs& a, ScriptOut& out) {
  uint32_t v = 0;
  for (const char* p = a[1]; *p == '0' || *p == '1'; ++p) v = v * 2 + static_cast<uint32_t>(*p - '0');
  out.put_int(static_cast<int32_t>(v));
}

const ScriptCommandDef kNumbers[] = {
    {"trim", 1, 1, cmd_trim},           {"to_HEX", 1, 1, cmd_to_HEX},       {"to_hex", 1, 1, cmd_to_hex},
    {"to_bin", 1, 1, cmd_to_bin},       {"parse_hex", 1, 1, cmd_parse_hex}, {"parse_bin", 1, 1, cmd_parse_bin},
};

// ---- String splitting ------------------------------------------------------

void cmd_split(const ScriptArgs& a, ScriptOut&) {
  if (!a[1][0] || !a[2][0] || !a[3][0]) return;
  const SplitList parts = text_split(a[1], a[2][0]);
  if (parts.count() == 0) return;
  const std::string_view array = a[3];
  if (array.size() > 1000) return;
  char name[1024];
  std::memcpy(name, array.data(), array.size());
  auto put = [&](int index, std::string_view value) {
    const int k = std::snprintf(name + array.size(), sizeof name - array.size(), "[%d]", index);
    return store_put(std::string_view(name, array.size() + static_cast<std::size_t>(k)), value) != nullptr;
  };
  char count[16];
  std::snprintf(count, sizeof count, "%d", parts.count());
  if (!put(0, count)) return;
  for (int i = 0; i < parts.count(); ++i) {
    if (!put(i + 1, parts.items[static_cast<std::size_t>(i)])) return;
  }
}

void cmd_replace(const ScriptArgs& a, ScriptOut& out) {
  const std::string_view from = a[1], to = a[2], text = a[3];
  if (from.empty() || to.empty() || text.empty()) return;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t hit = text.find(from, i);
    if (hit == std::string_view::npos) break;
    out.put(text.substr(i, hit - i));
    out.put(to);
    i = hit + from.size();
  }
  out.put(text.substr(i));
}

void cmd_cut_before(const ScriptArgs& a, ScriptOut& out) {
  const std::string_view marker = a[1], text = a[2];
  if (marker.empty() || text.empty()) return;
  const std::size_t hit = text.find(marker);
  if (hit == std::string_view::npos) return;
  out.put(text.substr(0, hit));
}

void cmd_cut_after(const ScriptArgs& a, ScriptOut& out) {
  const std::string_view marker = a[1], text = a[2];
  if (marker.empty() || text.empty()) return;
  const std::size_t hit = text.find(marker);
  if (hit == std::string_view::npos) return;
  out.put(text.substr(hit + marker.size()));
}

const ScriptCommandDef kSplit[] = {
    {"split", 3, 3, cmd_split},
    {"replace", 3, 3, cmd_replace},
    {"cut_before", 2, 2, cmd_cut_before},
    {"cut_after", 2, 2, cmd_cut_after},
};

// ---- JSON ------------------------------------------------------------------

const char* skip_space(const char* p) {
  while (space(*p)) ++p;
  return p;
}

// Raw elements of an array text; an empty text or one that is no array has
// none. Returns false when the text is no array.
template <typename F>
bool each_element(const char* text, F visit) {
  const char* p = skip_space(text);
  if (*p != '[' || !json_skip_array(p)) return false;
  ++p;
  for (;;) {
    while (space(*p) || *p == ',') ++p;
    if (*p == ']' || *p == '\0') return true;
    const char* end = json_skip_value(p);
    if (!end) return true;
    if (!visit(p, std::string_view(p, static_cast<std::size_t>(end - p)))) return true;
    p = end;
  }
}

// Decoded element text (as json_at gives it) in a temporary buffer.
std::string_view decoded(const char* element, std::size_t raw_size) {
  char* buf = store_temp_or_fail(raw_size + 2);
  if (!buf) return {};
  const int n = json_value(element, std::span<char>(buf, raw_size + 2));
  if (n <= 0 || static_cast<std::size_t>(n) > raw_size + 1) return std::string_view(buf, 0);
  return std::string_view(buf, static_cast<std::size_t>(n));
}

void cmd_json(const ScriptArgs& a, ScriptOut& out) {
  if (!a[1][0]) return;
  char path[128];
  std::size_t n = 0;
  for (int i = 2; i < a.n; ++i) {
    const std::size_t k = std::strlen(a[i]);
    // A path longer than 127 bytes addresses nothing.
    if (n + k + (i > 2 ? 1 : 0) >= sizeof path) return;
    if (i > 2) path[n++] = ',';
    std::memcpy(path + n, a[i], k);
    n += k;
  }
  path[n] = '\0';
  const std::span<char> room = out.room();
  const int r = json_path(a[1], path, room);
  if (r <= 0) {
    room[0] = '\0';
    return;
  }
  out.commit(static_cast<std::size_t>(r));
}

void cmd_json_compact(const ScriptArgs& a, ScriptOut& out) {
  const std::size_t k = std::strlen(a[1]);
  const std::span<char> room = out.room();
  if (k + 1 > room.size()) {
    out.overflow = true;
    return;
  }
  const int r = json_compact(a[1], room.data());
  if (r > 0) out.commit(static_cast<std::size_t>(r));
}

void cmd_json_check(const ScriptArgs& a, ScriptOut& out) {
  const int r = json_check(a[1], static_cast<int>(std::strlen(a[1])));
  if (r >= 0) out.put_int(r);
}

void cmd_json_split(const ScriptArgs& a, ScriptOut& out) {
  if (!a[1][0] || !a[2][0]) return;
  const SplitList parts = text_split(a[2], a[1][0]);
  if (parts.count() == 0) return;
  out.put_char('[');
  for (int i = 0; i < parts.count(); ++i) {
    if (i) out.put_char(',');
    out.put_char('"');
    out.put(parts.items[static_cast<std::size_t>(i)]);
    out.put_char('"');
  }
  out.put_char(']');
}

void cmd_json_count(const ScriptArgs& a, ScriptOut& out) {
  if (!a[1][0]) return;
  int count = 0;
  each_element(a[1], [&](const char*, std::string_view) {
    ++count;
    return true;
  });
  out.put_int(count);
}

void cmd_json_add(const ScriptArgs& a, ScriptOut& out) {
  const std::string_view object = a[1][0] ? std::string_view(a[1]) : std::string_view("{}");
  const std::size_t close = object.rfind('}');
  if (close == std::string_view::npos) return;  // no object to add to
  std::size_t at = close;
  while (at > 0 && (space(object[at - 1]) || object[at - 1] == ',')) --at;
  out.put(object.substr(0, at));
  if (at == 0 || object[at - 1] != '{') out.put_char(',');
  out.put(a[2]);
  out.put_char('}');
}

void cmd_json_del(const ScriptArgs& a, ScriptOut& out) {
  if (!a[1][0]) return;
  const std::size_t start = out.len;
  if (!out.put(a[1])) return;
  const int n = json_remove(out.data + start, a[2]);
  if (n < 0) return;
  out.len = start + static_cast<std::size_t>(n);
  out.terminate();
}

// Elements of an array into a temporary list.
struct Elements {
  std::string_view* items = nullptr;
  std::size_t count = 0;
};

Elements collect(const char* text) {
  int n = 0;
  each_element(text, [&](const char*, std::string_view) {
    ++n;
    return true;
  });
  Elements e;
  if (n == 0) return e;
  void* mem = store_temp_or_fail(sizeof(std::string_view) * static_cast<std::size_t>(n) + alignof(std::string_view));
  if (!mem) return e;
  auto addr = reinterpret_cast<std::uintptr_t>(mem);
  addr = (addr + alignof(std::string_view) - 1) & ~(static_cast<std::uintptr_t>(alignof(std::string_view)) - 1);
  e.items = reinterpret_cast<std::string_view*>(addr);
  each_element(text, [&](const char*, std::string_view raw) {
    if (e.count < static_cast<std::size_t>(n)) new (e.items + e.count++) std::string_view(raw);
    return true;
  });
  return e;
}

void cmd_json_seq_ins(const ScriptArgs& a, ScriptOut& out) {
  const Elements e = collect(a[1]);
  out.put_char('[');
  out.put(a[2]);
  for (std::size_t i = 0; i < e.count; ++i) {
    out.put_char(',');
    out.put(e.items[i]);
  }
  out.put_char(']');
}

void cmd_json_seq_add(const ScriptArgs& a, ScriptOut& out) {
  const Elements e = collect(a[1]);
  out.put_char('[');
  for (std::size_t i = 0; i < e.count; ++i) {
    out.put(e.items[i]);
    out.put_char(',');
  }
  out.put(a[2]);
  out.put_char(']');
}

// Writes the elements that keep() accepts; nothing when none remains.
template <typename F>
void put_filtered(ScriptOut& out, const Elements& e, F keep) {
  const std::size_t start = out.len;
  bool any = false;
  out.put_char('[');
  for (std::size_t i = 0; i < e.count; ++i) {
    if (!keep(i, e.items[i])) continue;
    if (any) out.put_char(',');
    out.put(e.items[i]);
    any = true;
  }
  out.put_char(']');
  if (!any && !out.overflow) {
    out.len = start;
    out.terminate();
  }
}

void cmd_json_seq_del(const ScriptArgs& a, ScriptOut& out) {
  const Elements e = collect(a[1]);
  const int32_t index = script_number(a[2]);
  put_filtered(out, e, [&](std::size_t i, std::string_view) { return static_cast<int64_t>(i) != index; });
}

bool quoted_equal(std::string_view raw, std::string_view value) {
  return raw.size() == value.size() + 2 && raw.front() == '"' && raw.back() == '"' &&
         raw.substr(1, value.size()) == value;
}

void cmd_json_set_del(const ScriptArgs& a, ScriptOut& out) {
  const Elements e = collect(a[1]);
  const std::string_view value = a[2];
  put_filtered(out, e, [&](std::size_t, std::string_view raw) { return raw != value && !quoted_equal(raw, value); });
}

bool contains_decoded(const Elements& e, std::string_view value) {
  for (std::size_t i = 0; i < e.count; ++i) {
    const std::size_t mark = store_temp_mark();
    const bool same = decoded(e.items[i].data(), e.items[i].size()) == value;
    store_temp_release(mark);
    if (same) return true;
  }
  return false;
}

void cmd_json_set_contain(const ScriptArgs& a, ScriptOut& out) {
  const Elements e = collect(a[1]);
  out.put(contains_decoded(e, a[2]) ? "true" : "false");
}

// Every decoded element of from is among the decoded elements of in.
bool covered(const Elements& from, const Elements& in) {
  for (std::size_t i = 0; i < from.count; ++i) {
    const std::size_t mark = store_temp_mark();
    const std::string_view v = decoded(from.items[i].data(), from.items[i].size());
    const bool found = !script_stopped() && contains_decoded(in, v);
    store_temp_release(mark);
    if (!found) return false;
  }
  return true;
}

void cmd_json_set_cmp(const ScriptArgs& a, ScriptOut& out) {
  const Elements x = collect(a[1]);
  const Elements y = collect(a[2]);
  if (script_stopped()) return;
  if (x.count != y.count || !covered(x, y) || !covered(y, x)) out.put_char('1');
}

const ScriptCommandDef kJson[] = {
    {"json", 2, -1, cmd_json},
    {"json_compact", 1, 1, cmd_json_compact},
    {"json_check", 1, 1, cmd_json_check},
    {"json_split", 2, 2, cmd_json_split},
    {"json_count", 1, 1, cmd_json_count},
    {"json_add", 2, 2, cmd_json_add},
    {"json_del", 2, 2, cmd_json_del},
    {"json_seq_ins", 2, 2, cmd_json_seq_ins},
    {"json_seq_add", 2, 2, cmd_json_seq_add},
    {"json_seq_del", 2, 2, cmd_json_seq_del},
    {"json_set_contain", 2, 2, cmd_json_set_contain},
    {"json_set_del", 2, 2, cmd_json_set_del},
    {"json_set_cmp", 2, 2, cmd_json_set_cmp},
};

}  // namespace

int script_family_numbers(const ScriptArgs& args, ScriptOut& out) { return script_run_table(kNumbers, args, out); }
int script_family_split(const ScriptArgs& args, ScriptOut& out) { return script_run_table(kSplit, args, out); }
int script_family_json(const ScriptArgs& args, ScriptOut& out) { return script_run_table(kJson, args, out); }
