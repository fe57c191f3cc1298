// Rigs for testing the LocoNet interface layer: hand-made interface records,
// byte-level I/O on the far side of a pipe or pty, and clock helpers.
//
// Records made here are never freed and fds are never closed: a reader thread
// may still be blocked on them when a test ends, and closing the write side it
// reads would end the process by design.
#pragma once

#include <cstddef>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "loconet.h"
#include "pty.h"

using bytes = std::vector<u8>;

/// A zero-filled record reading and writing fd, lock and cond initialised,
/// no reader thread.
lif_t *rig_lif(int fd);
/// Starts ln_reader on lif; false when the thread cannot be created.
bool rig_start_reader(lif_t *lif);

/// b with the LocoNet checksum appended (XOR of all bytes 0xFF).
bytes ln_cs(bytes b);
/// "B2 12 34 6B": upper-case hex, one space between bytes.
std::string hex(const bytes &b);
std::string hex(const ln_msg_t *m);

/// Writes all of b; false on failure.
bool rig_write(int fd, const bytes &b);
/// Reads until no byte has come for quiet_ms (bounded to a few seconds).
bytes rig_drain(int fd, int quiet_ms);
/// Reads exactly n bytes unless within_ms pass first.
bytes rig_read_n(int fd, std::size_t n, int within_ms);

/// Next queued message within ms, copied out and returned to the pool.
bool rig_next(lif_t *lif, int ms, bytes *out, struct timespec *stamp = nullptr);
/// Pool length, taken under the lock (bounded, so a cycle shows as a big number).
std::size_t rig_pool_len(lif_t *lif);
/// Whether m is in the pool, looked up under the lock.
bool rig_in_pool(lif_t *lif, const ln_msg_t *m);

/// CLOCK_MONOTONIC, the clock of every deadline of the interface layer.
struct timespec rig_now();
/// CLOCK_REALTIME, the clock of the reader's time stamps.
struct timespec rig_wall();
/// ms milliseconds from now on CLOCK_MONOTONIC, as a deadline.
struct timespec rig_in_ms(long ms);
/// b - a in milliseconds.
double rig_ms(const struct timespec &a, const struct timespec &b);
void rig_sleep_ms(long ms);

/// A device on the far side of a pty: an interface of type 1 opened on the
/// slave, and a thread on the master that records each 15-byte request and,
/// for transmission k while the script lasts, echoes it as an interface does
/// and then sends script[k].
struct rig_peer {
  test_pty pty;
  lif_t *lif = nullptr;
  std::vector<std::vector<bytes>> script;
  std::mutex lock;
  std::vector<std::string> got;  ///< requests as hex, in order

  /// The requests so far, after a pause for a last one in flight.
  std::vector<std::string> requests();
};
rig_peer *rig_peer_start(std::vector<std::vector<bytes>> script);
