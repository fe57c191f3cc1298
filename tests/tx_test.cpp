// Transmission and the retried exchange, against a pty driven by the test and
// against the simulator.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <set>
#include <unistd.h>

#include "ln_rig.h"
#include "lnsim.h"
#include "prog.h"

namespace {

/// A message of body b with room for the checksum.
ln_msg_t msg_of(const bytes &b) {
  ln_msg_t m{};
  std::memcpy(m.msg, b.data(), b.size());
  m.len = static_cast<u8>(b.size() + 1);
  return m;
}

/// A pipe whose buffer is full; nobody reads it unless the test does.
void fill_pipe(int p[2]) {
  ASSERT_EQ(pipe(p), 0);
  const int fl = fcntl(p[1], F_GETFL);
  fcntl(p[1], F_SETFL, fl | O_NONBLOCK);
  const bytes chunk(4096, 0x55);
  while (write(p[1], chunk.data(), chunk.size()) > 0) {
  }
  while (write(p[1], chunk.data(), 1) > 0) {
  }
  fcntl(p[1], F_SETFL, fl);  // the port is blocking as lif_open leaves it
}

// --- ln_msg_tx --------------------------------------------------------------

TEST(Tx, AddsTheChecksumAndClearsTheStamp) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  lif_t *lif = rig_lif(p[1]);
  const struct {
    bytes body;
    const char *wire;
  } cases[] = {
      {{0x81}, "81 7E"},
      {{0xB2, 0x12, 0x34}, "B2 12 34 6B"},
      {{0xED, 0x0F, 0x01, 0x05, 0x00, 0x21, 0x05, 0x53, 0x04, 0x11, 0x00, 0x00, 0x00, 0x00},
       "ED 0F 01 05 00 21 05 53 04 11 00 00 00 00 7B"},
  };
  for (const auto &c : cases) {
    ln_msg_t m = msg_of(c.body);
    m.msg[m.len - 1] = 0xAA;  // stale checksum from an earlier use
    m.stamp = {12345, 678};
    ln_msg_tx(lif, &m);
    EXPECT_EQ(m.stamp.tv_sec, 0);
    EXPECT_EQ(m.stamp.tv_nsec, 0);
    EXPECT_EQ(hex(&m), c.wire);
    EXPECT_EQ(hex(rig_read_n(p[0], m.len, 1000)), c.wire);
    ln_msg_tx(lif, &m);  // sent again unchanged
    EXPECT_EQ(hex(rig_read_n(p[0], m.len, 1000)), c.wire);
  }
}

void *drain_later(void *arg) {
  const int fd = *static_cast<int *>(arg);
  rig_sleep_ms(300);
  auto *got = new bytes(rig_drain(fd, 200));
  return got;
}

TEST(Tx, WaitsOutAShortStall) {
  int p[2];
  fill_pipe(p);
  lif_t *lif = rig_lif(p[1]);
  pthread_t t;
  ASSERT_EQ(pthread_create(&t, nullptr, drain_later, &p[0]), 0);
  ln_msg_t m = msg_of({0xB2, 0x12, 0x34});
  ln_msg_tx(lif, &m);
  void *res = nullptr;
  pthread_join(t, &res);
  auto *got = static_cast<bytes *>(res);
  ASSERT_GE(got->size(), 4u);
  EXPECT_EQ(hex(bytes(got->end() - 4, got->end())), "B2 12 34 6B");
  delete got;
}

TEST(TxDeath, WriteErrorEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        lif_t *lif = rig_lif(open("/dev/null", O_RDONLY));
        ln_msg_t m = msg_of({0x81});
        ln_msg_tx(lif, &m);
      },
      ::testing::ExitedWithCode(1),
      "^Can't write to LocoNet interface: Bad file descriptor \\(errno: 9\\)\n$");
}

TEST(TxDeath, StalledLineTimesOutAfterASecond) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const struct timespec t0 = rig_now();
  EXPECT_EXIT(
      {
        alarm(10);  // a transmission that hangs dies of the alarm instead
        int p[2];
        fill_pipe(p);
        lif_t *lif = rig_lif(p[1]);
        ln_msg_t m = msg_of({0x81});
        ln_msg_tx(lif, &m);
      },
      ::testing::ExitedWithCode(1), "^Can't write to LocoNet interface: timed out\n$");
  EXPECT_GE(rig_ms(t0, rig_now()), 950.0);
}

// --- The exchange on a pty the test drives ---------------------------------

const bytes request = {0xED, 0x0F, 0x01, 0x05, 0x00, 0x21, 0x41,
                       0x53, 0x04, 0x00, 0x00, 0x0C, 0x00, 0x00};
const std::string request_wire = hex(ln_cs(request));
const bytes answer =
    ln_cs({0xE5, 0x0F, 0x05, 0x49, 0x4B, 0x1F, 0x01, 0x53, 0x04, 0x00, 0x00, 0x0C, 0x00, 0x00});

/// Accepts exactly the bytes behind want; remembers every buffer it rejects.
struct judge {
  const bytes *want;
  std::set<const ln_msg_t *> rejected;
  unsigned calls = 0;
};

int judge_qual(const ln_msg_t *rx, void *arg) {
  auto *j = static_cast<judge *>(arg);
  ++j->calls;
  if (j->want != nullptr && hex(rx) == hex(*j->want)) return 1;
  j->rejected.insert(rx);
  return 0;
}

ln_msg_t *exchange(rig_peer *p, unsigned retries, judge *j) {
  ln_msg_t tx = msg_of(request);
  return ln_msg_tx_retry_resp(p->lif, &tx, retries, 100000000, judge_qual, j);
}

TEST(Exchange, SilentPeerGetsFourTransmissionsInAboutFourTimeOuts) {
  rig_peer *p = rig_peer_start({});
  judge j{nullptr, {}};
  const struct timespec t0 = rig_now();
  EXPECT_EQ(exchange(p, 3, &j), nullptr);
  const double took = rig_ms(t0, rig_now());
  EXPECT_GE(took, 380.0);
  EXPECT_LE(took, 700.0);
  EXPECT_EQ(p->requests(), std::vector<std::string>(4, request_wire));
  EXPECT_EQ(j.calls, 0u);
}

TEST(Exchange, UnrelatedTrafficIsReturnedToThePool) {
  std::vector<bytes> traffic;
  for (const bytes &m : {bytes{0x81, 0x7E}, ln_cs({0xB2, 0x05, 0x50}), ln_cs({0xB4, 0x6F, 0x7F}),
                         ln_cs({0xE5, 0x07, 0x05, 0x49, 0x4B, 0x1F})})
    traffic.insert(traffic.end(), 4, m);
  traffic.push_back(answer);
  rig_peer *p = rig_peer_start({traffic});
  judge j{&answer, {}};
  ln_msg_t *rx = exchange(p, 3, &j);
  ASSERT_NE(rx, nullptr);
  EXPECT_EQ(hex(rx), hex(answer));
  EXPECT_EQ(j.calls, 18u);  // the echo, sixteen others, the answer
  EXPECT_EQ(p->requests().size(), 1u);
  // With the reader idle again, a rejected buffer is in the pool or came back
  // as the reply; at most one may be the reader's current buffer, which only
  // the reader thread may look at.
  std::size_t elsewhere = 0;
  for (const ln_msg_t *m : j.rejected)
    if (!rig_in_pool(p->lif, m) && m != rx) ++elsewhere;
  EXPECT_LE(elsewhere, 1u) << "rejected buffers lost";
  EXPECT_FALSE(rig_in_pool(p->lif, rx));
  ln_msg_free(p->lif, rx);
}

TEST(Exchange, AnswerToALaterTransmissionIsTaken) {
  rig_peer *p = rig_peer_start({{}, {}, {answer}});
  judge j{&answer, {}};
  const struct timespec t0 = rig_now();
  ln_msg_t *rx = exchange(p, 3, &j);
  const double took = rig_ms(t0, rig_now());
  ASSERT_NE(rx, nullptr);
  EXPECT_GE(took, 190.0);
  EXPECT_LE(took, 500.0);
  EXPECT_EQ(p->requests(), std::vector<std::string>(3, request_wire));
  ln_msg_free(p->lif, rx);
}

void *chatter(void *arg) {
  const int fd = *static_cast<int *>(arg);
  for (int i = 0; i < 30; ++i) {  // "master busy" every 30 ms for 900 ms
    rig_write(fd, {0x81, 0x7E});
    rig_sleep_ms(30);
  }
  return nullptr;
}

TEST(Exchange, RejectedMessagesDoNotMoveTheDeadline) {
  rig_peer *p = rig_peer_start({});
  pthread_t t;
  ASSERT_EQ(pthread_create(&t, nullptr, chatter, &p->pty.master), 0);
  rig_sleep_ms(10);
  judge j{&answer, {}};
  const struct timespec t0 = rig_now();
  EXPECT_EQ(exchange(p, 0, &j), nullptr);
  const double took = rig_ms(t0, rig_now());
  EXPECT_GE(took, 99.0);
  EXPECT_LT(took, 400.0);  // ends in the first pause after the deadline
  EXPECT_GE(j.calls, 2u);
  pthread_join(t, nullptr);
}

TEST(Exchange, ReplyQueuedBeforeTheExchangeIsFlushed) {
  rig_peer *p = rig_peer_start({});
  ASSERT_TRUE(rig_write(p->pty.master, answer));
  ln_msg_t *stale = nullptr;
  for (int i = 0; i < 200 && stale == nullptr; ++i) {  // until the reader has queued it
    rig_sleep_ms(5);
    pthread_mutex_lock(&p->lif->lock);
    stale = p->lif->q_out;
    pthread_mutex_unlock(&p->lif->lock);
  }
  ASSERT_NE(stale, nullptr);
  judge j{&answer, {}};
  EXPECT_EQ(exchange(p, 0, &j), nullptr);
  EXPECT_EQ(j.calls, 0u);
  EXPECT_TRUE(rig_in_pool(p->lif, stale));
}

// --- The exchange against the simulator --------------------------------------

/// Simulator and an interface on it; the simulator is never stopped, since
/// closing its side of the pty would end this process through the reader.
struct sim_port {
  lnsim *sim = nullptr;
  lif_t *lif = nullptr;
};

sim_port open_sim(const sim_opts &o) {
  sim_port s;
  std::string err;
  s.sim = lnsim_start(&o, &err);
  EXPECT_NE(s.sim, nullptr) << err;
  if (s.sim != nullptr) s.lif = lif_open(lnsim_path(s.sim), 1);
  return s;
}

TEST(ExchangeSim, SilentModuleCostsFourTransmissions) {
  sim_opts o;
  o.modules = {1};
  o.silent = {1};
  sim_port s = open_sim(o);
  ASSERT_NE(s.lif, nullptr);
  ln_prog_t req = {1235, 0, 1, PROG_FLAG_ON, PROG_CMD_READ};
  ln_msg_t tx{};
  prog_encode(&tx, &req, OPC_IMM_PACKET);
  const struct timespec t0 = rig_now();
  EXPECT_EQ(ln_msg_tx_retry_resp(s.lif, &tx, 3, 100000000, select_target_qual, &req), nullptr);
  const double took = rig_ms(t0, rig_now());
  EXPECT_GE(took, 380.0);
  EXPECT_LE(took, 700.0);
  const auto sent = lnsim_host_msgs(s.sim);
  ASSERT_EQ(sent.size(), 4u);
  for (const auto &m : sent) EXPECT_EQ(hex(m), hex(&tx));
}

// --- Wall clock steps ----------------------------------------------------------

// The link wraps clock_gettime in this program, so a test can set the wall
// clock forward or back, as NTP does when a board without a real-time clock
// boots. Reply deadlines must not move: an attempt would otherwise stall for
// the size of a backward step, or end at once after a forward one and give a
// false "No response".
std::atomic<long> wall_shift_s{0};

}  // namespace

extern "C" int __real_clock_gettime(clockid_t c, struct timespec *t);  // NOLINT(bugprone-reserved-identifier)
extern "C" int __wrap_clock_gettime(clockid_t c, struct timespec *t) {  // NOLINT(bugprone-reserved-identifier)
  const int r = __real_clock_gettime(c, t);
  if (r == 0 && c == CLOCK_REALTIME) t->tv_sec += wall_shift_s;
  return r;
}

namespace {

TEST(ExchangeClock, WallClockStepsMoveNoDeadline) {
  for (const long shift : {-3600L, 3600L}) {
    rig_peer *p = rig_peer_start({});
    judge j{nullptr, {}};
    wall_shift_s = shift;
    const struct timespec t0 = rig_now();
    EXPECT_EQ(exchange(p, 3, &j), nullptr);
    const double took = rig_ms(t0, rig_now());
    wall_shift_s = 0;
    EXPECT_GE(took, 380.0) << shift;
    EXPECT_LE(took, 700.0) << shift;
    EXPECT_EQ(p->requests(), std::vector<std::string>(4, request_wire)) << shift;
  }
}

}  // namespace
