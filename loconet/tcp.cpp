// LocoNet over TCP on a POSIX system: connecting, and the raw kind, whose
// socket is read and written exactly as a serial line; and the bounded write
// of every byte stream, serial lines included.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "reader.h"
#include "transport.h"
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

bool tcp_open(lif_t *lif, const char *port, const name2lif_t *kind, std::string *err) {
  return ln_tcp_connect(lif, port, kind->tcp_port, err);
}

}  // namespace

bool ln_tcp_connect(lif_t *lif, const char *where, unsigned default_port, std::string *err) {
  std::string host, port, what;
  if (!lif_net_port(where, default_port, &host, &port, &what, err)) return false;
  struct addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo *res = nullptr;
  const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &res);
  if (rc != 0) {
    if (rc == EAI_SYSTEM) return lif_open_failed(err, what, strerror(errno), errno);
    return lif_open_failed(err, what, gai_strerror(rc), rc);
  }
  struct timespec t0;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  int fd = -1, e = ECONNREFUSED;
  for (const struct addrinfo *ai = res; ai != nullptr && fd < 0; ai = ai->ai_next) {
    fd = connect_one(ai, t0);
    if (fd < 0) e = errno;
  }
  freeaddrinfo(res);
  if (fd < 0) return lif_open_failed(err, what, strerror(e), e);
  lif->fd = fd;
  lif->quickack = true;
  return true;
}

int ln_write_all(lif_t *lif, const void *buf, std::size_t len) {
  const auto *b = static_cast<const u8 *>(buf);
  struct timespec t0;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  std::size_t done = 0;
  while (done < len) {
    const std::int64_t left = TX_BOUND_MS - ln_ms_since(t0);
    if (left <= 0) return ETIMEDOUT;
    struct pollfd p = {lif->fd, POLLOUT, 0};
    const int r = poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno != EINTR) return errno;
    if (r <= 0) continue;
    // Errors and hang-ups show as a failing write below. A socket whose peer
    // is gone fails with EPIPE, never with a signal.
    const ssize_t n = lif->quickack ? send(lif->fd, b + done, len - done, MSG_NOSIGNAL)
                                    : write(lif->fd, b + done, len - done);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return errno;
    }
    done += static_cast<std::size_t>(n);  // nothing written: wait again, within the bound
  }
  return 0;
}

long ln_recv(lif_t *lif, char *buf, std::size_t n) {
  ssize_t r;
  do {
    r = read(lif->fd, buf, n);
  } while (r < 0 && errno == EINTR);
  return static_cast<long>(r);
}

void ln_quickack(int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

const ln_io_t ln_tcp = {tcp_open, ln_reader, ln_write_bytes, false, nullptr, nullptr, nullptr};
