// Micro-benchmarks of the layers under the tool: the programming-message
// codec, the reader thread's framing of a byte stream, and the buffer pool.
//
// Every figure here is meant to be read against the bus: LocoNet carries about
// 1666 bytes per second (16.66 kbit/s, 10 bits per byte on the wire), and a
// programming exchange takes two 15-byte messages there, about 18 ms.
#include <benchmark/benchmark.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "ln_rig.h"
#include "tmp.h"
#include "util.h"

namespace {

constexpr u16 ART_NO = 1235;  ///< the modules' article number

/// A module's reply carrying value val of CV cv, checksum included.
bytes reply(u16 cv, u16 val) { return reply_bytes(ART_NO, cv, val); }

// --- Codec --------------------------------------------------------------------

void BM_prog_encode(benchmark::State &state) {
  ln_msg_t m{};
  ln_prog_t v = {ART_NO, 145, 0, 0, PROG_CMD_READ};
  for (auto _ : state) {
    // Vary the fields so the work cannot be hoisted out of the loop.
    v.cv_val = static_cast<u16>(v.cv_val + 0x1234);
    v.cv_addr = static_cast<u16>(v.cv_addr ^ 0x8081);
    benchmark::DoNotOptimize(&v);
    prog_encode(&m, &v, OPC_IMM_PACKET);
    benchmark::DoNotOptimize(m.msg);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_prog_encode);

void BM_prog_decode(benchmark::State &state) {
  // A table of replies with every high bit exercised, decoded in turn.
  std::vector<ln_msg_t> msgs(64);
  for (std::size_t i = 0; i < msgs.size(); ++i) {
    const bytes b = reply(static_cast<u16>(145 + i % 16), static_cast<u16>(i * 0x0421u));
    msgs[i].len = static_cast<u8>(b.size());
    std::memcpy(msgs[i].msg, b.data(), b.size());
  }
  ln_prog_t res{};
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(prog_decode(&res, &msgs[i++ & 63]));
    benchmark::DoNotOptimize(&res);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_prog_decode);

// --- Receive framing ----------------------------------------------------------

/// Traffic for the reader: the bytes and how many good messages they hold.
struct traffic {
  bytes data;
  std::size_t msgs = 0;
};

/// Good messages in one block of traffic: the receive queue holds at most
/// LN_QUEUE_MAX and drops its oldest beyond that, as it must when nobody takes
/// them; a block that fits measures the framing, not the dropping.
constexpr std::size_t BLOCK_MSGS = LN_QUEUE_MAX - 16;

/// Mostly module replies, as during a read, with some long acknowledges and
/// two-byte messages in between.
traffic clean_traffic(std::size_t msgs) {
  traffic t;
  const bytes ack = ack_bytes(PROG_ACK_OK);
  const bytes busy = {0x81, 0x7E};
  for (unsigned i = 0; t.msgs < msgs; ++i) {
    const bytes m = i % 8 == 3   ? ack
                    : i % 8 == 6 ? busy
                                 : reply(static_cast<u16>(145 + i % 16), static_cast<u16>(i));
    t.data.insert(t.data.end(), m.begin(), m.end());
    ++t.msgs;
  }
  return t;
}

/// Clean traffic with a burst of every kind of damage the framer recovers
/// from in every cycle: stray data bytes, a message with a bad checksum and a
/// message cut short by the next opcode. A cut-short message is always
/// followed by at least one intact reply, so the number of good messages is
/// the same however the reads happen to split the stream.
traffic noisy_traffic(std::size_t msgs) {
  traffic t;
  for (unsigned i = 0; t.msgs + 3 <= msgs; ++i) {
    const bytes junk = {0x12, 0x34, 0x56};
    bytes bad = reply(150, static_cast<u16>(i));
    bad.back() ^= 0x01;
    bytes cut = reply(151, static_cast<u16>(i));
    cut.resize(7);
    for (const bytes &m : {junk, bad, cut}) t.data.insert(t.data.end(), m.begin(), m.end());
    for (unsigned k = 0; k < 3; ++k) {
      const bytes good = reply(static_cast<u16>(145 + k), static_cast<u16>(i + k));
      t.data.insert(t.data.end(), good.begin(), good.end());
      ++t.msgs;
    }
  }
  return t;
}

/// The real opener and reader on a named pipe in a private directory: the
/// reader thread makes exactly the reads it makes on a serial port.
struct fifo_rig {
  lif_t *lif = nullptr;
  int wfd = -1;
};

bool fifo_rig_open(fifo_rig *r, std::string *err) {
  const tmp_dir dir;
  const std::string path = dir.path + "/port";
  bool ok = mkfifo(path.c_str(), 0600) == 0;
  if (ok) {
    // The reader opens it read-write, so it never sees end of file; the
    // terminal settings simply fail on a pipe, which the opener allows.
    r->lif = lif_open(path.c_str(), 0);
    r->wfd = r->lif != nullptr ? open(path.c_str(), O_WRONLY) : -1;
    ok = r->wfd >= 0;
  }
  if (!ok) *err = std::string("named pipe: ") + strerror(errno);
  // Room for a whole block; a smaller pipe would only cost speed.
  if (ok) fcntl(r->wfd, F_SETPIPE_SZ, 1 << 20);
  return ok;
}

/// One reader shared by all framing benchmarks: it never stops, like the tool's.
fifo_rig *shared_rig(std::string *err) {
  static fifo_rig rig;
  static std::string why;
  static const bool ok = fifo_rig_open(&rig, &why);
  *err = why;
  return ok ? &rig : nullptr;
}

/// Writes a block of traffic and takes every good message off the queue as
/// the tool's exchange does, returning each to the pool.
void framing(benchmark::State &state, const traffic &t) {
  std::string err;
  fifo_rig *rig = shared_rig(&err);
  if (rig == nullptr) {
    state.SkipWithError(err.c_str());
    return;
  }
  for (auto _ : state) {
    if (!rig_write(rig->wfd, t.data)) {
      state.SkipWithError("write to the pipe failed");
      return;
    }
    for (std::size_t got = 0; got < t.msgs; ++got) {
      struct timespec end = ln_deadline(0);
      end.tv_sec += 5;
      ln_msg_t *m = ln_msg_rx_to(rig->lif, &end);
      if (m == nullptr) {
        state.SkipWithError("a good message never arrived");
        return;
      }
      ln_msg_free(rig->lif, m);
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * t.data.size()));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * t.msgs));
}

void BM_reader_clean(benchmark::State &state) {
  static const traffic t = clean_traffic(BLOCK_MSGS);
  framing(state, t);
}
BENCHMARK(BM_reader_clean)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_reader_noisy(benchmark::State &state) {
  static const traffic t = noisy_traffic(BLOCK_MSGS);
  framing(state, t);
}
BENCHMARK(BM_reader_noisy)->UseRealTime()->Unit(benchmark::kMicrosecond);

/// One reply at a time, from its write to the pipe until the consumer holds
/// it: what the reader thread and the queue add to every exchange.
void BM_reply_via_reader(benchmark::State &state) {
  std::string err;
  fifo_rig *rig = shared_rig(&err);
  if (rig == nullptr) {
    state.SkipWithError(err.c_str());
    return;
  }
  const bytes msg = reply(145, 5);
  for (auto _ : state) {
    if (!rig_write(rig->wfd, msg)) {
      state.SkipWithError("write to the pipe failed");
      return;
    }
    struct timespec end = ln_deadline(0);
    end.tv_sec += 5;
    ln_msg_t *m = ln_msg_rx_to(rig->lif, &end);
    if (m == nullptr) {
      state.SkipWithError("the reply never arrived");
      return;
    }
    ln_msg_free(rig->lif, m);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_reply_via_reader)->UseRealTime();

/// The same reply read by the consumer itself with the reader's read sizes
/// (opcode, length, rest): the yardstick for the one above.
void BM_reply_direct(benchmark::State &state) {
  int fds[2];
  if (pipe(fds) != 0) {
    state.SkipWithError("pipe failed");
    return;
  }
  const bytes msg = reply(145, 5);
  u8 buf[LN_MSG_MAX];
  // Read exactly n bytes at buf + at; false when the pipe fails.
  auto read_part = [&](std::size_t at, std::size_t n) {
    while (n > 0) {
      const ssize_t r = read(fds[0], buf + at, n);
      if (r <= 0) return false;
      at += static_cast<std::size_t>(r);
      n -= static_cast<std::size_t>(r);
    }
    return true;
  };
  for (auto _ : state) {
    if (!rig_write(fds[1], msg) || !read_part(0, 1) || !read_part(1, 1) ||
        !read_part(2, msg.size() - 2)) {
      state.SkipWithError("the pipe failed");
      break;
    }
    benchmark::DoNotOptimize(buf);
  }
  state.SetItemsProcessed(state.iterations());
  close(fds[0]);
  close(fds[1]);
}
BENCHMARK(BM_reply_direct)->UseRealTime();

// --- Pool and queue -----------------------------------------------------------

/// Taking a buffer and giving it back, with pools of various lengths: a
/// list-head operation, so the length must not matter.
void BM_pool_take_return(benchmark::State &state) {
  lif_t *lif = rig_lif(-1);
  std::vector<ln_msg_t *> held;
  for (long i = 0; i < state.range(0); ++i) held.push_back(ln_msg_alloc(lif));
  for (ln_msg_t *m : held) ln_msg_free(lif, m);
  for (auto _ : state) {
    ln_msg_t *m = ln_msg_alloc(lif);
    benchmark::DoNotOptimize(m);
    ln_msg_free(lif, m);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_pool_take_return)->Arg(1)->Arg(64)->Arg(4096);

/// Flushing a queue of n messages back to the pool: one splice, whatever n.
void BM_flush_queue(benchmark::State &state) {
  lif_t *lif = rig_lif(-1);
  const auto n = static_cast<std::size_t>(state.range(0));
  std::vector<ln_msg_t *> bufs;
  for (std::size_t i = 0; i < n; ++i) bufs.push_back(ln_msg_alloc(lif));
  for (std::size_t i = 0; i < n; ++i) bufs[i]->next = i + 1 < n ? bufs[i + 1] : nullptr;
  for (auto _ : state) {
    // With the pool empty the flush leaves the chain as it found it, so the
    // queue of n is rebuilt in constant time.
    lif->free = nullptr;
    lif->q_out = bufs.front();
    lif->q_in = bufs.back();
    ln_msg_flush(lif);
    benchmark::DoNotOptimize(lif->free);
  }
  state.SetItemsProcessed(state.iterations());
  std::size_t len = 0;
  for (ln_msg_t *m = lif->free; m != nullptr && len <= n; m = m->next) ++len;
  if (lif->q_out != nullptr || lif->q_in != nullptr || len != n)
    state.SkipWithError("the flush lost or kept messages");
}
BENCHMARK(BM_flush_queue)->Arg(8)->Arg(512)->Arg(8192);

}  // namespace

BENCHMARK_MAIN();
