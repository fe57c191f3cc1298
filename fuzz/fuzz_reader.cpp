// Fuzzes the reader's framing with arbitrary bytes arriving in arbitrary read
// sizes. The real ln_reader runs on the fuzzer's thread: the link wraps read(),
// so the port is the fuzz input, and this file defines ln_fatal, so the
// reader's end of file comes back here as an exception instead of ending the
// process. The wrapped
// read throws when the input is used up; the reader never holds the lock
// while it reads, so unwinding out of it leaves the record consistent.
//
// Input: the low 5 bits of byte 0 give k; the next k bytes are read sizes,
// used in turn (0: the read returns nothing; n: at most n bytes, never more
// than asked); the rest is the byte stream on the line. With no sizes every
// read gets all it asks for.
//
// Each input must hold, or the fuzzer aborts:
// - every read asks for at least one byte and lands inside the current buffer;
// - the framing never loops without reading: its steps stay within a bound set
//   by the reads made and the bytes delivered;
// - reads of nothing end the reader with its end-of-file line exactly when
//   EOF_READS of them came in a row, and it never reads after that;
// - every queued message is 2 to 128 bytes long, starts with an opcode that
//   implies its length (2, 4 or 6, or byte 1 for the variable class), has
//   bytes that XOR to 0xFF and a stamp, and is a run of stream bytes taken in
//   stream order without overlap.
#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sys/types.h>

#include "loconet.h"
#include "reader.h"
#include "util.h"

// The linker's --wrap and -finstrument-functions fix the reserved names below.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" ssize_t __real_read(int fd, void *buf, std::size_t len);

namespace {

/// Never opened: reads on it come from the fuzz input.
constexpr int PORT_FD = 1000;
/// Reads of nothing in a row that the reader takes as the end of the line.
constexpr unsigned EOF_READS = 3;
constexpr const char *EOF_LINE = "Can't read from LocoNet interface: end of file\n";

struct input_used_up {};
struct reader_ended {};

/// What the wrapped read hands out for the current input, and the counts the
/// invariants are checked against.
struct feed_t {
  bool active;
  const u8 *sizes;
  std::size_t n_sizes;
  std::size_t next_size;
  const u8 *stream;
  std::size_t len;
  std::size_t pos;    ///< stream bytes delivered so far
  std::size_t reads;  ///< reads made, those of nothing included
  unsigned zero_run;  ///< reads of nothing since the last byte
  std::size_t steps;  ///< calls of reset and push: each ends one framing turn
};

feed_t feed;
lif_t lif;

[[noreturn]] void fail(const char *what) {
  fprintf(stderr, "fuzz_reader: %s\n", what);
  abort();
}

/// Checks the queue against the invariants above and returns its length.
std::size_t check_queue() {
  std::size_t pos = 0;
  std::size_t count = 0;
  const ln_msg_t *last = nullptr;
  for (const ln_msg_t *m = lif.q_out; m != nullptr; m = m->next) {
    // Each message takes at least two stream bytes, so more means a cycle.
    if (++count > feed.pos / 2) fail("queue longer than the stream allows");
    last = m;
    if (m->len < 2 || m->len > LN_MSG_MAX) fail("queued message with a length outside 2..128");
    const u8 opc = m->msg[0];
    if (!(opc & 0x80)) fail("queued message without an opcode");
    const unsigned cls = (opc >> 5) & 3u;
    const unsigned want = cls == 3 ? m->msg[1] : (cls + 1) * 2;
    if (m->len != want) fail("queued message whose length its opcode does not imply");
    u8 sum = 0;
    for (unsigned i = 0; i < m->len; ++i) sum ^= m->msg[i];
    if (sum != 0xFF) fail("queued message with a bad checksum");
    if (m->stamp.tv_sec == 0 && m->stamp.tv_nsec == 0) fail("queued message without a stamp");
    const u8 *at =
        static_cast<const u8 *>(memmem(feed.stream + pos, feed.pos - pos, m->msg, m->len));
    if (at == nullptr) fail("queued message that is not a run of stream bytes in order");
    pos = static_cast<std::size_t>(at - feed.stream) + m->len;
  }
  if (last != lif.q_in) fail("queue tail is not the last message");
  return count;
}

/// Gives every buffer back to the pool for the next input.
void recycle() {
  ln_msg_flush(&lif);
  if (lif.cur != nullptr) ln_msg_free(&lif, lif.cur);
  lif.cur = nullptr;
  lif.level = 0;
  lif.need = 0;  // the framing starts afresh with the next input
}

}  // namespace

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" ssize_t __wrap_read(int fd, void *buf, std::size_t len) {
  if (!feed.active || fd != PORT_FD) return __real_read(fd, buf, len);
  if (feed.zero_run >= EOF_READS) fail("reader reads on after the end of file");
  const auto at = reinterpret_cast<std::uintptr_t>(buf);
  const auto lo = reinterpret_cast<std::uintptr_t>(lif.cur != nullptr ? lif.cur->msg : nullptr);
  if (lif.cur == nullptr || at < lo || len == 0 || len > LN_MSG_MAX - (at - lo))
    fail("read outside the current buffer");
  ++feed.reads;
  std::size_t n = len;
  if (feed.n_sizes != 0) {
    const u8 s = feed.sizes[feed.next_size++ % feed.n_sizes];
    if (s == 0) {
      ++feed.zero_run;
      return 0;
    }
    n = std::min<std::size_t>(n, s);
  }
  if (feed.pos == feed.len) throw input_used_up{};
  n = std::min(n, feed.len - feed.pos);
  std::memcpy(buf, feed.stream + feed.pos, n);
  feed.pos += n;
  feed.zero_run = 0;
  return static_cast<ssize_t>(n);
}

// The fatal exit of the layer, defined here: the link then takes this one and
// leaves out the layer's own ends of the process, which nothing else here needs.
void ln_fatal(const char *fmt, ...) {
  char line[256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  if (feed.active && std::strcmp(line, EOF_LINE) == 0) {
    if (feed.zero_run != EOF_READS) fail("end of file reported without its reads of nothing");
    throw reader_ended{};
  }
  fprintf(stderr, "fuzz_reader: unexpected fatal report: %s", line);
  abort();
}

// Every framing turn ends in reset, which drops at least one held byte, or in
// push, which queues at least two; held bytes come only from reads. More
// calls than bytes delivered mean a loop that does not read.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" __attribute__((no_instrument_function)) void __cyg_profile_func_enter(void *fn,
                                                                                 void * /*site*/) {
  if (!feed.active ||
      (fn != reinterpret_cast<void *>(&reset) && fn != reinterpret_cast<void *>(&push)))
    return;
  if (++feed.steps > feed.pos) fail("framing loops without reading");
}
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" __attribute__((no_instrument_function)) void __cyg_profile_func_exit(void * /*fn*/,
                                                                                void * /*site*/) {}

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
  lif.fd = PORT_FD;
  lif_init_sync(&lif);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t k = std::min<std::size_t>(data[0] & 0x1Fu, size - 1);
  feed = feed_t{};
  feed.sizes = data + 1;
  feed.n_sizes = k;
  feed.stream = data + 1 + k;
  feed.len = size - 1 - k;
  feed.active = true;
  try {
    ln_reader(&lif);
    fail("ln_reader returned");
  } catch (const input_used_up &) {
  } catch (const reader_ended &) {
  }
  feed.active = false;

  if (feed.pos > 1 && feed.steps == 0 && lif.q_out != nullptr)
    fail("reader.cpp lacks -finstrument-functions");
  if (lif.cur == nullptr ? lif.level != 0 : lif.level > LN_MSG_MAX) fail("bad level");
  check_queue();
  recycle();
  return 0;
}
