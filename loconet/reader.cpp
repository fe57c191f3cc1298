// The reader thread: turns the byte stream of the port into checksummed
// LocoNet messages on the receive queue.
//
// Bytes are requested in exactly the amounts still missing for the message
// being assembled, so a read never reaches past it. An opcode (bit 7 set)
// that arrives by a read while a message is incomplete wins: the incomplete
// message is dropped and assembly restarts at that opcode.
#include "reader.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

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

/// Assembles the message whose opcode stands at msg[0], restarting whenever a
/// new opcode arrives by a read, then queues it or drops it.
void assemble(lif_t *lif) {
  for (;;) {
    stamp(lif);
    const u8 opc = get_char(lif, 0);
    unsigned len = ln_fixed_len(opc);
    if (len == 0) {
      if (fill(lif, 2)) continue;
      len = get_char(lif, 1);
      // A length below 2 describes no message (the checksum would be the
      // opcode itself); one above the buffer cannot be held. Either way the
      // opcode is dropped and framing resumes at the next opcode, which for
      // an oversized length is the length byte itself.
      if (len < 2 || len > LN_MSG_MAX) {
        reset(lif, 1);
        return;
      }
    }
    if (fill(lif, len)) continue;
    u8 sum = opc;
    for (unsigned i = 1; i < len; ++i) sum ^= get_char(lif, static_cast<u8>(i));
    if (sum == 0xFF)
      push(lif, static_cast<u8>(len));
    else
      reset(lif, static_cast<u8>(len));
    return;
  }
}

}  // namespace

int do_read(lif_t *lif, u8 *buf, std::size_t len) {
  ssize_t n;
  do {
    n = read(lif->fd, buf, len);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    const int e = errno;
    ln_fatal("Can't read from LocoNet interface: %s (errno: %d)\n", strerror(e), e);
  }
  clock_gettime(CLOCK_REALTIME, &lif->last_read);
  return static_cast<int>(n);
}

int fill(lif_t *lif, unsigned num) {
  if (lif->cur == nullptr) {
    lif->cur = ln_msg_alloc(lif);
    if (lif->cur == nullptr) ln_fatal("Can't alloc message: No mem\n");
    lif->level = 0;
  }
  if (lif->level != 0 && !(lif->cur->msg[0] & 0x80)) drop_front(lif, next_opcode(lif, 0));
  unsigned empty_reads = 0;
  while (lif->level < num) {
    const unsigned old = lif->level;
    const int n = do_read(lif, lif->cur->msg + old, num - old);
    if (n == 0) {
      if (++empty_reads >= EOF_READS) ln_fatal("Can't read from LocoNet interface: end of file\n");
      continue;
    }
    empty_reads = 0;
    lif->level = static_cast<u8>(old + static_cast<unsigned>(n));
    const unsigned i = next_opcode(lif, old);
    if (i < lif->level) {
      drop_front(lif, i);
      return 1;
    }
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
  for (;;) {
    fill(lif, 1);
    if (!(get_char(lif, 0) & 0x80)) {
      reset(lif, 1);
      continue;
    }
    assemble(lif);
  }
}
