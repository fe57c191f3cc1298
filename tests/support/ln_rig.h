// Rigs for testing the LocoNet interface layer: hand-made interface records,
// messages as bytes built with the product's own codec, byte-level I/O on the
// far side of a pipe or pty, and clock helpers.
//
// Records made here are never freed and fds are never closed: a reader thread
// may still be blocked on them when a test ends, and closing the write side it
// reads would end the process by design.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "loconet.h"
#include "prog.h"
#include "pty.h"

using bytes = std::vector<u8>;

/// A zero-filled record reading and writing fd, lock and cond initialised,
/// no reader thread.
lif_t *rig_lif(int fd);
/// Starts ln_reader on lif; false when the thread cannot be created.
bool rig_start_reader(lif_t *lif);

// --- Messages ----------------------------------------------------------------
// The checksum and the reply layouts come from ln_msg_seal, prog_encode_reply
// and prog_encode_ack, which the transmitter and lnsim use too: each rule is
// coded once. Tests that check bytes write the expected bytes out literally.

/// body followed by its LocoNet checksum (body at most LN_MSG_MAX - 1 bytes).
bytes sealed(bytes body);
/// A module's programming reply carrying val of CV cv of article art, request
/// id PROG_CMD_REPLY, checksum included.
bytes reply_bytes(u16 art, u16 cv, u16 val);
/// A module's long acknowledge with status (PROG_ACK_*), checksum included.
bytes ack_bytes(u8 status);
/// A message holding b: len is b.size().
ln_msg_t msg_of(const bytes &b);
/// "B2 12 34 6B": upper-case hex, one space between bytes.
std::string hex(const bytes &b);
std::string hex(const ln_msg_t *m);

// --- Bytes on a pipe or pty ----------------------------------------------------

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

// --- Time ----------------------------------------------------------------------

/// CLOCK_MONOTONIC, the clock of every deadline of the interface layer.
struct timespec rig_now();
/// CLOCK_REALTIME, the clock of the reader's time stamps.
struct timespec rig_wall();
/// ms milliseconds from now on CLOCK_MONOTONIC, as a deadline.
struct timespec rig_in_ms(long ms);
/// b - a in milliseconds.
double rig_ms(const struct timespec &a, const struct timespec &b);
void rig_sleep_ms(long ms);
/// ms times SENS_TIME_FACTOR (default 1), which the sanitizer builds raise:
/// the allowance for upper bounds on time and for waits on an event. The
/// protocol's lower bounds (an attempt lasts 100 ms) are never stretched.
int rig_scaled_ms(int ms);

/// A device on the far side of a pty: an interface of type 1 opened on the
/// slave, and a thread on the master that records each 15-byte request and,
/// for transmission k while the script lasts, echoes it as an interface does
/// and then sends script[k]; an empty entry in script[k] puts the echo there.
struct rig_peer {
  test_pty pty;
  lif_t *lif = nullptr;
  std::vector<std::vector<bytes>> script;
  std::mutex lock;
  std::condition_variable grown;  ///< notified at each request recorded
  std::vector<std::string> got;   ///< requests as hex, in order

  /// The requests so far, once there are n of them or 5 s (scaled) have passed.
  std::vector<std::string> requests(std::size_t n);
};
rig_peer *rig_peer_start(std::vector<std::vector<bytes>> script);
