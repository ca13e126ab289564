// Script pages: a page of the web application run through the script
// engine for one request, answered with what it printed, with a redirect or
// with the script's error; and the request lookup, which answers the engine
// for names its store does not hold (process values and request fields).
//
// Both run on the event thread, one page at a time: the engine's store and
// the request text are process-wide.
#pragma once
#include <string_view>

// Process values the lookup answers as "os", "language" and "port". The
// start-up installs them; without them "os" and "language" are empty and
// "port" is 0.
struct PageProcessValues {
  const char* (*os)();
  const char* (*language)();
  int (*port)();
};
void page_set_process_values(const PageProcessValues* values);

// Fits the web server's page runner hook (web_set_page_runner). Runs the
// page file (script from its first character for ".ts", else text until
// "<$") in a fresh store preset with "system_conf", "config_inf",
// "request_ip" and "url", and answers through the folder's answer list: a
// 302 when the page left a non-empty "redirect", else a 200 with the
// page's content type whose body is its output, or the text of
// "script_error" when the page failed.
void run_page(const char* folder, const char* url_path, const char* file_path);

// Fits the engine's request lookup hook (script_set_request_lookup).
// Answers, while a page runs: "os", "language", "port", "request",
// "request_body", "request_bodysize", and else the first usable value of a
// request field: the form body ("name=" at its start or after "&"), the
// URL's query ("name=" after "?" or "&"), a head line "name:". Field values
// are URL-decoded (not head lines), at most 255 bytes, never empty, and
// kept as variables for the rest of the page request. The names the engine
// and the page runner own ("script", "script_error", "redirect") are never
// taken from the request: a link must not be able to redirect a page or
// put its own text in place of one. Nothing outside a page run.
std::string_view request_lookup(const char* name);

// The answer text when the memory for a page's store or output cannot be
// had; the runner answers with it as with a script error.
constexpr const char* kPageStoreUnavailable = "page store unavailable\n";
