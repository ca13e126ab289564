// Commands of the service itself, offered to scripts after every built-in
// command family; the translated window texts; and the installation of the
// script pages into the web server. Event thread only, except locale_text,
// which the tray menu also calls from the UI thread.
#pragma once
#include <span>

// Runs one service command: args[0] is its name, count includes it. Fits
// the script engine's service command hook. Writes its text NUL-terminated
// into out and returns its length (out.size() or more when it did not fit,
// out then ""); -1 when the name is none of these (names compared exactly):
//   update_www                 starts a web package update
//   restart                    module stop, then the module start-ups
//   webport                    the web port in decimal
//   set_language <code>        app_language and "language" in "[app]" of
//                              "appinfo.inf"; a code of 1 to 7 letters,
//                              digits, "-" or "_" (others change nothing)
//   locale <section> [<key>]   a text of the current language's locale
//                              file: the section body (at most 2047 bytes,
//                              cut after a whole line) or the section name
//                              when it has none; the key's value or the key
//                              itself
//   wlink_request_data <req>   the device's answer to the request
//   send_email_test            asks the mail module for a test mail
//   makelog <text>             appends the text to the service log, line
//                              breaks and control bytes turned into blanks
// Wrong argument counts make a known command do nothing (length 0).
int service_command(const char* const* args, int count, std::span<char> out);

// The translated text of key in section ("[winform]") for language, from
// "www/locale/<language>/locale.txt"; a missing file is tried again with the
// language cut to its first four characters and at "-", then "en", then
// "zh" (these only for languages longer than three characters). The key
// itself when no text is found. Cut to fit out at a character boundary;
// returns the length.
int locale_text(std::span<char> out, const char* key, const char* section, const char* language);

// The device request entry (the device API): the answer to request,
// NUL-terminated in out, and its length; when it does not fit, out "" and
// a length of out.size() or more. nullptr (the default) answers nothing.
using DeviceRequestFn = int (*)(const char* request, std::span<char> out);
void service_set_device_request(DeviceRequestFn fn);
// Starts a web package update from the update server; nullptr (the
// default) makes "update_www" do nothing.
void service_set_update_www(void (*start)());
// Called by "send_email_test" after it set the flag below (for a mail
// module that acts at once); nullptr (the default) only sets the flag.
void service_set_test_mail_hook(void (*request)());
// Test seam: what "restart" runs; nullptr restores module stop followed by
// the module start-ups.
void service_set_restart(void (*restart)());

// The test-mail flag: set by "send_email_test", read and cleared by the
// mail module at its next flush.
bool service_test_mail_requested();
// Returns the flag and clears it.
bool service_take_test_mail();

// Installs the script pages: the page runner into the web server, and the
// request lookup, the service commands and the web path mapping into the
// script engine, with the device API as the device request entry, the web
// package update behind "update_www" and the mail module's test mail behind
// "send_email_test". Called by the start-up before the HTTP server starts.
void web_pages_install();
