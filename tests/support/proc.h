// Running programs as child processes, for tests that check a real binary's
// output and exit status exactly and for the benchmarks that time it: to the
// end with the standard streams captured (proc_run), or in the background of
// a test (proc_start).
//
// Children start by posix_spawn with an empty signal mask, every signal at
// its default action and only fds 0, 1 and 2 open, as from a shell: what the
// test process blocks, ignores or has open never leaks into them. Their end
// is waited for on a pidfd together with their pipes, never by polling.
// Every time limit here is stretched by SENS_TIME_FACTOR (rig_scaled_ms).
#pragma once

#include <functional>
#include <string>
#include <vector>

struct proc_opts {
  std::string in;          ///< written to the child's stdin, which is then closed
  std::string stdin_path;  ///< when not empty, stdin is this file instead of `in`
  int timeout_ms = 20000;  ///< the child is killed when it runs longer
  std::function<void(int pid)> started = nullptr;  ///< called with the child's pid once it runs
  std::string stdout_path =
      {};  ///< when not empty, stdout is this file (opened for writing), not captured
  bool stdout_gone = false;  ///< stdout is a pipe whose reader went away: writes fail with EPIPE
  int stderr_fd = -1;        ///< when not -1, stderr is this descriptor (a pty, say), not captured
  std::vector<int> closed = {};  ///< descriptors among 0, 1 and 2 that the child starts without
};

struct proc_result {
  int status = -1;         ///< exit status; -1 when a signal ended the child
  int signal = 0;          ///< the signal that ended the child, else 0
  bool timed_out = false;  ///< killed by proc_run after timeout_ms
  std::string out;         ///< everything the child wrote to stdout
  std::string err;         ///< everything the child wrote to stderr
  double wall_ms = 0;      ///< from just before the start to the end (proc_run)
  double cpu_ms = 0;       ///< the child's user and system time
};

/// Whether the program under test is sens.exe under wine (SENS_TEST_WINDOWS set,
/// as scripts/windows does): SIGINT reaches it as Ctrl-C, SIGTERM and SIGHUP end
/// wine at once, and Windows has no SIGPIPE.
bool proc_windows();
/// Whether r ended as signal sig ends a program: killed by it, or, for sens.exe
/// under wine, SIGINT's Ctrl-C with STATUS_CONTROL_C_EXIT (58, as wine reports it).
/// Under qemu-user (SENS_TEST_QEMU set, as scripts/cross does) also a silent
/// status 1: qemu 10 ends a guest that a signal ends by sending the signal to
/// itself and waiting, and exits 1 if that wait returns (seen on a loaded machine).
bool proc_ended_by(const proc_result &r, int sig);

/// Runs argv[0] (a path) with the arguments argv[1..] and waits for its end or
/// the timeout. A child that cannot be started gives status 127.
proc_result proc_run(const std::vector<std::string> &argv, const proc_opts &opts = {});

/// A program left running in the background of a test (lnsim, socat), with
/// stdin on /dev/null and stdout and stderr on pipes. One still running when
/// the record goes is killed, so a failed assertion leaves nothing behind.
struct proc_bg {
  int pid = -1;
  int out = -1;  ///< read end of the child's stdout
  int err = -1;  ///< read end of the child's stderr

  proc_bg() = default;
  proc_bg(const proc_bg &) = delete;
  proc_bg &operator=(const proc_bg &) = delete;
  ~proc_bg();
};

/// Starts argv (argv[0] a path); false when it cannot.
bool proc_start(proc_bg *p, const std::vector<std::string> &argv);
/// The child's next stdout line up to the newline, waiting at most timeout_ms;
/// false on end of file, error or time-out.
bool proc_read_line(proc_bg *p, std::string *line, int timeout_ms);
/// Sends sig, waits for the end (SIGKILL after timeout_ms), collects the rest of
/// stdout and stderr and the status like proc_run, and closes the pipes.
proc_result proc_stop(proc_bg *p, int sig, int timeout_ms);
