#include "pty.h"

#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

bool test_pty_open(test_pty *p) {
  p->master = posix_openpt(O_RDWR | O_NOCTTY);
  if (p->master < 0 || grantpt(p->master) != 0 || unlockpt(p->master) != 0) return false;
  const char *name = ptsname(p->master);
  if (name == nullptr) return false;
  p->path = name;
  // Keep the slave open ourselves so the master never sees a hangup while
  // the code under test opens and closes it.
  p->slave = open(name, O_RDWR | O_NOCTTY);
  if (p->slave < 0) return false;
  struct termios t = {};
  if (tcgetattr(p->slave, &t) != 0) return false;
  cfmakeraw(&t);
  return tcsetattr(p->slave, TCSANOW, &t) == 0;
}
