// lnsim's Z21 station: the UDP LAN protocol of a Z21 command station, with the
// one bus behind its LocoNet socket, for any number of LAN clients at once.
//
// Principles of operation
// - One z21 thread serves one UDP socket. It takes every record of every
//   datagram in order, answers a datagram's records in one datagram, hands
//   the LocoNet messages on to the bus, and sends each client what is due
//   for it, packed into as few datagrams as fit. It waits in poll until a
//   datagram comes, the output thread has something for a client, or the
//   next client is due to be forgotten; nothing it does waits for a client:
//   a datagram the socket will not take at once is dropped, as UDP may.
// - There are no connections. A client is its IP address and UDP port; its
//   first record logs it on, and it is forgotten, its subscription with it,
//   after sim_opts::z21_forget_ms without a datagram from it, or at its
//   LAN_LOGOFF. A later record logs it on anew, subscribed to nothing.
// - A client's LocoNet message (0xA2) that is one good message reaches the
//   bus queue as a marker (sim_tickets, net.h), so that the bus thread knows
//   its sender and the echo carries it to the output thread. Once it has
//   passed the bus, every other client subscribed to LocoNet gets it as
//   0xA2; its sender gets nothing, as from the station, which never echoes.
//   Everything else that passes the bus, noise chunks that are no whole
//   message included, goes to every subscribed client as 0xA0.
// - The output thread only appends records to a client's output and wakes
//   the z21 thread: a client can never hold up the bus.
// - With sim_opts::z21_loss each datagram, from a client before any of its
//   records is looked at and to a client, is lost with that probability,
//   drawn on the z21 thread from a generator of its own seeded from
//   sim_opts::seed: the bus's draws, and the run's replies, stay as they are.
// - lock guards the client list, every client's output and the tickets; each
//   call below takes it for a few lines.
#pragma once

#include <string>
#include <vector>

#include "lnsim.h"
#include "loconet.h"
#include "net.h"
#include "z21.h"

struct sim_z21;

/// Binds the UDP socket as o.z21 says and starts the z21 thread, which
/// appends client messages to bus. Null and *err on failure, with nothing
/// left open or running.
sim_z21 *sim_z21_start(const sim_opts &o, lif_t *bus, std::string *err);
/// The bound UDP port.
unsigned sim_z21_port(const sim_z21 *z);
/// Ends the thread, forgets every client and closes the socket; nothing is
/// appended to the bus queue afterwards. The calls below still work and
/// reach nobody.
void sim_z21_stop(sim_z21 *z);
/// After sim_z21_stop, once no other thread calls in.
void sim_z21_free(sim_z21 *z);

/// For the bus thread: the message a marker of origin SIM_FROM_Z21 names,
/// into *m, and its sender. False for a marker that names nothing.
bool sim_z21_take(sim_z21 *z, const ln_msg_t *marker, ln_msg_t *m, sim_send *from);
/// For the output thread: b has passed the bus (a message, or a chunk of
/// noise); from names the client that sent it, if one of this side did.
void sim_z21_passed(sim_z21 *z, const std::vector<u8> &b, const sim_send &from);
