// lnsim through its library API and as a program. The host side talks to the
// pty slave with plain open/write/read/poll and frames what comes back itself,
// so a fault in the project's interface layer cannot hide one in lnsim.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "ln_rig.h"
#include "proc.h"
#include "sim_rig.h"
#include "tmp.h"

namespace {

using clk = std::chrono::steady_clock;

bytes request(u8 opc, u8 cmd, u16 art, u16 cv, u16 val, u8 flags) {
  ln_msg_t m{};
  const ln_prog_t v{art, cv, val, flags, cmd};
  prog_encode(&m, &v, opc);
  ln_msg_seal(&m);
  return bytes(m.msg, m.msg + m.len);
}
bytes select_req(u16 addr, u16 art = 1235) { return request(0xED, 0x21, art, 0, addr, 0x80); }
bytes release_req(u16 addr) { return request(0xE5, 0x21, 1235, 0, addr, 0x40); }
bytes read_req(u16 cv, u16 art = 1235) { return request(0xED, 0x21, art, cv, 0, 0); }
bytes write_req(u16 cv, u16 val) { return request(0xED, 0x20, 1235, cv, val, 0); }

/// Messages with a good checksum in a byte stream; *bad counts the others.
std::vector<bytes> frame(const bytes &s, unsigned *bad = nullptr) {
  std::vector<bytes> out;
  for (std::size_t i = 0; i < s.size();) {
    if (!(s[i] & 0x80)) {
      ++i;
      continue;
    }
    std::size_t len =
        (s[i] & 0x60) == 0x60 ? (i + 1 < s.size() ? s[i + 1] : 0) : ((s[i] & 0x60) >> 5) * 2 + 2;
    if (len < 2 || i + len > s.size()) break;
    u8 x = 0;
    for (std::size_t k = 0; k < len; ++k) x ^= s[i + k];
    if (x == 0xFF)
      out.emplace_back(s.begin() + static_cast<long>(i), s.begin() + static_cast<long>(i + len));
    else if (bad != nullptr)
      ++*bad;
    i += len;
  }
  return out;
}

/// Would the tool take m as a module's reply? (long acknowledge of a write,
/// or a programming reply of article 1235)
bool acceptable(const bytes &m) {
  if (m.size() == 4 && m[0] == 0xB4 && m[1] == 0x6D && m[2] == 0x7F) return true;
  const ln_msg_t r = msg_of(m);
  ln_prog_t p;
  return prog_decode(&p, &r) && p.art_no == 1235;
}

/// A running lnsim and a host on its slave.
struct bus {
  lnsim *sim = nullptr;
  int fd = -1;
  bytes pending;  // read but not yet framed into a whole message

  explicit bus(const sim_opts &o) {
    std::string err;
    sim = lnsim_start(&o, &err);
    EXPECT_NE(sim, nullptr) << err;
    if (sim != nullptr) fd = open(lnsim_path(sim), O_RDWR | O_NOCTTY);
    EXPECT_GE(fd, 0);
  }
  /// A host on a simulator running elsewhere.
  explicit bus(const std::string &path) : fd(open(path.c_str(), O_RDWR | O_NOCTTY)) {
    EXPECT_GE(fd, 0);
  }
  ~bus() {
    if (fd >= 0) close(fd);
    if (sim != nullptr) lnsim_stop(sim);
  }
  void send(const bytes &b) {
    ASSERT_EQ(write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
  }
  /// Reads what arrives until ms pass without a byte.
  bytes drain(int ms) { return rig_drain(fd, ms); }
  /// Sends req and returns the messages that follow: at least n of them
  /// (waiting up to 2 s, scaled), then whatever comes within quiet ms.
  std::vector<bytes> exchange(const bytes &req, std::size_t n, int quiet = 40) {
    send(req);
    bytes got;
    const auto end = clk::now() + std::chrono::milliseconds(rig_scaled_ms(2000));
    while (frame(got).size() < n && clk::now() < end) {
      const bytes more = drain(20);
      got.insert(got.end(), more.begin(), more.end());
    }
    const bytes more = drain(quiet);
    got.insert(got.end(), more.begin(), more.end());
    return frame(got);
  }
};

sim_opts quick() {
  sim_opts o;
  o.turnaround_us = 0;
  return o;
}

TEST(SimList, ParsesAddressLists) {
  std::vector<u16> a;
  ASSERT_TRUE(sim_parse_list("1-3,12", &a));
  EXPECT_EQ(a, (std::vector<u16>{1, 2, 3, 12}));
  ASSERT_TRUE(sim_parse_list("65535,7-7", &a));
  EXPECT_EQ(a, (std::vector<u16>{1, 2, 3, 12, 65535, 7}));
  for (const char *bad : {"", ",", "1,", "3-1", "1-", "-5", "a", "65536", "1 2", "1,,2", "1-2-3"})
    EXPECT_FALSE(sim_parse_list(bad, &a)) << bad;
  EXPECT_EQ(a.size(), 6u);
}

TEST(SimModule, SelectReadWriteReleaseByteExact) {
  sim_opts o;
  o.modules = {3, 12};
  bus b(o);
  const bytes sel = select_req(12);
  auto r = b.exchange(sel, 2);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0], sel);  // the echo
  EXPECT_EQ(r[1], (bytes{0xE5, 0x0F, 0x05, 0x49, 0x4B, 0x1F, 0x01, 0x53, 0x04, 0x00, 0x00, 0x0C,
                         0x00, 0x00, 0x57}));

  r = b.exchange(read_req(145), 2);  // (12 * 16 + 0) & 0xFF = 192
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1], (bytes{0xE5, 0x0F, 0x05, 0x49, 0x4B, 0x1F, 0x15, 0x53, 0x04, 0x11, 0x00, 0x40,
                         0x00, 0x00, 0x1E}));

  const bytes wr = write_req(145, 200);
  EXPECT_EQ(wr, (bytes{0xED, 0x0F, 0x01, 0x05, 0x00, 0x20, 0x15, 0x53, 0x04, 0x11, 0x00, 0x48, 0x00,
                       0x00, 0x22}));
  r = b.exchange(wr, 2);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1], (bytes{0xB4, 0x6D, 0x7F, 0x59}));
  u16 v = 0;
  ASSERT_TRUE(lnsim_get_cv(b.sim, 12, 145, &v));
  EXPECT_EQ(v, 200);

  r = b.exchange(read_req(145), 2);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1], (bytes{0xE5, 0x0F, 0x05, 0x49, 0x4B, 0x1F, 0x15, 0x53, 0x04, 0x11, 0x00, 0x48,
                         0x00, 0x00, 0x16}));

  // CV 0 holds the address and is read only; other CVs do not exist.
  r = b.exchange(read_req(0), 2);
  ASSERT_EQ(r.size(), 2u);
  const ln_msg_t m = msg_of(r[1]);
  ln_prog_t p{};
  ASSERT_TRUE(prog_decode(&p, &m));
  EXPECT_EQ(p.cv_addr, 0);
  EXPECT_EQ(p.cv_val, 12);
  EXPECT_EQ(b.exchange(write_req(0, 5), 2).at(1), (bytes{0xB4, 0x6D, 0x03, 0x25}));
  EXPECT_EQ(b.exchange(read_req(161), 2).at(1), (bytes{0xB4, 0x6D, 0x01, 0x27}));
  EXPECT_EQ(b.exchange(write_req(144, 1), 2).at(1), (bytes{0xB4, 0x6D, 0x01, 0x27}));
  ASSERT_TRUE(lnsim_get_cv(b.sim, 12, 0, &v));
  EXPECT_EQ(v, 12);

  // Released: reads go unanswered, only the echo comes back.
  EXPECT_EQ(b.exchange(release_req(12), 1).size(), 1u);
  EXPECT_EQ(b.exchange(read_req(145), 1).size(), 1u);

  const auto host = lnsim_host_msgs(b.sim);
  ASSERT_EQ(host.size(), 10u);
  EXPECT_EQ(host.front(), sel);
  EXPECT_EQ(host[2], wr);
  EXPECT_EQ(host.back(), read_req(145));
}

TEST(SimModule, IgnoresWhatIsNotItsOwn) {
  sim_opts o = quick();
  o.modules = {5};
  bus b(o);
  EXPECT_EQ(b.exchange(read_req(145), 1).size(), 1u) << "not selected";
  EXPECT_EQ(b.exchange(select_req(5, 1234), 1).size(), 1u) << "other article";
  EXPECT_EQ(b.exchange(select_req(6), 1).size(), 1u) << "no such module";
  ASSERT_EQ(b.exchange(select_req(5), 2).size(), 2u);
  EXPECT_EQ(b.exchange(read_req(145, 1234), 1).size(), 1u) << "other article";
  EXPECT_EQ(b.exchange(write_req(145, 7), 2).size(), 2u);
  EXPECT_FALSE(lnsim_set_cv(b.sim, 6, 145, 1));
  EXPECT_FALSE(lnsim_set_cv(b.sim, 5, 0, 1));
}

/// Decodes a module's programming reply.
ln_prog_t decoded(const bytes &b) {
  const ln_msg_t m = msg_of(b);
  ln_prog_t p{};
  EXPECT_TRUE(prog_decode(&p, &m)) << "not a programming reply";
  return p;
}

// As module firmware does: a select of another address does not end
// programming mode, every module in it answers every read and write (one
// reply after the other), and only its own release takes it out.
TEST(SimModule, ProgrammingModeEndsOnlyWithItsOwnRelease) {
  sim_opts o = quick();
  o.modules = {1, 2, 3};
  bus b(o);
  ASSERT_EQ(b.exchange(select_req(1), 2).size(), 2u);
  ASSERT_EQ(b.exchange(select_req(2), 2).size(), 2u);
  EXPECT_EQ(lnsim_programming(b.sim), (std::vector<u16>{1, 2}));
  std::vector<bytes> got = b.exchange(read_req(150), 3);
  ASSERT_EQ(got.size(), 3u) << "echo and two replies";
  EXPECT_EQ(decoded(got[1]).cv_val, 1 * 16 + 5);
  EXPECT_EQ(decoded(got[2]).cv_val, 2 * 16 + 5);
  got = b.exchange(write_req(150, 9), 3);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[1], got[2]) << "two acknowledges";
  for (u16 a : {u16{1}, u16{2}}) {
    u16 v = 0;
    ASSERT_TRUE(lnsim_get_cv(b.sim, a, 150, &v));
    EXPECT_EQ(v, 9) << "module " << a << " stored the write too";
  }
  // A read of CV 0 tells who is in programming mode.
  b.exchange(release_req(1), 1);
  got = b.exchange(read_req(0), 2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(decoded(got[1]).cv_val, 2);
  b.exchange(release_req(2), 1);
  EXPECT_EQ(b.exchange(read_req(0), 1).size(), 1u) << "nobody answers now";
  EXPECT_TRUE(lnsim_programming(b.sim).empty());
}

TEST(SimModule, BroadcastSelectIsAnsweredByEveryModule) {
  sim_opts o = quick();
  o.modules = {1, 7, 65535};
  bus b(o);
  const std::vector<bytes> got = b.exchange(select_req(65535), 4);
  ASSERT_EQ(got.size(), 4u);
  std::vector<u16> addrs;
  for (std::size_t i = 1; i < got.size(); ++i) {
    const ln_prog_t p = decoded(got[i]);
    EXPECT_EQ(p.cv_addr, 0);
    addrs.push_back(p.cv_val);
  }
  EXPECT_EQ(addrs, (std::vector<u16>{1, 7, 65535}));
  // Only the module still at the factory address takes it as its select.
  EXPECT_EQ(lnsim_programming(b.sim), std::vector<u16>{65535});
}

TEST(SimModule, ReadOnlyAndMissingCvsAreRefused) {
  sim_opts o = quick();
  o.modules = {12};
  o.programming = {12};
  bus b(o);
  EXPECT_EQ(decoded(b.exchange(read_req(1), 2).at(1)).cv_val, 1235 & 0xFF);
  EXPECT_EQ(decoded(b.exchange(read_req(2), 2).at(1)).cv_val, 1235 >> 8);
  for (u16 cv : {u16{0}, u16{1}, u16{3}})
    EXPECT_EQ(b.exchange(write_req(cv, 5), 2).at(1), (bytes{0xB4, 0x6D, 0x03, 0x25})) << cv;
  for (u16 cv : {u16{4}, u16{144}, u16{161}}) {
    EXPECT_EQ(b.exchange(read_req(cv), 2).at(1), (bytes{0xB4, 0x6D, 0x01, 0x27})) << cv;
    EXPECT_EQ(b.exchange(write_req(cv, 5), 2).at(1), (bytes{0xB4, 0x6D, 0x01, 0x27})) << cv;
  }
}

// What other firmware and other programs do: select replies with flags 0x80
// after 12 ms, a module left in programming mode, one that enters it on its
// own in mid-run, and a cell that acknowledges writes but keeps its value.
TEST(SimModule, FirmwareVariantsAndLeftovers) {
  sim_opts o = quick();
  o.modules = {4, 5, 6};
  o.programming = {4};
  o.flags80 = {5};
  o.select_us = {{5, 12000}};
  o.intruder = {{6, 2}};
  o.stuck = {{4, 150}};
  bus b(o);
  EXPECT_EQ(lnsim_programming(b.sim), std::vector<u16>{4});
  const auto t0 = clk::now();
  const std::vector<bytes> sel = b.exchange(select_req(5), 2);
  EXPECT_GE(clk::now() - t0, std::chrono::milliseconds(12));
  ASSERT_EQ(sel.size(), 2u);
  EXPECT_EQ(decoded(sel[1]).flags, 0x80);
  EXPECT_EQ(decoded(sel[1]).cv_val, 5);
  // After the host's second message module 6 joins modules 4 and 5.
  EXPECT_EQ(b.exchange(read_req(0), 3).size(), 3u);
  EXPECT_EQ(lnsim_programming(b.sim), (std::vector<u16>{4, 5, 6}));
  const std::vector<bytes> acks = b.exchange(write_req(150, 99), 4);
  ASSERT_EQ(acks.size(), 4u);
  for (std::size_t i = 1; i < 4; ++i) EXPECT_EQ(acks[i], (bytes{0xB4, 0x6D, 0x7F, 0x59}));
  u16 v = 0;
  ASSERT_TRUE(lnsim_get_cv(b.sim, 4, 150, &v));
  EXPECT_EQ(v, 4 * 16 + 5) << "acknowledged, not stored";
  ASSERT_TRUE(lnsim_get_cv(b.sim, 6, 150, &v));
  EXPECT_EQ(v, 99);
}

TEST(SimEcho, EchoesEveryMessageUnlessTurnedOff) {
  const bytes busy{0x81, 0x7E};
  {
    bus b(quick());
    EXPECT_EQ(b.exchange(busy, 1), std::vector<bytes>{busy});
    const auto r = b.exchange(select_req(1), 2);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], select_req(1));
  }
  sim_opts o = quick();
  o.echo = false;
  bus b(o);
  EXPECT_TRUE(b.exchange(busy, 0, 60).empty());
  const auto r = b.exchange(select_req(1), 1);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0][0], 0xE5);
  EXPECT_EQ(lnsim_host_msgs(b.sim).size(), 2u);
}

TEST(SimState, CreatesSavesBeforeAcknowledgingAndReloads) {
  tmp_dir d;
  const std::string file = d.path + "/state";
  sim_opts o = quick();
  o.modules = {1, 2};
  o.state_file = file;
  {
    bus b(o);
    EXPECT_EQ(slurp(file),
              "1: 16 17 18 19 20 21 22 23 24 25 26 27 28 29 30 31\r\n"
              "2: 32 33 34 35 36 37 38 39 40 41 42 43 44 45 46 47\r\n");
    b.exchange(select_req(1), 2);
    ASSERT_EQ(b.exchange(write_req(150, 99), 2).at(1), (bytes{0xB4, 0x6D, 0x7F, 0x59}));
    // Acknowledged means on disk, by rename: no temporary file is left.
    EXPECT_EQ(slurp(file).substr(0, 52), "1: 16 17 18 19 20 99 22 23 24 25 26 27 28 29 30 31\r\n");
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(d.path))
      names.push_back(e.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"state"});
  }
  // Module 2 is not emulated now but stays in the file.
  o.modules = {1};
  bus b(o);
  u16 v = 0;
  ASSERT_TRUE(lnsim_get_cv(b.sim, 1, 150, &v));
  EXPECT_EQ(v, 99);
  EXPECT_FALSE(lnsim_get_cv(b.sim, 2, 150, &v));
  EXPECT_EQ(b.exchange(select_req(2), 1).size(), 1u);
  ASSERT_TRUE(lnsim_set_cv(b.sim, 1, 160, 7));
  EXPECT_NE(slurp(file).find(" 30 7\r\n2: 32 "), std::string::npos);
}

TEST(SimState, AcceptsLenientLinesAndRejectsMalformedFiles) {
  tmp_dir d;
  const std::string file = d.path + "/state";
  sim_opts o = quick();
  o.modules = {7};
  o.state_file = file;
  std::ofstream(file)
      << "\n 7 :\t1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 300\r\n9: 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0";
  {
    bus b(o);
    u16 v = 0;
    ASSERT_TRUE(lnsim_get_cv(b.sim, 7, 160, &v));
    EXPECT_EQ(v, 300);
  }
  EXPECT_EQ(slurp(file),
            "7: 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 300\r\n9: 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\r\n");
  const std::string sixteen = " 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16", good = "7:" + sixteen;
  for (const std::string &bad : std::vector<std::string>{
           "7" + sixteen, good + " 17", "7: 1 2 3", "x:" + sixteen, good + "\n" + good,
           "70000:" + sixteen, "7: -1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16",
           "7: 65536" + sixteen.substr(2)}) {
    std::ofstream(file) << bad << "\n";
    std::string err;
    lnsim *s = lnsim_start(&o, &err);
    EXPECT_EQ(s, nullptr) << bad;
    if (s != nullptr) lnsim_stop(s);
    EXPECT_NE(err.find("line"), std::string::npos) << err;
    EXPECT_EQ(slurp(file), bad + "\n") << "a bad file is left alone";
  }
}

TEST(SimState, WriteThatCannotBeSavedIsNotAcknowledged) {
  tmp_dir d;
  const std::string sub = d.path + "/sub";
  mkdir(sub.c_str(), 0755);
  sim_opts o = quick();
  o.state_file = sub + "/state";
  bus b(o);
  b.exchange(select_req(1), 2);
  ASSERT_GT(std::filesystem::remove_all(sub), 0u);
  EXPECT_EQ(b.exchange(write_req(145, 1), 1, 100).size(), 1u);  // the echo alone
  u16 v = 0;
  ASSERT_TRUE(lnsim_get_cv(b.sim, 1, 145, &v));
  EXPECT_EQ(v, 16);
}

TEST(SimFaults, SilentAndAnswerOnly) {
  sim_opts o = quick();
  o.modules = {5, 6};
  o.silent = {6};
  o.answer_only = {{5, 3}};
  bus b(o);
  EXPECT_EQ(b.exchange(select_req(6), 1).size(), 1u);
  EXPECT_EQ(b.exchange(select_req(5), 2).size(), 2u);
  for (u16 cv : {u16{145}, u16{146}, u16{147}})
    EXPECT_EQ(b.exchange(read_req(cv), 2).size(), 2u) << cv;
  EXPECT_EQ(b.exchange(read_req(148), 1).size(), 1u);
  EXPECT_EQ(b.exchange(select_req(5), 1).size(), 1u);
}

TEST(SimFaults, DropsRepliesAtTheGivenRateReproducibly) {
  // Which of 400 selects of modules 1..20 were answered, in order.
  auto run = [] {
    sim_opts o = quick();
    o.modules = {};
    for (u16 a = 1; a <= 20; ++a) o.modules.push_back(a);
    o.echo = false;
    o.drop = 0.3;
    o.seed = 42;
    bus b(o);
    bytes got;
    for (int batch = 0; batch < 20; ++batch) {
      bytes reqs;
      for (u16 a = 1; a <= 20; ++a) {
        const bytes r = select_req(a);
        reqs.insert(reqs.end(), r.begin(), r.end());
      }
      b.send(reqs);
      const bytes more = b.drain(50);
      got.insert(got.end(), more.begin(), more.end());
    }
    const bytes more = b.drain(rig_scaled_ms(200));  // the last replies
    got.insert(got.end(), more.begin(), more.end());
    std::vector<u8> answered;
    for (const bytes &m : frame(got)) answered.push_back(m.at(11));
    return answered;
  };
  const auto first = run();
  EXPECT_GT(first.size(), 240u);  // 280 expected of 400
  EXPECT_LT(first.size(), 320u);
  EXPECT_EQ(run(), first);
}

TEST(SimFaults, NoiseNeverHoldsAnAcceptableReply) {
  sim_opts o;
  o.modules = {};
  o.noise = 1.0;
  o.seed = 7;
  bus b(o);
  unsigned bad = 0, noise = 0;
  const bytes reqs[] = {select_req(1), select_req(2), read_req(145), write_req(150, 1),
                        release_req(1)};
  for (int i = 0; i < 100; ++i) {
    const bytes &req = reqs[i % 5];
    b.send(req);
    bytes got;
    std::vector<bytes> msgs;
    const auto end = clk::now() + std::chrono::milliseconds(rig_scaled_ms(2000));
    while ((msgs.empty() || msgs.back() != req) && clk::now() < end) {
      const bytes more = b.drain(20);
      got.insert(got.end(), more.begin(), more.end());
      msgs = frame(got, &bad);
    }
    ASSERT_FALSE(msgs.empty());
    ASSERT_EQ(msgs.back(), req) << "the echo comes through the noise intact";
    for (std::size_t k = 0; k + 1 < msgs.size(); ++k) EXPECT_FALSE(acceptable(msgs[k]));
    noise += static_cast<unsigned>(msgs.size() - 1);
  }
  EXPECT_GT(noise, 100u);
  EXPECT_GT(bad, 0u);
  // With a module, the real reply still comes through every time.
  sim_opts om = o;
  om.modules = {1};
  bus bm(om);
  for (int i = 0; i < 20; ++i) {
    unsigned answered = 0;
    for (const bytes &m : bm.exchange(select_req(1), 2, 60)) answered += acceptable(m);
    EXPECT_EQ(answered, 1u);
  }
}

TEST(SimFaults, ImpostorLookalikesComeBeforeTheRealReply) {
  sim_opts o = quick();
  o.modules = {3};
  o.impostor = {3};
  bus b(o);
  const auto r = b.exchange(select_req(3), 4);
  ASSERT_EQ(r.size(), 4u);
  ln_prog_t p[3];
  for (int i = 0; i < 3; ++i) {
    const ln_msg_t m = msg_of(r[i + 1]);
    ASSERT_TRUE(prog_decode(&p[i], &m));
    EXPECT_EQ(p[i].cv_val, 3);
  }
  EXPECT_NE(p[0].art_no, 1235);
  EXPECT_EQ(p[1].art_no, 1235);
  EXPECT_NE(p[1].cv_addr, 0);
  EXPECT_EQ(p[2].art_no, 1235);
  EXPECT_EQ(p[2].cv_addr, 0);
}

TEST(SimTiming, DelaysBytewiseAndPace) {
  {
    sim_opts o = quick();
    o.delay_us = 50000;
    o.echo = false;
    bus b(o);
    const auto t0 = clk::now();
    ASSERT_EQ(b.exchange(select_req(1), 1, 0).size(), 1u);
    EXPECT_GE(clk::now() - t0, std::chrono::milliseconds(50));
  }
  {
    sim_opts o = quick();
    o.bytewise = true;
    bus b(o);
    ASSERT_EQ(b.exchange(select_req(1), 2).at(1),
              sealed({0xE5, 0x0F, 0x05, 0x49, 0x4B, 0x1F, 0x01, 0x53, 0x04, 0x00, 0x00, 0x01, 0x00,
                      0x00}));
  }
  sim_opts o = quick();
  o.pace = true;
  bus b(o);
  const auto t0 = clk::now();
  b.send(select_req(1));
  bytes got;
  std::vector<clk::duration> done;  // when each message was complete
  while (done.size() < 2 && clk::now() - t0 < std::chrono::milliseconds(rig_scaled_ms(2000))) {
    struct pollfd p = {b.fd, POLLIN, 0};
    u8 buf[64];
    if (poll(&p, 1, 20) != 1) continue;
    const ssize_t n = read(b.fd, buf, sizeof buf);
    if (n > 0) got.insert(got.end(), buf, buf + n);
    while (frame(got).size() > done.size()) done.push_back(clk::now() - t0);
  }
  ASSERT_EQ(done.size(), 2u);
  EXPECT_GE(done[0], std::chrono::microseconds(15 * 600));  // the request's own bytes, echoed
  EXPECT_GE(done[1], std::chrono::microseconds(30 * 600));  // then the reply's
}

TEST(SimLog, LogsBothDirectionsInDumpFormat) {
  sim_opts o = quick();
  o.log = tmpfile();
  ASSERT_NE(o.log, nullptr);
  {
    bus b(o);
    b.exchange(select_req(1), 2);
  }
  rewind(o.log);
  std::string text;
  char line[512];
  while (fgets(line, sizeof line, o.log) != nullptr) text += line;
  fclose(o.log);
  std::istringstream in(text);
  std::vector<std::string> lines, notes;
  for (std::string l; std::getline(in, l);) (l[0] == '=' ? notes : lines).push_back(l);
  EXPECT_EQ(notes, std::vector<std::string>{"= module 1 enters programming mode"});
  ASSERT_EQ(lines.size(), 3u) << text;
  const std::string sel =
      ": 0xed 0x0f 0x01 0x05 0x00 0x21 0x41 0x53 0x04 0x00 0x00 0x01 0x00 0x00 0x2f";
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(lines[i].substr(0, 2), i == 0 ? "> " : "< ");
    const std::size_t dot = lines[i].find('.'), colon = lines[i].find(':');
    ASSERT_NE(colon, std::string::npos);
    EXPECT_EQ(colon - dot, 10u) << "nine digits of nanoseconds";
    EXPECT_EQ(lines[i].find_first_not_of("0123456789", 2), dot);
    if (i < 2) {
      EXPECT_EQ(lines[i].substr(colon), sel);
    }
  }
  EXPECT_EQ(lines[2].substr(lines[2].find(':'), 7), ": 0xe5 ");
}

TEST(SimLoad, NeverHangsWhenNobodyReads) {
  sim_rig m(quick());
  bus b(m.path());
  bytes reqs;
  for (int i = 0; i < 50; ++i) {
    const bytes r = select_req(1);
    reqs.insert(reqs.end(), r.begin(), r.end());
  }
  // 500 requests in batches that lnsim's receive queue holds whole, so that it
  // answers every one; nobody reads the echoes and replies.
  for (std::size_t n = 50; n <= 500; n += 50) {
    b.send(reqs);
    ASSERT_EQ(m.wait_sent(n).size(), n);
  }
  const auto t0 = clk::now();
  lnsim_stop(m.s);
  m.s = nullptr;
  EXPECT_LT(clk::now() - t0, std::chrono::milliseconds(rig_scaled_ms(5000)));
}

// A client that was killed leaves the terminal's exclusive flag set, and
// lnsim's own slave keeps the terminal, and so the flag, alive: the next
// unprivileged client would be refused. lnsim clears a flag whose holder has
// gone (no lock on the terminal any more), and only such a flag.
TEST(SimPty, ExclusiveClaimOfAKilledClientIsCleared) {
  sim_rig m(quick());
  const std::string path = m.path();
  auto exclusive = [](int fd) {
    int excl = 0;
    return ioctl(fd, TIOCGEXCL, &excl) == 0 && excl != 0;
  };
  // A running client holds the lock too: its flag stays when others come and go.
  const int client = open(path.c_str(), O_RDWR | O_NOCTTY);
  EXPECT_EQ(flock(client, LOCK_EX), 0);
  EXPECT_EQ(ioctl(client, TIOCEXCL), 0);
  // Only root gets past the flag; anyone else is refused, and nothing closes.
  const int other = open(path.c_str(), O_RDWR | O_NOCTTY);
  if (other >= 0) close(other);
  EXPECT_TRUE(other < 0 ? errno == EBUSY : m.logged("exclusive claim kept, its client still runs"));
  EXPECT_TRUE(exclusive(client));
  // Killed: the descriptor, and its lock, go; the flag stays behind.
  close(client);
  EXPECT_TRUE(m.logged("exclusive claim of a closed client cleared"));
  const int next = open(path.c_str(), O_RDWR | O_NOCTTY);
  EXPECT_FALSE(exclusive(next));
  close(next);
}

TEST(SimProgram, RunsWithLinkUntilTerminated) {
  tmp_dir d;
  const std::string link = d.path + "/ln";
  proc_bg sim;
  ASSERT_TRUE(
      proc_start(&sim, {LNSIM_BIN, "--link", link, "--modules", "1-3,12", "--turnaround-us", "0"}));
  std::string first;
  EXPECT_TRUE(proc_read_line(&sim, &first, 5000));
  char target[256] = {};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(first, target);
  {
    bus b(link);
    const auto r = b.exchange(select_req(12), 2);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1][11], 12);
  }
  EXPECT_EQ(proc_stop(&sim, SIGTERM, 5000).status, 0);
  struct stat st;
  EXPECT_NE(lstat(link.c_str(), &st), 0) << "link removed";
}

TEST(SimProgram, RejectsBadOptionsAndForeignLinkPaths) {
  for (const std::vector<std::string> &args : {std::vector<std::string>{"--bogus"},
                                               {"--drop", "2"},
                                               {"--modules", "3-1"},
                                               {"--seed", "x"},
                                               {"--answer-only", "5"},
                                               {"--turnaround-us"},
                                               {"extra"}}) {
    std::vector<std::string> argv{LNSIM_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_EQ(proc_run(argv).status, 2) << args[0];
  }
  tmp_dir d;
  const std::string file = d.path + "/file";
  std::ofstream(file) << "keep";
  EXPECT_EQ(proc_run({LNSIM_BIN, "--link", file}).status, 1);
  EXPECT_EQ(slurp(file), "keep");
}

}  // namespace
