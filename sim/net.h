// lnsim's TCP servers: the bus for any number of clients at once, as raw
// LocoNet bytes and as the LbServer text protocol, with switches that make
// the LbServer behave as the servers found on layouts do.
//
// Principles of operation
// - One net thread accepts, reads every client and runs the LbServer's
//   transmissions: one SEND on the bus at a time across all clients, and the
//   deadline for its echo. Nothing it does waits for a client.
// - A raw client's bytes are framed by the net thread as they arrive, through
//   a framing record of the client's own (lif_framer), exactly as the pty's
//   are; every message they complete goes at once onto the bus record's
//   queue, where the bus thread takes it as it takes the pty's. A client that
//   closes leaves nothing unframed behind.
// - An LbServer SEND reaches the bus queue as a marker (sim_tickets below);
//   sim_net_take gives the bus thread the message and its sender, which the
//   echo carries to the output thread.
// - The output thread hands over every byte and message that passes the bus
//   (sim_net_bytes, sim_net_passed). Writes to clients never block: what a
//   client has not taken is kept up to a bound, beyond which more is dropped.
// - lock guards the client list, every client's output and the transmission
//   state; each call below takes it for a few lines.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <sys/socket.h>
#include <utility>
#include <vector>

#include "lnsim.h"
#include "loconet.h"

struct sim_net;

/// Which side's client a message on the bus queue came from, when the bus
/// must tell it: each side numbers its clients on its own.
enum sim_origin : u8 { SIM_FROM_HOST, SIM_FROM_LBSERVER, SIM_FROM_Z21 };

/// The client's message a bus message echoes, if any: an LbServer SEND or a
/// Z21 client's LocoNet message.
struct sim_send {
  std::uint32_t ticket = 0;  ///< 0: the message is neither
  std::uint32_t client = 0;  ///< who sent it, among origin's clients
  bool seen = false;         ///< the sender had its echo before the bus (--lb-early-echo)
  sim_origin origin = SIM_FROM_HOST;
};

/// Messages of clients waiting for the bus thread. Each goes onto the bus
/// queue as a marker, a message of length 0 holding its origin and a ticket,
/// which names it and its sender here. Guarded by its owner's lock.
struct sim_tickets {
  std::uint32_t next = 1;
  std::map<std::uint32_t, std::pair<sim_send, std::vector<u8>>> held;
};

/// Appends to bus, behind everything queued so far, a marker for message b
/// of sender from (its ticket is filled in), stamped now; the ticket, or 0
/// when no buffer can be had.
std::uint32_t sim_tickets_inject(sim_tickets *t, lif_t *bus, sim_send from,
                                 const std::vector<u8> &b);
/// The origin a marker names.
sim_origin sim_marker_origin(const ln_msg_t *marker);
/// The message a marker names, into *m (stamped as the marker), and its
/// sender; false for a marker that names nothing.
bool sim_tickets_take(sim_tickets *t, const ln_msg_t *marker, ln_msg_t *m, sim_send *from);

/// A non-blocking socket of socktype (SOCK_STREAM: listening) bound as where
/// ("[ADDR:]PORT") says, its bound port in *port; -1 and *err on failure.
int sim_bind(const std::string &where, int socktype, unsigned *port, std::string *err);
/// "127.0.0.1:5000", "[::1]:5000": a peer's address as numbers.
std::string sim_addr_text(const struct sockaddr *a, socklen_t len);

/// Listens as o.lbserver and o.tcp say (either may be empty) and starts the
/// net thread, which appends host messages to bus. Null and *err on failure,
/// with nothing left open or running.
sim_net *sim_net_start(const sim_opts &o, lif_t *bus, std::string *err);
/// The bound port of the LbServer (lbserver) or of the raw server; 0: off.
unsigned sim_net_port(const sim_net *n, bool lbserver);
/// Closes every client and the listening sockets and ends the threads;
/// nothing is appended to the bus queue afterwards. The calls below still
/// work and reach nobody.
void sim_net_stop(sim_net *n);
/// After sim_net_stop, once no other thread calls in.
void sim_net_free(sim_net *n);

/// For the bus thread: the message a marker names, into *m (stamped as the
/// marker), and its sender. False for a marker that names nothing.
bool sim_net_take(sim_net *n, const ln_msg_t *marker, ln_msg_t *m, sim_send *from);
/// For the output thread: whether any raw client listens, so that paced
/// bytes nobody hears need not be timed.
bool sim_net_raw_clients(sim_net *n);
/// For the output thread: len bytes on the bus now, for every raw client.
void sim_net_bytes(sim_net *n, const u8 *p, std::size_t len);
/// For the output thread: b has passed the bus. Every LbServer client gets a
/// RECEIVE when b is one good message, and from's sender (an LbServer
/// client's) its SENT OK.
void sim_net_passed(sim_net *n, const std::vector<u8> &b, const sim_send &from);
