// Opening the port: name mapping, line settings, and a working interface.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include <cstdarg>
#include <linux/serial.h>

#include "end.h"
#include "ln_rig.h"
#include "proc.h"
#include "pty.h"

namespace {

TEST(PortPath, ComNamesMapToTtyS) {
  const struct {
    const char *name, *path;
  } cases[] = {
      {"com1", "/dev/ttyS0"},
      {"com3", "/dev/ttyS2"},
      {"com10", "/dev/ttyS9"},
      {"com", "/dev/ttyS4294967295"},  // no digits: N is 0, N - 1 wraps
      {"com0", "/dev/ttyS4294967295"},
      {"comx", "/dev/ttyS4294967295"},
      {"com 5", "/dev/ttyS4"},  // white space before the number is read over
      {"com-1", "/dev/ttyS4294967294"},
      {"com4294967296", "/dev/ttyS4294967294"},
      {"com3x", "/dev/ttyS2"},
      {"COM3", "COM3"},  // the prefix is case-sensitive
      {"Com3", "Com3"},
      {"/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"/dev/com3", "/dev/com3"},
      {"co", "co"},
  };
  for (const auto &c : cases) EXPECT_EQ(lif_port_path(c.name), c.path) << c.name;
}

TEST(Open, UnknownTypeGivesNullAndLeavesThePortAlone) {
  test_pty p;
  ASSERT_TRUE(test_pty_open(&p));
  struct termios before = {};
  ASSERT_EQ(tcgetattr(p.slave, &before), 0);
  cfsetispeed(&before, B9600);
  cfsetospeed(&before, B9600);
  ASSERT_EQ(tcsetattr(p.slave, TCSANOW, &before), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(lif_open(p.path.c_str(), name2lif.size()), nullptr);
  EXPECT_EQ(lif_open(p.path.c_str(), UINT_MAX), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  struct termios after = {};
  ASSERT_EQ(tcgetattr(p.slave, &after), 0);
  EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600));
}

TEST(Open, FailureNamesTheMappedPath) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(lif_open("com", 0), ::testing::ExitedWithCode(1),
              "^Can't open /dev/ttyS4294967295: No such file or directory \\(errno: 2\\)\n$");
  // Another system error, with nothing to create or clean up.
  EXPECT_EXIT(lif_open("/dev/null/ttyUSB0", 1), ::testing::ExitedWithCode(1),
              "^Can't open /dev/null/ttyUSB0: Not a directory \\(errno: 20\\)\n$");
}

/// Line settings lif_open left on a fresh pty for iftype.
struct termios settings_for(unsigned iftype) {
  test_pty p;
  EXPECT_TRUE(test_pty_open(&p));
  // Start from settings lif_open must override, so nothing passes by luck.
  struct termios noisy = {};
  tcgetattr(p.slave, &noisy);
  noisy.c_iflag |= ICRNL | IXON;
  noisy.c_oflag |= OPOST | ONLCR;
  noisy.c_lflag |= ECHO | ICANON | ISIG;
  noisy.c_cc[VMIN] = 5;
  noisy.c_cc[VTIME] = 3;
  tcsetattr(p.slave, TCSANOW, &noisy);
  EXPECT_NE(lif_open(p.path.c_str(), iftype), nullptr);
  struct termios t = {};
  EXPECT_EQ(tcgetattr(p.slave, &t), 0);
  return t;
}

void expect_raw(const struct termios &t) {
  EXPECT_EQ(t.c_iflag, 0u);
  EXPECT_EQ(t.c_oflag, 0u);
  EXPECT_EQ(t.c_lflag, 0u);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | HUPCL), 0u);
  for (unsigned i = 0; i < NCCS; ++i) {
    if (i == VMIN) continue;
    EXPECT_EQ(t.c_cc[i], 0) << "c_cc[" << i << "]";
  }
  EXPECT_EQ(t.c_cc[VMIN], 1);
}

TEST(Open, LocoBufferIs57600WithHardwareFlowControl) {
  const struct termios t = settings_for(0);
  expect_raw(t);
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B57600));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
  EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
}

TEST(Open, Usb63120Is115200WithoutFlowControl) {
  const struct termios t = settings_for(1);
  expect_raw(t);
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
}

TEST(Open, PortNeverBecomesTheControllingTerminal) {
  // A session leader without a terminal acquires the first tty it opens
  // unless the open says otherwise.
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (setsid() < 0) _exit(2);
    test_pty p;
    if (!test_pty_open(&p)) _exit(3);
    if (lif_open(p.path.c_str(), 1) == nullptr) _exit(4);
    const int tty = open("/dev/tty", O_RDWR | O_NOCTTY);
    _exit(tty < 0 && errno == ENXIO ? 0 : 5);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Open, InterfaceCarriesMessagesBothWays) {
  test_pty p;
  ASSERT_TRUE(test_pty_open(&p));
  lif_t *lif = lif_open(p.path.c_str(), 1);
  ASSERT_NE(lif, nullptr);

  // Bytes a tty would translate (CR, XOFF, ^C) must pass untouched.
  const bytes in = sealed({0xE5, 0x07, 0x0D, 0x13, 0x03, 0x0A});
  ASSERT_TRUE(rig_write(p.master, in));
  bytes got;
  ASSERT_TRUE(rig_next(lif, 2000, &got));
  EXPECT_EQ(hex(got), hex(in));

  ln_msg_t *m = ln_msg_alloc(lif);
  const u8 out[] = {0xE5, 0x07, 0x0A, 0x0D, 0x11, 0x7F};
  std::copy(out, out + 6, m->msg);
  m->len = 7;
  ln_msg_tx(lif, m);
  EXPECT_EQ(hex(rig_read_n(p.master, 7, 2000)), hex(sealed(bytes(out, out + 6))));
  ln_msg_free(lif, m);
  // No echo: nothing comes back to the reader.
  EXPECT_FALSE(rig_next(lif, 100, &got));
}

// --- The port for this process alone ---------------------------------------------

/// sens on a port, with the message a port held by someone else gets.
proc_result sens_on(const std::string &port) {
  return proc_run({SENS_BIN, "-r", "locobuffer", port, "1"}, {});
}

std::string busy(const std::string &path) {
  return "Can't open " + path + ": Device or resource busy (errno: 16)\n";
}

bool exclusive(int fd) {
  int excl = 0;
  return ioctl(fd, TIOCGEXCL, &excl) == 0 && excl != 0;
}

// The layout's control program, or a second sens, has the port: two readers
// of one line would each lose the bytes the other took.
TEST(Open, PortHeldByAnotherProgramIsRefusedBeforeAnythingIsSent) {
  test_pty held_by_sens, locked, flagged;
  ASSERT_TRUE(test_pty_open(&held_by_sens) && test_pty_open(&locked) && test_pty_open(&flagged));
  ASSERT_NE(lif_open(held_by_sens.path.c_str(), 0), nullptr);  // both ways at once
  const int lk = open(locked.path.c_str(), O_RDWR | O_NOCTTY);
  EXPECT_EQ(flock(lk, LOCK_EX), 0);
  const int fl = open(flagged.path.c_str(), O_RDWR | O_NOCTTY);
  EXPECT_EQ(ioctl(fl, TIOCEXCL), 0);
  for (const test_pty *p : {&held_by_sens, &locked, &flagged}) {
    const proc_result r = sens_on(p->path);
    EXPECT_EQ(r.status, 1) << p->path;
    EXPECT_EQ(r.err, busy(p->path));
    EXPECT_TRUE(rig_drain(p->master, 100).empty()) << "nothing sent";
  }
  close(lk);
  close(fl);
}

// The flag outlives the run while lnsim (or anyone) keeps the terminal open,
// and would lock the next unprivileged run out: every end clears it.
TEST(Open, ClaimEndsWithTheRun) {
  test_pty p;
  ASSERT_TRUE(test_pty_open(&p));
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{SENS_BIN, "-r", "locobuffer", p.path, "1"},  // no module answers
        {SENS_BIN, "-x", "locobuffer", p.path},            // usage error after the open
        {SENS_BIN, "-r", "locobuffer", p.path, "1-9"}}) {  // a signal mid-run
    proc_opts o;
    if (args.back() == "1-9")
      o.started = [&p](int pid) {
        rig_read_n(p.master, std::size_t{3} * PROG_LEN, 5000);  // release of 0, the sweep, a select
        kill(pid, SIGTERM);
      };
    const proc_result r = proc_run(args, o);
    EXPECT_FALSE(r.timed_out);
    EXPECT_FALSE(exclusive(p.slave)) << args[1] << " " << args.back();
  }
}

// A LocoBuffer that holds CTS off with output pending would keep a draining
// tcsetattr waiting for good; without CLOCAL yet, a serial open waits for a
// carrier. Neither may happen.
int last_tcsetattr_action = -1;

}  // namespace

// The linker's --wrap fixes these names.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" int __real_tcsetattr(int fd, int action, const struct termios *t);
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" int __wrap_tcsetattr(int fd, int action, const struct termios *t) {
  last_tcsetattr_action = action;
  return __real_tcsetattr(fd, action, t);
}

namespace {

// A USB adapter's driver, played by the test: what TIOCGSERIAL shows and
// TIOCSSERIAL last set. A pty refuses both.
bool usb = false;
int usb_flags = 0;

}  // namespace

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" int __real_ioctl(int fd, unsigned long req, ...);
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" int __wrap_ioctl(int fd, unsigned long req, ...) {
  va_list ap;
  va_start(ap, req);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  auto *ss = static_cast<struct serial_struct *>(arg);
  if (usb && req == TIOCGSERIAL) {
    *ss = {};
    ss->flags = usb_flags;
  }
  if (usb && req == TIOCSSERIAL) usb_flags = ss->flags;
  return usb && (req == TIOCGSERIAL || req == TIOCSSERIAL) ? 0 : __real_ioctl(fd, req, arg);
}

namespace {

// Such an adapter hands replies over every 16 ms unless in low-latency mode:
// the run sets the flag, and its end puts back the flags it found.
TEST(Open, UsbAdapterIsInLowLatencyModeForTheRun) {
  test_pty p;
  ASSERT_TRUE(test_pty_open(&p));
  usb = true;
  usb_flags = ASYNC_SKIP_TEST;
  ASSERT_NE(lif_open(p.path.c_str(), 0), nullptr);
  EXPECT_EQ(usb_flags, ASYNC_SKIP_TEST | ASYNC_LOW_LATENCY);
  lif_end_unclaim();
  EXPECT_EQ(usb_flags, ASYNC_SKIP_TEST);
}

TEST(Open, OpeningNeverWaits) {
  test_pty p;
  ASSERT_TRUE(test_pty_open(&p));
  lif_t *lif = lif_open(p.path.c_str(), 0);
  ASSERT_NE(lif, nullptr);
  EXPECT_EQ(last_tcsetattr_action, TCSANOW);
  EXPECT_EQ(fcntl(lif->fd, F_GETFL) & O_NONBLOCK, 0) << "the reader blocks in read()";
}

// What the line received before the run (late replies of a run that ended,
// another program's traffic) is no part of this one.
TEST(Open, InputFromBeforeTheOpenIsDiscarded) {
  test_pty p;
  ASSERT_TRUE(test_pty_open(&p));
  const bytes stale = reply_bytes(1235, 0, 7);  // would pass for module 7 left selected
  ASSERT_TRUE(rig_write(p.master, stale));
  lif_t *lif = lif_open(p.path.c_str(), 1);
  ASSERT_NE(lif, nullptr);
  const bytes live = sealed({0xB2, 0x12, 0x34});
  ASSERT_TRUE(rig_write(p.master, live));
  bytes got;
  ASSERT_TRUE(rig_next(lif, rig_scaled_ms(2000), &got));
  EXPECT_EQ(hex(got), hex(live));
}

}  // namespace
