// What lnsim puts on the wire: programming replies, long acknowledges and
// bus noise, and the reading of the host's programming requests. Pure: no
// I/O, no clock; randomness only from the generator handed in.
#pragma once

#include <random>
#include <vector>

#include "host_types.h"
#include "prog.h"

constexpr u16 SIM_ART_NO = 1235;        ///< the article number emulated
constexpr u16 SIM_BROADCAST = 0xFFFF;   ///< select of every module; the factory address
constexpr u8 SIM_SRC_MODULE = 0x05;     ///< source byte of a module's reply
constexpr u8 SIM_ACK_OK = 0x7F;         ///< long acknowledge: CV written
constexpr u8 SIM_ACK_NO_CV = 0x01;      ///< long acknowledge: no such CV
constexpr u8 SIM_ACK_READ_ONLY = 0x03;  ///< long acknowledge: CV is read only

/// Sets the last byte of b so that the XOR of all bytes is 0xFF.
void sim_seal(std::vector<u8> *b);
/// A 15-byte programming reply (request id 0x1F) from source src to 0x49
/// 0x4B, checksum included.
std::vector<u8> sim_prog_msg(u8 src, u16 art_no, u16 cv_addr, u16 cv_val, u8 flags = 0);
/// The long acknowledge of an 0xED request with the given status byte.
std::vector<u8> sim_long_ack(u8 status);
/// Decodes a host's programming request (15 bytes from source 0x01 to
/// 0x05 0x00, any opcode) into *p; false for any other message.
bool sim_decode_request(const u8 *b, unsigned len, ln_prog_t *p);
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
