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

  // A number beyond its field would lose its high bits and write another
  // value (a minus sign reads as a huge number): never what was meant.
  if (!read_num(&p, &v)) return number_err();
  if (v > 0xFFFF) return SENS_RANGE;
  out->addr = static_cast<u16>(v);
  skip_ws(&p);
  if (p == end || *p != ':') return SENS_NO_COLON;
  ++p;
  for (u8 &val : out->val) {
    if (!read_num(&p, &v)) return number_err();
    if (v > 0xFF) return SENS_RANGE;
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
    case SENS_RANGE:
      snprintf(buf, size, "Number out of range on line %u\n", lineno);
      break;
    default:
      if (size > 0) buf[0] = '\0';
  }
}

int write_module(lif_t *lif, const sens_line_t &sl, u8 *back, std::string *said) {
  const u16 addr = sl.addr;
  said->clear();
  prog_watch_reset();
  if (!select_target(lif, SENS_ART_NO, addr, 1)) {
    report_no_response(addr);
    *said = "No response from " + std::to_string(addr);
    return WRITE_SILENT;
  }
  // Before anything is written: CV 0 holds the address, and every module in
  // programming mode answers its read. Another address, or a second answer
  // after ours, means the writes would land in another module too.
  u16 id = 0;
  int ok = cv_read(&id, lif, SENS_ART_NO, 0);
  bool conflict = ok && id != addr;
  if (ok && !conflict) {
    prog_listen(lif, SENS_LATE_NS);  // about 3% of a module's write on a real bus
    conflict = prog_conflict(lif) != 0;
  }
  for (int i = 0; i < SENS_VALUES && ok && !conflict; ++i) {
    ok = cv_write(lif, SENS_ART_NO, static_cast<u16>(SENS_CV_FIRST + i), sl.val[i]);
    conflict = prog_conflict(lif) != 0;
  }
  // An acknowledge names neither module nor CV (a late one of a retried write
  // looks the same), so only reading the values back makes them written.
  std::string bad;
  for (int i = 0; i < SENS_VALUES && ok && !conflict; ++i) {
    const auto cv = static_cast<u16>(SENS_CV_FIRST + i);
    u16 v = 0;
    ok = cv_read(&v, lif, SENS_ART_NO, cv);
    conflict = prog_conflict(lif) != 0;
    back[i] = static_cast<u8>(v);
    if (ok && v != sl.val[i]) bad += (bad.empty() ? "CV " : ", CV ") + std::to_string(cv);
  }
  select_target(lif, SENS_ART_NO, addr, 0);
  if (conflict || prog_conflict(lif)) {
    report_conflict(lif, addr);
    *said = "Conflicting replies for module " + std::to_string(addr);
    return WRITE_CONFLICT;
  }
  // A module left half written must not pass unnoticed.
  if (!ok) {
    report_no_response(addr);
    *said = "No response from " + std::to_string(addr);
    return WRITE_SILENT;
  }
  if (!bad.empty()) {
    *said = "Verify failed for module " + std::to_string(addr) + ": " + bad;
    report("%s\n", said->c_str());
    return WRITE_VERIFY;
  }
  return WRITE_DONE;
}

int sens_line_check(const char *line, std::size_t len, unsigned lineno, sens_line_t *out,
                    std::string *warning, std::string *error) {
  const int err = parse_sens_line(line, len, out);
  warning->clear();
  // %zu prints what %d would for any offset an int holds, and stays right beyond.
  char buf[80];
  if (out->illegal < len) {
    snprintf(buf, sizeof buf, "Illegal chars in line %u, offset %zu\n", lineno, out->illegal);
    *warning = buf;
  }
  sens_err_text(buf, sizeof buf, err, lineno);
  *error = buf;
  return err;
}

int write_sens(lif_t *lif, FILE *in) {
  char *buf = nullptr;
  std::size_t cap = 0;
  unsigned lineno = 0;
  int result = 0;
  bool swept = false;
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
    sens_line_t sl{};
    std::string warning, error;
    const int err =
        sens_line_check(buf, static_cast<std::size_t>(n), lineno, &sl, &warning, &error);
    if (!warning.empty()) report("%s", warning.c_str());
    if (err != SENS_OK) ln_fatal("%s", error.c_str());
    // Modules left in programming mode are released before the first select,
    // not at start: standard input may keep the bus waiting for long.
    if (!swept) release_leftovers(lif);
    swept = true;
    progress("line %u: module %u", lineno, static_cast<unsigned>(sl.addr));
    u8 back[SENS_VALUES];
    std::string said;
    result = write_module(lif, sl, back, &said) == WRITE_DONE;
  }
  free(buf);
  return result;
}
