// Between tokenizing and executing a statement: increment and decrement,
// substitution of references and escapes, and reduction of operators.
//
// Reduction is a rewriting system, not a parser: each step applies the
// first rule that matches anywhere (at its leftmost match), so precedence is
// the order of the rules and operators of one rule associate to the left.
//
//   1  ( X )            2  ~ N            3  << >>        4  | & ^
//   5  * / %            6  + -            7  -z -n -e (conditions only)
//   8  ! X              9  > >= < <=      10 == !=        11 || &&
#include <cstdio>
#include <cstring>

#include "service/core/file_util.h"
#include "service/script/script_internal.h"

namespace {

constexpr int kSlot = 16;  // a number or truth value as text
constexpr int kExpandBudget = 1024;
constexpr int kExpandDepth = 256;

bool is_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

const char* number_token(int32_t v) {
  char* s = store_temp_or_fail(kSlot);
  if (s) std::snprintf(s, kSlot, "%d", v);
  return s;
}

const char* truth_token(bool v) { return v ? "true" : "false"; }

void remove_tokens(const char** t, int& n, int at, int count) {
  for (int i = at; i + count <= n; ++i) t[i] = t[i + count];
  n -= count;
}

// ---- Increment and decrement ---------------------------------------------

bool is_ref(const char* s) { return s[0] == '$' && s[1] != '\0'; }

// Applies one counter at var with its operator at op; returns the new count.
int apply_counter(const char** t, int n, int var, int op, bool increment, bool prefix) {
  const char* name = t[var] + 1;
  const int32_t old = script_number(script_get_var(name));
  const int32_t now = static_cast<int32_t>(static_cast<uint32_t>(old) + (increment ? 1u : 0xFFFFFFFFu));
  const char* now_text = number_token(now);
  const char* old_text = number_token(old);
  if (!now_text || !old_text) return 0;
  if (!script_set_var(name, now_text)) return 0;
  if (n == 2) return 0;
  t[var] = prefix ? now_text : old_text;
  remove_tokens(t, n, op, 1);
  return n;
}

// ---- Substitution ----------------------------------------------------------

struct Builder {
  char* dst;  // nullptr while measuring
  std::size_t cap;
  std::size_t len = 0;
  void put(std::string_view v) {
    if (dst) {
      const std::size_t k = v.size() <= cap - len ? v.size() : cap - len;
      std::memcpy(dst + len, v.data(), k);
      len += k;
      return;
    }
    len += v.size();
  }
  void put_char(char c) { put(std::string_view(&c, 1)); }
};

void put_number(Builder& b, std::size_t v) {
  char s[24];
  const int k = std::snprintf(s, sizeof s, "%zu", v);
  b.put(std::string_view(s, static_cast<std::size_t>(k)));
}

// "${...}" with its text between the braces.
void brace_reference(Builder& b, std::string_view inner) {
  const bool length = !inner.empty() && inner[0] == '#';
  if (length) inner.remove_prefix(1);
  const std::size_t colon = inner.find(':');
  std::string_view piece = "";
  if (colon == std::string_view::npos || colon + 1 == inner.size()) {
    piece = var_view(inner);
  } else {
    const std::string_view value = var_view(inner.substr(0, colon));
    std::string_view rest = inner.substr(colon + 1);
    const std::size_t colon2 = rest.find(':');
    const int64_t start = script_number(rest.substr(0, colon2));
    int64_t count = static_cast<int64_t>(value.size());
    if (colon2 != std::string_view::npos) count = script_number(rest.substr(colon2 + 1));
    // A start outside the value or a negative count gives the empty piece.
    if (start >= 0 && count > 0 && static_cast<std::size_t>(start) < value.size()) {
      piece = value.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(count));
    }
  }
  if (length) {
    put_number(b, piece.size());
  } else {
    b.put(piece);
  }
}

// One pass over a token without "$$".
void substitute(Builder& b, std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const char c = s[i];
    if (c == '\\') {
      if (i + 1 >= s.size()) break;  // a final backslash is dropped
      const char d = s[i + 1];
      b.put_char(d == 'n' ? '\n' : d == 'r' ? '\r' : d == 't' ? '\t' : d);
      i += 2;
      continue;
    }
    if (c != '$') {
      b.put_char(c);
      ++i;
      continue;
    }
    if (i + 1 < s.size() && s[i + 1] == '{') {
      const std::size_t close = s.find('}', i + 2);
      const std::size_t end = close == std::string_view::npos ? s.size() : close;
      brace_reference(b, s.substr(i + 2, end - (i + 2)));
      i = close == std::string_view::npos ? s.size() : close + 1;
      continue;
    }
    std::size_t j = i + 1;
    while (j < s.size() && is_name_char(s[j])) ++j;
    if (j > i + 1 && j < s.size() && s[j] == '[') {
      const std::size_t close = s.find(']', j);
      j = close == std::string_view::npos ? s.size() : close + 1;
    }
    if (j > i + 1) b.put(var_view(s.substr(i + 1, j - (i + 1))));
    i = j;
  }
}

const char* substitute_token(const char* token) {
  const std::string_view s(token);
  Builder measure{nullptr, 0};
  substitute(measure, s);
  if (script_stopped()) return nullptr;
  char* dst = store_temp_or_fail(measure.len + 1);
  if (!dst) return nullptr;
  Builder write{dst, measure.len};
  substitute(write, s);
  dst[write.len] = '\0';
  return dst;
}

const char* expand(const char* token, int depth, int& budget) {
  for (;;) {
    if (!std::strchr(token, '$') && !std::strchr(token, '\\')) return token;
    const char* p = std::strstr(token, "$$");
    if (!p) return substitute_token(token);
    if (--budget < 0 || depth > kExpandDepth) {
      script_fail("substitution too deep");
      return nullptr;
    }
    // The part after the first "$$" is substituted first; its result then
    // names the variable of the outer reference.
    const char* rest = expand(p + 2, depth + 1, budget);
    if (!rest) return nullptr;
    const std::size_t before = static_cast<std::size_t>(p - token);
    const std::size_t rest_len = std::strlen(rest);
    char* rebuilt = store_temp_or_fail(before + 1 + rest_len + 1);
    if (!rebuilt) return nullptr;
    std::memcpy(rebuilt, token, before);
    rebuilt[before] = '$';
    std::memcpy(rebuilt + before + 1, rest, rest_len + 1);
    token = rebuilt;
  }
}

// ---- Reduction -------------------------------------------------------------

bool paren(const char* s) { return script_eq(s, "(") || script_eq(s, ")"); }

int32_t arith(const char* op, int32_t a, int32_t b) {
  const uint32_t ua = static_cast<uint32_t>(a);
  const uint32_t ub = static_cast<uint32_t>(b);
  switch (op[0]) {
    case '<':
      return static_cast<int32_t>(ua << (ub & 31));
    case '>':
      return a >> (ub & 31);
    case '|':
      return static_cast<int32_t>(ua | ub);
    case '&':
      return static_cast<int32_t>(ua & ub);
    case '^':
      return static_cast<int32_t>(ua ^ ub);
    case '*':
      return static_cast<int32_t>(ua * ub);
    case '/':
      if (b == 0) return 0;
      if (a == INT32_MIN && b == -1) return INT32_MIN;  // wraps like the rest
      return a / b;
    case '%':
      if (b == 0 || b == -1) return 0;
      return a % b;
    case '+':
      return static_cast<int32_t>(ua + ub);
    default:
      return static_cast<int32_t>(ua - ub);
  }
}

bool compare(const char* op, int32_t a, int32_t b) {
  if (script_eq(op, ">")) return a > b;
  if (script_eq(op, ">=")) return a >= b;
  if (script_eq(op, "<")) return a < b;
  return a <= b;
}

enum class Operands { numeric, no_paren };

struct BinaryRule {
  const char* ops[4];
  Operands operands;
  int kind;  // 0 arithmetic, 1 comparison, 2 equality, 3 logic
};

const BinaryRule kShift{{"<<", ">>"}, Operands::numeric, 0};
const BinaryRule kBits{{"|", "&", "^"}, Operands::numeric, 0};
const BinaryRule kProduct{{"*", "/", "%"}, Operands::numeric, 0};
const BinaryRule kSum{{"+", "-"}, Operands::numeric, 0};
const BinaryRule kCompare{{">", ">=", "<", "<="}, Operands::numeric, 1};
const BinaryRule kEqual{{"==", "!="}, Operands::no_paren, 2};
const BinaryRule kLogic{{"||", "&&"}, Operands::no_paren, 3};

bool is_op(const BinaryRule& rule, const char* s) {
  for (const char* op : rule.ops) {
    if (op && script_eq(s, op)) return true;
  }
  return false;
}

bool operand_ok(const BinaryRule& rule, const char* s) {
  return rule.operands == Operands::numeric ? script_numeric(s) : !paren(s);
}

// Applies the leftmost match of a binary rule; -1 when none matched.
int binary(const BinaryRule& rule, const char** t, int n) {
  for (int i = 1; i + 1 < n; ++i) {
    if (!is_op(rule, t[i]) || !operand_ok(rule, t[i - 1]) || !operand_ok(rule, t[i + 1])) continue;
    const char* op = t[i];
    const char* result = nullptr;
    switch (rule.kind) {
      case 0:
        result = number_token(arith(op, script_number(t[i - 1]), script_number(t[i + 1])));
        break;
      case 1:
        result = truth_token(compare(op, script_number(t[i - 1]), script_number(t[i + 1])));
        break;
      case 2:
        result = truth_token(script_eq(t[i - 1], t[i + 1]) == script_eq(op, "=="));
        break;
      default: {
        const bool a = script_truth(t[i - 1]);
        const bool b = script_truth(t[i + 1]);
        result = truth_token(script_eq(op, "||") ? (a || b) : (a && b));
      }
    }
    if (!result) return n;
    t[i - 1] = result;
    remove_tokens(t, n, i, 2);
    return n;
  }
  return -1;
}

// Prefix operator with one operand; disallowed lists the operand texts that
// keep it from matching.
template <typename F>
int unary(const char* op, const char** t, int n, bool allow_open, F apply) {
  for (int i = 0; i + 1 < n; ++i) {
    if (!script_eq(t[i], op)) continue;
    const char* x = t[i + 1];
    if (script_eq(x, "!") || script_eq(x, ")") || (!allow_open && script_eq(x, "("))) continue;
    const char* result = apply(x);
    if (!result) continue;
    t[i] = result;
    remove_tokens(t, n, i + 1, 1);
    return n;
  }
  return -1;
}

bool path_exists(const char* x) {
  char path[kScriptPathSize];
  return script_map_path(x, path) > 0 && path_kind(path) != 0;
}

}  // namespace

bool script_truth(const char* s) { return !(s[0] == '\0' || script_eq(s, "0") || script_eq(s, "false")); }

bool script_numeric(const char* s) {
  if (*s == '+' || *s == '-') ++s;
  for (; *s; ++s) {
    if (!((*s >= '0' && *s <= '9') || *s == '.')) return false;
  }
  return true;
}

int32_t script_number(std::string_view s) {
  uint32_t v = 0;
  std::size_t i = 0;
  if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    for (i = 2; i < s.size(); ++i) {
      const char c = s[i];
      uint32_t d;
      if (c >= '0' && c <= '9') {
        d = static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        d = static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        d = static_cast<uint32_t>(c - 'A' + 10);
      } else {
        break;
      }
      v = v * 16 + d;
    }
    return static_cast<int32_t>(v);
  }
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) v = v * 10 + static_cast<uint32_t>(s[i] - '0');
  return static_cast<int32_t>(negative ? 0u - v : v);
}

int script_counters(const char** t, int n) {
  struct Form {
    const char* op;
    bool prefix;
  };
  static const Form kForms[] = {{"++", true}, {"--", true}, {"++", false}, {"--", false}};
  for (const Form& f : kForms) {
    for (int i = 0; i + 1 < n; ++i) {
      const int var = f.prefix ? i + 1 : i;
      const int op = f.prefix ? i : i + 1;
      if (!script_eq(t[op], f.op) || !is_ref(t[var])) continue;
      return apply_counter(t, n, var, op, f.op[0] == '+', f.prefix);
    }
  }
  return n;
}

const char* script_expand(const char* token) {
  int budget = kExpandBudget;
  return expand(token, 0, budget);
}

// Every operator token starts with one of these; a statement without such
// a token (most of them) needs no rule tried.
bool maybe_operator(const char* s) {
  return s[0] && s[1 + (s[1] != 0)] == 0 && std::strchr("()~<>|&^*/%+-!=", s[0]) != nullptr;
}

int script_reduce(const char** t, int n) {
  bool any = false;
  for (int i = 0; i < n && !any; ++i) any = maybe_operator(t[i]);
  if (!any) return n;
  for (int i = 0; i + 2 < n; ++i) {
    if (script_eq(t[i], "(") && script_eq(t[i + 2], ")")) {
      remove_tokens(t, n, i + 2, 1);
      remove_tokens(t, n, i, 1);
      return n;
    }
  }
  int m = unary("~", t, n, true, [](const char* x) -> const char* {
    if (!script_numeric(x)) return nullptr;
    return number_token(static_cast<int32_t>(~static_cast<uint32_t>(script_number(x))));
  });
  if (m >= 0) return m;
  for (const BinaryRule* rule : {&kShift, &kBits, &kProduct, &kSum}) {
    if ((m = binary(*rule, t, n)) >= 0) return m;
  }
  if (n > 0 && (script_eq(t[0], "if") || script_eq(t[0], "elif") || script_eq(t[0], "while"))) {
    m = unary("-z", t, n, true, [](const char* x) { return truth_token(x[0] == '\0'); });
    if (m >= 0) return m;
    m = unary("-n", t, n, false, [](const char* x) { return truth_token(x[0] != '\0'); });
    if (m >= 0) return m;
    m = unary("-e", t, n, false, [](const char* x) { return truth_token(path_exists(x)); });
    if (m >= 0) return m;
  }
  m = unary("!", t, n, false, [](const char* x) { return truth_token(!script_truth(x)); });
  if (m >= 0) return m;
  for (const BinaryRule* rule : {&kCompare, &kEqual, &kLogic}) {
    if ((m = binary(*rule, t, n)) >= 0) return m;
  }
  return n;
}
