// The serial line on a POSIX system. termios stays confined to this file.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "end.h"
#include "loconet.h"
#include "reader.h"
#include "transport.h"
#include "util.h"

namespace {

/// The terminal this process made exclusive, or -1.
int claimed_fd = -1;
/// The port this process put into low-latency mode, or -1.
int low_latency_fd = -1;

/// A USB serial adapter (FTDI's, as in the LocoBuffer-USB) hands what it
/// received to the host only every 16 ms unless its port is in low-latency
/// mode: a reply would reach us up to 16 ms late, on every exchange. Any
/// user may set the flag. Devices without such a timer (a pseudo-terminal,
/// CDC-ACM) refuse the request, which is no error. The flag outlives the
/// run, so every end puts back what was found (lif_end_unclaim).
void low_latency(int fd) {
#ifdef ASYNC_LOW_LATENCY
  struct serial_struct ss = {};
  if (ioctl(fd, TIOCGSERIAL, &ss) != 0 || (ss.flags & ASYNC_LOW_LATENCY) != 0) return;
  ss.flags |= ASYNC_LOW_LATENCY;
  if (ioctl(fd, TIOCSSERIAL, &ss) == 0) low_latency_fd = fd;
#else
  (void)fd;
#endif
}

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

/// Raw line settings for a serial kind.
struct termios line_settings(const name2lif_t *kind) {
  struct termios tio = {};
  tio.c_iflag = 0;     // no input translation or software flow control
  tio.c_oflag = 0;     // bytes leave unchanged
  tio.c_lflag = 0;     // no echo, no line editing, no signals
  tio.c_cc[VMIN] = 1;  // block until a byte is there, then return what is
  tio.c_cc[VTIME] = 0;
  // A LocoBuffer needs RTS/CTS to keep the host from overrunning it.
  tio.c_cflag = CS8 | CREAD | CLOCAL | (kind->rtscts ? CRTSCTS : 0u);
  const speed_t speed = kind->baud == 57600 ? B57600 : B115200;
  cfsetispeed(&tio, speed);
  cfsetospeed(&tio, speed);
  return tio;
}

bool serial_open(lif_t *lif, const char *name, const name2lif_t *kind, std::string *err) {
  const struct termios tio = line_settings(kind);
  const std::string path = lif_port_path(name);
  // O_NOCTTY: the port must never become our controlling terminal, or a
  // hangup on the line could kill the tool with SIGHUP in mid-write.
  // O_NONBLOCK: without CLOCAL yet, opening a serial line would wait for its
  // carrier; it is cleared once the settings are in place.
  lif->fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  const int e = lif->fd < 0 ? errno : claim(lif->fd);
  if (e != 0) {
    if (lif->fd >= 0) close(lif->fd);
    return lif_open_failed(err, path, strerror(e), e);
  }
  // TCSANOW: waiting for queued output to drain could block for good behind
  // a LocoBuffer that holds CTS off. Not a tty: used as it is.
  tcsetattr(lif->fd, TCSANOW, &tio);
  low_latency(lif->fd);
  // Whatever the line received before this run (another program's traffic,
  // late replies to a run that ended) says nothing about this one, and a
  // select reply among it would pass for a module left in programming mode.
  tcflush(lif->fd, TCIFLUSH);
  fcntl(lif->fd, F_SETFL, fcntl(lif->fd, F_GETFL) & ~O_NONBLOCK);
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
#ifdef ASYNC_LOW_LATENCY
  // Only the flag we set goes back: the rest is as the driver keeps it now.
  struct serial_struct ss = {};
  if (low_latency_fd >= 0 && ioctl(low_latency_fd, TIOCGSERIAL, &ss) == 0) {
    ss.flags = static_cast<int>(static_cast<unsigned>(ss.flags) & ~unsigned{ASYNC_LOW_LATENCY});
    ioctl(low_latency_fd, TIOCSSERIAL, &ss);
  }
#endif
}

const ln_io_t ln_serial = {serial_open, ln_reader, ln_write_bytes, false,
                           nullptr,     nullptr,   nullptr};
