// Receive framing: a core that is fed the bytes of one read at a time and
// turns them into checksummed LocoNet messages on the receive queue, and the
// reader thread, a thin shell that reads exactly what the core asks for.
//
// Bytes are requested in exactly the amounts still missing for the message
// being assembled, so a read never reaches past it. An opcode (bit 7 set)
// that arrives by a read while a message is incomplete wins: the incomplete
// message is dropped and assembly restarts at that opcode.
//
// The core is the reader loop of fill, reset and push, cut where it waits for
// a read: lif->phase says which fill is waiting, lif->need how many bytes it
// wants held. Feeding it the bytes that read delivered resumes the loop there.
#include "reader.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "transport.h"
#include "util.h"

namespace {

/// A USB serial adapter that has been unplugged, or a pty whose other side
/// closed, returns no bytes at once on every read; this many in a row are
/// taken as the end of the line rather than spun on.
constexpr unsigned EOF_READS = 3;

/// Drops the first n held bytes, moving the rest to the front.
void drop_front(lif_t *lif, unsigned n) {
  if (n >= lif->level) {
    lif->level = 0;
    return;
  }
  std::memmove(lif->cur->msg, lif->cur->msg + n, lif->level - n);
  lif->level = static_cast<u8>(lif->level - n);
}

/// Index of the first held byte at or after from with bit 7 set, or level.
unsigned next_opcode(const lif_t *lif, unsigned from) {
  for (unsigned i = from; i < lif->level; ++i)
    if (lif->cur->msg[i] & 0x80) return i;
  return lif->level;
}

/// What fill does before it reads: a current buffer, and held bytes that
/// start at an opcode. True when num bytes are held already, so fill returns
/// 0 without reading.
bool fill_ready(lif_t *lif, unsigned num) {
  if (lif->cur == nullptr) {
    lif->cur = ln_msg_alloc(lif);
    if (lif->cur == nullptr) ln_fatal("Can't alloc message: No mem\n");
    lif->level = 0;
  }
  if (lif->level != 0 && !(lif->cur->msg[0] & 0x80)) drop_front(lif, next_opcode(lif, 0));
  return lif->level >= num;
}

/// What fill does with the n bytes a read added behind old ones: 1 when an
/// opcode came among them (it now stands at msg[0]), else 0.
int took(lif_t *lif, unsigned n) {
  const unsigned old = lif->level;
  lif->level = static_cast<u8>(old + n);
  const unsigned i = next_opcode(lif, old);
  if (i == lif->level) return 0;
  drop_front(lif, i);
  return 1;
}

/// Where the reader loop goes on.
enum step : u8 {
  RELOAD,        ///< a new message: an opcode is wanted at msg[0]
  RELOAD_CHECK,  ///< msg[0] is held; is it an opcode?
  REPROBE,       ///< msg[0] is an opcode: stamp, find the length
  LENGTH_READY,  ///< the length byte of a variable-length message is held
  BODY,          ///< the length is known (need): fill up to it
  BODY_READY,    ///< the whole message is held: check and queue it
};

/// The reader loop from step s on, until a fill has to wait for a read; that
/// fill's step is left in phase and the bytes it wants held in need.
void run(lif_t *lif, step s) {
  for (;;) {
    switch (s) {
      case RELOAD:
        if (!fill_ready(lif, 1)) {
          lif->phase = RELOAD;
          lif->need = 1;
          return;
        }
        s = RELOAD_CHECK;
        break;
      case RELOAD_CHECK:
        if (get_char(lif, 0) & 0x80) {
          s = REPROBE;
        } else {
          reset(lif, 1);
          s = RELOAD;
        }
        break;
      case REPROBE:
        stamp(lif);
        lif->need = static_cast<u8>(ln_fixed_len(get_char(lif, 0)));
        if (lif->need != 0) {
          s = BODY;
        } else if (fill_ready(lif, 2)) {
          s = LENGTH_READY;
        } else {
          lif->phase = LENGTH_READY;
          lif->need = 2;
          return;
        }
        break;
      case LENGTH_READY: {
        const u8 len = get_char(lif, 1);
        // A length below 2 describes no message: with 1 the opcode would be
        // its own checksum, which only 0xFF passes, and a one-byte message is
        // no LocoNet message. One above the buffer cannot be held. Either way
        // the opcode is dropped and framing resumes at the next opcode, which
        // for an oversized length is the length byte itself.
        if (len < 2 || len > LN_MSG_MAX) {
          reset(lif, 1);
          s = RELOAD;
        } else {
          lif->need = len;
          s = BODY;
        }
        break;
      }
      case BODY:
        if (!fill_ready(lif, lif->need)) {
          lif->phase = BODY;
          return;
        }
        s = BODY_READY;
        break;
      case BODY_READY: {
        const u8 len = lif->need;
        u8 sum = 0;
        for (unsigned i = 0; i < len; ++i) sum ^= get_char(lif, static_cast<u8>(i));
        // A message that failed its checksum cannot be trusted for its length
        // either: an opcode held inside it (noise that took the next message's
        // opcode for data) starts the next message.
        if (sum == 0xFF)
          push(lif, len);
        else
          reset(lif, 1);
        s = RELOAD;
        break;
      }
    }
  }
}

}  // namespace

unsigned ln_frame_want(lif_t *lif) {
  if (lif->need == 0) run(lif, RELOAD);  // nothing fed yet
  return static_cast<unsigned>(lif->need - lif->level);
}

void ln_frame_feed(lif_t *lif, unsigned n) {
  const int arrived = took(lif, n);
  // The fill that waited: it goes on reading while short of its bytes, unless
  // an opcode arrived, which ends it with 1.
  if (!arrived && lif->level < lif->need) return;
  switch (lif->phase) {
    case RELOAD:
      run(lif, RELOAD_CHECK);  // the reader loop does not look at fill's result here
      break;
    case LENGTH_READY:
      run(lif, arrived ? REPROBE : LENGTH_READY);
      break;
    default:
      run(lif, arrived ? REPROBE : BODY_READY);
      break;
  }
}

bool ln_frame_one(const u8 *b, std::size_t n) {
  if (n < 2 || n > LN_MSG_MAX || !(b[0] & 0x80)) return false;
  const unsigned len = ln_fixed_len(b[0]) != 0 ? ln_fixed_len(b[0]) : b[1];
  if (len != n) return false;
  u8 sum = b[0];
  for (std::size_t i = 1; i < n; ++i) {
    if (b[i] & 0x80) return false;  // a second opcode: not one message
    sum ^= b[i];
  }
  return sum == 0xFF;
}

int do_read(lif_t *lif, u8 *buf, std::size_t len) {
  ssize_t n;
  do {
    // len is at most a buffer's 128 bytes; Windows' read() takes an unsigned.
    n = read(lif->fd, buf, static_cast<unsigned>(len));
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    const int e = errno;
    ln_fatal("Can't read from LocoNet interface: %s (errno: %d)\n", strerror(e), e);
  }
  clock_gettime(CLOCK_REALTIME, &lif->last_read);
  if (lif->quickack) ln_quickack(lif->fd);
  return static_cast<int>(n);
}

int fill(lif_t *lif, unsigned num) {
  if (fill_ready(lif, num)) return 0;
  unsigned empty_reads = 0;
  while (lif->level < num) {
    const int n = do_read(lif, lif->cur->msg + lif->level, num - lif->level);
    if (n == 0) {
      if (++empty_reads >= EOF_READS) ln_fatal("Can't read from LocoNet interface: end of file\n");
      continue;
    }
    empty_reads = 0;
    if (took(lif, static_cast<unsigned>(n))) return 1;
  }
  return 0;
}

u8 get_char(lif_t *lif, u8 idx) { return lif->cur->msg[idx]; }

void stamp(lif_t *lif) { lif->cur->stamp = lif->last_read; }

void reset(lif_t *lif, u8 len) {
  if (len >= lif->level) {
    lif->level = 0;
    return;
  }
  drop_front(lif, next_opcode(lif, len));
}

void push(lif_t *lif, u8 len) {
  ln_msg_t *fresh = ln_msg_alloc(lif);
  ln_msg_t *done = lif->cur;
  if (len < lif->level) {
    if (fresh == nullptr) ln_fatal("Can't alloc message: No mem\n");
    // cppcheck-suppress nullPointerRedundantCheck ; ln_fatal does not return
    std::memcpy(fresh->msg, done->msg + len, lif->level - len);
    lif->level = static_cast<u8>(lif->level - len);
  } else {
    lif->level = 0;
  }
  done->len = len;
  ln_msg_append(lif, done);
  lif->cur = fresh;
}

void *ln_reader(void *vif) {
  auto *lif = static_cast<lif_t *>(vif);
  unsigned empty_reads = 0;
  for (;;) {
    const unsigned want = ln_frame_want(lif);
    const int n = do_read(lif, lif->cur->msg + lif->level, want);
    if (n == 0) {
      if (++empty_reads >= EOF_READS) ln_fatal("Can't read from LocoNet interface: end of file\n");
      continue;
    }
    empty_reads = 0;
    ln_frame_feed(lif, static_cast<unsigned>(n));
  }
}
