// The Z21 kind: datagrams split into records from tables, and the tool
// against lnsim's Z21 side on loopback.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "ln_rig.h"
#include "proc.h"
#include "sim_rig.h"
#include "tmp.h"
#include "z21.h"

namespace {

/// A record: its length, its header and data.
bytes rec(u16 header, const bytes &data = {}) {
  std::vector<u8> r;
  z21_put(&r, header, data.data(), data.size());
  return r;
}

bytes cat(std::initializer_list<bytes> parts) {
  bytes r;
  for (const bytes &p : parts) r.insert(r.end(), p.begin(), p.end());
  return r;
}

TEST(Z21Records, EveryRecordOfADatagramAndOnlyWholeOnes) {
  const bytes ack = ack_bytes(0x7F), reply = reply_bytes(1235, 145, 5);
  const bytes sel =
      sealed({0xED, 0x0F, 0x01, 0x05, 0x00, 0x21, 0x41, 0x53, 0x04, 0x00, 0x00, 0x0C, 0x00, 0x00});
  const struct {
    const char *what;
    bytes datagram;
    std::string records;  // "header:length" of each record found
    std::string queued;   // the LocoNet messages z21_take queues
  } cases[] = {
      {"packed", cat({rec(0xA0, reply), rec(0xA0, ack), rec(0xA2, sel)}), "a0:15 a0:4 a2:15",
       hex(reply) + "|" + hex(ack) + "|" + hex(sel)},
      {"the station's own, unknown and empty records",
       cat({rec(0x51, {0, 0, 0, 1}), rec(0x40, {0x61, 0x01, 0x60}), rec(0xA0), rec(0x1234),
            rec(0xA1, ack)}),
       "51:4 40:3 a0:0 1234:0 a1:4", hex(ack)},
      {"a length below 4 ends the datagram", cat({rec(0xA0, ack), {3, 0, 0xA0, 0}, rec(0xA0, ack)}),
       "a0:4", hex(ack)},
      {"a length of 0", cat({{0, 0, 0xA0, 0}, rec(0xA0, ack)}), "", ""},
      {"a length past the end", cat({rec(0xA0, ack), {40, 0, 0xA0, 0}, ack}), "a0:4", hex(ack)},
      {"fewer than 4 bytes left", cat({rec(0xA0, ack), {9, 0}}), "a0:4", hex(ack)},
      {"empty", {}, "", ""},
      // Noise in a record is dropped as on a serial line; the message after it is kept.
      {"noise before a message", rec(0xA0, cat({{0x12, 0x34, 0xB4, 0x6D}, ack})), "a0:8", hex(ack)},
  };
  for (const auto &c : cases) {
    std::string found;
    z21_split(
        c.datagram.data(), c.datagram.size(),
        [](void *arg, const z21_record_t &r) {
          char b[32];
          snprintf(b, sizeof b, "%s%x:%zu", static_cast<std::string *>(arg)->empty() ? "" : " ",
                   static_cast<unsigned>(r.header), r.len);
          *static_cast<std::string *>(arg) += b;
        },
        &found);
    EXPECT_EQ(found, c.records) << c.what;
    lif_t *f = lif_framer();
    z21_take(f, c.datagram.data(), c.datagram.size());
    std::string queued;
    for (bytes m; rig_next(f, 0, &m);) queued += (queued.empty() ? "" : "|") + hex(m);
    EXPECT_EQ(queued, c.queued) << c.what;
    lif_detach(f);
  }
}

// A message whose bytes come in two records, of two datagrams, is framed
// whole, as on a serial line whose bytes come in two reads.
TEST(Z21Records, AMessageAcrossRecords) {
  const bytes reply = reply_bytes(1235, 0, 12);
  const bytes a = rec(0xA0, bytes(reply.begin(), reply.begin() + 6));
  const bytes b = rec(0xA1, bytes(reply.begin() + 6, reply.end()));
  lif_t *f = lif_framer();
  z21_take(f, a.data(), a.size());
  z21_take(f, b.data(), b.size());
  bytes m;
  ASSERT_TRUE(rig_next(f, 0, &m));
  EXPECT_EQ(hex(m), hex(reply));
  lif_detach(f);
}

// --- The tool through lnsim's station -------------------------------------------

sim_opts station(std::vector<u16> modules) {
  sim_opts o;
  o.modules = std::move(modules);
  o.z21 = "127.0.0.1:0";
  return o;
}

std::string where(sim_rig &m) { return "127.0.0.1:" + std::to_string(lnsim_z21_port(m.s)); }

std::string lines(std::initializer_list<unsigned> addrs) {
  std::string s;
  for (unsigned a : addrs) s += default_line(a);
  return s;
}

// Every mode as over any other kind; a station without a LocoNet socket, or
// with firmware before the tunnel, is named in a warning and the run goes on.
TEST(Z21Tool, EveryModeAndWhatTheStationIs) {
  const struct {
    unsigned hw, fw;
    std::string warning;
  } cases[] = {
      {0x200, 0x0143, ""},
      {0x211, 0x0120, ""},
      {0x203, 0x0143,
       " is a white z21 (hardware type 0x203), which has no LocoNet socket: no module can "
       "answer\n"},
      {0x201, 0x0112, " has firmware 1.12, which passes no LocoNet messages: 1.20 or later does\n"},
  };
  for (const auto &c : cases) {
    sim_opts o = station({1, 2, 3});
    o.z21_hw = c.hw;
    o.z21_fw = c.fw;
    sim_rig m(o);
    const std::string warning = c.warning.empty() ? "" : where(m) + c.warning;
    const proc_result r = proc_run({SENS_BIN, "-r", "z21", where(m), "1-4"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, lines({1, 2, 3})) << c.hw;
    EXPECT_EQ(r.err, warning + "No response from 4\n") << c.hw;
    const proc_result d = proc_run({SENS_BIN, "-d", "z21", where(m)});
    EXPECT_EQ(d.err + d.out, warning + "1-3\n") << c.hw;
    proc_opts w;
    w.in = "2: 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 9\n";
    const proc_result wr = proc_run({SENS_BIN, "-w", "z21", where(m)}, w);
    EXPECT_EQ(std::to_string(wr.status) + wr.err, "0" + warning) << c.hw;
    EXPECT_EQ(m.cvs(2), " 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 9") << c.hw;
    EXPECT_TRUE(m.wait_clean().empty()) << c.hw;
    EXPECT_TRUE(m.logged("logged off")) << c.hw;
  }
}

// Two modules at one address double every broadcast's answers: reported
// through a station too, where it takes two broadcasts that bring it twice.
TEST(Z21Tool, TwoModulesAtOneAddressAreReported) {
  sim_opts o = station({1, 2});
  o.twins = {2};
  sim_rig m(o);
  const proc_result d = proc_run({SENS_BIN, "-d", "z21", where(m)});
  EXPECT_EQ(d.err + d.out, "Module address 2 answered twice: two modules may share it\n1-2\n");
}

// A tenth of the datagrams lost each way: a module may go unread ("No
// response"), but no value printed or written is wrong, and every release
// reaches the bus, so no module is left in programming mode.
TEST(Z21Tool, LostDatagramsLeaveNoModuleSelectedAndNoWrongValue) {
  for (unsigned seed = 1; seed <= 3; ++seed) {
    sim_opts o = station({1, 2, 3, 4});
    o.z21_loss = 0.1;
    o.seed = seed;
    sim_rig m(o);
    const std::string what = "seed " + std::to_string(seed);
    const proc_result r = proc_run({SENS_BIN, "-r", "z21", where(m), "1-4"});
    EXPECT_EQ(r.status, 0) << what;
    for (unsigned a = 1; a <= 4; ++a) {
      const bool printed = r.out.find(default_line(a)) != std::string::npos;
      const bool silent =
          r.err.find("No response from " + std::to_string(a) + "\n") != std::string::npos;
      EXPECT_NE(printed, silent) << what << ": module " << a << "\n" << r.out << r.err;
    }
    EXPECT_TRUE(m.wait_clean().empty()) << what;
    proc_opts w;
    for (unsigned a = 1; a <= 4; ++a)
      w.in += std::to_string(a) + ": 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 " + std::to_string(seed) +
              "\n";
    const proc_result wr = proc_run({SENS_BIN, "-w", "z21", where(m)}, w);
    EXPECT_EQ(wr.status, 0) << what;
    for (unsigned a = 1; a <= 4; ++a) {
      const std::string cvs = m.cvs(static_cast<u16>(a));
      // Written and verified, or reported; never passed off as written.
      if (wr.err.find(" " + std::to_string(a) + "\n") == std::string::npos &&
          wr.err.find("module " + std::to_string(a) + ":") == std::string::npos) {
        EXPECT_EQ(cvs, " 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 " + std::to_string(seed))
            << what << ": module " << a << "\n"
            << wr.err;
      }
    }
    EXPECT_TRUE(m.wait_clean().empty()) << what;
    const proc_result d = proc_run({SENS_BIN, "-d", "z21", where(m)});
    EXPECT_EQ(d.status, 0) << what;
    EXPECT_TRUE(m.wait_clean().empty()) << what;
  }
}

// A station that is not there says nothing; one whose port is closed refuses
// (ICMP). Either ends the run before any LocoNet message is sent.
TEST(Z21Tool, StationNotThereOrRefusing) {
  const int mute = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(mute, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    close(mute);
    FAIL() << "no loopback port to bind";
  }
  socklen_t len = sizeof sa;
  getsockname(mute, reinterpret_cast<sockaddr *>(&sa), &len);
  const std::string there = "127.0.0.1:" + std::to_string(ntohs(sa.sin_port));
  proc_result r = proc_run({SENS_BIN, "-r", "z21", there, "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Can't open " + there + ": no Z21 answered within 3 s\n");
  EXPECT_GE(r.wall_ms, 2900);
  // What it sent: subscriptions and questions, never a LocoNet record.
  for (u8 buf[2048];;) {
    const ssize_t n = recv(mute, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0) break;
    z21_split(
        buf, static_cast<std::size_t>(n),
        [](void *, const z21_record_t &rec) {
          EXPECT_TRUE(rec.header == Z21_SET_BROADCASTFLAGS ||
                      rec.header == Z21_GET_BROADCASTFLAGS || rec.header == Z21_GET_HWINFO)
              << rec.header;
        },
        nullptr);
  }
  close(mute);  // nothing listens there now
  r = proc_run({SENS_BIN, "-w", "z21", there});
  EXPECT_EQ(r.status, 1);
  if (!proc_windows()) {
    EXPECT_EQ(r.err, "Can't open " + there + ": Connection refused (errno: 111)\n");
  }
  EXPECT_LT(r.wall_ms, 2000) << "refused at once, not after the three seconds";
}

// The station forgets a client that has sent nothing for a while: a write
// whose input pauses longer than that still reaches the module after the pause.
TEST(Z21Tool, ForgottenClientReachesTheModulesAfterThePause) {
  sim_opts o = station({1, 2});
  o.z21_forget_ms = 1500;
  sim_rig m(o);
  tmp_dir t;
  const std::string fifo = t.path + "/in";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::thread feeder([&] {
    const int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    const std::string first = "1: 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5\n";
    const std::string second = "2: 6 6 6 6 6 6 6 6 6 6 6 6 6 6 6 6\n";
    EXPECT_EQ(write(fd, first.data(), first.size()), static_cast<ssize_t>(first.size()));
    // Both of its sockets forgotten, after the first module is written.
    EXPECT_TRUE(m.logged("forgotten", 10000));
    EXPECT_TRUE(m.logged("forgotten", 10000));
    EXPECT_EQ(write(fd, second.data(), second.size()), static_cast<ssize_t>(second.size()));
    close(fd);
  });
  proc_opts w;
  w.stdin_path = fifo;
  const proc_result r = proc_run({SENS_BIN, "-w", "z21", where(m)}, w);
  feeder.join();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(m.cvs(1), " 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5");
  EXPECT_EQ(m.cvs(2), " 6 6 6 6 6 6 6 6 6 6 6 6 6 6 6 6");
  EXPECT_TRUE(m.wait_clean().empty());
}

// Ctrl-C in the middle of a read: the module being read is released, and
// the station hears the logoff of both sockets after it.
TEST(Z21Tool, SignalReleasesAndLogsOff) {
  sim_opts o = station({1, 2, 3});
  sim_rig m(o);
  std::thread killer;
  proc_opts po;
  po.started = [&](int pid) {
    killer = std::thread([&, pid] {
      m.wait_sent(12);  // inside module 1's reads
      kill(pid, SIGINT);
    });
  };
  const proc_result r = proc_run({SENS_BIN, "-r", "z21", where(m), "1-3"}, po);
  killer.join();
  EXPECT_TRUE(proc_ended_by(r, SIGINT)) << r.status << " " << r.err;
  EXPECT_TRUE(m.wait_clean().empty());
  EXPECT_TRUE(m.logged("logged off"));
  EXPECT_TRUE(m.logged("logged off"));
}

}  // namespace
