// The record's condition variable on a POSIX system: it waits on the
// monotonic clock, so setting the wall clock moves no deadline.
#include <cstring>

#include "loconet.h"
#include "util.h"

void lif_init_sync(lif_t *lif) {
  int rc = pthread_mutex_init(&lif->lock, nullptr);
  if (rc != 0) ln_fatal("Can't init mutex: %s (errno: %d)\n", strerror(rc), rc);
  pthread_condattr_t attr;
  rc = pthread_condattr_init(&attr);
  if (rc == 0) rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  if (rc == 0) rc = pthread_cond_init(&lif->cond, &attr);
  if (rc != 0) ln_fatal("Can't init cond: %s (errno: %d)\n", strerror(rc), rc);
  pthread_condattr_destroy(&attr);
}

int ln_cond_wait_until(lif_t *lif, const struct timespec *end) {
  return pthread_cond_timedwait(&lif->cond, &lif->lock, end);
}
