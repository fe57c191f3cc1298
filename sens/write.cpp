// Write mode: sens lines from text into modules.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/types.h>

#include "prog.h"
#include "sens.h"
#include "util.h"

namespace {

bool is_ws(char c) { return c == '\n' || c == '\r' || c == ' ' || c == '\t'; }
bool is_legal(char c) { return (c >= '0' && c <= '9') || c == ':' || is_ws(c); }

/// Writes one parsed line into its module; 1 when all sixteen values were
/// acknowledged.
int write_module(lif_t *lif, const sens_line_t &sl) {
  if (!select_target(lif, SENS_ART_NO, sl.addr, 1)) {
    fprintf(stderr, "No response from %u\n", static_cast<unsigned>(sl.addr));
    return 0;
  }
  int ok = 1;
  for (int i = 0; i < SENS_VALUES && ok; ++i)
    ok = cv_write(lif, SENS_ART_NO, static_cast<u16>(SENS_CV_FIRST + i), sl.val[i]);
  select_target(lif, SENS_ART_NO, sl.addr, 0);
  // A module left half written must not pass unnoticed.
  if (!ok) fprintf(stderr, "No response from %u\n", static_cast<unsigned>(sl.addr));
  return ok;
}

}  // namespace

void skip_ws(const char **p_cur) {
  const char *p = *p_cur;
  while (is_ws(*p)) ++p;
  *p_cur = p;
}

bool read_num(const char **p_cur, std::uint32_t *val) {
  skip_ws(p_cur);
  const char *after = nullptr;
  std::uint32_t v = str_to_u32(*p_cur, &after);
  if (after == *p_cur) return false;
  *p_cur = after;
  *val = v;
  return true;
}

std::uint32_t read_uint(const char **p_cur, unsigned line) {
  std::uint32_t v = 0;
  if (!read_num(p_cur, &v)) {
    if (**p_cur == '\0') ln_fatal("Premature end of input on line %u\n", line);
    ln_fatal("Bad char in numeral constant a line %u\n", line);
  }
  return v;
}

int parse_sens_line(const char *line, std::size_t len, sens_line_t *out) {
  std::size_t bad = 0;
  while (bad < len && is_legal(line[bad])) ++bad;
  out->illegal = bad;

  // The NUL at line[len] stops skip_ws and the number reading, so the cursor
  // never passes the end; an earlier NUL is an ordinary illegal character.
  const char *end = line + len;
  const char *p = line;
  std::uint32_t v = 0;
  auto number_err = [&] { return p == end ? SENS_PREMATURE_END : SENS_BAD_CHAR; };

  if (!read_num(&p, &v)) return number_err();
  out->addr = static_cast<u16>(v);
  skip_ws(&p);
  if (p == end || *p != ':') return SENS_NO_COLON;
  ++p;
  for (u8 &val : out->val) {
    if (!read_num(&p, &v)) return number_err();
    val = static_cast<u8>(v);
  }
  skip_ws(&p);
  if (p != end) return SENS_TRAILING;
  return SENS_OK;
}

void sens_err_text(char *buf, std::size_t size, int err, unsigned lineno) {
  switch (err) {
    case SENS_PREMATURE_END:
      snprintf(buf, size, "Premature end of input on line %u\n", lineno);
      break;
    case SENS_BAD_CHAR:
      snprintf(buf, size, "Bad char in numeral constant a line %u\n", lineno);
      break;
    case SENS_NO_COLON:
      snprintf(buf, size, "Colon after address is missing\n");
      break;
    case SENS_TRAILING:
      snprintf(buf, size, "Trailing garbage on line %u\n", lineno);
      break;
    default:
      if (size > 0) buf[0] = '\0';
  }
}

int write_sens(lif_t *lif, FILE *in) {
  char *buf = nullptr;
  std::size_t cap = 0;
  unsigned lineno = 0;
  int result = 0;
  for (;;) {
    errno = 0;
    ssize_t n = getline(&buf, &cap, in);
    if (n < 0) {
      // Only the end of input ends the run normally: a read error or a line
      // too long for memory would otherwise pass as success with lines unwritten.
      int e = errno;
      if (ferror(in) || !feof(in)) ln_fatal("Can't read input: %s (errno: %d)\n", strerror(e), e);
      break;
    }
    ++lineno;
    const auto len = static_cast<std::size_t>(n);
    sens_line_t sl{};
    int err = parse_sens_line(buf, len, &sl);
    // %zu prints what %d would for any offset an int holds, and stays right beyond.
    if (sl.illegal < len)
      fprintf(stderr, "Illegal chars in line %u, offset %zu\n", lineno, sl.illegal);
    if (err != SENS_OK) {
      char msg[64];
      sens_err_text(msg, sizeof msg, err, lineno);
      ln_fatal("%s", msg);
    }
    result = write_module(lif, sl);
  }
  free(buf);
  return result;
}
