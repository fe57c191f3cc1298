// The 15-byte programming message. LocoNet data bytes carry 7 bits, so bit 7
// of each of the seven data bytes travels in one extra byte (byte 6):
//
//   0  opcode (OPC_IMM_PACKET or OPC_PEER_XFER)
//   1  0x0F, length
//   2  source              (0x01 host, 0x05 module reply)
//   3  destination low     (0x05 host request, 0x49 'I' reply)
//   4  destination high    (0x00 host request, 0x4B 'K' reply)
//   5  request id          bits 0-6
//   6  high bits           see HB_* below
//   7  article number      bits 0-6
//   8  article number      bits 8-14
//   9  CV number           bits 0-6
//  10  CV number           bits 8-14
//  11  CV value            bits 0-6
//  12  CV value            bits 8-14
//  13  flags               bits 0-6
//  14  checksum
#include "prog.h"

namespace {

constexpr u8 DST_MODULE_HI = 0x00;

// Bit of byte 6 that carries bit 7 and bit 15 of each field.
constexpr u8 HB_ART_7 = 0x01, HB_ART_15 = 0x02;
constexpr u8 HB_CV_7 = 0x04, HB_CV_15 = 0x08;
constexpr u8 HB_VAL_7 = 0x10, HB_VAL_15 = 0x20;
constexpr u8 HB_FLAGS_7 = 0x40;

constexpr u8 lo7(unsigned v) { return static_cast<u8>(v & 0x7F); }
constexpr u8 hi7(unsigned v) { return static_cast<u8>((v >> 8) & 0x7F); }
constexpr u8 hb(unsigned v, unsigned bit, u8 mask) { return (v >> bit) & 1u ? mask : 0; }

/// A 16-bit field from its two data bytes and its two bits in byte 6. Parts
/// are OR-ed: a queued data byte may itself carry bit 7.
constexpr u16 join16(const u8 *b, unsigned i, u8 m7, u8 m15) {
  unsigned v = b[i] | (static_cast<unsigned>(b[i + 1]) << 8);
  if (b[6] & m7) v |= 0x80;
  if (b[6] & m15) v |= 0x8000;
  return static_cast<u16>(v);
}

/// The fields of bytes 5..13, requests and replies alike.
void decode_fields(ln_prog_t *res, const u8 *b) {
  res->cmd = b[5];
  res->art_no = join16(b, 7, HB_ART_7, HB_ART_15);
  res->cv_addr = join16(b, 9, HB_CV_7, HB_CV_15);
  res->cv_val = join16(b, 11, HB_VAL_7, HB_VAL_15);
  res->flags = static_cast<u8>(b[13] | ((b[6] & HB_FLAGS_7) ? 0x80 : 0));
}

}  // namespace

void prog_encode(ln_msg_t *m, const ln_prog_t *v, u8 cmd) {
  u8 *b = m->msg;
  m->len = PROG_LEN;
  b[0] = cmd;
  b[1] = PROG_LEN;
  b[2] = PROG_SRC_HOST;
  b[3] = PROG_DST_MODULE;
  b[4] = DST_MODULE_HI;
  b[5] = lo7(v->cmd);
  b[6] = static_cast<u8>(hb(v->art_no, 7, HB_ART_7) | hb(v->art_no, 15, HB_ART_15) |
                         hb(v->cv_addr, 7, HB_CV_7) | hb(v->cv_addr, 15, HB_CV_15) |
                         hb(v->cv_val, 7, HB_VAL_7) | hb(v->cv_val, 15, HB_VAL_15) |
                         hb(v->flags, 7, HB_FLAGS_7));
  b[7] = lo7(v->art_no);
  b[8] = hi7(v->art_no);
  b[9] = lo7(v->cv_addr);
  b[10] = hi7(v->cv_addr);
  b[11] = lo7(v->cv_val);
  b[12] = hi7(v->cv_val);
  b[13] = lo7(v->flags);
}

int prog_decode(ln_prog_t *res, const ln_msg_t *m) {
  const u8 *b = m->msg;
  if (b[0] != OPC_PEER_XFER || m->len != PROG_LEN || b[2] != PROG_SRC_MODULE ||
      b[3] != PROG_DST_HOST_LO || b[4] != PROG_DST_HOST_HI)
    return 0;
  decode_fields(res, b);
  return 1;
}

void prog_encode_reply(ln_msg_t *m, const ln_prog_t *v) {
  prog_encode(m, v, OPC_PEER_XFER);
  m->msg[2] = PROG_SRC_MODULE;
  m->msg[3] = PROG_DST_HOST_LO;
  m->msg[4] = PROG_DST_HOST_HI;
  ln_msg_seal(m);
}

void prog_encode_ack(ln_msg_t *m, u8 status) {
  m->len = 4;
  m->msg[0] = OPC_LONG_ACK;
  m->msg[1] = OPC_IMM_PACKET & 0x7F;  // the acknowledged opcode, bit 7 cleared
  m->msg[2] = status;
  ln_msg_seal(m);
}

int prog_decode_request(ln_prog_t *res, const ln_msg_t *m) {
  const u8 *b = m->msg;
  if (m->len != PROG_LEN || b[1] != PROG_LEN || b[2] != PROG_SRC_HOST || b[3] != PROG_DST_MODULE ||
      b[4] != DST_MODULE_HI)
    return 0;
  decode_fields(res, b);
  return 1;
}
