// The tool's standard streams: output that cannot be written, descriptors a
// script closed, and the progress line a person at a terminal sees.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "ln_rig.h"
#include "proc.h"
#include "pty.h"
#include "sim_rig.h"

namespace {

sim_opts modules(std::vector<u16> addrs) {
  sim_opts o;
  o.modules = std::move(addrs);
  return o;
}

// Exit 0 must mean every line reached its destination.
TEST(Streams, OutputThatCannotBeWrittenIsAnError) {
  sim_rig m(modules({1, 2}));
  struct {
    proc_opts o;
    std::string err;
  } cases[2];
  cases[0].o.stdout_path = "/dev/full";  // a full disk
  cases[0].err = "Can't write output: No space left on device (errno: 28)\n";
  cases[1].o.stdout_gone = true;  // `| head -c0`: the reader of the pipe went away
  cases[1].err = "Can't write output: Broken pipe (errno: 32)\n";
  for (const auto &c : cases) {
    const proc_result r = proc_run({SENS_BIN, "-r", "locobuffer", m.path(), "1-2"}, c.o);
    EXPECT_EQ(r.status, 1) << c.err;
    EXPECT_EQ(r.signal, 0) << "not killed by SIGPIPE";
    EXPECT_EQ(r.err, c.err);
    EXPECT_TRUE(m.wait_clean().empty());
  }
}

/// The target of the child's descriptor fd, once the child has the port
/// open (its descriptors 0 to 2 are settled by then).
std::string fd_once_open(int pid, int fd, const std::string &port) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
  char target[PATH_MAX];
  for (int tries = rig_scaled_ms(5000); tries > 0; --tries) {
    for (int f = 0; f < 16; ++f) {
      const ssize_t n = readlink((dir + std::to_string(f)).c_str(), target, sizeof target - 1);
      if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == port) {
        if (f <= 2) return "the port took descriptor " + std::to_string(f);
        const ssize_t k = readlink((dir + std::to_string(fd)).c_str(), target, sizeof target - 1);
        return k > 0 ? std::string(target, static_cast<std::size_t>(k)) : "";
      }
    }
    rig_sleep_ms(1);
  }
  return "port never opened";
}

// A script that starts sens with a descriptor closed (`>&-`, `<&-`): the port
// would take its number, and sens lines would go onto the LocoNet line, or
// write mode would read its input from the port.
TEST(Streams, ClosedStandardDescriptorsNeverBecomeThePort) {
  sim_rig m(modules({1}));
  for (int fd : {0, 1, 2}) {
    proc_opts o;
    o.closed = {fd};
    o.in = "1: 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\n";
    std::string target;
    o.started = [&](int pid) { target = fd_once_open(pid, fd, m.path()); };
    const proc_result r = proc_run({SENS_BIN, "-r", "locobuffer", m.path(), "1"}, o);
    EXPECT_EQ(r.status, 0) << fd;
    EXPECT_EQ(target, "/dev/null") << fd;
  }
  // Write mode with no input at all: nothing is read from the port, nothing sent.
  proc_opts o;
  o.closed = {0};
  const proc_result r = proc_run({SENS_BIN, "-w", "locobuffer", m.path()}, o);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  m.sent({}, 0);  // forget what the reads sent
  EXPECT_EQ(m.sent({}, 200), "");
}

/// Everything the terminal gets until it is quiet for a while.
std::string terminal(const test_pty &p) {
  const bytes b = rig_drain(p.master, rig_scaled_ms(300));
  return std::string(b.begin(), b.end());
}

constexpr const char *CLEAR = "\r\033[K";

std::string shown(const std::string &text) { return "\r" + text + "\033[K"; }

// Only a person at a terminal, with the lines going elsewhere, sees it; it
// is cleared before every other message and at the end.
TEST(Streams, ProgressLineOnlyForAPersonAtATerminal) {
  sim_opts so = modules({1, 3});
  sim_rig m(so);
  test_pty tty;
  ASSERT_TRUE(test_pty_open(&tty));
  proc_opts o;
  o.stderr_fd = tty.slave;
  proc_result r = proc_run({SENS_BIN, "-r", "locobuffer", m.path(), "1-3"}, o);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, default_line(1) + default_line(3));
  EXPECT_EQ(terminal(tty),
            shown("module 1 of 3: 0 read, 0 silent") + shown("module 2 of 3: 1 read, 0 silent") +
                CLEAR + "No response from 2\n" + shown("module 3 of 3: 1 read, 1 silent") + CLEAR);
  o.in = default_line(3) + default_line(1);
  r = proc_run({SENS_BIN, "-w", "locobuffer", m.path()}, o);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(terminal(tty), shown("line 1: module 3") + shown("line 2: module 1") + CLEAR);
  // Standard output on the terminal too: no progress line.
  o.stdout_path = tty.path;
  r = proc_run({SENS_BIN, "-r", "locobuffer", m.path(), "1-2"}, o);
  EXPECT_EQ(terminal(tty), default_line(1) + "No response from 2\n");
}

}  // namespace
