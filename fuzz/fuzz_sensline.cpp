// Fuzzes the sens-line parser core with arbitrary bytes, NULs and very long
// lines included. The whole input is one line as getline leaves it (a NUL
// behind the last byte). parse_sens_line must give the outcome, the offset of
// the first illegal character and, on success, the address and values that a
// straightforward re-reading gives, and never read past the line (ASan). A
// parsed line printed as the read mode prints it must parse back unchanged,
// and every error must have its line of text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sens.h"

namespace {

[[noreturn]] void fail(const char *what) {
  fprintf(stderr, "fuzz_sensline: %s\n", what);
  abort();
}

/// A direct reading of one line of n bytes, independent of the parser.
struct reread_t {
  const char *s;
  std::size_t n;
  std::size_t p;

  int at(std::size_t i) const { return i < n ? static_cast<unsigned char>(s[i]) : -1; }
  static bool ws(int c) { return c == '\n' || c == '\r' || c == ' ' || c == '\t'; }
  void skip_ws() {
    while (ws(at(p))) ++p;
  }
  /// White space, then what strtoul skips, a sign and digits: the value cut
  /// to 32 bits. False, the cursor after the white space, when no digit follows.
  bool number(std::uint32_t *v) {
    skip_ws();
    std::size_t j = p;
    while (at(j) == ' ' || (at(j) >= '\t' && at(j) <= '\r')) ++j;
    const bool neg = at(j) == '-';
    if (at(j) == '-' || at(j) == '+') ++j;
    if (at(j) < '0' || at(j) > '9') return false;
    std::uint64_t mag = 0;
    bool over = false;
    for (; at(j) >= '0' && at(j) <= '9'; ++j) {
      mag = mag * 10 + static_cast<unsigned>(at(j) - '0');
      if (mag > 0xFFFFFFFFu) {
        over = true;
        mag = 0;
      }
    }
    const auto m = static_cast<std::uint32_t>(mag);
    *v = over ? 0xFFFFFFFFu : neg ? 0u - m : m;
    p = j;
    return true;
  }
  int number_err() const { return p >= n ? SENS_PREMATURE_END : SENS_BAD_CHAR; }

  int parse(sens_line_t *out) {
    out->illegal = 0;
    while (out->illegal < n && (ws(at(out->illegal)) || at(out->illegal) == ':' ||
                                (at(out->illegal) >= '0' && at(out->illegal) <= '9')))
      ++out->illegal;
    std::uint32_t v = 0;
    if (!number(&v)) return number_err();
    if (v > 65535) return SENS_RANGE;
    out->addr = static_cast<u16>(v);
    skip_ws();
    if (at(p) != ':') return SENS_NO_COLON;
    ++p;
    for (u8 &val : out->val) {
      if (!number(&v)) return number_err();
      if (v > 255) return SENS_RANGE;
      val = static_cast<u8>(v);
    }
    skip_ws();
    return p < n ? SENS_TRAILING : SENS_OK;
  }
};

bool same(const sens_line_t &a, const sens_line_t &b) {
  return a.addr == b.addr && std::memcmp(a.val, b.val, sizeof a.val) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  // Exactly as long as the line and its NUL, so a read past it is caught.
  std::vector<char> line(data, data + size);
  line.push_back('\0');

  sens_line_t got{};
  const int err = parse_sens_line(line.data(), size, &got);
  sens_line_t want{};
  reread_t rr{line.data(), size, 0};
  const int want_err = rr.parse(&want);
  if (err != want_err) fail("outcome differs");
  if (got.illegal != want.illegal) fail("offset of the first illegal character differs");

  if (err != SENS_OK) {
    char text[64];
    const unsigned lineno = size == 0 ? 0u : 0xFFFFFFFFu - data[0];
    sens_err_text(text, sizeof text, err, lineno);
    const std::size_t len = std::strlen(text);
    if (len == 0 || len + 1 >= sizeof text || text[len - 1] != '\n') fail("error without its line");
    // A short buffer gets a cut, terminated line and nothing beyond it.
    const std::size_t small = size % 8;
    std::vector<char> cut(small == 0 ? 1 : small, 'x');
    sens_err_text(cut.data(), small, err, lineno);
    if (small != 0 && std::strlen(cut.data()) != small - 1) fail("cut line not terminated");
    return 0;
  }
  if (!same(got, want)) fail("parsed values differ");

  std::string printed = std::to_string(got.addr) + ":";
  for (u8 v : got.val) printed += " " + std::to_string(v);
  printed += "\r\n";
  sens_line_t again{};
  if (parse_sens_line(printed.c_str(), printed.size(), &again) != SENS_OK || !same(again, got) ||
      again.illegal != printed.size())
    fail("printed line does not parse back");
  return 0;
}
