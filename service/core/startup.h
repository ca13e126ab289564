// Start-up and orderly stop of the service: the three threads (UI,
// controller, event), folder and language preparation, web port, main loop.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

// Handshake between the UI thread and the controller thread:
// 1 controller starting, 0 running, 4 stop requested, 2 controller finished.
extern std::atomic<int> service_state;
// Event thread: 0 not running or stop requested, 1 running, 4 finished.
extern std::atomic<int> loop_state;

extern char app_language[8];  // at most 7 characters
extern char app_os[8];
// Configured web port before the server starts, the bound port afterwards.
extern std::atomic<int> web_port;

// Program entry: makes the executable's folder current, starts the service,
// runs the UI until quit, stops in order. Returns the process exit code.
int kelvane_main(int argc, char** argv);

// The two halves the application object calls around its message loop.
int mainform_start();
int mainform_stop();

// Steps of the event thread's start-up, exposed for tests.
void prepare_folders();
// Chinese codes other than zh, zh-CN and zh-TW become zh-CN or zh-TW.
// Returns true when the code was changed.
bool normalise_chinese(char* language, std::size_t capacity);
void resolve_language();
// The configured port with 0 turned into -6000 (negative: random from there).
int configured_web_port();

// The UI thread's part that differs per system: prepare before threads
// start, then block until the user (or the system) asks to quit.
void ui_prepare();
void ui_wait_quit();
