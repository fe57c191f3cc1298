// The 15-byte programming message: exact request bytes, reply recognition and
// the round trip of every field through the seven-bit encoding.
#include <gtest/gtest.h>

#include "ln_rig.h"
#include "prog.h"

namespace {

/// What goes on the wire for v under opcode: prog_encode, then the checksum
/// as the transmitter adds it.
std::string wire(const ln_prog_t &v, u8 opcode) {
  ln_msg_t m{};
  prog_encode(&m, &v, opcode);
  EXPECT_EQ(m.len, 15);
  ln_msg_seal(&m);
  return hex(&m);
}

/// v as a module's reply.
ln_msg_t as_reply(const ln_prog_t &v) {
  ln_msg_t m{};
  prog_encode_reply(&m, &v);
  return m;
}

TEST(ProgEncode, RequestsOfTheTool) {
  // CV read of CV 145, select and release of module 12, write of 200 to CV 145.
  EXPECT_EQ(wire({1235, 145, 0, 0, PROG_CMD_READ}, OPC_IMM_PACKET),
            "ED 0F 01 05 00 21 05 53 04 11 00 00 00 00 7B");
  EXPECT_EQ(wire({1235, 0, 12, PROG_FLAG_ON, PROG_CMD_READ}, OPC_IMM_PACKET),
            "ED 0F 01 05 00 21 41 53 04 00 00 0C 00 00 22");
  EXPECT_EQ(wire({1235, 0, 12, PROG_FLAG_OFF, PROG_CMD_READ}, OPC_PEER_XFER),
            "E5 0F 01 05 00 21 01 53 04 00 00 0C 00 40 2A");
  EXPECT_EQ(wire({1235, 145, 200, 0, PROG_CMD_WRITE}, OPC_IMM_PACKET),
            "ED 0F 01 05 00 20 15 53 04 11 00 48 00 00 22");
}

TEST(ProgEncode, HighBitsGoToByteSix) {
  ln_msg_t m{};
  const struct {
    ln_prog_t v;
    const char *bytes5to13;
  } cases[] = {
      {{0, 0, 0xFFFF, 0, 0}, "00 30 00 00 00 00 7F 7F 00"},
      {{0x0080, 0, 0, 0, 0}, "00 01 00 00 00 00 00 00 00"},
      {{0x8000, 0, 0, 0, 0}, "00 02 00 00 00 00 00 00 00"},
      {{0, 0x0080, 0, 0, 0}, "00 04 00 00 00 00 00 00 00"},
      {{0, 0x8000, 0, 0, 0}, "00 08 00 00 00 00 00 00 00"},
      {{0, 0, 0x0080, 0, 0}, "00 10 00 00 00 00 00 00 00"},
      {{0, 0, 0x8000, 0, 0}, "00 20 00 00 00 00 00 00 00"},
      {{0, 0, 0, PROG_FLAG_ON, 0}, "00 40 00 00 00 00 00 00 00"},
      {{0, 0, 0, PROG_FLAG_OFF, 0}, "00 00 00 00 00 00 00 00 40"},
      {{0, 0, 0, 0, 0xA1}, "21 00 00 00 00 00 00 00 00"},  // bit 7 of cmd is not sent
      {{0xFFFF, 0xFFFF, 0xFFFF, 0xFF, 0xFF}, "7F 7F 7F 7F 7F 7F 7F 7F 7F"},
  };
  for (const auto &c : cases) {
    prog_encode(&m, &c.v, OPC_IMM_PACKET);
    EXPECT_EQ(hex(bytes(m.msg + 5, m.msg + 14)), c.bytes5to13)
        << c.v.art_no << ' ' << c.v.cv_addr << ' ' << c.v.cv_val << ' ' << +c.v.flags;
  }
}

TEST(ProgCodec, EveryFieldValueRoundTrips) {
  for (unsigned v = 0; v <= 0xFFFF; ++v) {
    const u16 x = static_cast<u16>(v);
    const u16 y = static_cast<u16>(v ^ 0xA5C3);  // other fields busy too
    const u8 fl = static_cast<u8>(v);
    const ln_prog_t fields[] = {{x, y, y, fl, PROG_CMD_REPLY},
                                {y, x, y, fl, PROG_CMD_REPLY},
                                {y, y, x, fl, PROG_CMD_REPLY}};
    for (const ln_prog_t &f : fields) {
      const ln_msg_t m = as_reply(f);
      for (unsigned i = 1; i < 14; ++i)
        ASSERT_EQ(m.msg[i] & 0x80, 0) << "data byte " << i << " for " << v;
      ln_prog_t got{};
      ASSERT_EQ(prog_decode(&got, &m), 1);
      ASSERT_EQ(got.art_no, f.art_no) << v;
      ASSERT_EQ(got.cv_addr, f.cv_addr) << v;
      ASSERT_EQ(got.cv_val, f.cv_val) << v;
      ASSERT_EQ(got.flags, f.flags) << v;
      ASSERT_EQ(got.cmd, PROG_CMD_REPLY) << v;
    }
  }
}

TEST(ProgDecode, MaximalReply) {
  ln_msg_t m = as_reply({0, 0, 0, 0, 0});
  for (unsigned i = 6; i < 14; ++i) m.msg[i] = 0x7F;
  ln_prog_t got{};
  ASSERT_EQ(prog_decode(&got, &m), 1);
  EXPECT_EQ(got.art_no, 0xFFFF);
  EXPECT_EQ(got.cv_addr, 0xFFFF);
  EXPECT_EQ(got.cv_val, 0xFFFF);
  EXPECT_EQ(got.flags, 0xFF);
}

TEST(ProgDecode, JoinsPartsWithOrNotPlus) {
  // A queued message may hold data bytes with bit 7 set; joining by addition
  // would carry into the next bit.
  ln_msg_t m = as_reply({0, 0, 0, 0, 0});
  m.msg[5] = 0x9F;
  m.msg[6] = 0x01 | 0x04 | 0x10 | 0x40;
  m.msg[7] = 0x80;
  m.msg[9] = 0xFF;
  m.msg[11] = 0x81;
  m.msg[12] = 0x80;
  m.msg[13] = 0xC0;
  ln_prog_t got{};
  ASSERT_EQ(prog_decode(&got, &m), 1);
  EXPECT_EQ(got.cmd, 0x9F);
  EXPECT_EQ(got.art_no, 0x0080);
  EXPECT_EQ(got.cv_addr, 0x00FF);
  EXPECT_EQ(got.cv_val, 0x8081);
  EXPECT_EQ(got.flags, 0xC0);
}

TEST(ProgDecode, RejectsWhatIsNotAModulesReply) {
  const ln_msg_t good = as_reply({1235, 145, 12, 0, PROG_CMD_REPLY});
  struct variant {
    const char *what;
    unsigned idx;  ///< byte to change, or 99 to change len
    u8 value;
  };
  const variant variants[] = {
      {"request opcode", 0, OPC_IMM_PACKET},
      {"peer opcode of another length class", 0, 0xE7},
      {"source 0x00 (command station)", 2, 0x00},
      {"source of the host", 2, 0x01},
      {"destination low", 3, 0x05},
      {"destination high", 4, 0x00},
      {"length 14", 99, 14},
      {"length 16", 99, 16},
      {"length 7", 99, 7},
  };
  for (const variant &v : variants) {
    ln_msg_t m = good;
    if (v.idx == 99)
      m.len = v.value;
    else
      m.msg[v.idx] = v.value;
    ln_prog_t res = {1, 2, 3, 4, 5};
    EXPECT_EQ(prog_decode(&res, &m), 0) << v.what;
    EXPECT_EQ(res.art_no, 1) << v.what;
    EXPECT_EQ(res.cv_addr, 2) << v.what;
    EXPECT_EQ(res.cv_val, 3) << v.what;
    EXPECT_EQ(res.flags, 4) << v.what;
    EXPECT_EQ(res.cmd, 5) << v.what;
  }
  // The interface echoes every request; the echo is never a reply.
  ln_msg_t echo{};
  const ln_prog_t req = {1235, 145, 0, 0, PROG_CMD_READ};
  prog_encode(&echo, &req, OPC_PEER_XFER);
  ln_prog_t res{};
  EXPECT_EQ(prog_decode(&res, &echo), 0);
}

}  // namespace
