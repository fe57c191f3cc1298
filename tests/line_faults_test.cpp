// Faults of the line, end to end: the interface vanishing in the middle of a
// read or a write, ports that are not serial lines at all, an interface that
// never takes a byte, a flood of unrelated traffic, and a bridge over TCP.
// The tool must end with status 1 and one clear line within about a second,
// never spin, and never lose what it had already written.
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "ln_rig.h"
#include "proc.h"
#include "pty.h"
#include "sim_rig.h"
#include "tmp.h"

namespace {

using clk = std::chrono::steady_clock;

double secs_since(clk::time_point t0) {
  return std::chrono::duration<double>(clk::now() - t0).count();
}

/// A read blocked in the kernel when the pty's master goes gets EIO; one that
/// starts afterwards returns 0, the end of file. Both are right.
bool fatal_line_io(const std::string &err) {
  return err == "Can't read from LocoNet interface: Input/output error (errno: 5)\n" ||
         err == "Can't read from LocoNet interface: end of file\n" ||
         err == "Can't write to LocoNet interface: Input/output error (errno: 5)\n";
}

/// Runs sens in the background of the test; the result lands in *r.
std::thread sens_async(std::vector<std::string> args, std::string in, proc_result *r,
                       clk::time_point *ended) {
  args.insert(args.begin(), SENS_BIN);
  return std::thread([args = std::move(args), in = std::move(in), r, ended] {
    proc_opts o;
    o.in = in;
    *r = proc_run(args, o);
    *ended = clk::now();
  });
}

/// Closes the interface under a running sens once the host has sent n
/// messages: lnsim stops and its side of the pty goes, as when the interface
/// is unplugged. The time it went.
clk::time_point vanish(sim_rig *m, std::size_t n) {
  EXPECT_GE(m->wait_sent(n).size(), n);
  lnsim_stop(m->s);
  m->s = nullptr;
  return clk::now();
}

TEST(LineFaults, InterfaceVanishesDuringARead) {
  sim_opts o;
  o.modules = {};
  for (u16 a = 1; a <= 20; ++a) o.modules.push_back(a);
  sim_rig m(o);
  proc_result r;
  clk::time_point ended;
  std::thread t = sens_async({"-r", "locobuffer", m.path(), "1-20"}, "", &r, &ended);
  // A read sends 2 messages, then 18 a module: three modules are done.
  const clk::time_point killed = vanish(&m, 2 + 3 * 18 + 1);
  t.join();

  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(fatal_line_io(r.err)) << r.err;
  EXPECT_LT(std::chrono::duration<double>(ended - killed).count(), rig_scaled_ms(1000) / 1e3);
  // Lines printed before the end are whole and right.
  std::istringstream out(r.out);
  unsigned addr = 1;
  for (std::string line; std::getline(out, line); ++addr)
    EXPECT_EQ(line + "\n", default_line(addr));
  EXPECT_GT(addr, 1u) << "the kill came before the first module was read";
  EXPECT_LT(addr, 21u) << "the kill came after the run";
}

TEST(LineFaults, InterfaceVanishesDuringAWriteLosesNothingWritten) {
  tmp_dir dir;
  const std::string state = dir.path + "/state";
  sim_opts o;
  o.modules = {};
  for (u16 a = 1; a <= 20; ++a) o.modules.push_back(a);
  o.state_file = state;
  sim_rig m(o);
  std::string in;
  for (unsigned a = 1; a <= 20; ++a) {
    in += std::to_string(a) + ":";
    for (unsigned i = 0; i < 16; ++i) in += " " + std::to_string(200 + i);
    in += "\n";
  }
  proc_result r;
  clk::time_point ended;
  std::thread t = sens_async({"-w", "locobuffer", m.path()}, in, &r, &ended);
  // A write sends 1 message, then 35 a module: two modules and a half are done.
  const clk::time_point killed = vanish(&m, 1 + 2 * 35 + 18);
  t.join();

  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(fatal_line_io(r.err)) << r.err;
  EXPECT_LT(std::chrono::duration<double>(ended - killed).count(), rig_scaled_ms(1000) / 1e3);
  // Writes go out strictly in order, and each acknowledged one was on disk
  // first: the file holds new values up to some CV and old ones after it.
  std::ifstream f(state);
  unsigned written = 0, total = 0;
  bool old_seen = false;
  for (std::string line; std::getline(f, line);) {
    std::istringstream ls(line);
    unsigned addr;
    char colon;
    ls >> addr >> colon;
    for (unsigned i = 0, v; i < 16 && ls >> v; ++i, ++total) {
      const bool fresh = v == 200 + i;
      if (!fresh) {
        EXPECT_EQ(v, (addr * 16 + i) & 0xFF) << "module " << addr << " CV " << 145 + i;
        old_seen = true;
      } else {
        EXPECT_FALSE(old_seen) << "a new value after an old one: module " << addr;
        ++written;
      }
    }
  }
  EXPECT_EQ(total, 20u * 16u);
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, total);
}

TEST(LineFaults, PortsThatAreNotSerialLines) {
  tmp_dir dir;
  const std::string file = dir.path + "/port";
  std::ofstream(file) << "not a serial line";
  for (const std::string &port : {std::string("/dev/null"), file}) {
    const clk::time_point t0 = clk::now();
    const proc_result r = proc_run({SENS_BIN, "-r", "locobuffer", port, "1"});
    EXPECT_EQ(r.status, 1) << port;
    EXPECT_EQ(r.err, "Can't read from LocoNet interface: end of file\n") << port;
    EXPECT_EQ(r.out, "") << port;
    EXPECT_LT(secs_since(t0), rig_scaled_ms(2000) / 1e3) << port;
  }
}

TEST(LineFaults, InterfaceThatNeverTakesAByte) {
  test_pty p;
  ASSERT_TRUE(test_pty_open(&p));
  // Nobody reads the master: fill the line's output buffer until it refuses.
  // The kernel moves bytes on to the master's side in the background, so the
  // line is full only when it still refuses bytes after a pause.
  fcntl(p.slave, F_SETFL, O_NONBLOCK);
  const char block[256] = {};
  for (int round = 0; round < 100; ++round) {
    while (write(p.slave, block, sizeof block) > 0) {
    }
    struct pollfd pf = {p.slave, POLLOUT, 0};
    if (poll(&pf, 1, 200) == 0) break;
  }
  const clk::time_point t0 = clk::now();
  const proc_result r = proc_run({SENS_BIN, "-r", "locobuffer", p.path, "1"});
  const double took = secs_since(t0);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Can't write to LocoNet interface: timed out\n");
  EXPECT_GT(took, 0.9);
  EXPECT_LT(took, rig_scaled_ms(3000) / 1e3);
}

TEST(LineFaults, FloodOfUnrelatedTrafficDuringExchanges) {
  sim_opts o;
  o.modules = {1, 2, 3};
  o.noise = 1.0;
  o.impostor = {2};
  o.seed = 7;
  std::string err;
  lnsim *sim = lnsim_start(&o, &err);
  ASSERT_NE(sim, nullptr) << err;
  // A second talker on the same line: every message it sends comes back as
  // an echo to sens as well, a power-up burst of sensor reports without end.
  const int fd = open(lnsim_path(sim), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  std::atomic<bool> stop{false};
  std::thread flood([&] {
    const unsigned char report[] = {0xB2, 0x12, 0x34, 0x6B, 0x81, 0x7E};
    while (!stop) {
      if (write(fd, report, sizeof report) < 0) break;
      std::this_thread::sleep_for(std::chrono::microseconds(700));
    }
  });
  const proc_result r = proc_run({SENS_BIN, "-r", "locobuffer", lnsim_path(sim), "1-3"});
  stop = true;
  flood.join();
  close(fd);
  lnsim_stop(sim);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, default_line(1) + default_line(2) + default_line(3));
  EXPECT_EQ(r.err, "");
}

const std::string SOCAT = "/usr/bin/socat";

bool have_socat() { return access(SOCAT.c_str(), X_OK) == 0; }

/// Reads p's stdout until a line holding what comes; false at its end.
bool wait_line(proc_bg *p, const std::string &what) {
  for (std::string line; proc_read_line(p, &line, 5000);)
    if (line.find(what) != std::string::npos) return true;
  return false;
}

TEST(LineFaults, ThroughATcpBridgeOnLoopback) {
  if (!have_socat()) GTEST_SKIP() << "socat is not installed";
  tmp_dir dir;
  const std::string state = dir.path + "/state";
  sim_opts o;
  o.modules = {1, 2, 3};
  o.state_file = state;
  std::string err;
  lnsim *sim = lnsim_start(&o, &err);
  ASSERT_NE(sim, nullptr) << err;
  // There: the interface served on a TCP port. Here: a local pty that a user
  // hands to sens. Port 0 is not possible with socat, so pick one from the pid.
  const std::string tcp = std::to_string(20000 + getpid() % 20000);
  const std::string link = dir.path + "/ln0";
  // socat's notices (-d -d) on its stdout tell when it listens, and when the
  // pty is there and connected.
  proc_bg there, here;
  ASSERT_TRUE(proc_start(&there, {SOCAT, "-d", "-d", "-lf", "/dev/stdout",
                                  "TCP-LISTEN:" + tcp + ",bind=127.0.0.1,reuseaddr",
                                  std::string("FILE:") + lnsim_path(sim) + ",raw,echo=0"}));
  ASSERT_TRUE(wait_line(&there, "listening on"));
  ASSERT_TRUE(proc_start(&here, {SOCAT, "-d", "-d", "-lf", "/dev/stdout",
                                 "PTY,link=" + link + ",raw,echo=0", "TCP:127.0.0.1:" + tcp}));
  ASSERT_TRUE(wait_line(&here, "starting data transfer loop"));

  const proc_result rd = proc_run({SENS_BIN, "-r", "locobuffer", link, "1-4"});
  EXPECT_EQ(rd.status, 0);
  EXPECT_EQ(rd.out, default_line(1) + default_line(2) + default_line(3));
  EXPECT_EQ(rd.err, "No response from 4\n");
  const std::string edited = "2: 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9\r\n";
  const proc_result wr = proc_run({SENS_BIN, "-w", "locobuffer", link}, {edited, "", 20000, {}});
  EXPECT_EQ(wr.status, 0);
  EXPECT_EQ(wr.err, "");
  u16 v = 0;
  EXPECT_TRUE(lnsim_get_cv(sim, 2, 160, &v));
  EXPECT_EQ(v, 9);

  proc_stop(&here, SIGTERM, 2000);
  proc_stop(&there, SIGTERM, 2000);
  lnsim_stop(sim);
}

const std::string SER2NET = "/usr/sbin/ser2net";

/// A TCP port on 127.0.0.1 that was free a moment ago.
unsigned free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0)
    sa.sin_port = 0;
  close(fd);
  return ntohs(sa.sin_port);
}

/// Whether something accepts connections on 127.0.0.1:port within ms. A
/// server that says nothing when it is ready can only be asked this way.
bool accepts(unsigned port, int ms) {
  for (int left = ms; left > 0; left -= 10) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<u16>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    close(fd);
    if (ok) return true;
    rig_sleep_ms(10);
  }
  return false;
}

// The raw kind through Debian's ser2net serving lnsim's pseudo-terminal, as it
// would serve an interface's serial port on another machine.
TEST(LineFaults, RawKindThroughSer2net) {
  if (access(SER2NET.c_str(), X_OK) != 0) GTEST_SKIP() << "ser2net is not installed";
  sim_opts o;
  o.modules = {1, 2, 3};
  sim_rig m(o);
  tmp_dir dir;
  const unsigned port = free_port();
  std::ofstream(dir.path + "/ser2net.yaml")
      << "connection: &lnsim\n  accepter: tcp,127.0.0.1," << port << "\n  connector: serialdev,"
      << m.path() << ",57600n81,local\n";
  proc_bg ser2net;
  ASSERT_TRUE(proc_start(
      &ser2net, {SER2NET, "-n", "-u", "-c", dir.path + "/ser2net.yaml", "-P", dir.path + "/pid"}));
  ASSERT_TRUE(accepts(port, rig_scaled_ms(5000)));
  const std::string at = "127.0.0.1:" + std::to_string(port);
  const proc_result rd = proc_run({SENS_BIN, "-r", "tcp", at, "1-4"});
  EXPECT_EQ(rd.status, 0);
  EXPECT_EQ(rd.out, default_line(1) + default_line(2) + default_line(3));
  EXPECT_EQ(rd.err, "No response from 4\n");
  proc_opts w;
  w.in = "2: 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9\r\n";
  const proc_result wr = proc_run({SENS_BIN, "-w", "tcp", at}, w);
  EXPECT_EQ(wr.status, 0);
  EXPECT_EQ(wr.err, "");
  EXPECT_EQ(m.cvs(2), " 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9");
  EXPECT_TRUE(m.wait_clean().empty());
  proc_stop(&ser2net, SIGTERM, rig_scaled_ms(2000));
}

}  // namespace
