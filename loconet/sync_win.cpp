// The record's condition variable on Windows. winpthreads waits on the
// realtime clock only; each wait is therefore given as the time left until
// the monotonic deadline (a relative wait, which a change of the wall clock
// cannot move), and a wait that ends early waits again. Windows' default timer
// tick of 15.6 ms would make a 100 ms reply window 109 or 115 ms: the run asks
// for 1 ms ticks.
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <pthread.h>

#include "loconet.h"
#include "util.h"

void lif_init_sync(lif_t *lif) {
  static const bool fine_ticks = timeBeginPeriod(1) == TIMERR_NOERROR;
  (void)fine_ticks;  // coarser ticks are slower, not wrong
  int rc = pthread_mutex_init(&lif->lock, nullptr);
  if (rc != 0) ln_fatal("Can't init mutex: %s (errno: %d)\n", strerror(rc), rc);
  rc = pthread_cond_init(&lif->cond, nullptr);
  if (rc != 0) ln_fatal("Can't init cond: %s (errno: %d)\n", strerror(rc), rc);
}

int ln_cond_wait_until(lif_t *lif, const struct timespec *end) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  std::int64_t left =
      (std::int64_t{end->tv_sec} - now.tv_sec) * 1000000000 + (end->tv_nsec - now.tv_nsec);
  if (left <= 0) return ETIMEDOUT;
  const struct timespec rel = {static_cast<time_t>(left / 1000000000),
                               static_cast<long>(left % 1000000000)};
  const int rc = pthread_cond_timedwait_relative_np(&lif->cond, &lif->lock, &rel);
  // Woken by the timer before the deadline (it rounds to whole ticks): the
  // caller looks at the queue and waits again for the rest.
  return rc == ETIMEDOUT ? 0 : rc;
}
