// Transmission and the retried send-and-wait exchange (main thread only).
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

#include "loconet.h"
#include "util.h"

namespace {

/// A transmission that cannot finish within this bound (an unpowered
/// LocoBuffer holding CTS off, say) would otherwise hang the tool for good.
constexpr long TX_BOUND_MS = 1000;

long ms_since(const struct timespec &t0) {
  struct timespec now;
  // Monotonic: a bound on how long we wait must not stretch when the wall
  // clock is set back.
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - t0.tv_sec) * 1000 + (now.tv_nsec - t0.tv_nsec) / 1000000;
}

[[noreturn]] void write_failed(int e) {
  ln_fatal("Can't write to LocoNet interface: %s (errno: %d)\n", strerror(e), e);
}

}  // namespace

void ln_msg_tx(lif_t *lif, ln_msg_t *m) {
  m->stamp = {};
  u8 sum = 0;
  for (unsigned i = 0; i + 1 < m->len; ++i) sum ^= m->msg[i];
  m->msg[m->len - 1] = static_cast<u8>(~sum);

  struct timespec t0;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  std::size_t done = 0;
  while (done < m->len) {
    const long left = TX_BOUND_MS - ms_since(t0);
    if (left <= 0) ln_fatal("Can't write to LocoNet interface: timed out\n");
    struct pollfd p = {lif->fd, POLLOUT, 0};
    const int r = poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno != EINTR) write_failed(errno);
    if (r <= 0) continue;
    // Errors and hang-ups show as a failing write below.
    const ssize_t n = write(lif->fd, m->msg + done, m->len - done);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      write_failed(errno);
    }
    done += static_cast<std::size_t>(n);  // nothing written: wait again, within the bound
  }
}

ln_msg_t *ln_msg_tx_retry_resp(lif_t *lif, ln_msg_t *tx, unsigned retries, std::uint32_t to,
                               ln_qual_t qual, void *arg) {
  for (unsigned attempt = 0;; ++attempt) {
    // Anything queued before this attempt cannot be its reply.
    ln_msg_flush(lif);
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const struct timespec end = ts_add_ns(now, to);
    ln_msg_tx(lif, tx);
    while (ln_msg_t *rx = ln_msg_rx_to(lif, &end)) {
      if (qual(rx, arg)) return rx;
      ln_msg_free(lif, rx);
    }
    if (attempt == retries) return nullptr;
  }
}
