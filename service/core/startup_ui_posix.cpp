#include <signal.h>
#include <pthread.h>

#include "service/core/startup.h"

// Until the tray exists the service runs headless here: SIGINT and SIGTERM
// do what "Quit" in the tray menu does. The signals are blocked in every
// thread and taken synchronously by the UI thread, so no handler runs in
// the middle of the event loop.
namespace {
sigset_t quit_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}
}  // namespace

void ui_prepare() {
  // A peer that closes its socket must not kill the service on the next send.
  signal(SIGPIPE, SIG_IGN);
  sigset_t set = quit_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void ui_wait_quit() {
  sigset_t set = quit_signals();
  int sig = 0;
  while (sigwait(&set, &sig) != 0) {
  }
}
