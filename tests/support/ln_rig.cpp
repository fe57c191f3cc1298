#include "ln_rig.h"

#include "util.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <unistd.h>

namespace {

/// Every record made here stays reachable, as the record of a real run is
/// until the process ends, so a leak checker reports only real leaks.
std::vector<lif_t *> *const made = new std::vector<lif_t *>;

}  // namespace

lif_t *rig_lif(int fd) {
  auto *lif = new lif_t{};
  made->push_back(lif);
  lif->fd = fd;
  lif_init_sync(lif);
  return lif;
}

bool rig_start_reader(lif_t *lif) {
  return pthread_create(&lif->tid, nullptr, ln_reader, lif) == 0;
}

bytes sealed(bytes body) {
  body.push_back(0);
  ln_msg_t m = msg_of(body);
  ln_msg_seal(&m);
  return bytes(m.msg, m.msg + m.len);
}

bytes reply_bytes(u16 art, u16 cv, u16 val) {
  ln_msg_t m{};
  const ln_prog_t v = {art, cv, val, 0, PROG_CMD_REPLY};
  prog_encode_reply(&m, &v);
  return bytes(m.msg, m.msg + m.len);
}

bytes ack_bytes(u8 status) {
  ln_msg_t m{};
  prog_encode_ack(&m, status);
  return bytes(m.msg, m.msg + m.len);
}

ln_msg_t msg_of(const bytes &b) {
  ln_msg_t m{};
  m.len = static_cast<u8>(std::min(b.size(), LN_MSG_MAX));
  std::copy(b.begin(), b.begin() + m.len, m.msg);
  return m;
}

std::string hex(const bytes &b) {
  std::string s;
  char buf[4];
  for (u8 c : b) {
    snprintf(buf, sizeof buf, "%02X", c);
    if (!s.empty()) s += ' ';
    s += buf;
  }
  return s;
}

std::string hex(const ln_msg_t *m) { return hex(bytes(m->msg, m->msg + m->len)); }

bool rig_write(int fd, const bytes &b) {
  std::size_t done = 0;
  while (done < b.size()) {
    const ssize_t n = write(fd, b.data() + done, b.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

namespace {

/// One read of what is there once fd turns readable within ms; empty on time-out.
bytes read_some(int fd, int ms, std::size_t max) {
  struct pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, ms) <= 0) return {};
  bytes b(max);
  const ssize_t n = read(fd, b.data(), max);
  b.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return b;
}

}  // namespace

bytes rig_drain(int fd, int quiet_ms) {
  bytes all;
  const struct timespec give_up = rig_in_ms(5000);
  for (;;) {
    bytes b = read_some(fd, quiet_ms, 4096);
    if (b.empty()) break;
    all.insert(all.end(), b.begin(), b.end());
    if (rig_ms(rig_now(), give_up) < 0) break;
  }
  return all;
}

bytes rig_read_n(int fd, std::size_t n, int within_ms) {
  bytes all;
  const struct timespec end = rig_in_ms(within_ms);
  while (all.size() < n) {
    const double left = rig_ms(rig_now(), end);
    if (left <= 0) break;
    bytes b = read_some(fd, static_cast<int>(left) + 1, n - all.size());
    all.insert(all.end(), b.begin(), b.end());
  }
  return all;
}

bool rig_next(lif_t *lif, int ms, bytes *out, struct timespec *stamp) {
  const struct timespec end = rig_in_ms(ms);
  ln_msg_t *m = ln_msg_rx_to(lif, &end);
  if (m == nullptr) return false;
  out->assign(m->msg, m->msg + m->len);
  if (stamp != nullptr) *stamp = m->stamp;
  ln_msg_free(lif, m);
  return true;
}

std::size_t rig_pool_len(lif_t *lif) {
  pthread_mutex_lock(&lif->lock);
  std::size_t n = 0;
  for (ln_msg_t *m = lif->free; m != nullptr && n < 100000; m = m->next) ++n;
  pthread_mutex_unlock(&lif->lock);
  return n;
}

bool rig_in_pool(lif_t *lif, const ln_msg_t *m) {
  pthread_mutex_lock(&lif->lock);
  bool found = false;
  std::size_t n = 0;
  for (ln_msg_t *p = lif->free; p != nullptr && n < 100000 && !found; p = p->next, ++n)
    found = p == m;
  pthread_mutex_unlock(&lif->lock);
  return found;
}

struct timespec rig_now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

struct timespec rig_wall() {
  struct timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return t;
}

struct timespec rig_in_ms(long ms) {
  struct timespec t = rig_now();
  t.tv_sec += ms / 1000;
  t.tv_nsec += (ms % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_nsec -= 1000000000L;
    t.tv_sec += 1;
  }
  return t;
}

double rig_ms(const struct timespec &a, const struct timespec &b) {
  return static_cast<double>(b.tv_sec - a.tv_sec) * 1e3 +
         static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e6;
}

void rig_sleep_ms(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

int rig_scaled_ms(int ms) {
  static const double factor = [] {
    const char *v = getenv("SENS_TIME_FACTOR");
    const double f = v != nullptr ? strtod(v, nullptr) : 1.0;
    return f >= 1.0 ? f : 1.0;
  }();
  return static_cast<int>(ms * factor);
}

std::vector<std::string> rig_peer::requests(std::size_t n) {
  std::unique_lock<std::mutex> g(lock);
  grown.wait_for(g, std::chrono::milliseconds(rig_scaled_ms(5000)),
                 [&] { return got.size() >= n; });
  return got;
}

namespace {

void *peer_run(void *arg) {
  auto *p = static_cast<rig_peer *>(arg);
  for (std::size_t n = 0;; ++n) {
    const bytes req = rig_read_n(p->pty.master, 15, 60000);
    if (req.size() < 15) return nullptr;
    {
      std::lock_guard<std::mutex> g(p->lock);
      p->got.push_back(hex(req));
    }
    p->grown.notify_all();
    if (n >= p->script.size()) continue;
    const std::vector<bytes> &s = p->script[n];
    // The echo goes where an empty entry stands, else first.
    auto echo = std::find(s.begin(), s.end(), bytes{});
    for (auto it = s.begin(); it != echo && echo != s.end(); ++it) rig_write(p->pty.master, *it);
    rig_write(p->pty.master, req);
    rig_sleep_ms(3);  // a module's turnaround
    for (auto it = echo == s.end() ? s.begin() : echo + 1; it != s.end(); ++it)
      rig_write(p->pty.master, *it);
  }
}

}  // namespace

rig_peer *rig_peer_start(std::vector<std::vector<bytes>> script) {
  auto *p = new rig_peer;
  p->script = std::move(script);
  if (!test_pty_open(&p->pty)) return p;
  p->lif = lif_open(p->pty.path.c_str(), 1);
  pthread_t t;
  pthread_create(&t, nullptr, peer_run, p);
  return p;
}
