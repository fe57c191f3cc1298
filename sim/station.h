// lnsim's Z21 station: the UDP LAN protocol of a Z21 command station, with the
// one bus behind its LocoNet socket, for any number of LAN clients at once.
//
// Principles of operation
// - One z21 thread serves one UDP socket. It takes every record of every
//   datagram in order, answers a datagram's records in one datagram, and
//   hands the LocoNet messages on to the bus. It waits in poll until a
//   datagram comes or the next client is due to be forgotten; nothing it
//   does waits for a client: a datagram the socket will not take at once is
//   dropped, as UDP may.
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
// - The output thread appends what passed the bus to each client's output
//   and sends it itself, packed into as few datagrams as fit, before it
//   waits for its next item: no thread hand-over stands between the bus and
//   a client, and what passed back to back shares a datagram. Its sends
//   never block: a client can never hold up the bus.
// - With sim_opts::z21_loss each datagram, from a client before any of its
//   records is looked at and to a client, is lost with that probability,
//   drawn from generators of the side's own seeded from sim_opts::seed (one
//   for the z21 thread's datagrams, one for the output thread's): the bus's
//   draws, and the run's replies, stay as they are.
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
/// Ends the thread and forgets every client; nothing is appended to the bus
/// queue afterwards. The calls below still work and reach nobody.
void sim_z21_stop(sim_z21 *z);
/// After sim_z21_stop, once no other thread calls in: closes the socket.
void sim_z21_free(sim_z21 *z);

/// For the bus thread: the message a marker of origin SIM_FROM_Z21 names,
/// into *m, and its sender. False for a marker that names nothing.
bool sim_z21_take(sim_z21 *z, const ln_msg_t *marker, ln_msg_t *m, sim_send *from);
/// For the output thread: b has passed the bus (a message, or a chunk of
/// noise); from names the client that sent it, if one of this side did. It
/// goes to the clients with the next sim_z21_flush.
void sim_z21_passed(sim_z21 *z, const std::vector<u8> &b, const sim_send &from);
/// For the output thread, before it waits for the next item: sends every
/// client what passed the bus since the last flush, packed; what passed back
/// to back shares a datagram, and nothing waits on another thread.
void sim_z21_flush(sim_z21 *z);
