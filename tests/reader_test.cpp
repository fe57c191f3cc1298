// Receive framing: byte streams go into a pipe read by ln_reader, or the
// framing steps are driven one by one on a hand-made record.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <random>
#include <sys/syscall.h>
#include <unistd.h>

#include "ln_rig.h"
#include "pty.h"
#include "reader.h"

namespace {

// Link-time seam: this definition of read() takes the place of the C
// library's for the whole test program, so the sizes the reader asks for on
// one watched fd can be recorded, and a test can wait for the reader to ask;
// reads on another fd follow a script. The records are never destroyed: the
// reader may still read while the process exits.
std::atomic<int> watched_fd{-1};
std::mutex &sizes_lock = *new std::mutex;
std::condition_variable &sizes_grown = *new std::condition_variable;
std::vector<std::size_t> &read_sizes = *new std::vector<std::size_t>;

/// Reads on this fd come from a script: the stream, cut into the given read
/// sizes; when the script is used up the read throws script_end.
constexpr int SCRIPT_FD = 1000;
struct script_t {
  bytes stream;
  std::vector<std::size_t> cuts;  // at most this many bytes per read, in turn; 0: nothing
  std::size_t pos = 0, cut = 0;
  std::vector<std::size_t> asked;  // the sizes the reader asked for
};
script_t script;
struct script_end {};

}  // namespace

extern "C" ssize_t read(int fd, void *buf, size_t n) {
  if (fd == SCRIPT_FD) {
    script.asked.push_back(n);
    if (script.pos == script.stream.size()) throw script_end{};
    std::size_t k = script.cut < script.cuts.size() ? script.cuts[script.cut++] : n;
    k = std::min({k, n, script.stream.size() - script.pos});
    std::memcpy(buf, script.stream.data() + script.pos, k);
    script.pos += k;
    return static_cast<ssize_t>(k);
  }
  if (fd == watched_fd.load()) {
    std::lock_guard<std::mutex> g(sizes_lock);
    read_sizes.push_back(n);
    sizes_grown.notify_all();
  }
  return syscall(SYS_read, fd, buf, n);
}

namespace {

/// Waits until the reader has begun n reads of the watched fd.
bool reads_begun(std::size_t n) {
  std::unique_lock<std::mutex> g(sizes_lock);
  return sizes_grown.wait_for(g, std::chrono::milliseconds(rig_scaled_ms(5000)),
                              [&] { return read_sizes.size() >= n; });
}

/// A reader thread on the read end of a pipe; the test writes to wr.
struct rig {
  lif_t *lif = nullptr;
  int wr = -1;
};

rig start_rig() {
  int p[2];
  EXPECT_EQ(pipe(p), 0);
  rig r{rig_lif(p[0]), p[1]};
  EXPECT_TRUE(rig_start_reader(r.lif));
  return r;
}

using lines = std::vector<std::string>;

/// The next n queued messages as hex lines, each awaited up to 5 s (scaled),
/// then any more that come within a window of 150 ms.
lines queued(lif_t *lif, std::size_t n) {
  lines out;
  bytes b;
  while (out.size() < n && rig_next(lif, rig_scaled_ms(5000), &b)) out.push_back(hex(b));
  while (rig_next(lif, 150, &b)) out.push_back(hex(b));
  return out;
}

// --- Whole streams through the reader thread ------------------------------

struct stream_case {
  const char *what;
  bytes in;
  lines want;
};

const bytes e5_reply =
    sealed({0xE5, 0x0F, 0x05, 0x49, 0x4B, 0x1F, 0x01, 0x53, 0x04, 0x11, 0x00, 0x2C, 0x00, 0x00});

const stream_case streams[] = {
    {"sensor report", {0xB2, 0x12, 0x34, 0x6B}, {"B2 12 34 6B"}},
    {"leading noise dropped", {0x12, 0x34, 0xB2, 0x12, 0x34, 0x6B}, {"B2 12 34 6B"}},
    {"opcode where data was due", {0xB2, 0x12, 0x81, 0x7E}, {"81 7E"}},
    {"bad checksum dropped, next kept",
     {0xB2, 0x12, 0x34, 0x00, 0x55, 0x66, 0xB2, 0x12, 0x34, 0x6B},
     {"B2 12 34 6B"}},
    {"module reply, 15 bytes", e5_reply, {hex(e5_reply)}},
    {"7-byte E5",
     sealed({0xE5, 0x07, 0x05, 0x49, 0x4B, 0x1F}),
     {hex(sealed({0xE5, 0x07, 0x05, 0x49, 0x4B, 0x1F}))}},
    {"slot data, 14 bytes",
     sealed({0xE7, 0x0E, 0x7C, 0x2B, 0x00, 0x00, 0x02, 0x47, 0x00, 0x00, 0x00, 0x00, 0x00}),
     {hex(sealed({0xE7, 0x0E, 0x7C, 0x2B, 0x00, 0x00, 0x02, 0x47, 0x00, 0x00, 0x00, 0x00, 0x00}))}},
    {"acks back to back",
     {0xB4, 0x6D, 0x7F, 0x59, 0xB4, 0x6F, 0x7F, 0x5B, 0xB4, 0x6D, 0x01, 0x27},
     {"B4 6D 7F 59", "B4 6F 7F 5B", "B4 6D 01 27"}},
    {"master busy between echo and reply",
     [] {
       bytes b = {0x81, 0x7E};
       b.insert(b.end(), e5_reply.begin(), e5_reply.end());
       return b;
     }(),
     {"81 7E", hex(e5_reply)}},
    {"length byte 0 is dropped", {0xE5, 0x00, 0xB2, 0x12, 0x34, 0x6B}, {"B2 12 34 6B"}},
    {"length byte 0 after 0xFF queues nothing empty",
     {0xFF, 0x00, 0xB2, 0x12, 0x34, 0x6B},
     {"B2 12 34 6B"}},
    {"noise C3 9C before a reply, in one read: its opcode is no data after a bad sum",
     {0xC3, 0x9C, 0xE5, 0x0F, 0x05, 0x49, 0x4B, 0x1F, 0x01, 0x53, 0x04, 0x11, 0x00, 0x2C, 0x00,
      0x00, 0x66},
     {hex(e5_reply)}},
    {"truncated reply then a good one",
     [] {
       bytes b(e5_reply.begin(), e5_reply.begin() + 9);
       b.insert(b.end(), e5_reply.begin(), e5_reply.end());
       return b;
     }(),
     {hex(e5_reply)}},
};

TEST(ReaderStream, FramesAndResynchronises) {
  for (const stream_case &c : streams) {
    rig r = start_rig();
    ASSERT_TRUE(rig_write(r.wr, c.in));
    EXPECT_EQ(queued(r.lif, c.want.size()), c.want) << c.what;
  }
}

TEST(ReaderStream, SensorBurstAfterPowerUpArrivesInOrder) {
  rig r = start_rig();
  bytes burst;
  lines want;
  for (u8 i = 0; i < 32; ++i) {
    const bytes m = sealed({0xB2, i, static_cast<u8>(0x40 | ((i & 1) << 5))});
    burst.insert(burst.end(), m.begin(), m.end());
    want.push_back(hex(m));
  }
  ASSERT_TRUE(rig_write(r.wr, burst));
  EXPECT_EQ(queued(r.lif, want.size()), want);
}

TEST(ReaderStream, VariableLengthsSeenOnRealBuses) {
  const struct {
    u8 opc;
    u8 len;
  } shapes[] = {{0xED, 11}, {0xED, 15}, {0xED, 31}, {0xE5, 7},  {0xE6, 21},
                {0xE0, 6},  {0xE0, 9},  {0xE4, 8},  {0xE7, 14}, {0xEF, 14}};
  rig r = start_rig();
  bytes all;
  lines want;
  for (const auto &s : shapes) {
    bytes m = {s.opc, s.len};
    while (m.size() < s.len - 1u) m.push_back(static_cast<u8>((m.size() * 37) & 0x7F));
    m = sealed(m);
    all.insert(all.end(), m.begin(), m.end());
    want.push_back(hex(m));
  }
  ASSERT_TRUE(rig_write(r.wr, all));
  EXPECT_EQ(queued(r.lif, want.size()), want);
}

TEST(ReaderStream, ByteByByteDeliveryGivesTheSameMessages) {
  rig r = start_rig();
  bytes in = {0x12, 0xB4, 0x6D, 0x7F, 0x59};
  in.insert(in.end(), e5_reply.begin(), e5_reply.end());
  for (u8 c : in) {
    ASSERT_TRUE(rig_write(r.wr, {c}));
    rig_sleep_ms(2);  // apart, so that most bytes come in reads of their own
  }
  EXPECT_EQ(queued(r.lif, 2), (lines{"B4 6D 7F 59", hex(e5_reply)}));
}

TEST(ReaderStream, BytesBehindARestartOpcodeAreNotScanned) {
  // D0 wants 5 more bytes; the read brings B2 12 B4 EB 81. Assembly restarts
  // at B2, and B4 behind it is a data byte of that message, not an opcode.
  rig r = start_rig();
  ASSERT_TRUE(rig_write(r.wr, {0xD0, 0xB2, 0x12, 0xB4, 0xEB, 0x81}));
  EXPECT_EQ(queued(r.lif, 1), lines{"B2 12 B4 EB"});
  ASSERT_TRUE(rig_write(r.wr, {0x7E}));
  EXPECT_EQ(queued(r.lif, 1), lines{"81 7E"});
}

TEST(ReaderStream, HeldOverBytesStartTheNextMessageWithoutARead) {
  rig r = start_rig();
  ASSERT_TRUE(rig_write(r.wr, {0xD0, 0x81, 0x7E, 0xB2, 0x12, 0x34, 0x6B}));
  EXPECT_EQ(queued(r.lif, 2), (lines{"81 7E", "B2 12 34 6B"}));
}

TEST(ReaderStream, OversizedHeldLengthRestartsAtTheLengthByte) {
  // The length byte 0x81 (129) came in the read that restarted at E5, so it
  // was never examined as an opcode; it cannot be held and becomes one.
  rig r = start_rig();
  ASSERT_TRUE(rig_write(r.wr, {0xD0, 0xE5, 0x81, 0x7E, 0xB2, 0x12, 0x34, 0x6B}));
  EXPECT_EQ(queued(r.lif, 2), (lines{"81 7E", "B2 12 34 6B"}));
}

TEST(ReaderStream, LongestLengthThatCanArriveIsQueued) {
  // A length byte read from the line has bit 7 clear: 127 at most.
  rig r = start_rig();
  bytes m = {0xE5, 0x7F};
  for (int i = 0; i < 124; ++i) m.push_back(static_cast<u8>(i));
  m = sealed(m);
  ASSERT_EQ(m.size(), 127u);
  ASSERT_TRUE(rig_write(r.wr, m));
  EXPECT_EQ(queued(r.lif, 1), (lines{hex(m)}));
}

// --- Time stamps and read sizes -------------------------------------------

TEST(ReaderStamp, IsTheReadThatDeliveredTheOpcode) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  lif_t *lif = rig_lif(p[0]);
  watched_fd = p[0];
  ASSERT_TRUE(rig_start_reader(lif));
  const struct timespec t_opc = rig_wall();
  ASSERT_TRUE(rig_write(p[1], {0xB2}));
  ASSERT_TRUE(reads_begun(2));  // the opcode is in; the read of the rest waits
  const struct timespec t_got = rig_wall();
  rig_sleep_ms(200);  // the time the stamp must not take
  const struct timespec t_rest = rig_wall();
  ASSERT_TRUE(rig_write(p[1], {0x12, 0x34, 0x6B}));
  bytes b;
  struct timespec st = {};
  ASSERT_TRUE(rig_next(lif, rig_scaled_ms(1000), &b, &st));
  EXPECT_GE(rig_ms(t_opc, st), 0.0);
  EXPECT_GE(rig_ms(st, t_got), 0.0);
  EXPECT_GT(rig_ms(st, t_rest), 100.0);
}

TEST(ReaderStamp, RestartTakesTheTimeOfTheNewOpcode) {
  rig r = start_rig();
  ASSERT_TRUE(rig_write(r.wr, {0xB2, 0x12}));
  rig_sleep_ms(200);  // the time the stamp must not take
  const struct timespec t_new = rig_wall();
  ASSERT_TRUE(rig_write(r.wr, {0x81, 0x7E}));
  bytes b;
  struct timespec st = {};
  ASSERT_TRUE(rig_next(r.lif, rig_scaled_ms(1000), &b, &st));
  const struct timespec t_got = rig_wall();
  EXPECT_EQ(hex(b), "81 7E");
  EXPECT_GE(rig_ms(t_new, st), 0.0);
  EXPECT_GE(rig_ms(st, t_got), 0.0);
}

TEST(ReaderReads, AskForExactlyWhatIsMissing) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  lif_t *lif = rig_lif(p[0]);
  watched_fd = p[0];
  // Already waiting in the pipe: a fixed-length message takes two reads,
  // a variable-length one three.
  bytes in = {0xB2, 0x12, 0x34, 0x6B};
  const bytes e5 = sealed({0xE5, 0x07, 0x05, 0x49, 0x4B, 0x1F});
  in.insert(in.end(), e5.begin(), e5.end());
  ASSERT_TRUE(rig_write(p[1], in));
  ASSERT_TRUE(rig_start_reader(lif));
  EXPECT_EQ(queued(lif, 2).size(), 2u);
  std::lock_guard<std::mutex> g(sizes_lock);
  ASSERT_GE(read_sizes.size(), 5u);
  EXPECT_EQ(std::vector<std::size_t>(read_sizes.begin(), read_sizes.begin() + 5),
            (std::vector<std::size_t>{1, 3, 1, 1, 5}));
}

// The reader loop as the framing steps spell it out: fill, check the opcode,
// find the length, fill up to it, check the sum; restart at an opcode that a
// fill brought. The core must frame every stream exactly as this does, with
// the same read sizes.
void step_loop(lif_t *lif) {
  for (;;) {
    fill(lif, 1);
    if (!(get_char(lif, 0) & 0x80)) {
      reset(lif, 1);
      continue;
    }
    for (;;) {
      stamp(lif);
      unsigned len = ln_fixed_len(get_char(lif, 0));
      if (len == 0) {
        if (fill(lif, 2)) continue;
        len = get_char(lif, 1);
        if (len < 2 || len > LN_MSG_MAX) {
          reset(lif, 1);
          break;
        }
      }
      if (fill(lif, len)) continue;
      u8 sum = 0;
      for (unsigned i = 0; i < len; ++i) sum ^= get_char(lif, static_cast<u8>(i));
      if (sum == 0xFF)
        push(lif, static_cast<u8>(len));
      else
        reset(lif, 1);
      break;
    }
  }
}

/// The messages and read sizes of one run of framing over the script.
std::pair<std::vector<std::string>, std::vector<std::size_t>> framed(void (*loop)(lif_t *)) {
  script.pos = script.cut = 0;
  script.asked.clear();
  lif_t *lif = rig_lif(SCRIPT_FD);
  try {
    loop(lif);
  } catch (const script_end &) {
  }
  std::vector<std::string> msgs;
  const struct timespec past = {0, 0};
  while (ln_msg_t *m = ln_msg_rx_to(lif, &past)) {
    msgs.push_back(hex(m));
    ln_msg_free(lif, m);
  }
  return {msgs, script.asked};
}

void core_loop(lif_t *lif) {
  for (;;) {
    const unsigned want = ln_frame_want(lif);
    const int n = do_read(lif, lif->cur->msg + lif->level, want);
    if (n > 0) ln_frame_feed(lif, static_cast<unsigned>(n));
  }
}

TEST(ReaderCore, FramesAsTheStepsDoWithTheSameReads) {
  // A fixed seed: the same streams on every run, so a failure repeats.
  std::mt19937 rng(1235);  // NOLINT(cert-msc32-c,cert-msc51-cpp)
  // Streams of real messages, noise, truncations, bad sums and odd lengths.
  const bytes parts[] = {
      {0xB2, 0x12, 0x34, 0x6B},
      {0x81, 0x7E},
      {0xB4, 0x6D, 0x7F, 0x59},
      {0xE5, 0x07},
      {0xE5, 0x00, 0x12},
      {0xFF, 0x01},
      {0xE7, 0x0E, 0x7C},
      {0x12, 0x34, 0x55},
      sealed({0xE5, 0x0F, 0x05, 0x49, 0x4B, 0x1F, 0x01, 0x53, 0x04, 0x11, 0x00, 0x2C, 0x00, 0x00}),
      sealed({0xE5, 0x07, 0x05, 0x49, 0x4B, 0x1F}),
      {0xED, 0x90},
      {0xB2, 0x12, 0x34, 0x6A},
      {0xE5},
      {0xB2},
      {0x82, 0x7D}};
  for (int run = 0; run < 3000; ++run) {
    script.stream.clear();
    script.cuts.clear();
    for (int k = static_cast<int>(rng() % 12); k >= 0; --k) {
      const bytes &p = parts[rng() % std::size(parts)];
      script.stream.insert(script.stream.end(), p.begin(), p.end());
    }
    for (int k = static_cast<int>(rng() % 10); k >= 0; --k) script.cuts.push_back(1 + rng() % 5);
    const auto want = framed(step_loop);
    const auto got = framed(core_loop);
    ASSERT_EQ(got.first, want.first) << "stream " << hex(script.stream);
    ASSERT_EQ(got.second, want.second) << "stream " << hex(script.stream);
  }
}

// --- Framing steps driven directly -----------------------------------------

/// A record whose cur holds b; fd reads from a pipe the test fills.
struct step_rig {
  lif_t *lif;
  int wr;
};

step_rig held(const bytes &b) {
  int p[2];
  EXPECT_EQ(pipe(p), 0);
  step_rig s{rig_lif(p[0]), p[1]};
  s.lif->cur = ln_msg_alloc(s.lif);
  std::memcpy(s.lif->cur->msg, b.data(), b.size());
  s.lif->level = static_cast<u8>(b.size());
  return s;
}

bytes held_bytes(const lif_t *lif) { return bytes(lif->cur->msg, lif->cur->msg + lif->level); }

TEST(ReaderSteps, ResetDropsTheMessageAndWhatCannotStartOne) {
  step_rig s = held({0xB2, 0x12, 0x34, 0x00, 0x55, 0x81, 0x7E});
  reset(s.lif, 4);
  EXPECT_EQ(hex(held_bytes(s.lif)), "81 7E");
  s = held({0xB2, 0x12, 0x34, 0x00, 0x55});
  reset(s.lif, 4);
  EXPECT_EQ(s.lif->level, 0);
  s = held({0xE5, 0x0F});
  reset(s.lif, 15);  // more than held
  EXPECT_EQ(s.lif->level, 0);
}

TEST(ReaderSteps, PushKeepsBytesBeyondTheMessage) {
  step_rig s = held({0x81, 0x7E, 0xB2, 0x12});
  ln_msg_t *first = s.lif->cur;
  push(s.lif, 2);
  ASSERT_EQ(s.lif->q_out, first);
  EXPECT_EQ(s.lif->q_in, first);
  EXPECT_EQ(hex(first), "81 7E");
  ASSERT_NE(s.lif->cur, nullptr);
  EXPECT_NE(s.lif->cur, first);
  EXPECT_EQ(hex(held_bytes(s.lif)), "B2 12");
  // The held opcode is complete after one read of the missing two bytes.
  ASSERT_TRUE(rig_write(s.wr, {0x34, 0x6B}));
  EXPECT_EQ(fill(s.lif, 4), 0);
  EXPECT_EQ(hex(held_bytes(s.lif)), "B2 12 34 6B");
}

TEST(ReaderSteps, FillDropsLeadingDataBytes) {
  step_rig s = held({0x12, 0x34, 0xB2, 0x12});
  ASSERT_TRUE(rig_write(s.wr, {0x34, 0x6B}));
  EXPECT_EQ(fill(s.lif, 4), 0);
  EXPECT_EQ(hex(held_bytes(s.lif)), "B2 12 34 6B");
  s = held({0x12, 0x34});
  ASSERT_TRUE(rig_write(s.wr, {0x55}));
  EXPECT_EQ(fill(s.lif, 1), 0);
  EXPECT_EQ(hex(held_bytes(s.lif)), "55");
}

TEST(ReaderSteps, FillRealignsAtAnOpcodeThatArrives) {
  step_rig s = held({0xB2});
  ASSERT_TRUE(rig_write(s.wr, {0x12, 0x81, 0x7E, 0x99}));
  EXPECT_EQ(fill(s.lif, 4), 1);
  EXPECT_EQ(hex(held_bytes(s.lif)), "81 7E");  // 0x99 was never asked for
  EXPECT_EQ(hex(rig_read_n(s.lif->fd, 1, 100)), "99");
}

// --- Ends of the line -------------------------------------------------------

TEST(ReaderEnd, ClosedPipeEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        rig r = start_rig();
        rig_write(r.wr, {0xB2, 0x12});
        close(r.wr);
        rig_sleep_ms(10000);
      },
      ::testing::ExitedWithCode(1), "^Can't read from LocoNet interface: end of file\n$");
}

TEST(ReaderEnd, PtyWhoseMasterClosedEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        test_pty p;
        if (!test_pty_open(&p)) exit(3);
        lif_t *lif = lif_open(p.path.c_str(), 1);
        if (lif == nullptr) exit(4);
        close(p.master);
        rig_sleep_ms(10000);
      },
      // A read already blocked when the master goes sees EIO; later ones see 0.
      ::testing::ExitedWithCode(1),
      "^Can't read from LocoNet interface: (end of file|Input/output error \\(errno: 5\\))\n$");
}

TEST(ReaderEnd, ReadErrorEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const int fd = open("/", O_RDONLY | O_DIRECTORY);
        lif_t *lif = rig_lif(fd);
        rig_start_reader(lif);
        rig_sleep_ms(10000);
      },
      ::testing::ExitedWithCode(1),
      "^Can't read from LocoNet interface: Is a directory \\(errno: 21\\)\n$");
}

}  // namespace
