// Message buffer pool and receive queue.
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <new>

#include "loconet.h"
#include "util.h"

namespace {

/// Unlinks the queue head; the caller holds lock and the queue is not empty.
ln_msg_t *take_head(lif_t *lif) {
  ln_msg_t *m = lif->q_out;
  lif->q_out = m->next;
  if (lif->q_out == nullptr) lif->q_in = nullptr;
  --lif->q_len;
  return m;
}

}  // namespace

void ln_msg_append(lif_t *lif, ln_msg_t *m) {
  m->next = nullptr;
  ln_lock(&lif->lock);
  if (lif->q_len >= LN_QUEUE_MAX) {
    // Nobody is waiting for a reply (an exchange empties the queue before it
    // sends): the oldest message is of no use to anyone.
    ln_msg_t *old = take_head(lif);
    old->next = lif->free;
    lif->free = old;
  }
  if (lif->q_in != nullptr) {
    lif->q_in->next = m;
    lif->q_in = m;
  } else {
    lif->q_in = lif->q_out = m;
    pthread_cond_signal(&lif->cond);
  }
  ++lif->q_len;
  ln_unlock(&lif->lock);
}

ln_msg_t *ln_msg_alloc(lif_t *lif) {
  ln_lock(&lif->lock);
  ln_msg_t *m = lif->free;
  if (m != nullptr) {
    lif->free = m->next;
    m->next = nullptr;
  }
  ln_unlock(&lif->lock);
  if (m == nullptr) {
    // Allocation happens outside the lock; the pool only ever grows.
    m = new (std::nothrow) ln_msg_t{};
  }
  return m;
}

void ln_msg_free(lif_t *lif, ln_msg_t *msg) {
  ln_lock(&lif->lock);
  msg->next = lif->free;
  lif->free = msg;
  ln_unlock(&lif->lock);
}

void ln_msg_flush(lif_t *lif) {
  ln_lock(&lif->lock);
  if (lif->q_out != nullptr) {
    lif->q_in->next = lif->free;
    lif->free = lif->q_out;
    lif->q_in = nullptr;
    lif->q_out = nullptr;
    lif->q_len = 0;
  }
  ln_unlock(&lif->lock);
}

ln_msg_t *ln_msg_rx(lif_t *lif) {
  ln_lock(&lif->lock);
  while (lif->q_out == nullptr) {
    const int rc = pthread_cond_wait(&lif->cond, &lif->lock);
    if (rc != 0) {
      ln_unlock(&lif->lock);
      ln_fatal("Can't wait on cond: %s (errno: %d)\n", strerror(rc), rc);
    }
  }
  ln_msg_t *m = take_head(lif);
  ln_unlock(&lif->lock);
  return m;
}

ln_msg_t *ln_msg_rx_now(lif_t *lif) {
  ln_lock(&lif->lock);
  ln_msg_t *m = lif->q_out != nullptr ? take_head(lif) : nullptr;
  ln_unlock(&lif->lock);
  return m;
}

ln_msg_t *ln_msg_rx_to(lif_t *lif, const struct timespec *end) {
  ln_lock(&lif->lock);
  int rc = 0;
  while (lif->q_out == nullptr && rc == 0) rc = ln_cond_wait_until(lif, end);
  if (rc == ETIMEDOUT) {
    // A message appended at the very moment of the time-out waits for the
    // next attempt's flush, so the attempt ends exactly at its deadline.
    ln_unlock(&lif->lock);
    return nullptr;
  }
  if (rc != 0) {
    ln_unlock(&lif->lock);
    ln_fatal("Can't wait on cond: %s (errno: %d)\n", strerror(rc), rc);
  }
  ln_msg_t *m = take_head(lif);
  ln_unlock(&lif->lock);
  return m;
}

void ln_msg_dump(FILE *out, const ln_msg_t *m) {
  // Seconds are sign-extended to 64 bits, as a pre-epoch stamp would print.
  auto secs = static_cast<unsigned long long>(static_cast<long long>(m->stamp.tv_sec));
  fprintf(out, "%llu.%09lu:", secs, static_cast<unsigned long>(m->stamp.tv_nsec));
  for (unsigned i = 0; i < m->len && i < LN_MSG_MAX; ++i) fprintf(out, " 0x%02x", m->msg[i]);
  fputc('\n', out);
}
