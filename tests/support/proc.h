// Running a program as a child process with its standard streams captured,
// for tests that check a real binary's output and exit status exactly.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct proc_opts {
  std::string in;          ///< written to the child's stdin, which is then closed
  std::string stdin_path;  ///< when not empty, stdin is this file instead of `in`
  int timeout_ms = 20000;  ///< the child is killed when it runs longer
  std::function<void(int pid)> started = nullptr;  ///< called with the child's pid once it runs
};

struct proc_result {
  int status = -1;         ///< exit status; -1 when a signal ended the child
  int signal = 0;          ///< the signal that ended the child, else 0
  bool timed_out = false;  ///< killed by proc_run after timeout_ms
  std::string out;         ///< everything the child wrote to stdout
  std::string err;         ///< everything the child wrote to stderr
};

/// Runs argv[0] (a path) with the arguments argv[1..] and waits for its end or
/// the timeout. A child that cannot be started exits with status 127.
proc_result proc_run(const std::vector<std::string> &argv, const proc_opts &opts = {});
