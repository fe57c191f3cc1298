// The ends of the process. The tool ends by ln_exit (its mode ran to its end,
// or the command line was wrong), by ln_fatal from either thread, or from
// outside (a terminating signal; on Windows Ctrl-C or the console closing).
// All take one lock, so exit() never runs in two threads at once, and all
// first write the armed releases, so no module is left in programming mode
// however the run ends.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
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
  lif_end_kind();
  lif_end_unclaim();
}

}  // namespace

void ln_end_hook() {
  if (end_hook != nullptr) end_hook();
}

void ln_set_end_hook(void (*hook)()) { end_hook = hook; }

void ln_end_from_outside() {
  pthread_mutex_lock(&end_lock);
  ln_end_hook();
  last_steps();
}

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
