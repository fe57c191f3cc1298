// The ends of the process on Windows. As on Linux, the tool ends by ln_exit,
// by ln_fatal from either thread, or from outside: here Ctrl-C, Ctrl-Break or
// the console window closing, which the console hands to a handler on a
// thread of its own. All take one lock, and all first write the armed
// releases, so no module is left in programming mode however the run ends.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

#include "end.h"
#include "loconet.h"
#include "util.h"

namespace {

/// Taken with plain calls: a failing ln_lock would itself end here.
pthread_mutex_t end_lock = PTHREAD_MUTEX_INITIALIZER;

void (*end_hook)() = nullptr;

/// What every end does before it exits, ln_fatal's message aside.
void last_steps() {
  lif_end_release();
  lif_end_unclaim();
}

BOOL WINAPI on_console(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  pthread_mutex_lock(&end_lock);
  ln_end_hook();
  last_steps();
  // Every finished line has been flushed; what is still buffered is an
  // incomplete one, which such an end rightly drops. The status is that of
  // a console program ended by Ctrl-C (STATUS_CONTROL_C_EXIT).
  ExitProcess(CONTROL_C_EXIT);
}

}  // namespace

void ln_end_hook() {
  if (end_hook != nullptr) end_hook();
}

void ln_set_end_hook(void (*hook)()) { end_hook = hook; }

void ln_fatal(const char *fmt, ...) {
  pthread_mutex_lock(&end_lock);
  ln_end_hook();
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  last_steps();
  exit(1);
}

void ln_exit(int status) {
  pthread_mutex_lock(&end_lock);
  ln_end_hook();
  last_steps();
  exit(status);
}

void ln_catch_signals() {
  // A Ctrl-C that the starting program had this process ignore stays ignored:
  // the console then hands it to no handler.
  if (!SetConsoleCtrlHandler(on_console, TRUE)) {
    const DWORD e = GetLastError();
    ln_fatal("Can't catch Ctrl-C: error %lu\n", static_cast<unsigned long>(e));
  }
}
