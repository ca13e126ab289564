// Command dispatch: the families in their fixed order, the output and
// control family, the hooks and the path check shared by all families.
#include <cstdio>
#include <cstring>

#include "service/core/clock.h"
#include "service/core/file_util.h"
#include "service/script/script_internal.h"
#include "service/script/script_os.h"
#include "service/web/web_request.h"

namespace {

ScriptServiceFn g_service = nullptr;
ScriptPathMapFn g_mapper = nullptr;
ScriptSystemFn g_system = nullptr;
ScriptSecondsFn g_seconds = nullptr;
const ScriptNetInfo* g_net = nullptr;

int family_service(const ScriptArgs& args, ScriptOut& out) {
  if (!g_service) return -1;
  const std::span<char> room = out.room();
  const int r = g_service(args.t, args.n, room);
  if (r < 0) return -1;
  out.commit(static_cast<std::size_t>(r));
  return 0;
}

// The order in which a command name is offered; each family answers -1 for
// a name it does not know.
const ScriptFamilyFn kFamilies[] = {
    script_family_control,   script_family_numbers,   script_family_split,
    script_family_json,      script_family_files,     script_family_profile,
    script_family_passwords, script_family_registers, script_family_time,
    script_family_network,   family_service,
};

// ---- Output and control family -------------------------------------------

void cmd_push(const ScriptArgs&, ScriptOut&) { store_push_marker(); }

void cmd_pop(const ScriptArgs&, ScriptOut&) { store_pop_marker(script_floor()); }

// "@" or a path without an extension, or one ending in ".ts", runs as script
// from its first character; anything else as a page.
int include_mode(const char* arg, const char* path) {
  if (arg[0] == '@') return SCRIPT_FILE;
  const char* dot = std::strrchr(path, '.');
  if (!dot || std::strcmp(dot, ".ts") == 0) return SCRIPT_FILE;
  return SCRIPT_PAGE;
}

void cmd_include(const ScriptArgs& args, ScriptOut& out) {
  const char* arg = args[1];
  char path[kScriptPathSize];
  if (script_map_path(arg[0] == '@' ? arg + 1 : arg, path) <= 0) return;
  const int64_t size = file_size(path);
  if (size <= 0 || path_kind(path) != 2) return;
  if (!script_nesting_ok()) return;
  const std::size_t mark = store_used();
  const std::size_t n = static_cast<std::size_t>(size) + 32;
  char* block = store_add_block(n);
  if (!block) return;
  FILE* f = file_open(path, "rb");
  if (!f) {
    store_cut(mark);
    return;
  }
  // At most n - 1 bytes, so the text stays NUL-terminated even when the
  // file grew since its size was taken.
  std::fread(block, 1, n - 1, f);
  std::fclose(f);
  int line;
  script_save_line(&line);
  const int len = script_run(out.room(), path, block, include_mode(arg, path));
  script_restore_line(line);
  out.len += static_cast<std::size_t>(len);
  if (!script_stopped()) store_cut(mark);
}

void cmd_shell(const ScriptArgs& args, ScriptOut& out) {
  if (!script_nesting_ok()) return;
  const std::size_t mark = store_used();
  int line;
  script_save_line(&line);
  const int len = script_run(out.room(), nullptr, args[1], SCRIPT_INLINE);
  script_restore_line(line);
  out.len += static_cast<std::size_t>(len);
  if (!script_stopped()) store_cut(mark);
}

void assign(const ScriptArgs& args) {
  const int values = args.n - 2;
  if (values <= 0) return;
  std::string_view parts[kScriptTokenMax];
  for (int i = 0; i < values; ++i) parts[i] = args[i + 2];
  store_put(args[0], std::span<const std::string_view>(parts, static_cast<std::size_t>(values)), ' ');
}

void cmd_set(const ScriptArgs& args, ScriptOut& out) {
  if (args.n < 2) return;
  script_dispatch(ScriptArgs{args.t + 1, args.n - 1}, out);
}

void cmd_print(const ScriptArgs& args, ScriptOut&) {
  for (int i = 1; i < args.n; ++i) std::printf("\x1b[32m%s \x1b[0m", args[i]);
  std::printf("\n");
  std::fflush(stdout);
}

void cmd_echo(const ScriptArgs& args, ScriptOut& out) {
  int first = 1;
  bool newline = false;
  if (args.n > 1 && (script_eq(args[1], "+n") || script_eq(args[1], "-n"))) {
    newline = args[1][0] == '+';
    first = 2;
  }
  bool any = false;
  for (int i = first; i < args.n; ++i) {
    if (args[i][0] == '\0') continue;
    if (any) out.put_char(' ');
    out.put(args[i]);
    any = true;
  }
  if (newline) out.put_char('\n');
}

const ScriptCommandDef kControl[] = {
    {"push", 0, 0, cmd_push},   {"pop", 0, 0, cmd_pop},     {"include", 1, 1, cmd_include},
    {"shell", 1, 1, cmd_shell},
};
const ScriptCommandDef kControlLate[] = {
    {"set", 0, -1, cmd_set},
    {"print", 0, -1, cmd_print},
    {"echo", 0, -1, cmd_echo},
};

// ---- Paths ---------------------------------------------------------------

// A mapped path stays inside the program folder: relative, without ".."
// elements, backslashes or drive and stream colons.
bool path_inside(std::string_view p) {
  if (p.empty() || p[0] == '/') return false;
  if (p.find('\\') != std::string_view::npos || p.find(':') != std::string_view::npos) return false;
  std::size_t i = 0;
  while (i <= p.size()) {
    std::size_t j = p.find('/', i);
    if (j == std::string_view::npos) j = p.size();
    if (p.substr(i, j - i) == "..") return false;
    i = j + 1;
  }
  return true;
}

}  // namespace

// ---- ScriptOut -------------------------------------------------------------

bool ScriptOut::put(std::string_view text) {
  if (overflow || text.size() > cap - len) {
    overflow = true;
    return false;
  }
  std::memcpy(data + len, text.data(), text.size());
  len += text.size();
  data[len] = '\0';
  return true;
}

bool ScriptOut::put_char(char c) { return put(std::string_view(&c, 1)); }

bool ScriptOut::put_int(int64_t value) {
  char s[24];
  const int k = std::snprintf(s, sizeof s, "%lld", static_cast<long long>(value));
  return put(std::string_view(s, static_cast<std::size_t>(k)));
}

bool ScriptOut::put_uint(uint64_t value) {
  char s[24];
  const int k = std::snprintf(s, sizeof s, "%llu", static_cast<unsigned long long>(value));
  return put(std::string_view(s, static_cast<std::size_t>(k)));
}

bool ScriptOut::commit(std::size_t n) {
  if (overflow || n > cap - len) {
    overflow = true;
    data[len] = '\0';
    return false;
  }
  len += n;
  data[len] = '\0';
  return true;
}

// ---- Dispatch --------------------------------------------------------------

int script_run_table(std::span<const ScriptCommandDef> table, const ScriptArgs& args, ScriptOut& out) {
  for (const ScriptCommandDef& c : table) {
    if (!script_eq(args[0], c.name)) continue;
    const int k = args.count();
    if (k >= c.min_args && (c.max_args < 0 || k <= c.max_args)) c.run(args, out);
    return 0;
  }
  return -1;
}

int script_family_control(const ScriptArgs& args, ScriptOut& out) {
  if (script_run_table(kControl, args, out) == 0) return 0;
  if (args.n >= 2 && script_eq(args[1], "=")) {
    assign(args);
    return 0;
  }
  return script_run_table(kControlLate, args, out);
}

void script_dispatch(const ScriptArgs& args, ScriptOut& out) {
  out.terminate();
  if (args.n <= 0) return;
  for (ScriptFamilyFn family : kFamilies) {
    if (family(args, out) < 0) continue;
    if (out.overflow && !script_stopped()) script_fail("output too long");
    return;
  }
  script_fail_tokens("command error", args.t, args.n);
}

int script_command(const char* const* tokens, int count, std::span<char> out) {
  if (out.empty()) return 0;
  ScriptOut o{out.data(), out.size() - 1};
  script_dispatch(ScriptArgs{tokens, count}, o);
  return static_cast<int>(o.len);
}

int script_map_path(const char* path, std::span<char> out) {
  if (!path || !path[0] || out.empty()) return -1;
  const char* script = script_get_var("script");
  const int n = (g_mapper ? g_mapper : map_script_path)(path, script, out);
  if (n <= 0 || static_cast<std::size_t>(n) >= out.size()) return -1;
  if (!path_inside(std::string_view(out.data(), static_cast<std::size_t>(n)))) return -1;
  return n;
}

// ---- Hooks -----------------------------------------------------------------

void script_set_service_commands(ScriptServiceFn fn) { g_service = fn; }
void script_set_path_mapper(ScriptPathMapFn fn) { g_mapper = fn; }
void script_set_system_runner(ScriptSystemFn fn) { g_system = fn; }
void script_set_seconds_clock(ScriptSecondsFn fn) { g_seconds = fn; }
void script_set_net_info(const ScriptNetInfo* info) { g_net = info; }

ScriptServiceFn script_service_commands() { return g_service; }
ScriptSystemFn script_system_runner() { return g_system ? g_system : script_os_system; }
ScriptSecondsFn script_seconds_clock() {
  if (g_seconds) return g_seconds;
  return [] { return static_cast<int64_t>(tick_ms() / 1000); };
}
const ScriptNetInfo* script_net_info() { return g_net; }
