// Request processing: maps the URL of a complete request to a file of the
// program folder and writes the answer (head files plus the list "answer")
// into the request's folder. Script pages go to the page runner, a hook the
// start-up installs. The path mapping is shared with the script engine.
// Event thread only.
#pragma once
#include <cstdint>
#include <span>
#include <string_view>

// Reads "<folder>/request", writes "<folder>/answer" and the heads it
// lists. Paths it cannot use leave no answer.
void process_request(const char* folder);

// The request text of the request being processed (empty between
// requests); the page runner's request lookup reads it.
std::string_view web_request_text();

// Maps a URL or script path to a file path relative to the program folder,
// NUL-terminated in out; returns its length, or -1 when the path is refused
// (it would leave the program folder or the web folder, or names a drive,
// a device or a stream) or does not fit.
int map_web_path(std::string_view path, std::span<char> out);
// The same with the running script's file path given: relative paths are
// taken from its folder. Fits the script engine's path mapper hook.
int map_script_path(const char* path, const char* script, std::span<char> out);

// Inserts name as a folder before the last element of the NUL-terminated
// path in buffer (falling back to the name's first four characters cut at
// "-" when it has at least four); when that exists the buffer is replaced.
// Names other than letters, digits, "-" and "_" are never inserted.
bool localise_path(std::span<char> buffer, std::string_view name);

// Decodes "+" and "%XX" in place; the new length, 0 when the text cannot
// be decoded. text[length] must be writable (a NUL is put there).
int url_decode(char* text, int length);

// Answer writers. answer is the path of "<folder>/answer"; each writes its
// head as the first free "<folder>/<n>" from 100 and replaces the answer
// list. 0, or -1 when nothing was written.
int answer_file(const char* answer, const char* file);
// 206 for a range: end < 0 is a suffix of -end bytes, 0 runs to the end of
// the file, anything else is the last byte; 416 when no byte of the file is
// selected.
int answer_range(const char* answer, const char* file, int64_t start, int64_t end);
int answer_redirect(const char* answer, const char* location);
// A short refusal (401 with a Basic challenge, 403 otherwise).
int answer_refusal(const char* answer, int status);

// A MIME table row; the loaded "/mime.txt" rows come before the built-in ones.
struct MimeType {
  char extension[8];
  char kind[16];
  char type[128];
};
// The row for an extension (without its "."); never nullptr.
const MimeType* mime_lookup(std::string_view extension);
// Loads "/mime.txt" now (the first request does this on its own).
void mime_table_load();
// Forgets the loaded table and the settings below; the next request loads
// it again.
void web_request_reset();

// The first range of a Range header value: "bytes=100-199" (start and
// last byte), "bytes=500-" (last -1: to the end), "bytes=-100" (the last
// suffix bytes).
struct ByteRange {
  int64_t start = 0;
  int64_t last = -1;
  int64_t suffix = -1;
};
// 0, or -1 when the value holds no range.
int parse_range(std::string_view value, ByteRange* range);
// The bytes [first, last) of a file of size bytes that the range selects;
// first == size when none.
void range_bounds(const ByteRange& range, int64_t size, int64_t* first, int64_t* last);

// Hooks the start-up installs (nullptr restores the default).
// Runs a script page and writes its answer through the writers above.
// Without a runner a script page is answered like a missing file.
using PageRunner = void (*)(const char* folder, const char* url_path, const char* file_path);
void web_set_page_runner(PageRunner runner);
// The service's current language (app_language); "en" without a hook.
void web_set_language_hook(const char* (*language)());
// The running script's file path (the script variable "script"), against
// which relative paths are mapped; without a hook they are relative to the
// program folder.
void web_set_script_name_hook(const char* (*script_name)());
// The web port, for the same-origin test of script pages.
void web_set_port(int port);
