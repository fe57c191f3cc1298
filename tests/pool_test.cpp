// The message pool and the receive queue: ownership, order and waking.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <semaphore.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "ln_rig.h"
#include "reader.h"
#include "util.h"

namespace {

/// Appends bytes b as the reader does: through cur and push.
ln_msg_t *append(lif_t *lif, const bytes &b) {
  if (lif->cur == nullptr) lif->cur = ln_msg_alloc(lif);
  ln_msg_t *m = lif->cur;
  std::memcpy(m->msg, b.data(), b.size());
  lif->level = static_cast<u8>(b.size());
  push(lif, static_cast<u8>(b.size()));
  return m;
}

bool all_zero(const ln_msg_t *m) {
  const auto *p = reinterpret_cast<const unsigned char *>(m);
  for (std::size_t i = 0; i < sizeof *m; ++i)
    if (p[i] != 0) return false;
  return true;
}

TEST(Pool, NewBuffersAreDistinctAndZeroFilled) {
  lif_t *lif = rig_lif(-1);
  ln_msg_t *a = ln_msg_alloc(lif);
  ln_msg_t *b = ln_msg_alloc(lif);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_TRUE(all_zero(a));
  EXPECT_TRUE(all_zero(b));
  ln_msg_free(lif, a);
  ln_msg_free(lif, b);
}

TEST(Pool, ReuseIsLastInFirstOutAndKeepsContents) {
  lif_t *lif = rig_lif(-1);
  ln_msg_t *a = ln_msg_alloc(lif);
  ln_msg_t *b = ln_msg_alloc(lif);
  b->len = 4;
  b->msg[0] = 0xB2;
  ln_msg_free(lif, a);
  ln_msg_free(lif, b);
  ln_msg_t *again = ln_msg_alloc(lif);
  EXPECT_EQ(again, b);
  EXPECT_EQ(again->next, nullptr);  // was a while in the pool
  EXPECT_EQ(again->len, 4);
  EXPECT_EQ(again->msg[0], 0xB2);
  EXPECT_EQ(ln_msg_alloc(lif), a);
  EXPECT_EQ(lif->free, nullptr);
  ln_msg_free(lif, a);
  ln_msg_free(lif, b);
}

TEST(Queue, FlushOfEmptyQueueLeavesPoolAlone) {
  lif_t *lif = rig_lif(-1);
  ln_msg_t *p = ln_msg_alloc(lif);
  ln_msg_free(lif, p);
  ln_msg_flush(lif);
  EXPECT_EQ(lif->free, p);
  EXPECT_EQ(p->next, nullptr);
  EXPECT_EQ(lif->q_in, nullptr);
  EXPECT_EQ(lif->q_out, nullptr);
}

TEST(Queue, FlushPutsQueueInOrderBeforeThePool) {
  lif_t *lif = rig_lif(-1);
  ln_msg_t *p = ln_msg_alloc(lif);
  ln_msg_t *m1 = append(lif, {0x81, 0x7E});
  ln_msg_t *m2 = append(lif, {0x82, 0x7D});
  ln_msg_t *m3 = append(lif, {0x83, 0x7C});
  ln_msg_t *cur = lif->cur;
  ln_msg_free(lif, p);
  ASSERT_EQ(lif->q_out, m1);
  ASSERT_EQ(lif->q_in, m3);
  ln_msg_flush(lif);
  EXPECT_EQ(lif->q_in, nullptr);
  EXPECT_EQ(lif->q_out, nullptr);
  EXPECT_EQ(lif->cur, cur);
  ln_msg_t *got[4] = {};
  for (ln_msg_t *&g : got) g = ln_msg_alloc(lif);
  EXPECT_EQ(lif->free, nullptr);
  EXPECT_EQ(got[0], m1);
  EXPECT_EQ(got[1], m2);
  EXPECT_EQ(got[2], m3);
  EXPECT_EQ(got[3], p);
  for (ln_msg_t *g : got) ln_msg_free(lif, g);
}

TEST(Queue, TakesOldestFirstAndEmptiesBothEnds) {
  lif_t *lif = rig_lif(-1);
  append(lif, {0x81, 0x7E});
  append(lif, {0xB2, 0x12, 0x34, 0x6B});
  ln_msg_t *m = ln_msg_rx(lif);
  EXPECT_EQ(hex(m), "81 7E");
  EXPECT_NE(lif->q_out, nullptr);
  const struct timespec past = {0, 0};
  ln_msg_t *n = ln_msg_rx_to(lif, &past);  // queued: handed out whatever the deadline
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(hex(n), "B2 12 34 6B");
  EXPECT_EQ(lif->q_out, nullptr);
  EXPECT_EQ(lif->q_in, nullptr);
  ln_msg_free(lif, m);
  ln_msg_free(lif, n);
}

TEST(Queue, PastDeadlineOnEmptyQueueReturnsAtOnce) {
  lif_t *lif = rig_lif(-1);
  const struct timespec t0 = rig_now();
  const struct timespec past = rig_in_ms(-1000);
  EXPECT_EQ(ln_msg_rx_to(lif, &past), nullptr);
  EXPECT_LT(rig_ms(t0, rig_now()), rig_scaled_ms(50));
  // Taking without waiting: null on an empty queue, else the oldest.
  EXPECT_EQ(ln_msg_rx_now(lif), nullptr);
  append(lif, {0x81, 0x7E});
  append(lif, {0x82, 0x7D});
  ln_msg_t *m = ln_msg_rx_now(lif);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(hex(m), "81 7E");
  ln_msg_free(lif, m);
  EXPECT_EQ(lif->q_len, 1u);
}

TEST(Queue, WaitEndsNotBeforeTheDeadline) {
  lif_t *lif = rig_lif(-1);
  const struct timespec end = rig_in_ms(100);
  EXPECT_EQ(ln_msg_rx_to(lif, &end), nullptr);
  EXPECT_GE(rig_ms(end, rig_now()), 0.0);
}

struct waiter {
  lif_t *lif;
  ln_msg_t *got;
  std::atomic<long> tid{0};
};

void *wait_long(void *arg) {
  auto *w = static_cast<waiter *>(arg);
  w->tid = syscall(SYS_gettid);
  const struct timespec end = rig_in_ms(10000);
  w->got = ln_msg_rx_to(w->lif, &end);
  return nullptr;
}

TEST(Queue, AppendAfterQueueEmptiedWakesWaiter) {
  lif_t *lif = rig_lif(-1);
  append(lif, {0x81, 0x7E});
  ln_msg_free(lif, ln_msg_rx(lif));
  ASSERT_EQ(lif->q_out, nullptr);

  waiter w = {lif, nullptr};
  pthread_t t;
  ASSERT_EQ(pthread_create(&t, nullptr, wait_long, &w), 0);
  // Until it blocks on the empty queue: nothing announces that, so look at
  // the thread's system call, a futex wait on the queue's condition variable.
  const auto cond = reinterpret_cast<std::uintptr_t>(&lif->cond);
  for (int i = 0; i < rig_scaled_ms(5000); ++i, rig_sleep_ms(1)) {
    const std::string at = "/proc/self/task/" + std::to_string(w.tid.load()) + "/syscall";
    FILE *f = w.tid != 0 ? fopen(at.c_str(), "r") : nullptr;
    if (f == nullptr) continue;
    unsigned long nr = 0, addr = 0;
    const int n = fscanf(f, "%lu %lx", &nr, &addr);
    fclose(f);
    if (n == 2 && nr == SYS_futex && addr >= cond && addr < cond + sizeof lif->cond) break;
  }
  const struct timespec t0 = rig_now();
  append(lif, {0x82, 0x7D});
  pthread_join(t, nullptr);
  ASSERT_NE(w.got, nullptr);
  EXPECT_EQ(hex(w.got), "82 7D");
  EXPECT_LT(rig_ms(t0, rig_now()), rig_scaled_ms(2000));  // woken, not timed out
  ln_msg_free(lif, w.got);
}

/// A producer that never runs more than a full queue ahead of its consumer.
struct handoff {
  lif_t *lif;
  sem_t room;  // posted by the consumer after each full queue it took
};

constexpr unsigned MSGS = 20000;

void *produce(void *arg) {
  auto *h = static_cast<handoff *>(arg);
  for (unsigned i = 0; i < MSGS; ++i) {
    if (i > 0 && i % LN_QUEUE_MAX == 0) {
      while (sem_wait(&h->room) != 0) {
      }
    }
    append(h->lif, {0xB2, static_cast<u8>(i & 0x7F), static_cast<u8>((i >> 7) & 0x7F), 0});
  }
  return nullptr;
}

TEST(Queue, ProducerAndConsumerLoseNothing) {
  handoff h{rig_lif(-1), {}};
  ASSERT_EQ(sem_init(&h.room, 0, 0), 0);
  pthread_t t;
  ASSERT_EQ(pthread_create(&t, nullptr, produce, &h), 0);
  for (unsigned i = 0; i < MSGS; ++i) {
    const struct timespec end = rig_in_ms(5000);
    ln_msg_t *m = ln_msg_rx_to(h.lif, &end);
    ASSERT_NE(m, nullptr) << i;
    ASSERT_EQ(m->msg[1] | (m->msg[2] << 7), static_cast<int>(i & 0x3FFF));
    ln_msg_free(h.lif, m);
    if ((i + 1) % LN_QUEUE_MAX == 0) sem_post(&h.room);
  }
  pthread_join(t, nullptr);
  // Every buffer ever allocated is back in the pool, and recycling kept their
  // number to a full queue, the one in the consumer's hands and the reader's.
  EXPECT_GE(rig_pool_len(h.lif) + (h.lif->cur != nullptr), 2u);
  EXPECT_LE(rig_pool_len(h.lif) + (h.lif->cur != nullptr), LN_QUEUE_MAX + 2);
  sem_destroy(&h.room);
}

// Nobody takes messages while write mode waits on its input: the queue keeps
// the newest, and the memory stays what a full queue needs.
TEST(Queue, FullQueueGivesItsOldestToThePool) {
  lif_t *lif = rig_lif(-1);
  for (unsigned i = 0; i < LN_QUEUE_MAX + 36; ++i) append(lif, {0x81, static_cast<u8>(i), 0});
  EXPECT_EQ(lif->q_len, LN_QUEUE_MAX);
  // Every buffer ever allocated: the queue's, the pool's and the reader's own.
  EXPECT_LE(lif->q_len + rig_pool_len(lif) + 1, LN_QUEUE_MAX + 2);
  ln_msg_t *m = ln_msg_rx(lif);
  EXPECT_EQ(m->msg[1], 36);
  ln_msg_free(lif, m);
  ln_msg_flush(lif);
  EXPECT_EQ(lif->q_len, 0u);
  append(lif, {0x81, 1, 0});
  EXPECT_EQ(lif->q_len, 1u);
}

TEST(Queue, InvalidDeadlineIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  lif_t *lif = rig_lif(-1);
  struct timespec bad = rig_in_ms(1000);
  bad.tv_nsec = 1000000000L;  // the wait reports EINVAL
  EXPECT_EXIT(ln_msg_rx_to(lif, &bad), ::testing::ExitedWithCode(1),
              "^Can't wait on cond: Invalid argument \\(errno: 22\\)\n$");
}

TEST(Dump, StampAndBytesOnOneLine) {
  ln_msg_t m{};
  m.stamp = {1700000000, 5000};
  m.len = 4;
  const u8 b[] = {0xB2, 0x12, 0x34, 0x6B};
  std::memcpy(m.msg, b, 4);
  char *buf = nullptr;
  std::size_t size = 0;
  FILE *f = open_memstream(&buf, &size);
  ln_msg_dump(f, &m);
  m.stamp = {-1, 0};
  m.len = 0;
  ln_msg_dump(f, &m);
  fclose(f);
  EXPECT_STREQ(buf,
               "1700000000.000005000: 0xb2 0x12 0x34 0x6b\n"
               "18446744073709551615.000000000:\n");
  free(buf);
}

}  // namespace
