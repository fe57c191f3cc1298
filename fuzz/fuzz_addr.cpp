// Fuzzes the address-list parser core. The input, up to its first NUL, is the
// list text; parse_addr_r must give the outcome and the elements that a
// straightforward re-reading of the text gives, leave nothing allocated on an
// error, and never read past the text (ASan).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sens.h"

namespace {

struct range_t {
  u16 start;
  u16 end;
};

[[noreturn]] void fail(const char *what, const char *text) {
  fprintf(stderr, "fuzz_addr: %s for \"%s\"\n", what, text);
  abort();
}

/// Reads "-"? digits+ at s[*i]: the 32-bit value (saturating at 4294967295,
/// a minus taking it modulo 2^32) cut to 16 bits. False when no digit follows.
bool number(const char *s, std::size_t *i, u16 *val) {
  std::size_t j = *i;
  const bool neg = s[j] == '-';
  if (neg) ++j;
  if (s[j] < '0' || s[j] > '9') return false;
  std::uint64_t mag = 0;
  for (; s[j] >= '0' && s[j] <= '9'; ++j)
    mag = std::min<std::uint64_t>(mag * 10 + static_cast<unsigned>(s[j] - '0'), 1ull << 32);
  std::uint32_t v = 0xFFFFFFFFu;
  if (mag <= 0xFFFFFFFFu)
    v = neg ? 0u - static_cast<std::uint32_t>(mag) : static_cast<std::uint32_t>(mag);
  *val = static_cast<u16>(v);
  *i = j;
  return true;
}

int reference(const char *s, std::vector<range_t> *out) {
  const std::size_t n = std::strlen(s);
  if (n == 0) return ADDR_OK;
  for (std::size_t i = 0; i < n; ++i)
    if (std::strchr("0123456789-,", s[i]) == nullptr) return ADDR_OK;
  std::size_t i = 0;
  while (i < n) {
    range_t r{};
    if (!number(s, &i, &r.start)) return ADDR_NO_NUM_AFTER_COMMA;
    r.end = r.start;
    if (i < n && s[i] == ',') {
      ++i;
    } else if (i < n) {  // a dash: a range, then one separator of either kind
      ++i;
      if (!number(s, &i, &r.end)) return ADDR_NO_NUM_AFTER_DASH;
      if (i < n) ++i;
    }
    out->push_back(r);
  }
  return ADDR_OK;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  // Exactly as long as the text, so a read past its NUL is caught.
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  const char *s = text.data();

  std::vector<range_t> want;
  const int want_err = reference(s, &want);
  addr_list_t *list = reinterpret_cast<addr_list_t *>(&want);  // anything but null
  const int err = parse_addr_r(s, &list);
  if (err != want_err) fail("outcome differs", s);
  if (err != ADDR_OK) {
    if (list != nullptr) fail("list left behind an error", s);
    const char *line = addr_err_text(err);
    const std::size_t len = std::strlen(line);
    if (len == 0 || line[len - 1] != '\n') fail("error without its line", s);
    return 0;
  }
  std::size_t k = 0;
  for (const addr_list_t *e = list; e != nullptr; e = e->next, ++k)
    if (k >= want.size() || e->start != want[k].start || e->end != want[k].end)
      fail("element differs", s);
  if (k != want.size()) fail("element count differs", s);
  addr_list_free(list);
  return 0;
}
