// A raw pseudo-terminal pair for tests that need a serial-port stand-in.
#pragma once

#include <string>

struct test_pty {
  int master = -1;
  int slave = -1;    ///< held open by the test so the master sees no hangup
  std::string path;  ///< slave device path, to hand to lif_open
};

/// Opens a raw pty pair; false on failure. The fds are left open on purpose:
/// a reader thread may still be blocked on them when the test ends.
bool test_pty_open(test_pty *p);
