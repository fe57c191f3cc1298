// Building blocks of the reader thread, exposed for tests that drive the
// framing step by step. All of them run on the reader thread only and touch
// cur and level without the lock (but ln_msg_alloc and push take it).
#pragma once

#include <cstddef>

#include "loconet.h"

// --- The framing core ---------------------------------------------------------
// Fed the bytes of one read at a time, it assembles messages exactly as the
// steps below always did, queueing each good one with push. It does no I/O;
// the caller reads, and stamps last_read, which the core copies into the
// messages.

/// Bytes the next read must deliver at most, to be stored at
/// lif->cur->msg + lif->level (the core makes sure cur exists). At least 1.
unsigned ln_frame_want(lif_t *lif);
/// That read delivered n bytes (1 <= n <= ln_frame_want) in place: frames and
/// queues what they complete.
void ln_frame_feed(lif_t *lif, unsigned n);
/// Whether the n bytes b are exactly one good message: an opcode, the length
/// it implies (2 to LN_MSG_MAX), data bytes with bit 7 clear, the checksum.
bool ln_frame_one(const u8 *b, std::size_t n);

// --- The steps ------------------------------------------------------------------

/// One blocking read of up to len bytes into buf; stamps last_read. A failed
/// read ends the process. Returns the count, 0 included.
int do_read(lif_t *lif, u8 *buf, std::size_t len);
/// Makes sure at least num bytes are held; 1 when an opcode arrived by a read
/// and now stands at msg[0] (what was held before it is dropped), else 0.
/// Ends the process on end of file (repeated reads of nothing).
int fill(lif_t *lif, unsigned num);
/// cur->msg[idx].
u8 get_char(lif_t *lif, u8 idx);
/// cur->stamp = last_read.
void stamp(lif_t *lif);
/// Drops a failed message of len bytes and what follows it up to the next opcode.
void reset(lif_t *lif, u8 len);
/// Queues the first len bytes of cur as a message; held-over bytes move to a
/// fresh current buffer.
void push(lif_t *lif, u8 len);
/// Length class of an opcode: 2, 4 or 6, or 0 for the variable class.
constexpr unsigned ln_fixed_len(u8 opc) {
  return (opc & 0x60) == 0x60 ? 0u : ((static_cast<unsigned>(opc & 0x60) >> 5) + 1) * 2;
}
