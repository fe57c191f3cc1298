// The ends of the process. The tool ends by ln_exit (its mode ran to its end,
// or the command line was wrong), by ln_fatal from either thread, or by a
// terminating signal. All three take one lock, so exit() never runs in two
// threads at once, and all three first write the armed release, so no module
// is left in programming mode however the run ends.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

#include "end.h"
#include "loconet.h"
#include "util.h"

namespace {

/// Taken with plain calls: a failing ln_lock would itself end here.
pthread_mutex_t end_lock = PTHREAD_MUTEX_INITIALIZER;

/// The signals that end the tool and that it turns into a clean end.
constexpr int END_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

sigset_t caught;

void (*end_hook)() = nullptr;

/// What every end does before it exits, ln_fatal's message aside.
void last_steps() {
  lif_end_release();
  lif_end_unclaim();
}

/// Receives the caught signals; ends the process as the first one would,
/// after the release. Never returns.
void *signal_main(void *) {
  int sig = 0;
  while (sigwait(&caught, &sig) != 0) {
  }
  pthread_mutex_lock(&end_lock);
  ln_end_hook();
  last_steps();
  // Standard output is flushed line by line; what is still buffered is an
  // incomplete line, and a signal's end rightly drops it.
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigaction(sig, &dfl, nullptr);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, sig);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(sig);
  _exit(128 + sig);  // not reached: the default action of every caught signal ends the process
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
  sigemptyset(&caught);
  for (int sig : END_SIGNALS) {
    // A signal ignored by whoever started us (nohup, a background job) stays ignored.
    struct sigaction old = {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaddset(&caught, sig);
  }
  // Blocked here, before any other thread exists, so every thread inherits the
  // mask and only sigwait sees these signals. A blocked SIGPIPE makes a write
  // to a closed pipe fail with EPIPE, which the writer reports.
  pthread_sigmask(SIG_BLOCK, &caught, nullptr);
  pthread_t tid;
  const int rc = pthread_create(&tid, nullptr, signal_main, nullptr);
  if (rc != 0) ln_fatal("Can't create signal thread: %s (errno: %d)\n", strerror(rc), rc);
  pthread_detach(tid);
}
