// Shared inside the script engine only: the store's internal operations,
// error reporting, substitution and reduction, and the command families.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "service/script/script.h"

// ---- Store internals -----------------------------------------------------

// Carves n bytes from the temporary area; nullptr when it would reach the
// records (no error is raised here).
char* store_temp(std::size_t n);
// The temporary area is released back to a mark taken before.
std::size_t store_temp_mark();
void store_temp_release(std::size_t mark);
// Like store_temp, but raises " out of script memory" on failure.
char* store_temp_or_fail(std::size_t n);

// Appends a variable whose value is the parts joined by sep (0: no
// separator). The stored value, or nullptr (see script_set_var).
const char* store_put(std::string_view name, std::span<const std::string_view> parts, char sep);
const char* store_put(std::string_view name, std::string_view value);
// Value of the last record named name (no request lookup); found tells
// whether there was one.
std::string_view store_find(std::string_view name, bool* found);
// The value with the request lookup as fallback; the view's size is the
// lookup's for values it answers.
std::string_view var_view(std::string_view name);
// Appends a text block of n bytes (zeroed) and returns its start, or nullptr
// under the store-full rule.
char* store_add_block(std::size_t n);
// Scope markers: push appends one (false under the store-full rule); pop
// cuts back to the last marker at or above floor (false when none).
bool store_push_marker();
bool store_pop_marker(std::size_t floor);
// Cuts the records back to len (never grows them).
void store_cut(std::size_t len);
std::size_t store_used();
// The store-full rule.
void store_full();

// ---- Engine state and errors ---------------------------------------------

void script_set_stop();
void script_clear_stop();
// Floor of the innermost run: pop never cuts below it.
std::size_t script_floor();
// Stores "%s ( line %d ) :\n <text>\n" as "script_error" and stops.
void script_fail(std::string_view text);
// The "format error : " / "command error : " forms with the tokens.
void script_fail_tokens(std::string_view what, const char* const* tokens, int count);
// Counts a loop repetition or nested run against the budget; false (with the
// error raised) when it is spent.
bool script_take_step();
// Nested run bookkeeping for include and shell: false (with the error
// raised) when nested too deeply.
bool script_nesting_ok();
void script_save_line(int* saved);
void script_restore_line(int saved);

// ---- Paths -------------------------------------------------------------

// Maps a script path with the installed mapper and checks the result. The
// length, or -1 when refused or empty.
int script_map_path(const char* path, std::span<char> out);
constexpr int kScriptPathSize = 512;

// ---- Substitution and expressions ----------------------------------------

// One increment/decrement step; returns the new count (0: statement done).
int script_counters(const char** tokens, int count);
// Substitution of one token; nullptr after an error.
const char* script_expand(const char* token);
// One reduction step; an unchanged count means no rule applied.
int script_reduce(const char** tokens, int count);
bool script_truth(const char* token);
bool script_numeric(const char* token);
// parse_int's reading of a text that need not be NUL-terminated.
int32_t script_number(std::string_view text);

// ---- Command output ------------------------------------------------------

// Bounded writer over the output position a command was given. cap excludes
// the byte kept for the NUL; once something did not fit, overflow stays set
// and the command is an error.
struct ScriptOut {
  char* data;
  std::size_t cap;
  std::size_t len = 0;
  bool overflow = false;

  bool put(std::string_view text);
  bool put_char(char c);
  bool put_int(int64_t value);
  bool put_uint(uint64_t value);
  // Room after the text so far, NUL slot included (never empty).
  std::span<char> room() const { return {data + len, cap - len + 1}; }
  // Accepts n bytes a helper wrote into room(); n >= room().size() is an
  // overflow.
  bool commit(std::size_t n);
  void terminate() { data[len] = '\0'; }
};

// Arguments of one command: t[0] is the name, t[1] .. t[n-1] the arguments.
struct ScriptArgs {
  const char* const* t;
  int n;
  int count() const { return n - 1; }
  const char* operator[](int i) const { return t[i]; }
};

// A command family: runs a command it knows and returns 0 (its text is in
// out), or -1 for a name it does not know.
using ScriptFamilyFn = int (*)(const ScriptArgs& args, ScriptOut& out);

// One named command of a family: args outside [min_args, max_args] (max -1:
// no limit) make it do nothing.
struct ScriptCommandDef {
  const char* name;
  int min_args;
  int max_args;
  void (*run)(const ScriptArgs& args, ScriptOut& out);
};
int script_run_table(std::span<const ScriptCommandDef> table, const ScriptArgs& args, ScriptOut& out);

// Runs a command into out (the internal form of script_command).
void script_dispatch(const ScriptArgs& args, ScriptOut& out);

int script_family_control(const ScriptArgs& args, ScriptOut& out);
int script_family_numbers(const ScriptArgs& args, ScriptOut& out);
int script_family_split(const ScriptArgs& args, ScriptOut& out);
int script_family_json(const ScriptArgs& args, ScriptOut& out);
int script_family_files(const ScriptArgs& args, ScriptOut& out);
int script_family_profile(const ScriptArgs& args, ScriptOut& out);
int script_family_passwords(const ScriptArgs& args, ScriptOut& out);
int script_family_registers(const ScriptArgs& args, ScriptOut& out);
int script_family_time(const ScriptArgs& args, ScriptOut& out);
int script_family_network(const ScriptArgs& args, ScriptOut& out);

// Hooks as the families see them.
ScriptSystemFn script_system_runner();
ScriptSecondsFn script_seconds_clock();
const ScriptNetInfo* script_net_info();
ScriptServiceFn script_service_commands();

inline bool script_eq(const char* a, const char* b) { return a[0] == b[0] && std::strcmp(a, b) == 0; }
