// The LbServer text protocol, and the transport that speaks it.
#include "lbserver.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "reader.h"
#include "transport.h"
#include "util.h"

namespace {

/// Reads of nothing in a row that mean the server closed the connection.
constexpr unsigned EOF_READS = 3;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

/// Whether line starts with word followed by the end or a space; *rest then
/// points behind it.
bool starts(const char *line, std::size_t n, const char *word, std::size_t *rest) {
  const std::size_t w = std::strlen(word);
  if (n < w || std::memcmp(line, word, w) != 0 || (n > w && line[w] != ' ')) return false;
  *rest = w;
  return true;
}

enum hex_result { HEX_OK, HEX_BAD, HEX_LONG };

/// The hex bytes of line[from..n) into m.
hex_result hex_bytes(const char *line, std::size_t from, std::size_t n, ln_msg_t *m) {
  m->len = 0;
  std::size_t i = from;
  for (;;) {
    while (i < n && line[i] == ' ') ++i;
    if (i == n) return HEX_OK;
    const int hi = hex_digit(line[i]);
    const int lo = i + 1 < n ? hex_digit(line[i + 1]) : -1;
    if (hi < 0 || lo < 0 || (i + 2 < n && line[i + 2] != ' ')) return HEX_BAD;
    if (m->len == LN_MSG_MAX) return HEX_LONG;
    m->msg[m->len++] = static_cast<u8>(hi << 4 | lo);
    i += 2;
  }
}

}  // namespace

int lb_parse_server_line(const char *line, std::size_t n, ln_msg_t *m) {
  std::size_t rest = 0;
  if (starts(line, n, "RECEIVE", &rest)) {
    ln_msg_t b;
    if (hex_bytes(line, rest, n, &b) != HEX_OK || !ln_frame_one(b.msg, b.len)) return LB_OTHER;
    m->len = b.len;
    std::memcpy(m->msg, b.msg, b.len);
    return LB_RECEIVE;
  }
  if (!starts(line, n, "SENT", &rest)) return LB_OTHER;
  while (rest < n && line[rest] == ' ') ++rest;
  std::size_t word = 0;
  // "SENT OK" may carry the message's hex after it.
  if (starts(line + rest, n - rest, "OK", &word)) return LB_SENT_OK;
  if (starts(line + rest, n - rest, "ERROR", &word)) return LB_SENT_ERROR;
  return LB_OTHER;
}

const char *lb_parse_send(const char *line, std::size_t n, ln_msg_t *m) {
  std::size_t rest = 0;
  if (!starts(line, n, "SEND", &rest)) return "";
  ln_msg_t b;
  switch (hex_bytes(line, rest, n, &b)) {
    case HEX_BAD:
      return "Invalid hex coding";
    case HEX_LONG:
      return "message length is inconsistent";
    case HEX_OK:
      break;
  }
  if (b.len < 2) return "message too short";
  const unsigned len = ln_fixed_len(b.msg[0]) != 0 ? ln_fixed_len(b.msg[0]) : b.msg[1];
  if (!(b.msg[0] & 0x80) || len != b.len) return "message length is inconsistent";
  m->len = b.len;
  std::memcpy(m->msg, b.msg, b.len);
  return nullptr;
}

std::string lb_format(const char *word, const ln_msg_t *m, bool lower, const char *eol) {
  const char *digits = lower ? "0123456789abcdef" : "0123456789ABCDEF";
  std::string s = word;
  for (unsigned i = 0; i < m->len; ++i) {
    s += ' ';
    s += digits[m->msg[i] >> 4];
    s += digits[m->msg[i] & 0xF];
  }
  return s + eol;
}

void lb_lines_feed(lb_lines_t *l, const char *data, std::size_t n,
                   void (*on_line)(void *arg, const char *line, std::size_t len), void *arg) {
  for (std::size_t i = 0; i < n; ++i) {
    const char c = data[i];
    if (c == '\r' || c == '\n') {
      if (!l->overlong && l->len > 0) on_line(arg, l->buf, l->len);
      l->len = 0;
      l->overlong = false;
    } else if (l->len < LB_LINE_MAX) {
      l->buf[l->len++] = c;
    } else {
      l->overlong = true;
    }
  }
}

namespace {

/// Queues the server's answer to the next transmission for the exchange.
void queue_answer(lif_t *lif, bool refused) {
  ln_lock(&lif->lock);
  const std::uint32_t n = ++lif->answers;
  if (refused) {
    // The oldest refusal gives way: its transmission is long answered for.
    if (lif->n_refused == lif->refused.size()) {
      std::copy(lif->refused.begin() + 1, lif->refused.end(), lif->refused.begin());
      --lif->n_refused;
    }
    lif->refused[lif->n_refused++] = n;
  }
  ln_unlock(&lif->lock);
  ln_msg_t *r = ln_msg_alloc(lif);
  if (r == nullptr) {
    ln_fatal("Can't alloc message: No mem\n");
  } else {
    r->len = 0;
    std::memcpy(r->msg, &n, sizeof n);
    r->msg[sizeof n] = refused ? 1 : 0;
    ln_msg_append(lif, r);
  }
}

/// One line from the server: a bus message goes through the framing, an
/// answer onto the queue for the exchange.
void on_server_line(void *arg, const char *line, std::size_t n) {
  auto *lif = static_cast<lif_t *>(arg);
  ln_msg_t m;
  const int kind = lb_parse_server_line(line, n, &m);
  if (kind == LB_SENT_OK || kind == LB_SENT_ERROR) queue_answer(lif, kind == LB_SENT_ERROR);
  if (kind != LB_RECEIVE) return;
  // Exactly one message: the framing takes it whole and holds nothing
  // afterwards, so no line's bytes ever join another's.
  for (unsigned i = 0; i < m.len;) {
    const unsigned k = std::min(ln_frame_want(lif), m.len - i);
    std::memcpy(lif->cur->msg + lif->level, m.msg + i, k);
    ln_frame_feed(lif, k);
    i += k;
  }
}

bool lb_open(lif_t *lif, const char *port, const name2lif_t *kind, std::string *err) {
  return ln_tcp_connect(lif, port, kind->tcp_port, err);
}

/// One SEND line, in one write.
int lb_write(lif_t *lif, const ln_msg_t *m) {
  const std::string line = lb_format("SEND", m);
  const int e = ln_write_all(lif, line.data(), line.size());
  if (e == 0) ++lif->sends;
  return e;
}

}  // namespace

std::uint32_t ln_msg_answered(lif_t *lif) {
  ln_lock(&lif->lock);
  const std::uint32_t n = lif->answers;
  ln_unlock(&lif->lock);
  return n;
}

bool ln_msg_refused(lif_t *lif, std::uint32_t n) {
  ln_lock(&lif->lock);
  auto *const end = lif->refused.begin() + lif->n_refused;
  auto *const at = std::find(lif->refused.begin(), end, n);
  const bool found = at != end;
  if (found) {
    std::copy(at + 1, end, at);
    --lif->n_refused;
  }
  ln_unlock(&lif->lock);
  return found;
}

bool ln_msg_answer(const ln_msg_t *m, std::uint32_t *n) {
  std::memcpy(n, m->msg, sizeof *n);
  return m->msg[sizeof *n] != 0;
}

void *lb_reader(void *vif) {
  auto *lif = static_cast<lif_t *>(vif);
  auto *lines = new lb_lines_t{};  // lives as long as the reader: until the process ends
  char buf[4096];
  unsigned empty_reads = 0;
  for (;;) {
    const long n = ln_recv(lif, buf, sizeof buf);
    if (n < 0) {
      const int e = errno;
      ln_fatal("Can't read from LocoNet interface: %s (errno: %d)\n", strerror(e), e);
    }
    if (n == 0) {
      if (++empty_reads >= EOF_READS) ln_fatal("Can't read from LocoNet interface: end of file\n");
      continue;
    }
    empty_reads = 0;
    ln_quickack(lif->fd);
    clock_gettime(CLOCK_REALTIME, &lif->last_read);
    lb_lines_feed(lines, buf, static_cast<std::size_t>(n), on_server_line, lif);
  }
}

const ln_io_t ln_lbserver = {lb_open, lb_reader, lb_write, true, nullptr, nullptr, nullptr};
