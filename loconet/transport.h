// What the transports of the interface layer share; internal to the layer.
#pragma once

#include <cstddef>
#include <string>

#include "loconet.h"

/// A transmission that cannot finish within this bound (an unpowered
/// LocoBuffer holding CTS off, say) would otherwise hang the tool for good.
constexpr long TX_BOUND_MS = 1000;

/// Writes the n bytes of buf to lif->fd within the layer's write bound (a
/// socket without SIGPIPE); 0, or the errno of the failing write, ETIMEDOUT
/// when the bound passed first.
int ln_write_all(lif_t *lif, const void *buf, std::size_t n);
/// The write of an ln_io_t for a byte stream: the message's bytes as they are.
int ln_write_bytes(lif_t *lif, const ln_msg_t *m);
/// Splits where ("HOST[:PORT]"; default_port 0: a port must be given) into
/// host and port, and *what, the name a connection to them is reported by.
/// A text that names no port: false, and *err says why.
bool lif_net_port(const char *where, unsigned default_port, std::string *host, std::string *port,
                  std::string *what, std::string *err);
/// Connects lif->fd to where ("HOST[:PORT]"; default_port 0: a port must be
/// given) within about three seconds, without Nagle's delay; the layer's
/// reads then acknowledge at once. A failure: false, *err says why.
bool ln_tcp_connect(lif_t *lif, const char *where, unsigned default_port, std::string *err);
/// Acknowledges what a TCP socket received at once. A server that writes a
/// line and its line end in two writes, without TCP_NODELAY, holds the second
/// until our acknowledge comes: with the usual delayed acknowledge, some
/// 40 ms per line. Linux forgets the setting after each receive.
void ln_quickack(int fd);
/// One read of at most n bytes from the socket lif->fd into buf, waiting for
/// at least one: the count, 0 at the end of the stream, or -1 with errno.
long ln_recv(lif_t *lif, char *buf, std::size_t n);
/// The LbServer transport's reader thread.
void *lb_reader(void *vif);

// --- Datagrams (the Z21 kind) ----------------------------------------------------
// Sockets are ints here as lif->fd is; error numbers are the system's own,
// worded by ln_net_error_text.

/// A UDP socket connected to host:port, the first address of the name that
/// takes one: the socket, or -1 with *e set and *text the reason.
int ln_udp_socket(const std::string &host, const std::string &port, int *e, std::string *text);
/// Sends the n bytes of buf as one datagram: 0, or the error. A port the
/// station refused before (ICMP) may show as ECONNREFUSED here.
int ln_udp_send(int fd, const void *buf, std::size_t n);
/// Waits at most ms (negative: for ever) for a datagram on one of the nfds
/// sockets fds, takes it into buf (at most n bytes; a longer one is cut) and
/// sets *which to its socket's index: the datagram's length, -1 with *e set
/// (ETIMEDOUT when ms passed first; ECONNREFUSED when the station's port is
/// closed).
long ln_udp_recv(const int *fds, int nfds, void *buf, std::size_t n, int ms, int *which, int *e);
/// The system's words for a socket error from the calls above.
std::string ln_net_error_text(int e);
/// Closes a socket from ln_udp_socket.
void ln_udp_close(int fd);
