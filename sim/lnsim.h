// lnsim: a LocoNet interface with modules of article number 1235 behind it,
// presented on a pseudo-terminal and, on request, over TCP and as a Z21
// command station on UDP.
//
// Principles of operation
// - The pty slave is what a client opens as its serial port. lnsim keeps a
//   slave fd of its own open for its whole life, so the master never sees a
//   hang-up while clients come and go, and terminal settings persist.
// - Three threads per instance: the project's reader frames what the host
//   writes to the master; the bus thread answers each message as the
//   interface and the modules would and schedules the answers; the output
//   thread writes them to the master, and hands them to the TCP and Z21
//   clients, when they fall due. Nothing waits in the framing path, so a delayed reply
//   never holds back the next echo.
// - Output nobody reads is dropped, never waited for: an instance without a
//   client cannot hang.
// - Modules keep programming mode as their firmware does: a select naming a
//   module enters it, only a release naming it leaves it. Every module in
//   programming mode answers every CV read and write of the article, each
//   reply after the one before it has passed the bus. The log shows each
//   change ("= module N enters programming mode", "... leaves ...").
// - The broadcast select (address 65535) is answered by every module with its
//   own address, one after another, each a turnaround after the answer before
//   it has passed the bus, in ascending order or the one sim_opts sets; the
//   row holds the bus, so a host message goes out behind it. Only
//   one at 65535, or firmware that does so, enters programming mode on it,
//   and some firmware ignores it. The log says what
//   each module did ("= module N answers the broadcast", "... ignores ...").
// - Two modules at one address (twins) hear the same selects and releases and
//   both answer everything; the second answers after the first and, with
//   values of its own, holds the first's factory values inverted. The log
//   names the second as "second module N".
// - One bus: the pty, every TCP client (raw bytes or the LbServer text
//   protocol, see net.h) and every Z21 LAN client (z21.h) send their messages
//   through the same bus thread and see every message on the bus, in bus
//   order. Pacing, noise, drops,
//   traffic and the modules do not know where a message came from.
// - Every random choice of the bus comes from one generator seeded by
//   sim_opts::seed and drawn on the bus thread only, so a run is reproducible
//   for the same input; the LbServer draws its refusals from its own.
// - State file: CVs 145..160 of every module, one sens line per module. Its
//   modules that are not emulated are kept in the file but stay off the bus.
//   It is rewritten atomically after each change, before the change is
//   acknowledged.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "host_types.h"

struct sim_opts {
  std::vector<u16> modules{1};    ///< module addresses emulated
  bool echo = true;               ///< echo every complete host message
  unsigned turnaround_us = 3000;  ///< module reply delay after the request
  unsigned delay_us = 0;          ///< extra fault delay added to every reply
  double drop = 0.0;              ///< probability a reply is dropped (echo never dropped)
  double noise = 0.0;             ///< probability of a noise burst before each echo/reply
  bool traffic = false;           ///< other devices fill the bus with messages at bus speed
  bool bytewise = false;          ///< deliver replies one byte per write, ~200 us apart
  bool pace = false;              ///< every byte occupies the bus for 600 us
  unsigned usb_latency_ms =
      0;                    ///< the pty gets its bytes at most every N ms, as from a USB adapter
  std::vector<u16> silent;  ///< modules that never answer
  std::vector<std::pair<u16, unsigned>>
      answer_only;               ///< module answers only its first N CV requests
  std::vector<u16> impostor;     ///< modules whose replies come with two look-alikes first
  std::vector<u16> programming;  ///< modules in programming mode from the start
  std::vector<u16> flags80;      ///< modules whose select replies carry flags 0x80
  std::vector<std::pair<u16, unsigned>> select_us;  ///< module answers a select after N us
  std::vector<std::pair<u16, u16>> stuck;  ///< module acknowledges writes of CV but keeps it
  std::vector<std::pair<u16, unsigned>>
      intruder;  ///< module enters programming mode by itself at the host's N-th message
  std::vector<u16> broadcast_enters;  ///< modules that enter programming mode on a broadcast
  std::vector<u16> broadcast_deaf;    ///< modules that ignore a broadcast
  /// Modules that answer a broadcast first, in this order; the rest follow, ascending.
  std::vector<u16> broadcast_order;
  std::vector<u16> twins;      ///< a second module at each address, with the same values
  std::vector<u16> twins_own;  ///< a second module at each address, with values of its own
  std::string state_file;      ///< load/save CVs 145..160 in sens line format
  std::string lbserver;        ///< [ADDR:]PORT to serve the LbServer protocol on; "" none
  std::string tcp;             ///< [ADDR:]PORT to serve raw LocoNet bytes on; "" none
  // The LbServer as other servers behave; all off is the reference behaviour.
  bool lb_lf = false;          ///< lines end in LF alone
  bool lb_lower = false;       ///< hex digits in lower case
  bool lb_split = false;       ///< each line and its line end in writes of their own, Nagle on
  bool lb_sent_hex = false;    ///< the message's hex after SENT OK
  bool lb_no_error = false;    ///< never SENT ERROR: no SENT at all when no echo comes
  bool lb_early_echo = false;  ///< RECEIVE and SENT OK to the sender before the bus has it
  double lb_error = 0.0;       ///< share of SENDs refused with SENT ERROR and kept off the bus
  bool lb_no_version = false;  ///< no VERSION line on connect
  /// As JMRI's LbServer: every SEND onto the bus at once, SENT OK (with the
  /// RECEIVE, in one write) only for the echo of a client's last SEND, never
  /// SENT ERROR, "VERSION JMRI Server ..."; the other lb_ switches still apply.
  bool lb_jmri = false;
  unsigned lb_drop = 0;  ///< a connection ends after this many RECEIVE lines; 0 never
  // The Z21 side (z21.h).
  std::string z21;                 ///< [ADDR:]PORT to serve a Z21's UDP LAN protocol on; "" none
  unsigned z21_hw = 0x200;         ///< hardware type answered to LAN_GET_HWINFO
  unsigned z21_fw = 0x0143;        ///< firmware version (BCD) answered with it
  unsigned z21_forget_ms = 60000;  ///< a client silent this long is forgotten
  double z21_loss = 0.0;           ///< probability a datagram is lost, either way
  unsigned seed = 1;               ///< for every random choice
  FILE *log = nullptr;             ///< every message both ways, one line each
};

struct lnsim;

/// Starts an instance; null and *err set on failure (bad state file, no pty,
/// no thread). Nothing is left running or open on failure.
lnsim *lnsim_start(const sim_opts *o, std::string *err);
/// Path of the pty slave for a client to open.
const char *lnsim_path(const lnsim *s);
/// The port the LbServer listens on (sim_opts::lbserver); 0 when it is off.
unsigned lnsim_lbserver_port(const lnsim *s);
/// The port the raw server listens on (sim_opts::tcp); 0 when it is off.
unsigned lnsim_tcp_port(const lnsim *s);
/// The UDP port the Z21 side serves (sim_opts::z21); 0 when it is off.
unsigned lnsim_z21_port(const lnsim *s);
/// Stops the threads, closes the fds and frees s; removes nothing on disk.
void lnsim_stop(lnsim *s);

// Test hooks; thread-safe.

/// Every complete message the host sent so far, in order, checksum included.
std::vector<std::vector<u8>> lnsim_host_msgs(lnsim *s);
/// CV cv (0..3 or 145..160) of emulated module addr; false if there is none.
bool lnsim_get_cv(lnsim *s, u16 addr, u16 cv, u16 *val);
/// The modules in programming mode now, ascending.
std::vector<u16> lnsim_programming(lnsim *s);
/// Sets CV 145..160 of emulated module addr (and saves the state file); false
/// if there is no such module or CV.
bool lnsim_set_cv(lnsim *s, u16 addr, u16 cv, u16 val);

/// Parses an address list such as "1-3,12" (decimal, ranges ascending) and
/// appends its addresses; false on any other text.
bool sim_parse_list(const char *text, std::vector<u16> *out);
/// Splits "[ADDR:]PORT" ("[IPV6]:PORT" for IPv6) into the address,
/// 127.0.0.1 when none is given, and the port, 0 to 65535 (0: any free one);
/// false on any other text.
bool sim_parse_listen(const std::string &where, std::string *addr, unsigned *port);
