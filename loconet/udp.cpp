// Datagrams on a POSIX system, for the Z21 kind.
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "transport.h"

int ln_udp_socket(const std::string &host, const std::string &port, int *e, std::string *text) {
  struct addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  struct addrinfo *res = nullptr;
  const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &res);
  if (rc != 0) {
    *e = rc == EAI_SYSTEM ? errno : rc;
    *text = rc == EAI_SYSTEM ? strerror(errno) : gai_strerror(rc);
    return -1;
  }
  int fd = -1;
  *e = EADDRNOTAVAIL;
  for (const struct addrinfo *ai = res; ai != nullptr && fd < 0; ai = ai->ai_next) {
    fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    // Connected: only the station's datagrams come in, and a closed port
    // shows as ECONNREFUSED instead of silence.
    if (fd >= 0 && connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
      *e = errno;
      close(fd);
      fd = -1;
    } else if (fd < 0) {
      *e = errno;
    }
  }
  freeaddrinfo(res);
  if (fd < 0) *text = strerror(*e);
  return fd;
}

int ln_udp_send(int fd, const void *buf, std::size_t n) {
  for (;;) {
    if (send(fd, buf, n, MSG_NOSIGNAL) >= 0) return 0;
    // A full send buffer drops the datagram, as the network may.
    if (errno == EAGAIN || errno == ENOBUFS) return 0;
    if (errno != EINTR) return errno;
  }
}

long ln_udp_recv(const int *fds, int nfds, void *buf, std::size_t n, int ms, int *which, int *e) {
  struct pollfd p[2];
  nfds = nfds > 2 ? 2 : nfds;
  for (int i = 0; i < nfds; ++i) p[i] = {fds[i], POLLIN, 0};
  for (;;) {
    const int r = poll(p, static_cast<nfds_t>(nfds), ms);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      *e = errno;
      return -1;
    }
    if (r == 0) {
      *e = ETIMEDOUT;
      return -1;
    }
    for (int i = 0; i < nfds; ++i) {
      if (p[i].revents == 0) continue;
      const ssize_t got = recv(fds[i], buf, n, MSG_DONTWAIT);
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      *which = i;
      if (got < 0) *e = errno;
      return static_cast<long>(got);
    }
  }
}

std::string ln_net_error_text(int e) { return strerror(e); }

void ln_udp_close(int fd) { close(fd); }
