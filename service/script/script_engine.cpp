// The scanner and statement executor: one pass over the text, no tree.
//
//   text      := { page-byte | "<$" block }
//   block     := { statement terminator } [ "$>" ]
//   statement := bytes up to ";", CR, LF or "$>" outside quotes and comments
//
// Control flow is a stack of flag bytes; a loop repeats by jumping back to
// the text position of its while statement, which is then read again.
#include <cstdio>
#include <cstring>
#include <string>

#include "service/core/file_util.h"
#include "service/script/script_internal.h"

namespace {

constexpr uint8_t kTrue = 0x01;    // condition of the level holds
constexpr uint8_t kJoined = 0x10;  // closed by the same fi as the level above
constexpr uint8_t kLoop = 0x20;    // a while level
constexpr std::size_t kStmtSize = kScriptStatementMax + 1;

struct Level {
  uint8_t flag;
  uint32_t start;
  int32_t line;
};

struct Run {
  const char* text;
  std::size_t len;
  std::size_t pos = 0;
  bool named = false;
  bool inside = false;
  char quote = 0;
  int comment = 0;
  // Room for the few bytes that statement preparation inserts.
  char stmt[kStmtSize + 8];
  std::size_t stmt_len = 0;
  std::size_t stmt_start = 0;
  int32_t stmt_line = 0;
  Level level[kScriptLevelMax + 1];
  int depth = 0;
  bool active = true;
  char* out;
  std::size_t out_cap;  // without the NUL slot
  std::size_t out_len = 0;
  std::size_t temp_base = 0;
  bool ended = false;  // exit
};

bool g_stop = false;
int g_line = 0;
int g_nesting = 0;
long g_steps = 0;
long g_budget = kScriptStepBudget;
std::size_t g_floor = 0;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

void recompute(Run& r) {
  r.active = true;
  for (int i = 0; i <= r.depth; ++i) {
    if (!(r.level[i].flag & kTrue)) r.active = false;
  }
}

// ---- Scanner -------------------------------------------------------------

bool append(Run& r, char c) {
  if (r.stmt_len >= kStmtSize) {
    script_fail("statement too long");
    return false;
  }
  if (r.stmt_len == 0) {
    r.stmt_start = r.pos;
    r.stmt_line = g_line;
  }
  r.stmt[r.stmt_len++] = c;
  return true;
}

void execute(Run& r);

// Ends the collected statement: the terminating byte becomes the NUL.
void end_statement(Run& r) {
  r.stmt[r.stmt_len - 1] = '\0';
  r.stmt_len = 0;
  execute(r);
}

bool at(const Run& r, std::size_t i, char c) { return i < r.len && r.text[i] == c; }

// Reads the byte after a backslash (counted like any byte read).
char read_escaped(Run& r) {
  ++r.pos;
  const char d = r.text[r.pos];
  if (d == '\n' && r.named) ++g_line;
  return d;
}

void skip_line_comment(Run& r) {
  while (r.pos < r.len && r.text[r.pos] != '\r' && r.text[r.pos] != '\n') ++r.pos;
}

void emit(Run& r, char c) {
  if (r.out_len >= r.out_cap) {
    script_fail("output too long");
    return;
  }
  r.out[r.out_len++] = c;
}

void page_byte(Run& r, char c) {
  if (c == '<' && at(r, r.pos + 1, '$')) {
    r.inside = true;
    r.quote = 0;
    r.comment = 0;
    r.stmt_len = 0;
    r.pos += 2;
    return;
  }
  if (r.active) emit(r, c);
  ++r.pos;
}

bool split_word(const Run& r) {
  if (r.pos + 6 > r.len) return false;
  const char* p = r.text + r.pos;
  return std::memcmp(p, " then ", 6) == 0 || std::memcmp(p, " else ", 6) == 0;
}

void script_byte(Run& r, char c) {
  // A backslash before blanks up to a line feed joins the lines; that line
  // feed is not counted.
  if (c == '\\') {
    std::size_t j = r.pos + 1;
    while (j < r.len && (r.text[j] == ' ' || r.text[j] == '\t' || r.text[j] == '\r')) ++j;
    if (j < r.len && r.text[j] == '\n') {
      r.pos = j + 1;
      return;
    }
  }
  if (r.quote) {
    if (!append(r, c)) return;
    if (c == r.quote) {
      r.quote = 0;
    } else if (c == '\\' && r.pos + 1 < r.len) {
      if (!append(r, read_escaped(r))) return;
    }
    ++r.pos;
    return;
  }
  if (c == '/' && at(r, r.pos + 1, '*')) {
    ++r.comment;
    r.pos += 2;
    return;
  }
  if (c == '*' && at(r, r.pos + 1, '/')) {
    if (r.comment == 0) {
      script_fail("format error");
      return;
    }
    --r.comment;
    r.pos += 2;
    return;
  }
  if (r.comment) {
    ++r.pos;
    return;
  }
  if (c == '"' || (c == '#' && r.stmt_len > 0)) {
    if (!append(r, c)) return;
    r.quote = c;
    ++r.pos;
    return;
  }
  if (c == ' ' && split_word(r)) {
    if (r.stmt_len > 0) {
      // The blank is read again after the statement, as the start of the
      // word that follows.
      if (append(r, ';')) end_statement(r);
      return;
    }
    const char* word = r.text[r.pos + 1] == 't' ? "then ;" : "else ;";
    for (const char* w = word; *w; ++w) append(r, *w);
    r.pos += 5;
    end_statement(r);
    return;
  }
  if (r.stmt_len == 0) {
    if (c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == ';') {
      ++r.pos;
      return;
    }
    if (c == '#') {
      skip_line_comment(r);
      return;
    }
  }
  if (c == '/' && at(r, r.pos + 1, '/')) {
    skip_line_comment(r);
    return;
  }
  char last = c;
  if (c == '\\' && r.pos + 1 < r.len) {
    if (!append(r, c)) return;
    last = read_escaped(r);
    if (!append(r, last)) return;
  } else if (c == '{' && at(r, r.pos + 1, '#')) {
    if (!append(r, c) || !append(r, '#')) return;
    ++r.pos;
    last = '#';
  } else if (!append(r, c)) {
    return;
  }
  ++r.pos;
  if (last == '\n' || last == '\r' || last == ';') {
    end_statement(r);
    return;
  }
  if (last == '$' && at(r, r.pos, '>')) {
    ++r.pos;
    r.inside = false;
    end_statement(r);
  }
}

void scan(Run& r) {
  for (;;) {
    if (g_stop || r.ended) return;
    if (r.pos >= r.len) {
      if (r.quote || r.comment) {
        script_fail("format error");
        return;
      }
      if (r.inside && r.stmt_len > 0) {
        if (r.stmt_len >= kStmtSize) {
          script_fail("statement too long");
          return;
        }
        r.stmt[r.stmt_len] = '\0';
        r.stmt_len = 0;
        execute(r);
        continue;  // a final done may jump back
      }
      if (r.depth > 0) script_fail("if [ ] has no fi");
      return;
    }
    const char c = r.text[r.pos];
    if (c == '\n' && r.named) ++g_line;
    if (r.inside) {
      script_byte(r, c);
    } else {
      page_byte(r, c);
    }
  }
}

// ---- Statements ----------------------------------------------------------

bool starts(const char* s, const char* prefix) { return std::strncmp(s, prefix, std::strlen(prefix)) == 0; }

// Trims the statement and gives "if[", "elif[" and "while[" and a final "]"
// of a condition their blanks. Returns the statement start.
char* prepare(char* s) {
  while (*s == '\t' || *s == '\n' || *s == '\r' || *s == ' ') ++s;
  std::size_t n = std::strlen(s);
  while (n > 0 && (s[n - 1] == '\t' || s[n - 1] == '\r' || s[n - 1] == ' ')) s[--n] = '\0';
  for (const char* kw : {"if[", "elif[", "while["}) {
    const std::size_t k = std::strlen(kw);
    if (std::strncmp(s, kw, k) != 0) continue;
    // "kw[" becomes "kw [ ": two bytes more, within the spare room.
    std::memmove(s + k + 2, s + k, n - k + 1);
    s[k - 1] = ' ';
    s[k] = '[';
    s[k + 1] = ' ';
    n += 2;
    break;
  }
  if ((starts(s, "if ") || starts(s, "elif ") || starts(s, "while ")) && n > 0 && s[n - 1] == ']') {
    s[n - 1] = ' ';
    s[n] = ']';
    s[n + 1] = '\0';
  }
  return s;
}

// Splits in place; -1 after an error.
int tokenize(char* s, const char** tok) {
  int n = 0;
  std::size_t i = 0;
  const char* base = s;
  while (s[i]) {
    if (is_blank(s[i])) {
      ++i;
      continue;
    }
    if (n == kScriptTokenMax) {
      script_fail("too many tokens");
      return -1;
    }
    const char c = s[i];
    if (c == '"' || (c == '#' && !(s + i > base && s[i - 1] == '{'))) {
      std::size_t j = i + 1;
      while (s[j] && s[j] != c) j += (s[j] == '\\' && s[j + 1]) ? 2 : 1;
      tok[n++] = s + i + 1;
      if (s[j]) s[j++] = '\0';
      i = j;
      continue;
    }
    tok[n++] = s + i;
    while (s[i] && !is_blank(s[i])) i += (s[i] == '\\' && s[i + 1]) ? 2 : 1;
    if (s[i]) s[i++] = '\0';
  }
  tok[n] = nullptr;
  return n;
}

void jump_back(Run& r, const Level& lv) {
  if (!script_take_step()) return;
  r.pos = lv.start;
  g_line = lv.line;
  r.inside = true;
  r.quote = 0;
  r.comment = 0;
  r.stmt_len = 0;
}

bool push_level(Run& r, uint8_t flag) {
  if (r.depth >= kScriptLevelMax) {
    script_fail("too many open blocks");
    return false;
  }
  Level& lv = r.level[++r.depth];
  lv.flag = flag;
  lv.start = static_cast<uint32_t>(r.stmt_start);
  lv.line = r.stmt_line;
  recompute(r);
  return true;
}

int find_loop(const Run& r) {
  for (int k = r.depth; k >= 1; --k) {
    if (r.level[k].flag & kLoop) return k;
  }
  return 0;
}

// Block statements; true when the statement was one (handled or failed).
bool block_statement(Run& r, const char** t, int n) {
  const char* t0 = t[0];
  const bool loop = script_eq(t0, "while");
  if (loop || script_eq(t0, "if") || script_eq(t0, "elif")) {
    if ((n == 4 || !r.active) && n >= 3 && script_eq(t[1], "[") && script_eq(t[n - 1], "]")) {
      uint8_t flag = (r.active && script_truth(t[2])) ? kTrue : 0;
      if (loop) flag |= kLoop;
      push_level(r, flag);
    } else if (r.active) {
      script_fail_tokens("format error", t, n);
    }
    return true;
  }
  const bool is_fi = script_eq(t0, "fi");
  const bool is_done = script_eq(t0, "done");
  if ((is_fi || is_done || script_eq(t0, "else")) && n != 1) {
    if (r.active) script_fail_tokens("format error", t, n);
    return true;
  }
  if (n != 1) return false;
  if (is_fi) {
    if (r.depth == 0) {
      script_fail("no match if[] for fi");
      return true;
    }
    --r.depth;
    while (r.depth > 0 && (r.level[r.depth].flag & kJoined)) --r.depth;
    recompute(r);
    return true;
  }
  if (is_done) {
    if (r.depth == 0 || !(r.level[r.depth].flag & kLoop)) {
      script_fail("no match while[] for done");
      return true;
    }
    const Level popped = r.level[r.depth--];
    recompute(r);
    if (r.active && (popped.flag & kTrue)) jump_back(r, popped);
    return true;
  }
  const bool is_break = script_eq(t0, "break");
  if (is_break || script_eq(t0, "continue")) {
    const int k = find_loop(r);
    if (k == 0) {
      script_fail("no match while[] for break");
      return true;
    }
    if (!r.active) return true;
    if (is_break) {
      r.level[k].flag = kLoop;
      recompute(r);
      return true;
    }
    const Level lv = r.level[k];
    r.depth = k - 1;
    recompute(r);
    jump_back(r, lv);
    return true;
  }
  return false;
}

// Runs the command before ">" or ">>" after the current output (not counted)
// and sends its text to the target.
void capture(Run& r, const char** t, int n, bool append_mode) {
  ScriptOut out{r.out + r.out_len, r.out_cap - r.out_len};
  script_dispatch(ScriptArgs{t, n - 2}, out);
  if (g_stop) return;
  const std::string_view text(out.data, std::strlen(out.data));
  const char* target = t[n - 1];
  if (script_eq(target, "null")) {
    out.data[0] = '\0';
    return;
  }
  if (std::strchr(target, '.') || std::strchr(target, '/')) {
    char path[kScriptPathSize];
    if (script_map_path(target, path) > 0) {
      if (append_mode && file_size(path) > 0) {
        if (!text.empty()) {
          if (FILE* f = file_open(path, "ab")) {
            std::fwrite(text.data(), 1, text.size(), f);
            std::fclose(f);
          }
        }
      } else if (text.empty()) {
        file_delete(path);
      } else {
        file_write_atomic(path, text);
      }
    }
    out.data[0] = '\0';
    return;
  }
  if (append_mode) {
    const std::string_view old = var_view(target);
    const std::string_view parts[2] = {old, text};
    store_put(target, parts, 0);
  } else {
    store_put(target, text);
  }
  out.data[0] = '\0';
}

void run_command(Run& r, const char** t, int n) {
  if (n > 2 && script_eq(t[n - 2], ">")) {
    capture(r, t, n, false);
    return;
  }
  if (n > 2 && script_eq(t[n - 2], ">>")) {
    capture(r, t, n, true);
    return;
  }
  ScriptOut out{r.out + r.out_len, r.out_cap - r.out_len};
  script_dispatch(ScriptArgs{t, n}, out);
  r.out_len += out.len;
}

void execute_tokens(Run& r, const char** t, int n) {
  if (n == 0) return;
  if (n == 1 && script_eq(t[0], "then")) return;
  if (n == 1 && script_eq(t[0], "else")) {
    if (r.depth == 0) {
      script_fail("no match if[] for else");
      return;
    }
    r.level[r.depth].flag ^= kTrue;
    recompute(r);
    return;
  }
  if (script_eq(t[0], "elif")) {
    if (r.depth == 0) {
      script_fail("no match if[] for else");
      return;
    }
    Level& lv = r.level[r.depth];
    lv.flag = static_cast<uint8_t>((lv.flag ^ kTrue) | kJoined);
    recompute(r);
  }
  if (r.active) {
    for (;;) {
      const int m = script_counters(t, n);
      if (g_stop) return;
      if (m == n) break;
      n = m;
      if (n == 0) return;
    }
  }
  if (n == 1 && t[0][0] == '$') return;
  if (r.active) {
    for (int i = 0; i < n; ++i) {
      t[i] = script_expand(t[i]);
      if (!t[i] || g_stop) return;
    }
    for (;;) {
      const int m = script_reduce(t, n);
      if (g_stop) return;
      if (m == n) break;
      n = m;
    }
  }
  if (n == 1 && (script_eq(t[0], "{") || script_eq(t[0], "}"))) return;
  if (block_statement(r, t, n)) return;
  if (!r.active) return;
  if (n == 1 && script_eq(t[0], "exit")) {
    r.ended = true;
    return;
  }
  if (n == 2 && script_eq(t[0], "redirect") && t[1][0]) {
    script_set_var("redirect", t[1]);
    g_stop = true;
    return;
  }
  run_command(r, t, n);
}

void execute(Run& r) {
  char* s = prepare(r.stmt);
  if (*s == '\0') return;
  const char* tok[kScriptTokenMax + 1];
  const int n = tokenize(s, tok);
  if (n > 0) execute_tokens(r, tok, n);
  store_temp_release(r.temp_base);
}

// ---- Errors ----------------------------------------------------------------

void store_error(const std::string& message) {
  // Without a store there is nowhere to say it; the stop alone ends the run.
  store_put("script_error", message);
  g_stop = true;
}

std::string error_prefix() {
  std::string s = var_view("script").data();
  char line[48];
  std::snprintf(line, sizeof line, " ( line %d ) :\n ", g_line);
  s += line;
  return s;
}

}  // namespace

void script_set_stop() { g_stop = true; }
void script_clear_stop() { g_stop = false; }
bool script_stopped() { return g_stop; }
int script_line() { return g_line; }
std::size_t script_floor() { return g_floor; }
void script_set_step_budget(long steps) { g_budget = steps > 0 ? steps : kScriptStepBudget; }

void script_fail(std::string_view text) {
  if (g_stop) return;  // the first error is the one to show
  std::string m = error_prefix();
  m.append(text);
  m += '\n';
  store_error(m);
}

void script_fail_tokens(std::string_view what, const char* const* tokens, int count) {
  if (g_stop) return;
  std::string m = error_prefix();
  m.append(what);
  m += " : ";
  for (int i = 0; i < count; ++i) {
    m += tokens[i];
    m += i + 1 < count ? ' ' : '\n';
  }
  m += '\n';
  store_error(m);
}

bool script_take_step() {
  if (++g_steps <= g_budget) return true;
  script_fail("script runs too long");
  return false;
}

bool script_nesting_ok() {
  if (g_nesting < kScriptNestingMax) return true;
  script_fail("nested too deeply");
  return false;
}

void script_save_line(int* saved) { *saved = g_line; }
void script_restore_line(int saved) { g_line = saved; }

int script_run(std::span<char> output, const char* name, const char* text, int mode) {
  if (output.empty()) return 0;
  output[0] = '\0';
  g_stop = false;
  if (g_nesting == 0) {
    g_steps = 0;
  } else if (!script_take_step()) {
    return 0;
  }
  Run r;
  r.text = text ? text : "";
  r.len = std::strlen(r.text);
  r.inside = mode != SCRIPT_PAGE;
  r.out = output.data();
  r.out_cap = output.size() - 1;
  r.level[0] = Level{kTrue, 0, 0};
  r.temp_base = store_temp_mark();
  if (name && *name) {
    r.named = true;
    script_set_var("script", name);
    g_line = 0;
  }
  const std::size_t saved_floor = g_floor;
  g_floor = store_used();
  ++g_nesting;
  scan(r);
  --g_nesting;
  g_floor = saved_floor;
  store_temp_release(r.temp_base);
  r.out[r.out_len] = '\0';
  return static_cast<int>(r.out_len);
}
