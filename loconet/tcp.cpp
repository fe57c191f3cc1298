// LocoNet over TCP: connecting, and the raw kind, whose socket is read and
// written exactly as a serial line.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "io.h"
#include "reader.h"
#include "util.h"

namespace {

/// A server that does not answer a connect within this is taken as gone.
constexpr int CONNECT_BOUND_MS = 3000;

/// A connected socket to ai within what is left of CONNECT_BOUND_MS since t0,
/// or -1 with errno.
int connect_one(const struct addrinfo *ai, const struct timespec &t0) {
  const int fd =
      socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
  if (fd < 0) return -1;
  int e = 0;
  if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
    e = errno;
    while (e == EINPROGRESS || e == EINTR) {
      const std::int64_t left = CONNECT_BOUND_MS - ln_ms_since(t0);
      if (left <= 0) {
        e = ETIMEDOUT;
        break;
      }
      struct pollfd p = {fd, POLLOUT, 0};
      const int r = poll(&p, 1, static_cast<int>(left));
      if (r < 0 && errno != EINTR) {
        e = errno;
        break;
      }
      if (r <= 0) continue;
      socklen_t len = sizeof e;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &len) != 0) e = errno;
    }
  }
  if (e != 0) {
    close(fd);
    errno = e;
    return -1;
  }
  // Blocking from here, as a serial line; no Nagle delay for our small messages.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

void tcp_open(lif_t *lif, const char *port, const name2lif_t *kind) {
  ln_tcp_connect(lif, port, kind->tcp_port);
}

}  // namespace

const char *lif_split_hostport(const char *where, unsigned default_port, std::string *host,
                               std::string *port) {
  const std::string s = where;
  std::string rest;
  if (!s.empty() && s[0] == '[') {
    const std::size_t close = s.find(']');
    if (close == std::string::npos) return "no closing bracket ([IPV6]:PORT)";
    *host = s.substr(1, close - 1);
    rest = s.substr(close + 1);
    if (!rest.empty() && rest[0] != ':') return "no colon after the bracket ([IPV6]:PORT)";
  } else if (s.find(':') != s.rfind(':')) {
    *host = s;  // an IPv6 address without brackets: it names no port
  } else {
    const std::size_t colon = s.find(':');
    *host = s.substr(0, colon);
    if (colon != std::string::npos) rest = s.substr(colon);
  }
  if (host->empty()) return "no host given (HOST:PORT)";
  if (rest.empty()) {
    if (default_port == 0) return "no TCP port given (HOST:PORT)";
    *port = std::to_string(default_port);
    return nullptr;
  }
  *port = rest.substr(1);
  if (port->empty() || port->size() > 5 ||
      port->find_first_not_of("0123456789") != std::string::npos || std::stoul(*port) < 1 ||
      std::stoul(*port) > 65535)
    return "the TCP port must be a number from 1 to 65535 (HOST:PORT)";
  return nullptr;
}

void ln_tcp_connect(lif_t *lif, const char *where, unsigned default_port) {
  std::string host, port;
  if (const char *why = lif_split_hostport(where, default_port, &host, &port)) {
    delete lif;
    ln_fatal("Can't open %s: %s\n", where, why);
  }
  // The name reported is the one connected to: the default port included.
  const std::string what =
      (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + port;
  struct addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo *res = nullptr;
  const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &res);
  if (rc != 0) {
    if (rc == EAI_SYSTEM) lif_open_failed(lif, what, strerror(errno), errno);
    lif_open_failed(lif, what, gai_strerror(rc), rc);
  }
  struct timespec t0;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  int fd = -1, e = ECONNREFUSED;
  for (const struct addrinfo *ai = res; ai != nullptr && fd < 0; ai = ai->ai_next) {
    fd = connect_one(ai, t0);
    if (fd < 0) e = errno;
  }
  freeaddrinfo(res);
  if (fd < 0) lif_open_failed(lif, what, strerror(e), e);
  lif->fd = fd;
  lif->quickack = true;
}

void ln_quickack(int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

const ln_io_t ln_tcp = {tcp_open, ln_reader, ln_write_bytes, false};
