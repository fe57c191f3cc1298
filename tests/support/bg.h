// A program left running in the background of a test (lnsim, socat), with
// its stdout and stderr on pipes.
#pragma once

#include <string>
#include <vector>

#include "proc.h"

struct proc_bg {
  int pid = -1;
  int out = -1;  ///< read end of the child's stdout
  int err = -1;  ///< read end of the child's stderr
};

/// Starts argv (argv[0] a path) with stdin on /dev/null; false when it cannot.
bool proc_start(proc_bg *p, const std::vector<std::string> &argv);
/// The child's first stdout line up to the newline, waiting at most timeout_ms;
/// false on end of file, error or time-out.
bool proc_read_line(proc_bg *p, std::string *line, int timeout_ms);
/// Sends sig, waits for the end (SIGKILL after timeout_ms), collects the rest of
/// stderr and the status like proc_run, and closes the pipes.
proc_result proc_stop(proc_bg *p, int sig, int timeout_ms);
