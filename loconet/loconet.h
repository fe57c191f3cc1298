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
// - An interface kind (a row of name2lif) brings its own open, reader and
//   writer (ln_io_t): a serial line, raw LocoNet over TCP, or the LbServer
//   text protocol. Above the reader and the writer everything is the same.
// - A message of length 0 on the queue is no bus message but an LbServer's
//   answer to a transmission (ln_msg_answer). A refusal (SENT ERROR) of its
//   own transmission ends an exchange's attempt; qualifiers never see answers.
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

struct ln_io_t;

struct ln_msg_t {
  ln_msg_t *next;         ///< pool or queue link; null at the end of either
  struct timespec stamp;  ///< rx: last read when assembly (re)started; tx: zero
  u8 len;                 ///< valid bytes in msg, opcode through checksum
  u8 msg[LN_MSG_MAX];     ///< opcode first, checksum last
};

struct lif_t {
  int fd;                     ///< serial port, or socket
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
  const ln_io_t *io;          ///< how the bytes travel; null: as on a serial line
  bool quickack;              ///< a TCP socket: acknowledge every receive at once
  std::uint32_t sends;        ///< LbServer: SEND lines written (main thread only)
  std::uint32_t answers;      ///< LbServer: SENT lines received; guarded by lock
  /// LbServer: the numbers of the latest refused transmissions, not yet
  /// taken by ln_msg_refused; guarded by lock.
  std::array<std::uint32_t, 8> refused;
  unsigned n_refused;  ///< entries of refused in use; guarded by lock
  void *os_handle;     ///< Windows: the COM port's HANDLE (fd is -1 then); unused elsewhere
  void *kind_state;    ///< what the kind keeps beside fd (a Z21's second socket); may be null
  /// A transmission has come back as its echo: replies to an attempt come
  /// after its echo from now on (main thread only).
  bool echoes;
  /// The current attempt's echo is awaited: what arrives now answers an
  /// earlier request, never this one (main thread only).
  bool echo_due;
};

struct name2lif_t;

/// How the bytes of one kind of interface travel. Adding a kind is one row of
/// the table below plus one of these.
struct ln_io_t {
  /// Opens port for lif: sets lif->fd and what the kind needs. A port that
  /// cannot be opened leaves nothing open: false, and *err the line that says
  /// why, "Can't open ...", without its line end.
  bool (*open)(lif_t *lif, const char *port, const name2lif_t *kind, std::string *err);
  /// The reader thread: queues every message that arrives; never returns.
  void *(*reader)(void *vif);
  /// Writes the len bytes of m (checksum in place) within the write bound;
  /// 0, or the errno of the failing write, ETIMEDOUT when the bound passed.
  int (*write)(lif_t *lif, const ln_msg_t *m);
  /// The far end answers each transmission (an LbServer's SENT): the answers
  /// come as messages of length 0 on the queue (ln_msg_answer).
  bool answered;
  /// For a kind that loses what it writes (datagrams), so that a message
  /// nothing answers (a release) is sent again until it has reached the bus
  /// (ln_msg_tx_sure): watch(lif, m) before m is written starts to look for
  /// the sign that the bus carried it, carried(lif, ms) waits at most ms for
  /// that sign. Null for kinds whose writes arrive.
  void (*watch)(lif_t *lif, const ln_msg_t *m);
  bool (*carried)(lif_t *lif, int ms);
  /// Every end of the process runs it last, after the armed releases (a
  /// Z21's logoff); may be null.
  void (*end)(lif_t *lif);
};

extern const ln_io_t ln_serial;    ///< a serial line: the port is a device path or comN
extern const ln_io_t ln_tcp;       ///< LocoNet bytes over TCP, read and written as a serial line
extern const ln_io_t ln_lbserver;  ///< the LbServer text protocol over TCP
extern const ln_io_t ln_z21;       ///< LocoNet through a Z21 command station's UDP protocol

/// One row of the interface-type table: everything about a kind.
struct name2lif_t {
  const char *name;   ///< name given on the command line
  const char *desc;   ///< description shown in the usage text
  unsigned num;       ///< type code passed to lif_open
  const ln_io_t *io;  ///< how its bytes travel
  unsigned baud;      ///< serial line speed; 0 for the network kinds
  bool rtscts;        ///< RTS/CTS hardware flow control
  unsigned tcp_port;  ///< TCP (UDP for a Z21) port when the port names none; 0: it must name one
};

inline constexpr std::array<name2lif_t, 5> name2lif{{
    {"locobuffer", "RRCirkits LocoBuffer", 0, &ln_serial, 57600, true, 0},
    {"63120", "Uhlenbrock USB-LocoNet-Interface 63120", 1, &ln_serial, 115200, false, 0},
    {"lbserver", "LocoNet over TCP server (LbServer), HOST[:PORT]", 2, &ln_lbserver, 0, false,
     1234},
    {"tcp", "raw LocoNet bytes over TCP, HOST:PORT", 3, &ln_tcp, 0, false, 0},
    {"z21", "Z21 command station (LAN, UDP), HOST[:PORT]", 4, &ln_z21, 0, false, 21105},
}};

/// Whether lif's kind loses what it writes (datagrams): a message may never
/// reach the bus, and an answer may never come back.
inline bool lif_lossy(const lif_t *lif) { return lif->io != nullptr && lif->io->watch != nullptr; }

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
/// Oldest received message, or null when the queue is empty; never waits.
ln_msg_t *ln_msg_rx_now(lif_t *lif);
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

/// Device path for a port name: "comN" gives "/dev/ttyS<N-1>" on Linux and
/// "\\.\COMN" on Windows (any case there), anything else itself.
std::string lif_port_path(const char *name);
/// Splits "HOST[:PORT]" or "[IPV6][:PORT]" (an address with several colons
/// and no brackets is all host) into host and port, the port defaulting to
/// default_port (0: a port must be given). Null when the text fits, else
/// what is wrong with it, in words for the user.
const char *lif_split_hostport(const char *where, unsigned default_port, std::string *host,
                               std::string *port);
/// Opens and configures the port for iftype (a row's num) and starts the
/// reader. Null when the record cannot be allocated or iftype is unknown
/// (nothing printed); a port that cannot be opened or a thread that cannot
/// start ends the process.
lif_t *lif_open(const char *name, unsigned iftype);
/// lif_open for a caller that goes on when the port cannot be opened (the
/// page's open): null and *err the line that says why, without its line end;
/// null and *err empty as lif_open's null. Only one interface is ever opened
/// for a run.
lif_t *lif_try_open(const char *name, unsigned iftype, std::string *err);
/// For a program that serves an interface itself (lnsim): a record on fd,
/// which the caller opened and keeps, framed as a serial line by a reader
/// thread of its own. Null when no memory or thread can be had.
lif_t *lif_attach(int fd);
/// For a program that frames several byte streams itself (lnsim's TCP
/// clients): a record without port or thread; the caller feeds it with
/// ln_frame_want/ln_frame_feed (reader.h) and takes what it queued. Null when
/// no memory can be had.
lif_t *lif_framer();
/// Stops the reader thread of a record from lif_attach: nothing is queued
/// any more.
void lif_stop(lif_t *lif);
/// After lif_stop (a record from lif_framer needs none), once nobody uses
/// the record: gives every buffer on the pool and the queue back to the
/// allocator and frees the record; fd stays open.
void lif_detach(lif_t *lif);
/// For the open of an ln_io_t whose port failed: *err = "Can't open what:
/// text (errno: e)"; false.
bool lif_open_failed(std::string *err, const std::string &what, const char *text, int e);

// --- Transmission and exchange ---------------------------------------------

/// Sets the last of m's len bytes (len >= 1) so that the XOR of all of them is
/// 0xFF: the LocoNet checksum.
void ln_msg_seal(ln_msg_t *m);
/// For an answer (a message of length 0): true when it refuses the
/// transmission; *n is that transmission's number, which the count of
/// transmissions (lif->sends) had right after it was written. Answers are
/// counted in order, so a server that leaves some unanswered makes later
/// answers name earlier transmissions, never later ones.
bool ln_msg_answer(const ln_msg_t *m, std::uint32_t *n);

/// How many transmissions the far end has answered so far (an LbServer's
/// SENT lines); takes the lock.
std::uint32_t ln_msg_answered(lif_t *lif);
/// True, once, when the far end refused transmission n, whose answer may
/// have come while nobody looked: a release is no exchange, and nothing
/// waits for its answer. Only the latest refusals are kept. Takes the lock.
bool ln_msg_refused(lif_t *lif, std::uint32_t n);

/// Reply acceptance test: non-zero accepts rx; may store results behind arg.
using ln_qual_t = int (*)(const ln_msg_t *rx, void *arg);

/// Adds the checksum to m and writes its len bytes. A write that fails or
/// cannot complete within a second ends the process. m stays the caller's.
/// Writes never interleave with the release of the end path.
void ln_msg_tx(lif_t *lif, ln_msg_t *m);
/// Arms m (copied, checksum added) as the message that every end of the
/// process (ln_exit, ln_fatal, a caught signal) writes to lif's port once
/// before it exits, as long as the port takes bytes; null disarms. This is
/// how a module being programmed is released when the run ends early. Any
/// releases armed before are disarmed.
void lif_arm_release(lif_t *lif, const ln_msg_t *m);
/// Arms m as well, behind the releases armed so far: every end writes them
/// all, in order, within the write bound. No memory for it is fatal.
void lif_arm_also(lif_t *lif, const ln_msg_t *m);
/// ln_msg_tx for a message that nothing answers (a release): over a kind
/// that loses what it writes, sent again, up to LN_SURE_TRIES times, until
/// the sign comes that the bus carried it.
void ln_msg_tx_sure(lif_t *lif, ln_msg_t *m);
/// Transmissions of a message that nothing answers over a kind that loses
/// them, each waiting LN_SURE_WAIT_MS for the sign that it reached the bus.
constexpr unsigned LN_SURE_TRIES = 4;
constexpr int LN_SURE_WAIT_MS = 100;
/// Sends tx up to retries + 1 times, each attempt waiting to ns (< 1 s) for a
/// message that qual accepts. Returns that message (now the caller's) or null.
/// The echo of tx is no reply and is not shown to qual; once the far end has
/// echoed a transmission, lif->echo_due is true during each attempt until its
/// echo came, and qualifiers take nothing for a reply while it is.
ln_msg_t *ln_msg_tx_retry_resp(lif_t *lif, ln_msg_t *tx, unsigned retries, std::uint32_t to,
                               ln_qual_t qual, void *arg);
