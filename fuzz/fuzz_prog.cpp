// Fuzzes the programming message codec. The input, cut to 128 bytes, is a
// received message of that length. prog_decode must accept it exactly when it
// has a module reply's header, decode each field as a direct reading of the
// bytes gives it, and leave the result untouched otherwise. A decoded reply
// must survive prog_encode as a request, and prog_encode_reply and a second
// decode (the request id loses bit 7, which is never sent), and the first
// eight input bytes taken as field values must round-trip the same way.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "prog.h"

namespace {

[[noreturn]] void fail(const char *what) {
  fprintf(stderr, "fuzz_prog: %s\n", what);
  abort();
}

bool same(const ln_prog_t &a, const ln_prog_t &b) {
  return a.art_no == b.art_no && a.cv_addr == b.cv_addr && a.cv_val == b.cv_val &&
         a.flags == b.flags && a.cmd == b.cmd;
}

/// A 16-bit field from its low and high data bytes and the byte-6 bits that
/// carry its bits 7 and 15.
u16 field(const u8 *b, unsigned lo, unsigned bit7, unsigned bit15) {
  unsigned v = static_cast<unsigned>(b[lo]) | static_cast<unsigned>(b[lo + 1]) << 8;
  if (b[6] >> bit7 & 1u) v |= 1u << 7;
  if (b[6] >> bit15 & 1u) v |= 1u << 15;
  return static_cast<u16>(v);
}

/// Encodes v, checks the request layout, encodes it as a module's reply and
/// checks that it decodes back to v.
void round_trip(const ln_prog_t &v, u8 opc) {
  ln_msg_t m;
  std::memset(&m, 0xA5, sizeof m);
  prog_encode(&m, &v, opc);
  const u8 *b = m.msg;
  if (m.len != PROG_LEN || b[0] != opc || b[1] != 0x0F || b[2] != 0x01 || b[3] != 0x05 ||
      b[4] != 0x00)
    fail("encoded header");
  for (unsigned i = 1; i < PROG_LEN - 1; ++i)
    if (b[i] & 0x80) fail("encoded data byte with bit 7 set");
  for (std::size_t i = PROG_LEN - 1; i < LN_MSG_MAX; ++i)
    if (b[i] != 0xA5) fail("encode wrote past byte 13");

  prog_encode_reply(&m, &v);
  ln_prog_t back{};
  if (!prog_decode(&back, &m)) fail("reply header not accepted");
  ln_prog_t want = v;
  want.cmd = static_cast<u8>(v.cmd & 0x7F);
  if (!same(back, want)) fail("round trip changed a field");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::size_t n = std::min(size, LN_MSG_MAX);
  // Pool buffers keep old contents: the bytes past len are not zero.
  ln_msg_t m;
  std::memset(&m, 0xC3, sizeof m);
  if (n != 0) std::memcpy(m.msg, data, n);
  m.len = static_cast<u8>(n);

  ln_prog_t res;
  std::memset(&res, 0x5A, sizeof res);
  ln_prog_t untouched = res;
  const int ok = prog_decode(&res, &m);
  const u8 *b = m.msg;
  const bool reply = n == PROG_LEN && b[0] == 0xE5 && b[2] == 0x05 && b[3] == 0x49 && b[4] == 0x4B;
  if (ok != (reply ? 1 : 0)) fail("accepted a message that is not a reply, or refused a reply");
  if (!ok) {
    if (!same(res, untouched)) fail("refusal touched the result");
  } else {
    ln_prog_t want;
    want.cmd = b[5];
    want.art_no = field(b, 7, 0, 1);
    want.cv_addr = field(b, 9, 2, 3);
    want.cv_val = field(b, 11, 4, 5);
    want.flags = static_cast<u8>(b[13] | (b[6] >> 6 & 1u) << 7);
    if (!same(res, want)) fail("decoded fields differ from the bytes");
    round_trip(res, OPC_PEER_XFER);
  }

  if (size >= 8) {
    ln_prog_t v;
    v.art_no = static_cast<u16>(data[0] | data[1] << 8);
    v.cv_addr = static_cast<u16>(data[2] | data[3] << 8);
    v.cv_val = static_cast<u16>(data[4] | data[5] << 8);
    v.flags = data[6];
    v.cmd = data[7];
    round_trip(v, OPC_IMM_PACKET);
  }
  return 0;
}
