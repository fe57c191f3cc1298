// LocoNet over TCP on Windows, through Winsock: connecting, the raw kind's
// reader, and the bounded write and the read of a socket.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "reader.h"
#include "transport.h"
#include "util.h"
#include "win.h"

namespace {

/// A server that does not answer a connect within this is taken as gone.
constexpr int CONNECT_BOUND_MS = 3000;

SOCKET sock_of(const lif_t *lif) { return static_cast<SOCKET>(lif->fd); }

/// A connected socket to ai within what is left of CONNECT_BOUND_MS since t0,
/// or INVALID_SOCKET with the error in *e.
SOCKET connect_one(const struct addrinfo *ai, const struct timespec &t0, DWORD *e) {
  const SOCKET s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
  if (s == INVALID_SOCKET) {
    *e = static_cast<DWORD>(WSAGetLastError());
    return s;
  }
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
  *e = 0;
  if (connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) != 0) {
    *e = static_cast<DWORD>(WSAGetLastError());
    while (*e == WSAEWOULDBLOCK) {
      const std::int64_t left = CONNECT_BOUND_MS - ln_ms_since(t0);
      if (left <= 0) {
        *e = WSAETIMEDOUT;
        break;
      }
      WSAPOLLFD p = {s, POLLWRNORM, 0};
      const int r = WSAPoll(&p, 1, static_cast<int>(left));
      if (r < 0) {
        *e = static_cast<DWORD>(WSAGetLastError());
        break;
      }
      if (r == 0) continue;
      int err = 0;
      int len = sizeof err;
      *e = getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&err), &len) == 0
               ? static_cast<DWORD>(err)
               : static_cast<DWORD>(WSAGetLastError());
    }
  }
  if (*e != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  // Blocking from here, as a serial line; no Nagle delay for our small messages.
  u_long off = 0;
  ioctlsocket(s, FIONBIO, &off);
  const int one = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
  return s;
}

bool tcp_open(lif_t *lif, const char *port, const name2lif_t *kind, std::string *err) {
  return ln_tcp_connect(lif, port, kind->tcp_port, err);
}

/// The raw kind's reader thread: exactly the bytes the framing core asks for.
void *tcp_reader(void *vif) {
  auto *lif = static_cast<lif_t *>(vif);
  unsigned empty_reads = 0;
  for (;;) {
    const unsigned want = ln_frame_want(lif);
    const long n = ln_recv(lif, reinterpret_cast<char *>(lif->cur->msg + lif->level), want);
    if (n < 0) {
      const int e = errno;
      ln_fatal("Can't read from LocoNet interface: %s (errno: %d)\n", strerror(e), e);
    }
    clock_gettime(CLOCK_REALTIME, &lif->last_read);
    if (n == 0) {
      if (++empty_reads >= 3) ln_fatal("Can't read from LocoNet interface: end of file\n");
      continue;
    }
    empty_reads = 0;
    ln_frame_feed(lif, static_cast<unsigned>(n));
  }
}

/// Winsock, once for the run: 0 or its error.
int net_start() {
  static const int rc = [] {
    WSADATA wsa;
    return WSAStartup(MAKEWORD(2, 2), &wsa);
  }();
  return rc;
}

}  // namespace

bool ln_tcp_connect(lif_t *lif, const char *where, unsigned default_port, std::string *err) {
  std::string host, port, what;
  if (!lif_net_port(where, default_port, &host, &port, &what, err)) return false;
  if (const int rc = net_start(); rc != 0)
    return lif_open_failed(err, what, win_error_text(static_cast<DWORD>(rc)).c_str(), rc);
  struct addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo *res = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &res) != 0) {
    const int e = WSAGetLastError();
    return lif_open_failed(err, what, win_error_text(static_cast<DWORD>(e)).c_str(), e);
  }
  struct timespec t0;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  SOCKET s = INVALID_SOCKET;
  DWORD e = WSAECONNREFUSED;
  for (const struct addrinfo *ai = res; ai != nullptr && s == INVALID_SOCKET; ai = ai->ai_next)
    s = connect_one(ai, t0, &e);
  freeaddrinfo(res);
  if (s == INVALID_SOCKET)
    return lif_open_failed(err, what, win_error_text(e).c_str(), static_cast<int>(e));
  // Socket handles are small numbers in practice; one that is not cannot be kept.
  if (s > static_cast<SOCKET>(INT_MAX)) {
    closesocket(s);
    return lif_open_failed(err, what, win_error_text(ERROR_TOO_MANY_OPEN_FILES).c_str(),
                           ERROR_TOO_MANY_OPEN_FILES);
  }
  lif->fd = static_cast<int>(s);
  lif->quickack = true;
  return true;
}

int ln_write_all(lif_t *lif, const void *buf, std::size_t len) {
  const auto *b = static_cast<const char *>(buf);
  struct timespec t0;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  std::size_t done = 0;
  while (done < len) {
    const std::int64_t left = TX_BOUND_MS - ln_ms_since(t0);
    if (left <= 0) return ETIMEDOUT;
    WSAPOLLFD p = {sock_of(lif), POLLWRNORM, 0};
    const int r = WSAPoll(&p, 1, static_cast<int>(left));
    if (r < 0) return win_errno(static_cast<DWORD>(WSAGetLastError()));
    if (r == 0) continue;
    const int n = send(sock_of(lif), b + done, static_cast<int>(len - done), 0);
    if (n < 0) {
      const int e = WSAGetLastError();
      if (e == WSAEWOULDBLOCK || e == WSAEINTR) continue;
      return win_errno(static_cast<DWORD>(e));
    }
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

long ln_recv(lif_t *lif, char *buf, std::size_t n) {
  const int r = recv(sock_of(lif), buf, static_cast<int>(n), 0);
  if (r < 0) errno = win_errno(static_cast<DWORD>(WSAGetLastError()));
  return r;
}

// Windows acknowledges as it does; no per-receive switch to flip.
void ln_quickack(int) {}

int ln_udp_socket(const std::string &host, const std::string &port, int *e, std::string *text) {
  if (const int rc = net_start(); rc != 0) {
    *e = rc;
    *text = win_error_text(static_cast<DWORD>(rc));
    return -1;
  }
  struct addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  struct addrinfo *res = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &res) != 0) {
    *e = WSAGetLastError();
    *text = win_error_text(static_cast<DWORD>(*e));
    return -1;
  }
  SOCKET s = INVALID_SOCKET;
  *e = WSAEADDRNOTAVAIL;
  for (const struct addrinfo *ai = res; ai != nullptr && s == INVALID_SOCKET; ai = ai->ai_next) {
    s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (s != INVALID_SOCKET && connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) != 0) {
      *e = WSAGetLastError();
      closesocket(s);
      s = INVALID_SOCKET;
    } else if (s == INVALID_SOCKET) {
      *e = WSAGetLastError();
    }
  }
  freeaddrinfo(res);
  if (s != INVALID_SOCKET && s > static_cast<SOCKET>(INT_MAX)) {
    closesocket(s);
    s = INVALID_SOCKET;
    *e = ERROR_TOO_MANY_OPEN_FILES;
  }
  if (s == INVALID_SOCKET) {
    *text = win_error_text(static_cast<DWORD>(*e));
    return -1;
  }
  // Never blocking: a closed port's ICMP shows in WSAPoll as an error that
  // a blocking recv may wait past (wine's does).
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
  return static_cast<int>(s);
}

int ln_udp_send(int fd, const void *buf, std::size_t n) {
  if (send(static_cast<SOCKET>(fd), static_cast<const char *>(buf), static_cast<int>(n), 0) >= 0)
    return 0;
  const int e = WSAGetLastError();
  // A closed port that an earlier datagram met (ICMP) comes back as a reset.
  if (e == WSAECONNRESET) return WSAECONNREFUSED;
  return e == WSAEWOULDBLOCK || e == WSAENOBUFS ? 0 : e;
}

long ln_udp_recv(const int *fds, int nfds, void *buf, std::size_t n, int ms, int *which, int *e) {
  WSAPOLLFD p[2];
  nfds = nfds > 2 ? 2 : nfds;
  for (int i = 0; i < nfds; ++i) p[i] = {static_cast<SOCKET>(fds[i]), POLLRDNORM, 0};
  for (;;) {
    const int r = WSAPoll(p, static_cast<ULONG>(nfds), ms);
    if (r < 0) {
      *e = WSAGetLastError();
      return -1;
    }
    if (r == 0) {
      *e = ETIMEDOUT;
      return -1;
    }
    for (int i = 0; i < nfds; ++i) {
      if (p[i].revents == 0) continue;
      const int got = recv(p[i].fd, static_cast<char *>(buf), static_cast<int>(n), 0);
      *which = i;
      if (got >= 0) return got;
      int err = WSAGetLastError();
      // A datagram longer than buf arrives cut: as on Linux, what fits.
      if (err == WSAEMSGSIZE) return static_cast<long>(n);
      if ((err == WSAEWOULDBLOCK || err == WSAEINTR) && (p[i].revents & (POLLERR | POLLHUP)) == 0)
        continue;
      if (err == WSAEWOULDBLOCK || err == WSAEINTR) {
        // An error that only the poll shows: the socket's own, or the
        // closed port that is the only error a connected datagram socket meets.
        int so = 0;
        int len = sizeof so;
        getsockopt(p[i].fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&so), &len);
        err = so != 0 ? so : WSAECONNREFUSED;
      }
      *e = err == WSAECONNRESET ? WSAECONNREFUSED : err;
      return -1;
    }
  }
}

void ln_udp_close(int fd) { closesocket(static_cast<SOCKET>(fd)); }

std::string ln_net_error_text(int e) { return win_error_text(static_cast<DWORD>(e)); }

const ln_io_t ln_tcp = {tcp_open, tcp_reader, ln_write_bytes, false, nullptr, nullptr, nullptr};
