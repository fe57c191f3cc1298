// LocoNet interface layer: the serial port, the message buffer pool, the
// receive queue, the reader thread that frames the byte stream, and the
// send-and-wait exchange.
//
// Principles of operation
// - Two threads use an interface record: the reader thread (ln_reader), which
//   alone reads the port and touches cur, level and last_read, and the main
//   thread, which alone writes the port and runs the exchanges.
// - free, q_in and q_out are shared and guarded by lock; every ln_msg_*
//   operation below but ln_msg_dump takes lock for its whole duration.
// - A message buffer belongs to exactly one holder: the pool, the receive
//   queue, the reader (cur) or a caller. A caller returns every buffer it took
//   or received with ln_msg_free. Buffers are never given back to the
//   allocator; the record, the port and the reader live until the process ends.
// - Fatal conditions print one line on stderr and exit(1) from whichever
//   thread meets them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <pthread.h>
#include <string>

#include "host_types.h"

/// Room for the longest message a LocoNet length byte can describe in one buffer.
constexpr std::size_t LN_MSG_MAX = 128;
/// Messages the receive queue holds at most: more than a reply window of
/// traffic at full bus speed (about 40 messages in 100 ms). With nobody
/// taking them (write mode waiting on its input), the oldest make room.
constexpr unsigned LN_QUEUE_MAX = 64;

struct ln_msg_t {
  ln_msg_t *next;         ///< pool or queue link; null at the end of either
  struct timespec stamp;  ///< rx: last read when assembly (re)started; tx: zero
  u8 len;                 ///< valid bytes in msg, opcode through checksum
  u8 msg[LN_MSG_MAX];     ///< opcode first, checksum last
};

struct lif_t {
  int fd;                     ///< serial port
  pthread_t tid;              ///< reader thread
  pthread_mutex_t lock;       ///< guards free, q_in, q_out
  pthread_cond_t cond;        ///< signalled when the queue turns non-empty
  struct timespec last_read;  ///< realtime clock after every read (reader only)
  ln_msg_t *free;             ///< pool head, LIFO
  ln_msg_t *q_in;             ///< queue tail: the reader appends here
  ln_msg_t *q_out;            ///< queue head: consumers take from here
  ln_msg_t *cur;              ///< reader's buffer under assembly (reader only)
  u8 level;                   ///< bytes held in cur->msg (reader only)
  u8 phase;                   ///< the framing step that waits for bytes (reader only)
  u8 need;                    ///< bytes that step wants held; 0 before the first (reader only)
  unsigned q_len;             ///< messages on the queue, at most LN_QUEUE_MAX; guarded by lock
};

/// One row of the interface-type table.
struct name2lif_t {
  const char *name;  ///< name given on the command line
  const char *desc;  ///< description shown in the usage text
  unsigned num;      ///< type code passed to lif_open
};

inline constexpr std::array<name2lif_t, 2> name2lif{{
    {"locobuffer", "RRCirkits LocoBuffer", 0},
    {"63120", "Uhlenbrock USB-LocoNet-Interface 63120", 1},
}};

// --- Pool and queue -------------------------------------------------------

/// Head of the pool (next cleared, contents kept) or a new zero-filled buffer;
/// null when no memory can be had.
ln_msg_t *ln_msg_alloc(lif_t *lif);
/// Puts msg at the head of the pool; the caller gives it up.
void ln_msg_free(lif_t *lif, ln_msg_t *msg);
/// Moves the whole receive queue, in order, in front of the pool head.
void ln_msg_flush(lif_t *lif);
/// Appends m at the tail of the receive queue and wakes a waiter when the
/// queue was empty; a full queue first gives its oldest message to the pool.
void ln_msg_append(lif_t *lif, ln_msg_t *m);
/// Oldest received message, waiting as long as the queue is empty.
ln_msg_t *ln_msg_rx(lif_t *lif);
/// Oldest received message, waiting until the absolute deadline end on
/// CLOCK_MONOTONIC (see ln_deadline); null on time-out. Any other wait error
/// ends the process.
ln_msg_t *ln_msg_rx_to(lif_t *lif, const struct timespec *end);
/// Writes one line "secs.nsecs: 0x.. 0x..\n" for m; takes no lock.
void ln_msg_dump(FILE *out, const ln_msg_t *m);

// --- Reader thread ----------------------------------------------------------

/// Start routine of the reader thread; vif is the lif_t. Never returns; ends
/// the process when the port fails or reaches end of file.
void *ln_reader(void *vif);

// --- Opening ----------------------------------------------------------------

/// Device path for a port name: "comN" gives "/dev/ttyS<N-1>", anything else
/// itself.
std::string lif_port_path(const char *name);
/// Opens and configures the port for iftype and starts the reader. Null when
/// the record cannot be allocated or iftype is unknown (nothing printed); a
/// port that cannot be opened or a thread that cannot start ends the process.
lif_t *lif_open(const char *name, unsigned iftype);

// --- Transmission and exchange ---------------------------------------------

/// Sets the last of m's len bytes (len >= 1) so that the XOR of all of them is
/// 0xFF: the LocoNet checksum.
void ln_msg_seal(ln_msg_t *m);

/// Reply acceptance test: non-zero accepts rx; may store results behind arg.
using ln_qual_t = int (*)(const ln_msg_t *rx, void *arg);

/// Adds the checksum to m and writes its len bytes. A write that fails or
/// cannot complete within a second ends the process. m stays the caller's.
/// Writes never interleave with the release of the end path.
void ln_msg_tx(lif_t *lif, ln_msg_t *m);
/// Arms m (copied, checksum added) as the message that every end of the
/// process (ln_exit, ln_fatal, a caught signal) writes to lif's port once
/// before it exits, as long as the port takes bytes; null disarms. This is
/// how a module being programmed is released when the run ends early.
void lif_arm_release(lif_t *lif, const ln_msg_t *m);
/// Sends tx up to retries + 1 times, each attempt waiting to ns (< 1 s) for a
/// message that qual accepts. Returns that message (now the caller's) or null.
ln_msg_t *ln_msg_tx_retry_resp(lif_t *lif, ln_msg_t *tx, unsigned retries, std::uint32_t to,
                               ln_qual_t qual, void *arg);
