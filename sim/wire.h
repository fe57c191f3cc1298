// What lnsim puts on the wire: programming replies, long acknowledges and
// bus noise, and the reading of the host's programming requests. Pure: no
// I/O, no clock; randomness only from the generator handed in.
#pragma once

#include <random>
#include <vector>

#include "host_types.h"
#include "prog.h"

constexpr u16 SIM_ART_NO = 1235;       ///< the article number emulated
constexpr u16 SIM_BROADCAST = 0xFFFF;  ///< select of every module; the factory address

/// The len bytes of m.
std::vector<u8> sim_bytes(const ln_msg_t &m);
/// Sets the last byte of b (at most LN_MSG_MAX long) to the LocoNet checksum.
void sim_seal(std::vector<u8> *b);
/// A 15-byte programming reply (request id 0x1F) from source src to 0x49
/// 0x4B, checksum included.
std::vector<u8> sim_prog_msg(u8 src, u16 art_no, u16 cv_addr, u16 cv_val, u8 flags = 0);
/// The long acknowledge of an 0xED request with the given status byte.
std::vector<u8> sim_long_ack(u8 status);
/// True when b would pass as a module's answer to some programming request:
/// a long acknowledge B4 6D 7F or a programming reply of article 1235.
bool sim_acceptable(const std::vector<u8> &b);

/// One piece of noise: a message (bad checksums included) or stray data bytes.
struct sim_chunk_t {
  std::vector<u8> bytes;
  bool is_msg;  ///< starts with an opcode and is as long as that opcode says
};
/// Appends a burst of one to three pieces of realistic bus traffic, none of
/// which sim_acceptable would take.
void sim_noise_burst(std::mt19937 *rng, std::vector<sim_chunk_t> *out);
