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
// - An LbServer SEND reaches the bus queue as a marker, a message of length
//   0 holding a ticket; sim_net_take gives the bus thread the message and its
//   sender, which the echo carries to the output thread.
// - The output thread hands over every byte and message that passes the bus
//   (sim_net_bytes, sim_net_passed). Writes to clients never block: what a
//   client has not taken is kept up to a bound, beyond which more is dropped.
// - lock guards the client list, every client's output and the transmission
//   state; each call below takes it for a few lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lnsim.h"
#include "loconet.h"

struct sim_net;

/// The LbServer SEND a bus message echoes, if any.
struct sim_send {
  std::uint32_t ticket = 0;  ///< 0: the message is no LbServer SEND
  std::uint32_t client = 0;  ///< who sent it
  bool seen = false;         ///< the sender had its echo before the bus (--lb-early-echo)
};

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
/// RECEIVE when b is one good message, and from's sender its SENT OK.
void sim_net_passed(sim_net *n, const std::vector<u8> &b, const sim_send &from);
