#include "wire.h"

#include <algorithm>
#include <array>

namespace {

constexpr u8 SRC_STATION = 0x00;  // a command station's own programming protocol

unsigned below(std::mt19937 *rng, unsigned n) { return static_cast<unsigned>((*rng)() % n); }
u8 data7(std::mt19937 *rng) { return static_cast<u8>((*rng)() & 0x7F); }

/// A message of len bytes: opcode, then random data bytes, sealed.
std::vector<u8> random_msg(std::mt19937 *rng, u8 opc, unsigned len, bool len_byte) {
  std::vector<u8> b(len);
  b[0] = opc;
  for (unsigned i = 1; i + 1 < len; ++i) b[i] = data7(rng);
  if (len_byte) b[1] = static_cast<u8>(len);
  sim_seal(&b);
  return b;
}

/// A well-formed message that a host waiting for a module must pass over.
/// Shapes and frequencies follow captures of real layouts.
std::vector<u8> lookalike(std::mt19937 *rng) {
  // Acknowledges of other opcodes, and of 0xED with other outcomes.
  static constexpr std::array<std::array<u8, 2>, 6> acks{
      {{0x6F, 0x7F}, {0x7D, 0x7F}, {0x3B, 0x00}, {0x3C, 0x00}, {0x6D, 0x01}, {0x6D, 0x03}}};
  switch (below(rng, 8)) {
    case 0:
      return {0x81, 0x7E};  // master busy
    case 1:
      return {0x83, 0x7C};  // global power on
    case 2:
      return random_msg(rng, 0xB2, 4, false);  // sensor report
    case 3: {                                  // long acknowledge
      auto a = acks[below(rng, acks.size())];
      if (a[0] == 0x3C) a[1] = data7(rng);
      std::vector<u8> b{OPC_LONG_ACK, a[0], a[1], 0};
      sim_seal(&b);
      return b;
    }
    case 4:  // the station's programming protocol: right destination, source 0
      return sim_prog_msg(SRC_STATION, static_cast<u16>((*rng)()), static_cast<u16>((*rng)()),
                          static_cast<u16>((*rng)()));
    case 5:
      return random_msg(rng, OPC_PEER_XFER, 7, true);  // short peer transfer
    case 6: {  // a module of another article at one of the common addresses
      u16 art = static_cast<u16>((*rng)());
      if (art == SIM_ART_NO) ++art;
      const u16 cv = below(rng, 2) ? 0 : static_cast<u16>(145 + below(rng, 16));
      const u16 val = cv == 0 ? static_cast<u16>(1 + below(rng, 2)) : data7(rng);
      return sim_prog_msg(PROG_SRC_MODULE, art, cv, val);
    }
    default:
      return random_msg(rng, 0xE7, 14, true);  // slot data
  }
}

}  // namespace

std::vector<u8> sim_bytes(const ln_msg_t &m) { return {m.msg, m.msg + m.len}; }

void sim_seal(std::vector<u8> *b) {
  ln_msg_t m{};
  m.len = static_cast<u8>(b->size());
  std::copy(b->begin(), b->end(), m.msg);
  ln_msg_seal(&m);
  b->back() = m.msg[m.len - 1];
}

std::vector<u8> sim_prog_msg(u8 src, u16 art_no, u16 cv_addr, u16 cv_val, u8 flags) {
  ln_msg_t m{};
  const ln_prog_t v{art_no, cv_addr, cv_val, flags, PROG_CMD_REPLY};
  prog_encode_reply(&m, &v);
  if (src != PROG_SRC_MODULE) {
    m.msg[2] = src;
    ln_msg_seal(&m);
  }
  return sim_bytes(m);
}

std::vector<u8> sim_long_ack(u8 status) {
  ln_msg_t m{};
  prog_encode_ack(&m, status);
  return sim_bytes(m);
}

bool sim_acceptable(const std::vector<u8> &b) {
  if (b.size() >= 3 && b[0] == OPC_LONG_ACK && b[1] == (OPC_IMM_PACKET & 0x7F) &&
      b[2] == PROG_ACK_OK)
    return true;
  if (b.size() != PROG_LEN) return false;
  ln_msg_t m{};
  std::copy(b.begin(), b.end(), m.msg);
  m.len = PROG_LEN;
  ln_prog_t p;
  return prog_decode(&p, &m) == 1 && p.art_no == SIM_ART_NO;
}

void sim_noise_burst(std::mt19937 *rng, std::vector<sim_chunk_t> *out) {
  for (unsigned n = 1 + below(rng, 3); n > 0;) {
    sim_chunk_t c{{}, true};
    const unsigned kind = below(rng, 10);
    if (kind == 0) {  // stray data bytes, as after a collision
      c.is_msg = false;
      c.bytes.resize(1 + below(rng, 4));
      for (u8 &x : c.bytes) x = data7(rng);
    } else {
      c.bytes = lookalike(rng);
      if (sim_acceptable(c.bytes)) continue;  // never a reply the host could take
      // A corrupted checksum keeps bit 7 clear, so framing stays intact.
      if (kind == 1) c.bytes.back() ^= static_cast<u8>(1 + below(rng, 0x7F));
    }
    out->push_back(std::move(c));
    --n;
  }
}
