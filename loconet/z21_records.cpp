// The Z21's records: splitting a datagram, building records, the station's
// hardware types. No I/O.
#include <cstring>

#include "z21.h"

std::size_t z21_split(const u8 *d, std::size_t n, void (*on)(void *arg, const z21_record_t &r),
                      void *arg) {
  std::size_t at = 0, count = 0;
  while (n - at >= 4) {
    const std::size_t len = d[at] | static_cast<std::size_t>(d[at + 1]) << 8;
    // A length that cannot hold its own header, or that runs past the end:
    // where the next record would start is unknown.
    if (len < 4 || len > n - at) break;
    const z21_record_t r = {static_cast<u16>(d[at + 2] | d[at + 3] << 8), d + at + 4, len - 4};
    on(arg, r);
    ++count;
    at += len;
  }
  return count;
}

void z21_put(std::vector<u8> *out, u16 header, const u8 *data, std::size_t len) {
  const std::size_t total = len + 4;
  out->push_back(static_cast<u8>(total & 0xFF));
  out->push_back(static_cast<u8>(total >> 8));
  out->push_back(static_cast<u8>(header & 0xFF));
  out->push_back(static_cast<u8>(header >> 8));
  if (len > 0) out->insert(out->end(), data, data + len);
}

void z21_put_u32(std::vector<u8> *out, u16 header, std::uint32_t v) {
  const u8 b[4] = {static_cast<u8>(v), static_cast<u8>(v >> 8), static_cast<u8>(v >> 16),
                   static_cast<u8>(v >> 24)};
  z21_put(out, header, b, sizeof b);
}

std::uint32_t z21_u32(const u8 *p) {
  return p[0] | static_cast<std::uint32_t>(p[1]) << 8 | static_cast<std::uint32_t>(p[2]) << 16 |
         static_cast<std::uint32_t>(p[3]) << 24;
}

const char *z21_hw_name(std::uint32_t type) {
  switch (type) {
    case 0x200:
    case 0x201:
      return "black Z21";
    case 0x202:
      return "SmartRail";
    case 0x203:
      return "white z21";
    case 0x204:
      return "z21 start";
    case 0x211:
      return "Z21 XL";
    default:
      return nullptr;
  }
}

bool z21_hw_has_loconet(std::uint32_t type) { return type != 0x203 && type != 0x204; }
