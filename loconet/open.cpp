// Opening the serial port. termios stays confined to this file.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "end.h"
#include "loconet.h"
#include "util.h"

namespace {

/// The terminal this process made exclusive, or -1.
int claimed_fd = -1;

/// Takes the port for this process alone: a lock that programs which share
/// serial ports honour, and the terminal's exclusive flag, which keeps
/// everybody else from opening it. 0, or the errno of the refusal; EBUSY when
/// another program holds the port in either way.
int claim(int fd) {
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return EBUSY;
    // A file system without locks still has the terminal flag below.
  }
  if (!isatty(fd)) return 0;
  // The flag does not keep a privileged process out; it still tells that
  // another program holds the line.
  int excl = 0;
  if (ioctl(fd, TIOCGEXCL, &excl) == 0 && excl != 0) return EBUSY;
  if (ioctl(fd, TIOCEXCL) != 0) return errno;
  claimed_fd = fd;
  return 0;
}

/// Raw line settings for an interface type; false for an unknown type.
bool line_settings(unsigned iftype, struct termios *tio) {
  *tio = {};
  tio->c_iflag = 0;     // no input translation or software flow control
  tio->c_oflag = 0;     // bytes leave unchanged
  tio->c_lflag = 0;     // no echo, no line editing, no signals
  tio->c_cc[VMIN] = 1;  // block until a byte is there, then return what is
  tio->c_cc[VTIME] = 0;
  speed_t speed;
  switch (iftype) {
    case 0:  // LocoBuffer: RTS/CTS keeps the host from overrunning it
      tio->c_cflag = CS8 | CREAD | CLOCAL | CRTSCTS;
      speed = B57600;
      break;
    case 1:  // USB interface 63120: no flow control
      tio->c_cflag = CS8 | CREAD | CLOCAL;
      speed = B115200;
      break;
    default:
      return false;
  }
  cfsetispeed(tio, speed);
  cfsetospeed(tio, speed);
  return true;
}

}  // namespace

std::string lif_port_path(const char *name) {
  if (std::strncmp(name, "com", 3) != 0) return name;
  const char *end;
  const std::uint32_t n = str_to_u32(name + 3, &end);
  return "/dev/ttyS" + std::to_string(static_cast<std::uint32_t>(n - 1u));
}

void lif_end_unclaim() {
  // The flag outlives us while anyone keeps the terminal open (a simulator
  // holding its pseudo-terminal's other side): it would lock the next run out.
  if (claimed_fd >= 0) ioctl(claimed_fd, TIOCNXCL);
}

lif_t *lif_open(const char *name, unsigned iftype) {
  lif_t *lif = new (std::nothrow) lif_t{};
  if (lif == nullptr) return nullptr;
  struct termios tio;
  if (!line_settings(iftype, &tio)) {
    delete lif;
    return nullptr;
  }
  const std::string path = lif_port_path(name);
  // O_NOCTTY: the port must never become our controlling terminal, or a
  // hangup on the line could kill the tool with SIGHUP in mid-write.
  // O_NONBLOCK: without CLOCAL yet, opening a serial line would wait for its
  // carrier; it is cleared once the settings are in place.
  lif->fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  int e = lif->fd < 0 ? errno : claim(lif->fd);
  if (e != 0) {
    if (lif->fd >= 0) close(lif->fd);
    delete lif;
    ln_fatal("Can't open %s: %s (errno: %d)\n", path.c_str(), strerror(e), e);
  }
  // TCSANOW: waiting for queued output to drain could block for good behind
  // a LocoBuffer that holds CTS off. Not a tty: used as it is.
  tcsetattr(lif->fd, TCSANOW, &tio);
  fcntl(lif->fd, F_SETFL, fcntl(lif->fd, F_GETFL) & ~O_NONBLOCK);
  lif_init_sync(lif);
  const int rc = pthread_create(&lif->tid, nullptr, ln_reader, lif);
  if (rc != 0) ln_fatal("Can't create reader thread: %s (errno: %d)\n", strerror(rc), rc);
  return lif;
}
