// Fuzzes the Z21 kind's datagram reader. The input is a series of datagrams,
// each a length byte and that many bytes (the last one whatever is left),
// taken in turn by z21_take on a framing record of its own.
//
// Each input must hold, or the fuzzer aborts:
// - the records found are those a direct reading of the lengths finds, and
//   nothing is read past a datagram's end (AddressSanitizer sees that);
// - the messages queued are exactly those the same framing core queues when
//   it is fed the bytes of the LocoNet records (0xA0, 0xA1, 0xA2), in order,
//   each record as one read of a serial line; each has the length its
//   opcode gives and a good checksum.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "loconet.h"
#include "reader.h"
#include "z21.h"

namespace {

[[noreturn]] void fail(const char *what) {
  fprintf(stderr, "fuzz_z21: %s\n", what);
  abort();
}

/// The LocoNet records' bytes of datagram d, a record each, as a direct
/// reading of its record lengths gives them; the count of all its records in
/// *records.
std::vector<std::vector<u8>> loconet_bytes(const u8 *d, std::size_t n, std::size_t *records) {
  std::vector<std::vector<u8>> out;
  *records = 0;
  for (std::size_t at = 0; at + 4 <= n;) {
    const std::size_t len = d[at] + 256u * d[at + 1];
    if (len < 4 || at + len > n) break;
    ++*records;
    const unsigned header = d[at + 2] + 256u * d[at + 3];
    if (header == 0xA0 || header == 0xA1 || header == 0xA2)
      out.emplace_back(d + at + 4, d + at + len);
    at += len;
  }
  return out;
}

void feed(lif_t *f, const std::vector<u8> &b) {
  for (std::size_t i = 0; i < b.size();) {
    const std::size_t k = std::min<std::size_t>(ln_frame_want(f), b.size() - i);
    std::memcpy(f->cur->msg + f->level, b.data() + i, k);
    ln_frame_feed(f, static_cast<unsigned>(k));
    i += k;
  }
}

void count(void *arg, const z21_record_t &) { ++*static_cast<std::size_t *>(arg); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  lif_t *got = lif_framer();
  lif_t *want = lif_framer();
  if (got == nullptr || want == nullptr) fail("no memory");
  for (std::size_t at = 0; at < size;) {
    std::size_t n = data[at++];
    if (n > size - at) n = size - at;
    // A copy of its own: reading past its end is what AddressSanitizer sees.
    const std::vector<u8> d(data + at, data + at + n);
    at += n;
    std::size_t split = 0, direct = 0;
    z21_split(d.data(), d.size(), count, &split);
    z21_take(got, d.data(), d.size());
    for (const std::vector<u8> &r : loconet_bytes(d.data(), d.size(), &direct)) feed(want, r);
    if (split != direct) fail("records found differ from a direct reading");
  }
  for (;;) {
    ln_msg_t *a = ln_msg_rx_now(got);
    ln_msg_t *b = ln_msg_rx_now(want);
    if (a == nullptr && b == nullptr) break;
    if (a == nullptr || b == nullptr || a->len != b->len ||
        std::memcmp(a->msg, b->msg, a->len) != 0)
      fail("messages differ from the framing of the records' bytes");
    // Bytes held over from a read are not looked at for opcodes again, so a
    // data byte may have bit 7 set; the length and checksum always hold.
    u8 sum = 0;
    for (unsigned i = 0; i < a->len; ++i) sum ^= a->msg[i];
    const unsigned len = ln_fixed_len(a->msg[0]) != 0 ? ln_fixed_len(a->msg[0]) : a->msg[1];
    if (!(a->msg[0] & 0x80) || len != a->len || sum != 0xFF) fail("a queued message is malformed");
    ln_msg_free(got, a);
    ln_msg_free(want, b);
  }
  lif_detach(got);
  lif_detach(want);
  return 0;
}
