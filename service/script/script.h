// The server-side script language: a single-pass interpreter over page and
// script texts, its process-wide variable store and its built-in commands.
//
// The store, the stop flag and the line counter are process-wide and
// unlocked: scripts run only on the event thread, one page at a time;
// re-entry happens only through nested runs (include, shell).
//
// Errors end the run with "script_error" set to "%s ( line %d ) :\n" (the
// running script's name and line) followed by the error text:
//   " format error\n"                 open quote or comment at the end, "*/"
//                                     without an open comment
//   " format error : <tokens>\n"      a malformed block statement
//   " command error : <tokens>\n"     a command no family knows
//   " if [ ] has no fi\n", " no match if[] for else\n",
//   " no match if[] for fi\n", " no match while[] for break\n",
//   " no match while[] for done\n"
// and, for the bounds of the engine:
//   " statement too long\n"           more than 1023 bytes in one statement
//   " too many tokens\n"              more than 127 tokens
//   " too many open blocks\n"         more than 31 open if/elif/while levels
//   " out of script memory\n"         the temporary area would reach the
//                                     variable records
//   " output too long\n"              output beyond the caller's buffer
//   " nested too deeply\n"            include/shell nested more than 16 deep
//   " substitution too deep\n"        a runaway chain of "$$" references
//   " script runs too long\n"         more loop repetitions and nested runs
//                                     than the run's budget
// A variable record that does not fit empties the store and sets
// "script_error" to "too may script vars" (no prefix).
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

enum ScriptMode : int {
  SCRIPT_PAGE = 0,    // text outside "<$ ... $>" blocks is copied
  SCRIPT_FILE = 1,    // script from the first character
  SCRIPT_INLINE = 2,  // as SCRIPT_FILE; used by shell for substituted text
};

constexpr int kScriptPageStore = 1048576;   // store capacity of a page run
constexpr int kScriptPageOutput = 1048576;  // output buffer of a page run
constexpr int kScriptStatementMax = 1023;
constexpr int kScriptTokenMax = 127;
constexpr int kScriptLevelMax = 31;
constexpr int kScriptNestingMax = 16;
constexpr long kScriptStepBudget = 1000000;

// ---- Variable store ------------------------------------------------------

// Creates (or re-creates, emptied) the store with the capacity in bytes and
// clears the stop flag. 0, or -1 when the memory cannot be had.
int script_store_create(std::size_t capacity);
void script_store_release();
// Appends name = value. The stored value, or nullptr when the record was
// refused: when it does not fit, the store is emptied, "script_error" set to
// "too may script vars" and the run stopped (see script_stopped()).
const char* script_set_var(const char* name, const char* value);
// Value of the last record of that name; else what the request lookup hook
// answers; else "". Never nullptr.
const char* script_get_var(const char* name);
// Appends a text block holding the text (with 32 spare bytes, as the engine
// keeps texts that run) and returns its NUL-terminated copy, or nullptr
// under the store-full rule.
const char* script_add_text(std::string_view text);
// Bytes used by records and by the temporary area.
std::size_t script_store_used();
std::size_t script_store_temp();

// ---- Runs ----------------------------------------------------------------

// Runs a page or script text. output receives the page text and command
// output; its size bounds everything written, one byte is kept for the
// terminating NUL. name (may be null or "") names the text in errors and is
// stored as "script"; lines are counted only for named texts. Returns the
// number of bytes written; the output is NUL-terminated there. Clears the
// stop flag at its start: a caller that prepared the store must check
// script_stopped() before calling.
int script_run(std::span<char> output, const char* name, const char* text, int mode);
// True after an error, a full store or "redirect" until the next run.
bool script_stopped();
// Line feeds read so far in the current named text.
int script_line();
// Runs one command (tokens[0] is its name, tokens already substituted) and
// writes its text into out; returns the length written. An unknown name
// and output that does not fit are errors of the running script.
int script_command(const char* const* tokens, int count, std::span<char> out);

// ---- Hooks (installed by the start-up; nullptr restores the default) -----

// Values the store does not hold: process values and request fields. The
// answer's data must be NUL-terminated and stay valid until the page run
// ends (a lookup that caches its answer with script_set_var returns the
// stored value); a default-constructed view means "nothing". The view's
// size matters only for "request_body", whose bytes may include NULs.
using ScriptLookupFn = std::string_view (*)(const char* name);
void script_set_request_lookup(ScriptLookupFn fn);

// Commands of the service itself, tried after all built-in families. args[0]
// is the command name. Returns the length of the NUL-terminated text written
// to out, -1 for a name it does not know; a result of out.size() or more
// means the text did not fit.
using ScriptServiceFn = int (*)(const char* const* args, int count, std::span<char> out);
void script_set_service_commands(ScriptServiceFn fn);

// Maps a path argument of a script to a path relative to the program folder.
// script is the running script's name (relative paths are taken from its
// folder). Returns the length written to out, or -1 when the path is
// refused. The default is the web server's map_script_path. Either way the
// engine refuses results that are absolute or that contain "..", "\\" or
// ":".
using ScriptPathMapFn = int (*)(const char* path, const char* script, std::span<char> out);
void script_set_path_mapper(ScriptPathMapFn fn);

// Runs a command line through the system's command interpreter and waits.
// Returns its status, or -1 when it could not (or may not) be run. The
// default runs it (/bin/sh on Linux, the command interpreter on Windows).
using ScriptSystemFn = int (*)(const char* command_line);
void script_set_system_runner(ScriptSystemFn fn);

// The service's seconds clock (svc_seconds) for os_time. The default counts
// whole seconds of the tick clock.
using ScriptSecondsFn = int64_t (*)();
void script_set_seconds_clock(ScriptSecondsFn fn);

// Network interface information for the network commands (the default is
// the machine's, from the interface information of the network layer).
// Each function writes a NUL-terminated text into out and returns its
// length, 0 when there is nothing. family is 4 or 6; item is "ip", "mask",
// "gateway", "dns" or "mac".
struct ScriptNetInfo {
  int (*ipv6_list)(std::span<char> out);
  int (*item)(int family, const char* item, std::span<char> out);
};
void script_set_net_info(const ScriptNetInfo* info);

// Upper bound of loop repetitions plus nested runs in one top-level run
// (default kScriptStepBudget); keeps a script from holding the event thread
// forever.
void script_set_step_budget(long steps);
