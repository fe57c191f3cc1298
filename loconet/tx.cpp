// Transmission and the retried send-and-wait exchange (main thread only), and
// the release armed for the end of the process.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <pthread.h>
#include <vector>

#include "end.h"
#include "loconet.h"
#include "transport.h"
#include "util.h"

namespace {

/// Held while a message is written, so the end path never cuts one in two;
/// guards the armed releases and port_failed too.
pthread_mutex_t tx_lock = PTHREAD_MUTEX_INITIALIZER;
lif_t *armed_lif = nullptr;   ///< where the armed releases go; null when none is armed
std::vector<ln_msg_t> armed;  ///< the armed releases, checksums included, in order
bool port_failed = false;     ///< a write failed or timed out: the port takes nothing more

/// Writes m the way lif's kind does; the caller holds tx_lock.
int write_msg(lif_t *lif, const ln_msg_t *m) {
  return (lif->io != nullptr ? lif->io->write : ln_write_bytes)(lif, m);
}

}  // namespace

int ln_write_bytes(lif_t *lif, const ln_msg_t *m) { return ln_write_all(lif, m->msg, m->len); }

void ln_msg_seal(ln_msg_t *m) {
  u8 sum = 0;
  for (unsigned i = 0; i + 1 < m->len; ++i) sum ^= m->msg[i];
  m->msg[m->len - 1] = static_cast<u8>(~sum);
}

void ln_msg_tx(lif_t *lif, ln_msg_t *m) {
  m->stamp = {};
  ln_msg_seal(m);
  ln_lock(&tx_lock);
  const int e = write_msg(lif, m);
  if (e != 0) port_failed = true;
  ln_unlock(&tx_lock);
  if (e == ETIMEDOUT) ln_fatal("Can't write to LocoNet interface: timed out\n");
  if (e != 0) ln_fatal("Can't write to LocoNet interface: %s (errno: %d)\n", strerror(e), e);
}

namespace {

/// Arms m behind the releases armed so far, or in their place.
void arm(lif_t *lif, const ln_msg_t *m, bool replace) {
  ln_msg_t sealed{};
  if (m != nullptr) {
    sealed = *m;
    ln_msg_seal(&sealed);
  }
  ln_lock(&tx_lock);
  bool room = true;
  if (replace) armed.clear();
  if (m != nullptr) {
    try {
      armed.push_back(sealed);
    } catch (const std::bad_alloc &) {
      room = false;
    }
  }
  armed_lif = armed.empty() ? nullptr : lif;
  ln_unlock(&tx_lock);
  if (!room) ln_fatal("Can't alloc msg\n");
}

}  // namespace

void lif_arm_release(lif_t *lif, const ln_msg_t *m) { arm(lif, m, true); }

void lif_arm_also(lif_t *lif, const ln_msg_t *m) { arm(lif, m, false); }

void ln_msg_tx_sure(lif_t *lif, ln_msg_t *m) {
  const ln_io_t *io = lif->io;
  if (io == nullptr || io->watch == nullptr) {
    ln_msg_tx(lif, m);
    return;
  }
  for (unsigned i = 0; i < LN_SURE_TRIES; ++i) {
    ln_lock(&tx_lock);
    io->watch(lif, m);
    ln_unlock(&tx_lock);
    ln_msg_tx(lif, m);
    if (io->carried(lif, LN_SURE_WAIT_MS)) return;
  }
}

void lif_end_release() {
  // A transmission in progress finishes first (it is bounded too); a main
  // thread that never lets go must not keep the process from ending.
  struct timespec until;
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += 1 + TX_BOUND_MS / 1000;
  if (pthread_mutex_timedlock(&tx_lock, &until) != 0) return;
  struct timespec t0;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  // Every release while the port takes them, all within one write bound:
  // the end of the run must not wait on a slow line for long. Over a kind
  // that loses what it writes, each is sent again until it is seen on its
  // way, as long as the bound lets it.
  const ln_io_t *io = armed_lif != nullptr ? armed_lif->io : nullptr;
  const bool sure = io != nullptr && io->watch != nullptr;
  for (const ln_msg_t &m : armed) {
    for (unsigned i = 0; i < (sure ? LN_SURE_TRIES : 1); ++i) {
      const std::int64_t left = TX_BOUND_MS - ln_ms_since(t0);
      if (armed_lif == nullptr || port_failed || left <= 0) break;
      if (sure) io->watch(armed_lif, &m);
      if (write_msg(armed_lif, &m) != 0) port_failed = true;
      if (!sure ||
          io->carried(armed_lif, static_cast<int>(std::min<std::int64_t>(left, LN_SURE_WAIT_MS))))
        break;
    }
  }
  armed_lif = nullptr;
  // tx_lock stays held: the process is ending, and nothing may follow the release.
}

void lif_end_kind() {
  // Under tx_lock, which the release above keeps: nothing is written beside it.
  lif_t *lif = lif_opened();
  if (lif != nullptr && lif->io != nullptr && lif->io->end != nullptr) lif->io->end(lif);
}

ln_msg_t *ln_msg_tx_retry_resp(lif_t *lif, ln_msg_t *tx, unsigned retries, std::uint32_t to,
                               ln_qual_t qual, void *arg) {
  for (unsigned attempt = 0;; ++attempt) {
    // Anything queued before this attempt cannot be its reply.
    ln_msg_flush(lif);
    const struct timespec end = ln_deadline(to);
    ln_msg_tx(lif, tx);
    lif->echo_due = lif->echoes;
    while (ln_msg_t *rx = ln_msg_rx_to(lif, &end)) {
      if (rx->len == 0) {
        // An answer to a transmission: a refusal of this attempt's ends it.
        std::uint32_t n;
        const bool refused = ln_msg_answer(rx, &n) && n == lif->sends;
        ln_msg_free(lif, rx);
        if (refused) break;
        continue;
      }
      if (rx->len == tx->len && std::memcmp(rx->msg, tx->msg, tx->len) == 0) {
        // Our own bytes back from the bus: what follows answers this attempt.
        lif->echoes = true;
        lif->echo_due = false;
        ln_msg_free(lif, rx);
        continue;
      }
      if (qual(rx, arg)) {
        lif->echo_due = false;
        return rx;
      }
      ln_msg_free(lif, rx);
    }
    lif->echo_due = false;
    if (attempt == retries) return nullptr;
  }
}
