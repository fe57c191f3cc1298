// Module programming: the 15-byte programming messages and the select,
// release, CV read and CV write operations built on the retried exchange.
//
// All operations run on the main thread. Each takes one buffer from the pool
// for its request and returns it, together with any accepted reply, before it
// returns. Operations that talk to a module return 1 when it answered as
// expected and 0 when no acceptable reply came after all attempts; running out
// of buffers ends the process.
#pragma once

#include <bitset>

#include "host_types.h"
#include "loconet.h"

constexpr u8 OPC_IMM_PACKET = 0xED;  ///< requests to a module
constexpr u8 OPC_PEER_XFER = 0xE5;   ///< module replies, and the release
constexpr u8 OPC_LONG_ACK = 0xB4;    ///< acknowledge of a CV write

constexpr u8 PROG_LEN = 15;          ///< length of every programming message
constexpr u8 PROG_CMD_READ = 0x21;   ///< request id of select, release, CV read
constexpr u8 PROG_CMD_WRITE = 0x20;  ///< request id of a CV write
constexpr u8 PROG_CMD_REPLY = 0x1F;  ///< request id of a module's reply
constexpr u8 PROG_FLAG_ON = 0x80;    ///< select: programming on
constexpr u8 PROG_FLAG_OFF = 0x40;   ///< release: programming off

// Header bytes 2..4: source, destination low and high.
constexpr u8 PROG_SRC_HOST = 0x01;     ///< request: from the host
constexpr u8 PROG_DST_MODULE = 0x05;   ///< request: to the modules (0x05 0x00)
constexpr u8 PROG_SRC_MODULE = 0x05;   ///< reply: from a module
constexpr u8 PROG_DST_HOST_LO = 0x49;  ///< reply: to the host, 'I'
constexpr u8 PROG_DST_HOST_HI = 0x4B;  ///<                      'K'

// Third byte of a module's long acknowledge of an OPC_IMM_PACKET request.
constexpr u8 PROG_ACK_OK = 0x7F;         ///< CV written
constexpr u8 PROG_ACK_NO_CV = 0x01;      ///< the module has no such CV
constexpr u8 PROG_ACK_READ_ONLY = 0x03;  ///< the CV is read only

/// The module address a select names to reach every module of the article
/// at once; also the address modules leave the factory with.
constexpr u16 PROG_BROADCAST = 0xFFFF;

constexpr unsigned PROG_RETRIES = 3;               ///< so at most four transmissions
constexpr std::uint32_t PROG_TIMEOUT = 100000000;  ///< ns per attempt
/// A broadcast's answers are heard at most this long: two hundred modules
/// answering one after another at bus speed, each a slow turnaround after
/// the one before.
constexpr std::int64_t PROG_BROADCAST_MAX_MS = 5000;

/// A decoded programming message.
struct ln_prog_t {
  u16 art_no;   ///< article number of the module type
  u16 cv_addr;  ///< CV number
  u16 cv_val;   ///< CV value; for select and release the module address
  u8 flags;     ///< PROG_FLAG_ON, PROG_FLAG_OFF or 0
  u8 cmd;       ///< request id
};

/// Fills m (len 15, bytes 0..13) with v under opcode cmd; the transmitter adds byte 14.
void prog_encode(ln_msg_t *m, const ln_prog_t *v, u8 cmd);
/// 1 and res filled when m is a module's programming reply; else 0, res untouched.
int prog_decode(ln_prog_t *res, const ln_msg_t *m);
/// What a module sends: the programming reply carrying v (opcode 0xE5, source
/// 0x05, destination 'I' 'K'), checksum included. The request id is v->cmd.
void prog_encode_reply(ln_msg_t *m, const ln_prog_t *v);
/// A module's long acknowledge of an OPC_IMM_PACKET request with status
/// (PROG_ACK_*), checksum included.
void prog_encode_ack(ln_msg_t *m, u8 status);
/// 1 and res filled when m is a host's programming request (15 bytes from
/// PROG_SRC_HOST to PROG_DST_MODULE, any opcode); else 0, res untouched.
int prog_decode_request(ln_prog_t *res, const ln_msg_t *m);

/// Selects (on != 0, waits for the module's reply) or releases (on == 0, sent
/// once, always 1) module addr of article art_no. From a select on, every end
/// of the process releases the module (lif_arm_release) until it is released
/// here; a select that goes unanswered is followed by one release, as the
/// module may have heard it. Nothing waits for a server's answer to a
/// release: a refusal, seen by a later operation or prog_settle, sends the
/// release again (at most three times). A select of PROG_BROADCAST, which
/// every other module answers as the broadcast, one after another: each
/// attempt lasts until their answers have died out (a whole reply window
/// without a new address), so the factory module's answer counts wherever it
/// comes among theirs, and none of theirs reaches a later request.
int select_target(lif_t *lif, u16 art_no, u16 addr, int on);
int select_target_qual(const ln_msg_t *rx, void *arg);
/// Reads CV addr of the selected module into *res; *res untouched on 0.
int cv_read(u16 *res, lif_t *lif, u16 art_no, u16 addr);
int cv_read_qual(const ln_msg_t *rx, void *arg);
/// Writes val into CV addr of the selected module; 1 on its long acknowledge.
int cv_write(lif_t *lif, u16 art_no, u16 addr, u16 val);
int cv_write_qual(const ln_msg_t *rx, void *arg);
/// Reads one CV and prints "CV[n]: v" or "CV[n]: No reply" on stdout.
void cv_read_print(lif_t *lif, u16 art_no, u16 addr);

// --- More than one module in programming mode --------------------------------
// Every exchange above shows the messages it passes over to a watch: a second
// reply to a CV read answered in this session, with another value, means a
// second module is answering. The watch costs no waiting.

/// Forgets the session's reads and any conflict: a new module's session begins.
void prog_watch_reset();
/// 1 when, since the last reset, a CV read was answered twice with different
/// values; looks at what is still queued first.
int prog_conflict(lif_t *lif);
/// Waits ns (< 1 s), showing every message that arrives to the watch: gives a
/// second module time to answer, and lets late answers pass.
void prog_listen(lif_t *lif, std::uint32_t ns);
/// Reads CV 0 of article art_no once with no module selected and listens for
/// the whole reply window: every module left in programming mode answers with
/// its address. Stores up to max distinct addresses in found, in the order
/// heard, and returns their number.
unsigned prog_sweep(lif_t *lif, u16 art_no, u16 *found, unsigned max);

// --- Finding the modules on the bus ---------------------------------------------

/// A set of module addresses, one bit each.
using prog_addrs_t = std::bitset<65536>;

/// Sends the broadcast select of article art_no (a select of PROG_BROADCAST)
/// once and hears every module of the article answer with its address, as
/// its reply to a select. The window lasts until a whole reply window has
/// passed without an address new to it, so that many modules answering one
/// after another are all heard. Adds each address heard to *heard, and to
/// *twice each one that answered twice within the window. Returns how many
/// addresses were new to *heard, or -1 when the far end refused the
/// transmission. The release of PROG_BROADCAST and of every address heard is
/// armed for the end of the process (prog_arm_release).
int prog_broadcast(lif_t *lif, u16 art_no, prog_addrs_t *heard, prog_addrs_t *twice);
/// Arms the release of module addr for every end of the process, beside the
/// releases armed already; once per address until prog_disarm.
void prog_arm_release(lif_t *lif, u16 art_no, u16 addr);
/// Disarms every release armed for the end of the process.
void prog_disarm(lif_t *lif);
/// Before the run ends: waits, at most one reply window, for a server's
/// answer to the last release, or its echo, sending refused releases again.
/// Returns at once over a transport without answers, or when the server has
/// answered nothing for a whole reply window.
void prog_settle(lif_t *lif);
