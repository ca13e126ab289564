#include "service/core/json.h"

#include <climits>
#include <cstring>
#include <string>

#include "service/core/text.h"

// Every scan below stops at the terminating NUL: the NUL is neither white
// space, nor a separator, nor part of any token, so each loop that looks for
// one of those ends there and reports failure or the end of the value.

namespace {

const char* skip_ws(const char* p) {
  while (is_space(*p)) ++p;
  return p;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool starts_with(const char* p, const char* word) {
  // Compares byte by byte, so a shorter text ends the comparison at its NUL.
  for (; *word; ++p, ++word) {
    if (*p != *word) return false;
  }
  return true;
}

// p at '"': position after the closing quote, or nullptr when the text ends
// first.
const char* skip_string(const char* p) {
  for (++p;; ++p) {
    if (*p == '\0') return nullptr;
    if (*p == '"') return p + 1;
    if (*p == '\\') {
      if (p[1] == '\0') return nullptr;
      ++p;
    }
  }
}

bool is_raw_stop(char c) {
  return c == '\0' || is_space(c) || c == ',' || c == ':' || c == ']' || c == '}';
}

// End of the raw text of the value at p, or nullptr for a malformed
// container or string.
const char* raw_end(const char* p) {
  if (*p == '{' || *p == '[') return json_skip_value(p);
  if (*p == '"') return skip_string(p);
  while (!is_raw_stop(*p)) ++p;
  return p;
}

int copy_raw(const char* p, const char* end, std::span<char> out) {
  auto len = static_cast<size_t>(end - p);
  if (len > INT_MAX - 1) return -1;
  if (len + 1 > out.size()) {
    if (!out.empty()) out[0] = '\0';
    return static_cast<int>(len + 1);
  }
  std::memcpy(out.data(), p, len);
  out[len] = '\0';
  return static_cast<int>(len);
}

char unescape(char c) {
  if (c == 'r') return '\r';
  if (c == 'n') return '\n';
  if (c == 't') return '\t';
  return c;
}

// Decoded key of the member at key, compared with the wanted key. Keys that
// do not fit the 128-byte key buffer never match.
bool key_equals(const char* key, const char* wanted, size_t wanted_len) {
  if (wanted_len >= static_cast<size_t>(kJsonKeyCapacity)) return false;
  char buf[kJsonKeyCapacity];
  int n = json_value(key, buf);
  return n >= 0 && n < kJsonKeyCapacity && static_cast<size_t>(n) == wanted_len &&
         std::memcmp(buf, wanted, wanted_len) == 0;
}

struct Member {
  const char* key;
  const char* value;
};

// Steps to the next member of an object. cur stands after the "{" or after
// the previous value. 1 with m filled, 0 at the closing brace (cur on it),
// -1 when malformed. The separator after a key is taken on trust.
int next_member(const char*& cur, Member& m) {
  const char* p = skip_ws(cur);
  while (*p == ',') p = skip_ws(p + 1);
  cur = p;
  if (*p == '}') return 0;
  if (*p != '"') return -1;
  m.key = p;
  p = skip_string(p);
  if (!p) return -1;
  p = skip_ws(p);
  if (*p == '\0') return -1;
  m.value = skip_ws(p + 1);
  return 1;
}

// Skips the value of a member or element and checks what follows it.
const char* after_value(const char* value, char close) {
  const char* end = json_skip_value(value);
  if (!end) return nullptr;
  const char* s = skip_ws(end);
  if (*s != ',' && *s != close) return nullptr;
  return end;
}

// Finds the first member with the key; the object starts at o ("{").
bool find_member(const char* o, const char* key, Member& m) {
  size_t key_len = std::strlen(key);
  const char* cur = o + 1;
  for (;;) {
    if (next_member(cur, m) != 1) return false;
    if (key_equals(m.key, key, key_len)) return true;
    cur = after_value(m.value, '}');
    if (!cur) return false;
  }
}

// Element n of the array at p (after optional white space), or nullptr.
const char* find_element(const char* p, int n) {
  if (!p || n < 0) return nullptr;
  const char* cur = skip_ws(p);
  if (*cur != '[') return nullptr;
  ++cur;
  for (int index = 0;; ++index) {
    cur = skip_ws(cur);
    while (*cur == ',') cur = skip_ws(cur + 1);
    if (*cur == ']' || *cur == '\0') return nullptr;
    if (index == n) return cur;
    cur = after_value(cur, ']');
    if (!cur) return nullptr;
  }
}

// Output of json_compact: writes when buf is set, counts always. Only
// structural commas count as trailing commas.
struct CompactSink {
  char* buf = nullptr;
  size_t count = 0;
  size_t trailing_commas = 0;
  void put(char c, bool structural_comma = false) {
    if (buf) buf[count] = c;
    ++count;
    trailing_commas = structural_comma ? trailing_commas + 1 : 0;
  }
  void drop_trailing_commas() {
    count -= trailing_commas;
    trailing_commas = 0;
  }
};

// One pass over the checked document [p, end).
void compact_into(const char* p, const char* end, CompactSink& sink) {
  char open[kJsonMaxDepth];
  int depth = 0;
  while (p < end) {
    char c = *p++;
    if (c == '"') {
      sink.put(c);
      while (p < end) {
        char s = *p++;
        sink.put(s);
        if (s == '\\' && p < end) {
          sink.put(*p++);
          continue;
        }
        if (s == '"') break;
      }
      continue;
    }
    if (is_space(c)) continue;
    if (c == ',') {
      if (depth > 0 && open[depth - 1] == '{' && sink.trailing_commas > 0) continue;
      sink.put(c, true);
      continue;
    }
    if (c == '{' || c == '[') {
      if (depth < kJsonMaxDepth) open[depth++] = c;
    } else if (c == '}' || c == ']') {
      sink.drop_trailing_commas();
      if (depth > 0) --depth;
    }
    sink.put(c);
  }
}

}  // namespace

const char* json_skip_scalar(const char* p) {
  if (!p) return nullptr;
  if (*p == '"') return skip_string(p);
  if (starts_with(p, "null") || starts_with(p, "true")) return p + 4;
  if (starts_with(p, "false")) return p + 5;
  if (*p == '-') ++p;
  const char* digits = p;
  while (is_digit(*p) || *p == '.') ++p;
  return p == digits ? nullptr : p;
}

// Iterative, with an explicit bracket stack, so hostile nesting costs a
// fixed 1 KiB instead of call-stack depth.
const char* json_skip_value(const char* p) {
  if (!p) return nullptr;
  char open[kJsonMaxDepth];
  int depth = 0;
  enum { kValue, kItem, kAfter } state = kValue;
  for (;;) {
    if (state == kValue) {
      if (*p == '{' || *p == '[') {
        if (depth == kJsonMaxDepth) return nullptr;
        open[depth++] = *p++;
        state = kItem;
        continue;
      }
      p = json_skip_scalar(p);
      if (!p) return nullptr;
      if (depth == 0) return p;
      state = kAfter;
      continue;
    }
    bool in_object = open[depth - 1] == '{';
    char close = in_object ? '}' : ']';
    p = skip_ws(p);
    if (*p == ',') {
      ++p;
      state = kItem;
      continue;
    }
    if (*p == close) {
      ++p;
      if (--depth == 0) return p;
      state = kAfter;
      continue;
    }
    // After a value only a comma or the closing bracket may follow.
    if (state == kAfter) return nullptr;
    if (in_object) {
      if (*p != '"') return nullptr;
      const char* key_end = skip_string(p);
      if (!key_end || key_end - p < 3) return nullptr;
      p = skip_ws(key_end);
      if (*p != ':') return nullptr;
      p = skip_ws(p + 1);
    }
    state = kValue;
  }
}

const char* json_skip_object(const char* p) {
  if (!p || *p != '{') return nullptr;
  return json_skip_value(p);
}

const char* json_skip_array(const char* p) {
  if (!p || *p != '[') return nullptr;
  return json_skip_value(p);
}

int json_check(const char* text, int length) {
  if (!text || length < 0) return -1;
  if (!utf8_valid(std::string_view(text, static_cast<size_t>(length)))) return -1;
  int i = 0;
  while (i < length && is_space(text[i])) ++i;
  if (i >= length || (text[i] != '{' && text[i] != '[')) return -1;
  const int start = i;
  char open[kJsonMaxDepth];
  int depth = 0;
  bool in_string = false;
  int close = -1;
  for (; i < length && close < 0; ++i) {
    char c = text[i];
    if (c == '\0') return -1;
    if (in_string) {
      if (c == '\\') {
        if (i + 1 >= length || text[i + 1] == '\0') return -1;
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    switch (c) {
      case '{':
      case '[':
        if (depth == kJsonMaxDepth) return -1;
        open[depth++] = c;
        break;
      case '}':
      case ']':
        if (depth == 0 || open[depth - 1] != (c == '}' ? '{' : '[')) return -1;
        if (--depth == 0) close = i;
        break;
      case ':':
        if (depth > 0 && open[depth - 1] == '[') return -1;
        break;
      case '"':
        in_string = true;
        break;
      default:
        break;
    }
  }
  if (close < 0) return -1;
  const char* end = json_skip_object(text + start);
  if (!end) end = json_skip_array(text + start);
  if (end != text + close + 1) return -1;
  return close + 1;
}

int json_raw_value(const char* p, std::span<char> out) {
  if (!out.empty()) out[0] = '\0';
  if (!p) return -1;
  const char* end = raw_end(p);
  if (!end) return -1;
  return copy_raw(p, end, out);
}

int json_value(const char* p, std::span<char> out) {
  if (!out.empty()) out[0] = '\0';
  if (!p) return -1;
  if (*p != '"') return json_raw_value(p, out);
  const char* end = skip_string(p);
  if (!end) return -1;
  auto raw_len = static_cast<size_t>(end - p);
  if (raw_len == 2) return 0;
  if (raw_len > INT_MAX) return -1;
  // Decoding never lengthens: raw length minus the two quotes, plus the NUL.
  size_t needed = raw_len - 1;
  if (out.size() < needed) return static_cast<int>(needed);
  const char* q = p + 1;
  const char* last = end - 1;
  size_t n = 0;
  while (q < last) {
    char c = *q++;
    if (c == '\\' && q < last) c = unescape(*q++);
    out[n++] = c;
  }
  out[n] = '\0';
  return static_cast<int>(n);
}

int json_key_at(const char* p, int n, std::span<char> out) {
  if (!out.empty()) out[0] = '\0';
  if (!p || n < 0) return -1;
  const char* o = skip_ws(p);
  if (*o != '{') return -1;
  const char* cur = o + 1;
  Member m{};
  for (int index = 0;; ++index) {
    if (next_member(cur, m) != 1) return -1;
    if (index == n) {
      if (out.empty()) return static_cast<int>(m.key - p);
      return json_value(m.key, out);
    }
    cur = after_value(m.value, '}');
    if (!cur) return -1;
  }
}

int json_get(const char* p, const char* key, std::span<char> out) {
  if (!out.empty()) out[0] = '\0';
  if (!p || !key) return -1;
  const char* o = skip_ws(p);
  if (*o != '{') return -1;
  Member m{};
  if (!find_member(o, key, m)) return -1;
  if (out.empty()) return static_cast<int>(m.value - p);
  return json_value(m.value, out);
}

int json_raw_at(const char* p, int n, std::span<char> out) {
  if (!out.empty()) out[0] = '\0';
  const char* e = find_element(p, n);
  if (!e) return -1;
  if (out.empty()) return static_cast<int>(e - p);
  return json_raw_value(e, out);
}

int json_at(const char* p, int n, std::span<char> out) {
  if (!out.empty()) out[0] = '\0';
  const char* e = find_element(p, n);
  if (!e) return -1;
  if (out.empty()) return static_cast<int>(e - p);
  return json_value(e, out);
}

namespace {

// An array index step: digits only, within int range; -1 otherwise.
int parse_index(const std::string& step) {
  if (step.empty()) return -1;
  long long value = 0;
  for (char c : step) {
    if (!is_digit(c)) return -1;
    value = value * 10 + (c - '0');
    if (value > INT_MAX) return -1;
  }
  return static_cast<int>(value);
}

}  // namespace

int json_path(const char* text, const char* path, std::span<char> out) {
  if (!out.empty()) out[0] = '\0';
  if (!text) return 0;
  size_t len = std::strlen(text);
  if (len > INT_MAX || json_check(text, static_cast<int>(len)) < 0) return 0;
  SplitList steps = text_split(path ? std::string_view(path) : std::string_view(), ',');
  const char* cur = skip_ws(text);
  for (const std::string& step : steps.items) {
    int offset;
    if (*cur == '{') {
      offset = json_get(cur, step.c_str(), {});
    } else if (*cur == '[') {
      int index = parse_index(step);
      if (index < 0) return -1;
      offset = json_raw_at(cur, index, {});
    } else {
      return -1;
    }
    if (offset <= 0) return offset;
    cur += offset;
  }
  if (out.empty()) return static_cast<int>(cur - text);
  return json_value(cur, out);
}

int json_remove(char* text, const char* key) {
  if (!text) return 0;
  size_t len = std::strlen(text);
  if (len > INT_MAX) return -1;
  if (!key) return static_cast<int>(len);
  const char* o = skip_ws(text);
  // Only a well-formed object is edited, so the cut below always lands on
  // member boundaries.
  const char* end = json_skip_object(o);
  if (!end) return static_cast<int>(len);
  Member m{};
  if (!find_member(o, key, m)) return static_cast<int>(len);
  // The member runs from just after the "{" or "," before it (white space
  // included) up to the next member's key or the closing brace.
  const char* from = m.key;
  while (from[-1] != '{' && from[-1] != ',') --from;
  const char* to = skip_ws(json_skip_value(m.value));
  while (*to == ',') to = skip_ws(to + 1);
  auto cut_from = static_cast<size_t>(from - text);
  auto cut_to = static_cast<size_t>(to - text);
  auto close = static_cast<size_t>(end - 1 - text) - (cut_to - cut_from);
  std::memmove(text + cut_from, text + cut_to, len - cut_to + 1);
  // A removed last member leaves its comma behind: drop it, and with it
  // everything after the closing brace.
  auto open = static_cast<size_t>(o - text);
  size_t j = close;
  while (j > open + 1 && (is_space(text[j - 1]) || text[j - 1] == ',')) --j;
  text[j] = '}';
  text[j + 1] = '\0';
  return static_cast<int>(j + 1);
}

namespace {

int compact_fail(std::span<char> dest) {
  if (!dest.empty()) dest[0] = '\0';
  return 0;
}

}  // namespace

int json_compact(const char* source, std::span<char> dest) {
  // dest may be the source itself: nothing is written before the check.
  if (!source) return compact_fail(dest);
  size_t len = std::strlen(source);
  if (len > INT_MAX) return compact_fail(dest);
  int n = json_check(source, static_cast<int>(len));
  if (n < 0) return compact_fail(dest);
  const char* begin = skip_ws(source);
  const char* end = source + n;
  CompactSink count;
  compact_into(begin, end, count);
  if (count.count + 1 > dest.size()) return compact_fail(dest);
  // Writing never overtakes reading, so dest may be the source itself.
  CompactSink write;
  write.buf = dest.data();
  compact_into(begin, end, write);
  dest[write.count] = '\0';
  return static_cast<int>(write.count);
}
