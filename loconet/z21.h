// The Z21's LAN protocol, as far as LocoNet needs it: UDP datagrams that
// hold one or more records back to back. A record is its length (2 bytes,
// little endian, the whole record's, these bytes included), a header (2
// bytes, little endian) and length - 4 bytes of data; numbers in the data
// are little endian. Pure functions, for the tool's transport and for a
// station alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host_types.h"

struct lif_t;

constexpr unsigned Z21_PORT = 21105;            ///< the station's UDP port
constexpr std::size_t Z21_DATAGRAM_MAX = 1472;  ///< one Ethernet frame's payload

// Headers of the records a LocoNet client uses.
constexpr u16 Z21_GET_SERIAL_NUMBER = 0x10;        ///< answered with the 32-bit serial number
constexpr u16 Z21_GET_HWINFO = 0x1A;               ///< answered with hardware type and firmware
constexpr u16 Z21_LOGOFF = 0x30;                   ///< no answer: the station forgets the client
constexpr u16 Z21_SET_BROADCASTFLAGS = 0x50;       ///< 32-bit flags; no answer
constexpr u16 Z21_GET_BROADCASTFLAGS = 0x51;       ///< answered with the 32-bit flags
constexpr u16 Z21_SYSTEMSTATE_DATACHANGED = 0x84;  ///< the answer to 0x85: 16 bytes of state
constexpr u16 Z21_SYSTEMSTATE_GETDATA = 0x85;
constexpr u16 Z21_LOCONET_RX = 0xA0;        ///< station to client: a message from the bus
constexpr u16 Z21_LOCONET_TX = 0xA1;        ///< station to client: a message it put on the bus
constexpr u16 Z21_LOCONET_FROM_LAN = 0xA2;  ///< client to station: for the bus; station to
                                            ///< the other clients: what a client put there

/// Broadcast flag: the bus's LocoNet messages but loco and switch messages,
/// the module-programming replies and long acknowledges among them.
constexpr std::uint32_t Z21_FLAG_LOCONET = 0x01000000;

/// One record of a datagram; data points into the datagram.
struct z21_record_t {
  u16 header;
  const u8 *data;
  std::size_t len;  ///< bytes of data, the length and header not counted
};

/// Calls on(arg, record) for each record of the n bytes of datagram d, in
/// order, and returns how many there were. A record whose length is below 4
/// or runs past the end of the datagram ends it: nothing behind it can be
/// found.
std::size_t z21_split(const u8 *d, std::size_t n, void (*on)(void *arg, const z21_record_t &r),
                      void *arg);
/// Appends a record with header and the len bytes of data to out.
void z21_put(std::vector<u8> *out, u16 header, const u8 *data = nullptr, std::size_t len = 0);
/// Appends a record whose data is the 32-bit number v.
void z21_put_u32(std::vector<u8> *out, u16 header, std::uint32_t v);
/// The little-endian 32-bit number at p.
std::uint32_t z21_u32(const u8 *p);

/// The name of a station's hardware type (0x200 "black Z21", ...), or null
/// for one not known.
const char *z21_hw_name(std::uint32_t type);
/// Whether a station of that hardware type has a LocoNet socket: the white
/// z21 and the z21 start have none (boosters and decoders neither), and an
/// unknown type is given the benefit of the doubt.
bool z21_hw_has_loconet(std::uint32_t type);
/// Takes one datagram from the station: the bytes of every LocoNet record
/// (0xA0, 0xA1, 0xA2) go through lif's framing core, as a serial line's
/// would, one record after the other; other records are no concern of ours.
/// The Z21 kind's reader thread, and tests and fuzzers, call it.
void z21_take(lif_t *lif, const u8 *d, std::size_t n);

/// The first firmware with the LocoNet tunnel (BCD: 1.20).
constexpr std::uint32_t Z21_FW_LOCONET = 0x0120;
