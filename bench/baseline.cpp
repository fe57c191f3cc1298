// bench_baseline: the least a client can do to read modules' sens values, as
// the yardstick for the tool's own overhead. One thread, blocking reads, no
// queue, no deadline, no retry: it sends the tool's messages in the tool's
// order and takes the same replies, framing the stream with the same read
// sizes (the opcode, then the length byte, then the rest).
//
//   bench_baseline <port> <first> <last>
//
// Prints the tool's sens lines on stdout. A module that does not answer hangs
// the run until the watchdog's SIGALRM ends it: the yardstick is only
// meaningful against modules that answer.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "prog.h"

namespace {

constexpr u16 ART_NO = 1235;
constexpr u16 CV_FIRST = 145;
constexpr unsigned WATCHDOG_S = 120;

[[noreturn]] void die(const char *what) {
  fprintf(stderr, "bench_baseline: %s: %s\n", what, strerror(errno));
  exit(1);
}

void read_exact(int fd, u8 *buf, std::size_t n) {
  while (n > 0) {
    const ssize_t r = read(fd, buf, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) die("read");
    buf += r;
    n -= static_cast<std::size_t>(r);
  }
}

/// Next message with a good checksum. Noise is not expected on this line, so
/// framing restarts only at message boundaries.
void next_msg(int fd, ln_msg_t *m) {
  for (;;) {
    read_exact(fd, m->msg, 1);
    if (!(m->msg[0] & 0x80)) continue;
    // Opcode bits 6..5 give 2, 4 or 6 bytes; 11 puts the length in byte 1.
    const unsigned cls = (m->msg[0] >> 5) & 3u;
    unsigned len = cls == 3 ? 0 : (cls + 1) * 2;
    if (len == 0) {
      read_exact(fd, m->msg + 1, 1);
      len = m->msg[1];
      if (len < 2 || len > LN_MSG_MAX) continue;
      read_exact(fd, m->msg + 2, len - 2);
    } else {
      read_exact(fd, m->msg + 1, len - 1);
    }
    u8 x = 0;
    for (unsigned i = 0; i < len; ++i) x ^= m->msg[i];
    m->len = static_cast<u8>(len);
    if (x == 0xFF) return;
  }
}

void send(int fd, const ln_prog_t *v, u8 opc) {
  ln_msg_t m{};
  prog_encode(&m, v, opc);
  ln_msg_seal(&m);
  std::size_t done = 0;
  while (done < PROG_LEN) {
    const ssize_t w = write(fd, m.msg + done, PROG_LEN - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) die("write");
    done += static_cast<std::size_t>(w);
  }
}

/// Sends req and returns the value of the module's matching reply, skipping
/// the echo and everything else.
u16 exchange(int fd, const ln_prog_t *req) {
  send(fd, req, OPC_IMM_PACKET);
  ln_msg_t m;
  ln_prog_t r;
  for (;;) {
    next_msg(fd, &m);
    if (prog_decode(&r, &m) && r.cmd == PROG_CMD_REPLY && r.art_no == req->art_no &&
        r.cv_addr == req->cv_addr && (req->flags == 0 || r.cv_val == req->cv_val))
      return r.cv_val;
  }
}

void release(int fd, u16 addr) {
  const ln_prog_t off = {ART_NO, 0, addr, PROG_FLAG_OFF, PROG_CMD_READ};
  send(fd, &off, OPC_PEER_XFER);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: bench_baseline <port> <first> <last>\n");
    return 1;
  }
  const auto first = static_cast<unsigned>(strtoul(argv[2], nullptr, 10));
  const auto last = static_cast<unsigned>(strtoul(argv[3], nullptr, 10));
  alarm(WATCHDOG_S);  // SIGALRM ends a run that waits for a silent module

  const int fd = open(argv[1], O_RDWR | O_NOCTTY);
  if (fd < 0) die(argv[1]);
  struct termios tio = {};  // the tool's LocoBuffer settings: raw, 57600, RTS/CTS
  tio.c_cflag = CS8 | CREAD | CLOCAL | CRTSCTS;
  tio.c_cc[VMIN] = 1;
  cfsetispeed(&tio, B57600);
  cfsetospeed(&tio, B57600);
  tcsetattr(fd, TCSADRAIN, &tio);

  release(fd, 0);
  for (unsigned a = first; a <= last; ++a) {
    const auto addr = static_cast<u16>(a);
    const ln_prog_t sel = {ART_NO, 0, addr, PROG_FLAG_ON, PROG_CMD_READ};
    exchange(fd, &sel);
    unsigned val[16];
    for (u16 i = 0; i < 16; ++i) {
      const ln_prog_t rd = {ART_NO, static_cast<u16>(CV_FIRST + i), 0, 0, PROG_CMD_READ};
      val[i] = exchange(fd, &rd) & 0xFFu;
    }
    release(fd, addr);
    printf("%u:", a);
    for (unsigned v : val) printf(" %u", v);
    fputs("\r\n", stdout);
  }
  return 0;
}
