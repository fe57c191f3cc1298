// Opening the serial port. termios stays confined to this file.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <termios.h>
#include <unistd.h>

#include "loconet.h"
#include "util.h"

namespace {

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
  lif->fd = open(path.c_str(), O_RDWR | O_NOCTTY);
  if (lif->fd < 0) {
    const int e = errno;
    delete lif;
    ln_fatal("Can't open %s: %s (errno: %d)\n", path.c_str(), strerror(e), e);
  }
  tcsetattr(lif->fd, TCSADRAIN, &tio);  // not a tty: used as it is
  lif_init_sync(lif);
  const int rc = pthread_create(&lif->tid, nullptr, ln_reader, lif);
  if (rc != 0) ln_fatal("Can't create reader thread: %s (errno: %d)\n", strerror(rc), rc);
  return lif;
}
