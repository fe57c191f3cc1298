// Selecting modules and reading and writing CVs: the exact requests on the
// wire, which answers end a wait and which do not, and buffer recycling.
#include <gtest/gtest.h>

#include <atomic>
#include <new>

#include "ln_rig.h"
#include "prog.h"
#include "sim_rig.h"

namespace {

std::atomic<unsigned> msg_allocs{0};
std::atomic<bool> refuse_msgs{false};

}  // namespace

// Seam on the allocator: counts, or refuses, new message buffers. Memory comes
// from the plain operator new, as the operator delete that frees it expects.
void *operator new(std::size_t n, const std::nothrow_t &) noexcept {
  if (n == sizeof(ln_msg_t)) {
    if (refuse_msgs) return nullptr;
    ++msg_allocs;
  }
  try {
    return ::operator new(n);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

namespace {

constexpr u16 ART = 1235;

/// A module's reply from another source: the command station's, 0x00.
bytes from_station(u16 art, u16 cv, u16 val) {
  bytes b = reply_bytes(art, cv, val);
  b[2] = 0x00;
  b.pop_back();
  return sealed(b);
}

const bytes ack_ok = ack_bytes(PROG_ACK_OK);
const bytes ack_no_cv = ack_bytes(PROG_ACK_NO_CV);
const bytes ack_read_only = ack_bytes(PROG_ACK_READ_ONLY);
const bytes ack_slot = sealed({0xB4, 0x6F, 0x7F});
const bytes ack_other = sealed({0xB4, 0x7D, 0x7F});
const bytes e5_short = sealed({0xE5, 0x07, 0x05, 0x49, 0x4B, 0x1F});
const bytes busy = {0x81, 0x7E};

using module = rig_peer;

module *start_module(std::vector<std::vector<bytes>> script) {
  module *m = rig_peer_start(std::move(script));
  EXPECT_NE(m->lif, nullptr);
  return m;
}

using lines = std::vector<std::string>;
const std::string select12 = "ED 0F 01 05 00 21 41 53 04 00 00 0C 00 00 22";
const std::string release12 = "E5 0F 01 05 00 21 01 53 04 00 00 0C 00 40 2A";
const std::string read145 = "ED 0F 01 05 00 21 05 53 04 11 00 00 00 00 7B";
const std::string write145_200 = "ED 0F 01 05 00 20 15 53 04 11 00 48 00 00 22";

// --- Select and release -----------------------------------------------------

TEST(Select, ModuleAnsweringWithItsAddressIsSelected) {
  module *m = start_module({{busy, reply_bytes(ART, 0, 12)}});
  EXPECT_EQ(select_target(m->lif, ART, 12, 1), 1);
  EXPECT_EQ(m->requests(1), lines{select12});
}

TEST(Select, OtherAnswersAreIgnoredUntilTheAttemptsRunOut) {
  const std::vector<bytes> wrong = {reply_bytes(ART, 0, 13),
                                    reply_bytes(1236, 0, 12),
                                    reply_bytes(ART, 1, 12),
                                    from_station(ART, 0, 12),
                                    e5_short,
                                    ack_ok};
  module *m = start_module({wrong, wrong, wrong, wrong});
  const struct timespec t0 = rig_now();
  EXPECT_EQ(select_target(m->lif, ART, 12, 1), 0);
  const double took = rig_ms(t0, rig_now());
  EXPECT_GE(took, 380.0);
  EXPECT_LE(took, rig_scaled_ms(700));
  EXPECT_EQ(m->requests(5), (lines{select12, select12, select12, select12, release12}));
}

// The module may have heard a select whose replies were lost: it is released.
TEST(Select, SilentModuleIsRetriedThenGivenUpAndReleased) {
  module *m = start_module({});
  EXPECT_EQ(select_target(m->lif, ART, 12, 1), 0);
  EXPECT_EQ(m->requests(5), (lines{select12, select12, select12, select12, release12}));
}

TEST(Release, IsSentOnceWithoutWaiting) {
  module *m = start_module({});
  const struct timespec t0 = rig_now();
  EXPECT_EQ(select_target(m->lif, ART, 12, 0), 1);
  EXPECT_LT(rig_ms(t0, rig_now()), rig_scaled_ms(50));
  ASSERT_EQ(m->requests(1), lines{release12});
  rig_sleep_ms(250);  // two reply windows in which no second release may come
  EXPECT_EQ(m->requests(1), lines{release12});
}

// --- CV read and write ------------------------------------------------------

TEST(CvRead, StoresTheValueOfTheMatchingReply) {
  module *m = start_module(
      {{reply_bytes(1236, 145, 7), reply_bytes(ART, 146, 8), reply_bytes(ART, 145, 300)}});
  u16 val = 0;
  EXPECT_EQ(cv_read(&val, m->lif, ART, 145), 1);
  EXPECT_EQ(val, 300);
  EXPECT_EQ(m->requests(1), lines{read145});
}

TEST(CvRead, LookAlikesDoNotEndTheWait) {
  const std::vector<bytes> alike = {reply_bytes(1236, 145, 7),
                                    reply_bytes(ART, 146, 8),
                                    from_station(ART, 145, 9),
                                    e5_short,
                                    ack_no_cv,
                                    ack_slot};
  module *m = start_module({alike, alike, alike, alike});
  u16 val = 4711;
  const struct timespec t0 = rig_now();
  EXPECT_EQ(cv_read(&val, m->lif, ART, 145), 0);
  const double took = rig_ms(t0, rig_now());
  EXPECT_EQ(val, 4711);
  EXPECT_GE(took, 380.0);
  EXPECT_LE(took, rig_scaled_ms(700));
  EXPECT_EQ(m->requests(4), (lines{read145, read145, read145, read145}));
}

// Once the interface echoes, what comes before an attempt's echo (a late
// answer to the attempt before, {} marks the echo) is never its reply.
TEST(CvRead, ReplyBeforeTheAttemptsEchoIsNotTaken) {
  module *m = start_module({{}, {reply_bytes(ART, 145, 7), {}, reply_bytes(ART, 145, 300)}});
  u16 val = 0;
  EXPECT_TRUE(cv_read(&val, m->lif, ART, 145) == 1 && val == 300) << val;
}

TEST(CvWrite, SucceedsOnTheLongAcknowledge) {
  module *m = start_module({{ack_no_cv, ack_slot, ack_other, ack_ok}});
  EXPECT_EQ(cv_write(m->lif, ART, 145, 200), 1);
  EXPECT_EQ(m->requests(1), lines{write145_200});
}

TEST(CvWrite, OtherAcknowledgesMeanFailure) {
  const std::vector<bytes> nak = {ack_no_cv,
                                  ack_read_only,
                                  ack_slot,
                                  ack_other,
                                  sealed({0xB4, 0x3B, 0x00}),
                                  reply_bytes(ART, 145, 200)};
  module *m = start_module({nak, nak, nak, nak});
  EXPECT_EQ(cv_write(m->lif, ART, 145, 200), 0);
  EXPECT_EQ(m->requests(4), (lines{write145_200, write145_200, write145_200, write145_200}));
}

TEST(CvReadPrint, ValueOrNoReply) {
  module *m = start_module({{reply_bytes(ART, 145, 300)}});
  testing::internal::CaptureStdout();
  cv_read_print(m->lif, ART, 145);
  cv_read_print(m->lif, ART, 146);
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "CV[145]: 300\nCV[146]: No reply\n");
}

// --- Qualifiers on their own --------------------------------------------------

TEST(Qualifiers, CvReadCopiesTheValueOnlyWhenItAccepts) {
  ln_prog_t req = {ART, 145, 0, 0, PROG_CMD_READ};
  ln_msg_t other = msg_of(reply_bytes(ART, 146, 99));
  EXPECT_EQ(cv_read_qual(&other, &req), 0);
  EXPECT_EQ(req.cv_val, 0);
  ln_msg_t cmd21 = msg_of(reply_bytes(ART, 145, 99));
  cmd21.msg[5] = PROG_CMD_READ;
  cmd21.msg[14] = 0;  // checksum is not examined again
  EXPECT_EQ(cv_read_qual(&cmd21, &req), 0);
  EXPECT_EQ(req.cv_val, 0);
  ln_msg_t good = msg_of(reply_bytes(ART, 145, 99));
  EXPECT_NE(cv_read_qual(&good, &req), 0);
  EXPECT_EQ(req.cv_val, 99);
}

// --- Buffers ------------------------------------------------------------------

TEST(Buffers, SteadyTrafficAllocatesNothingNew) {
  const std::vector<bytes> round = {busy, reply_bytes(1236, 145, 1), e5_short,
                                    reply_bytes(ART, 145, 5)};
  module *m = start_module(std::vector<std::vector<bytes>>(60, round));
  u16 val = 0;
  for (int i = 0; i < 10; ++i) ASSERT_EQ(cv_read(&val, m->lif, ART, 145), 1);
  const unsigned before = msg_allocs;
  for (int i = 0; i < 50; ++i) ASSERT_EQ(cv_read(&val, m->lif, ART, 145), 1);
  // A leak of one buffer per operation would need 50 more.
  EXPECT_LT(msg_allocs - before, 20u);
}

TEST(Buffers, NoBufferIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  lif_t *lif = rig_lif(-1);
  EXPECT_EXIT(
      {
        refuse_msgs = true;
        select_target(lif, ART, 12, 1);
      },
      ::testing::ExitedWithCode(1), "^Can't alloc msg\n$");
}

// --- Against the simulator ----------------------------------------------------

TEST(CvSim, SelectReadWriteReleaseWithImpostorsAndNoise) {
  sim_opts o;
  o.modules = {12, 13};
  o.impostor = {12};
  o.noise = 0.3;
  auto *sim = new sim_rig(o);  // stays up: its end would be ours
  lif_t *lif = lif_open(sim->path().c_str(), 1);
  ASSERT_NE(lif, nullptr);

  ASSERT_EQ(select_target(lif, ART, 12, 1), 1);
  u16 val = 0;
  ASSERT_EQ(cv_read(&val, lif, ART, 145), 1);
  EXPECT_EQ(val, (12 * 16) & 0xFF);
  ASSERT_EQ(cv_write(lif, ART, 150, 77), 1);
  u16 stored = 0;
  ASSERT_TRUE(lnsim_get_cv(sim->s, 12, 150, &stored));
  EXPECT_EQ(stored, 77);
  ASSERT_EQ(cv_read(&val, lif, ART, 150), 1);
  EXPECT_EQ(val, 77);
  EXPECT_EQ(cv_write(lif, ART, 0, 5), 0);  // CV 0 is read only: B4 6D 03
  EXPECT_EQ(select_target(lif, ART, 12, 0), 1);
  EXPECT_EQ(select_target(lif, ART, 99, 1), 0);  // nobody there
  // One release of module 12; four selects of module 99, and its release.
  EXPECT_EQ(sim->sent({"sel 12", "rd 145", "wr 150=77", "rd 150", "wr 0=5", "wr 0=5", "wr 0=5",
                       "wr 0=5", "rel 12", "sel 99", "sel 99", "sel 99", "sel 99", "rel 99"}),
            "");
}

}  // namespace
