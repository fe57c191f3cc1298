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
/// host and port, and returns the name a connection to them is reported by;
/// a text that names no port frees lif and ends the process, saying why.
std::string lif_net_port(lif_t *lif, const char *where, unsigned default_port, std::string *host,
                         std::string *port);
/// Connects lif->fd to where ("HOST[:PORT]"; default_port 0: a port must be
/// given) within about three seconds, without Nagle's delay; the layer's
/// reads then acknowledge at once. A failure frees lif and ends the process.
void ln_tcp_connect(lif_t *lif, const char *where, unsigned default_port);
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
