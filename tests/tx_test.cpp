// Transmission and the retried exchange, against a pty driven by the test and
// against the simulator.
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <fcntl.h>
#include <set>
#include <unistd.h>

#include "ln_rig.h"
#include "prog.h"
#include "sim_rig.h"

namespace {

/// A message of body b with room for the checksum.
ln_msg_t unsealed(bytes b) {
  b.push_back(0);
  return msg_of(b);
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
    ln_msg_t m = unsealed(c.body);
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
  rig_sleep_ms(300);  // the stall
  auto *got = new bytes(rig_drain(fd, 200));
  return got;
}

TEST(Tx, WaitsOutAShortStall) {
  int p[2];
  fill_pipe(p);
  lif_t *lif = rig_lif(p[1]);
  pthread_t t;
  ASSERT_EQ(pthread_create(&t, nullptr, drain_later, &p[0]), 0);
  ln_msg_t m = unsealed({0xB2, 0x12, 0x34});
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
        ln_msg_t m = unsealed({0x81});
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
        ln_msg_t m = unsealed({0x81});
        ln_msg_tx(lif, &m);
      },
      ::testing::ExitedWithCode(1), "^Can't write to LocoNet interface: timed out\n$");
  EXPECT_GE(rig_ms(t0, rig_now()), 950.0);
}

// --- The exchange on a pty the test drives ---------------------------------

const bytes request = {0xED, 0x0F, 0x01, 0x05, 0x00, 0x21, 0x41,
                       0x53, 0x04, 0x00, 0x00, 0x0C, 0x00, 0x00};
const std::string request_wire = hex(sealed(request));
const bytes answer =
    sealed({0xE5, 0x0F, 0x05, 0x49, 0x4B, 0x1F, 0x01, 0x53, 0x04, 0x00, 0x00, 0x0C, 0x00, 0x00});

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
  ln_msg_t tx = unsealed(request);
  return ln_msg_tx_retry_resp(p->lif, &tx, retries, 100000000, judge_qual, j);
}

TEST(Exchange, SilentPeerGetsFourTransmissionsInAboutFourTimeOuts) {
  rig_peer *p = rig_peer_start({});
  judge j{nullptr, {}};
  const struct timespec t0 = rig_now();
  EXPECT_EQ(exchange(p, 3, &j), nullptr);
  const double took = rig_ms(t0, rig_now());
  EXPECT_GE(took, 380.0);
  EXPECT_LE(took, rig_scaled_ms(700));
  EXPECT_EQ(p->requests(4), std::vector<std::string>(4, request_wire));
  EXPECT_EQ(j.calls, 0u);
}

TEST(Exchange, UnrelatedTrafficIsReturnedToThePool) {
  std::vector<bytes> traffic;
  for (const bytes &m : {bytes{0x81, 0x7E}, sealed({0xB2, 0x05, 0x50}), sealed({0xB4, 0x6F, 0x7F}),
                         sealed({0xE5, 0x07, 0x05, 0x49, 0x4B, 0x1F})})
    traffic.insert(traffic.end(), 4, m);
  traffic.push_back(answer);
  rig_peer *p = rig_peer_start({traffic});
  judge j{&answer, {}};
  ln_msg_t *rx = exchange(p, 3, &j);
  ASSERT_NE(rx, nullptr);
  EXPECT_EQ(hex(rx), hex(answer));
  EXPECT_EQ(j.calls, 17u);  // sixteen others and the answer; the echo is no candidate
  EXPECT_EQ(p->requests(1).size(), 1u);
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
  EXPECT_LE(took, rig_scaled_ms(500));
  EXPECT_EQ(p->requests(3), std::vector<std::string>(3, request_wire));
  ln_msg_free(p->lif, rx);
}

struct chat {
  int fd;
  std::atomic<bool> stop{false};
};

void *chatter(void *arg) {
  auto *c = static_cast<chat *>(arg);
  // "master busy" every 30 ms until the exchange is over, for 10 s at most
  for (int i = 0; i < 333 && !c->stop; ++i) {
    rig_write(c->fd, {0x81, 0x7E});
    rig_sleep_ms(30);
  }
  return nullptr;
}

TEST(Exchange, RejectedMessagesDoNotMoveTheDeadline) {
  rig_peer *p = rig_peer_start({});
  chat c{p->pty.master};
  pthread_t t;
  ASSERT_EQ(pthread_create(&t, nullptr, chatter, &c), 0);
  judge j{&answer, {}};
  const struct timespec t0 = rig_now();
  EXPECT_EQ(exchange(p, 0, &j), nullptr);
  const double took = rig_ms(t0, rig_now());
  c.stop = true;
  EXPECT_GE(took, 99.0);
  // A deadline moved by each message would last as long as the chatter.
  EXPECT_LT(took, rig_scaled_ms(400));  // ends in the first pause after the deadline
  EXPECT_GE(j.calls, 2u);
  pthread_join(t, nullptr);
}

TEST(Exchange, ReplyQueuedBeforeTheExchangeIsFlushed) {
  rig_peer *p = rig_peer_start({});
  ASSERT_TRUE(rig_write(p->pty.master, answer));
  // The queue's cond is signalled when the reader has queued it.
  const struct timespec end = rig_in_ms(rig_scaled_ms(5000));
  pthread_mutex_lock(&p->lif->lock);
  while (p->lif->q_out == nullptr &&
         pthread_cond_timedwait(&p->lif->cond, &p->lif->lock, &end) == 0) {
  }
  ln_msg_t *stale = p->lif->q_out;
  pthread_mutex_unlock(&p->lif->lock);
  ASSERT_NE(stale, nullptr);
  judge j{&answer, {}};
  EXPECT_EQ(exchange(p, 0, &j), nullptr);
  EXPECT_EQ(j.calls, 0u);
  EXPECT_TRUE(rig_in_pool(p->lif, stale));
}

// --- The exchange against the simulator --------------------------------------

TEST(ExchangeSim, SilentModuleCostsFourTransmissions) {
  sim_opts o;
  o.modules = {1};
  o.silent = {1};
  // Never stopped: closing its side of the pty would end this process
  // through the reader.
  auto *sim = new sim_rig(o);
  lif_t *lif = lif_open(sim->path().c_str(), 1);
  ASSERT_NE(lif, nullptr);
  ln_prog_t req = {1235, 0, 1, PROG_FLAG_ON, PROG_CMD_READ};
  ln_msg_t tx{};
  prog_encode(&tx, &req, OPC_IMM_PACKET);
  const struct timespec t0 = rig_now();
  EXPECT_EQ(ln_msg_tx_retry_resp(lif, &tx, 3, 100000000, select_target_qual, &req), nullptr);
  const double took = rig_ms(t0, rig_now());
  EXPECT_GE(took, 380.0);
  EXPECT_LE(took, rig_scaled_ms(700));
  EXPECT_EQ(sim->sent(std::vector<std::string>(4, "sel 1")), "");
  EXPECT_EQ(sim->sent({}, 200), "") << "a window in which no fifth may come";
}

// --- Wall clock steps ----------------------------------------------------------

// The link wraps clock_gettime in this program, so a test can set the wall
// clock forward or back, as NTP does when a board without a real-time clock
// boots. Reply deadlines must not move: an attempt would otherwise stall for
// the size of a backward step, or end at once after a forward one and give a
// false "No response".
std::atomic<long> wall_shift_s{0};

}  // namespace

// The linker's --wrap fixes these names.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" int __real_clock_gettime(clockid_t c, struct timespec *t);
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" int __wrap_clock_gettime(clockid_t c, struct timespec *t) {
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
    EXPECT_EQ(p->requests(4), std::vector<std::string>(4, request_wire)) << shift;
  }
}

}  // namespace
