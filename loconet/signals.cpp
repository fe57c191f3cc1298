// The signals that end the tool on a POSIX system: a thread of their own takes
// them, so the end path runs as an ordinary thread, not in a handler.
#include <csignal>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

#include "end.h"
#include "util.h"

namespace {

/// The signals that end the tool and that it turns into a clean end.
constexpr int END_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

sigset_t caught;

/// Receives the caught signals; ends the process as the first one would,
/// after the release. Never returns.
void *signal_main(void *) {
  int sig = 0;
  while (sigwait(&caught, &sig) != 0) {
  }
  ln_end_from_outside();
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
