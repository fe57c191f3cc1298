// The Z21 kind: LocoNet through a Z21 command station's UDP protocol.
//
// The station tunnels LocoNet messages in the records of its datagrams: ours
// go to it as LAN_LOCONET_FROM_LAN; the bus's come to us as LAN_LOCONET_Z21_RX
// and _TX, another LAN client's as LAN_LOCONET_FROM_LAN. Their bytes go
// through the framing core as a serial line's do. The station never returns
// a client's own message: this kind has no echo.
//
// UDP loses datagrams both ways. The exchange's attempts cover a lost
// request or reply; a lost release, which nothing answers, would leave its
// module in programming mode. So the kind keeps a second socket, the watch:
// to the station it is another client, which gets our messages as another
// client's once the station has taken them for the bus. A release is sent
// again until the watch has seen it (ln_msg_tx_sure), at every end of the
// run too. A station that passes nothing on to other clients shows it by
// never doing so; releases are then sent LN_SURE_TRIES times unwatched.
//
// The station forgets a client that has sent nothing for about a minute, and
// its subscription with it: after a pause, a datagram carries the
// subscription again. Nothing else is sent but the presence and hardware
// requests at the open and the logoff at the end: never a message of the
// station's own (track power, locos, turnouts).
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "reader.h"
#include "transport.h"
#include "util.h"
#include "z21.h"

namespace {

/// The station is asked this long whether it is there...
constexpr std::int64_t PRESENCE_MS = 3000;
/// ...again every this long while it has not answered.
constexpr std::int64_t ASK_EVERY_MS = 500;
/// A socket that has sent nothing for this long subscribes again with its
/// next datagram: the station may have forgotten it (after about a minute).
constexpr std::int64_t RENEW_MS = 1000;
/// Room for a datagram: more than one Ethernet frame's payload, so that a
/// longer one is seen cut rather than taken for whole.
constexpr std::size_t RX_MAX = 2048;

enum { MAIN, WATCH };

/// What the kind keeps beside lif->fd.
struct z21_t {
  int watch = -1;    ///< the second socket; -1 when the station did not answer it
  std::string what;  ///< host:port, as reports name the station
  // Guarded by lif->lock:
  std::vector<std::array<u8, LN_MSG_MAX + 1>> awaited;     ///< watched, not seen yet: len, bytes
  std::array<std::array<u8, LN_MSG_MAX + 1>, 8> recent{};  ///< the latest messages written
  std::size_t n_recent = 0;
  bool passes_on = false;  ///< the watch has seen a message of ours
  unsigned unseen = 0;     ///< watched messages in a row that it did not see
  // Under the layer's transmission lock (ln_msg_tx's and the end path's):
  std::array<struct timespec, 2> sent{};  ///< when each socket last sent; zero: never
  bool ended = false;                     ///< logged off: nothing more is sent
};

z21_t *state(const lif_t *lif) { return static_cast<z21_t *>(lif->kind_state); }

std::array<u8, LN_MSG_MAX + 1> packed(const ln_msg_t *m) {
  std::array<u8, LN_MSG_MAX + 1> p{};
  p[0] = m->len;
  std::copy(m->msg, m->msg + m->len, p.begin() + 1);
  return p;
}

/// Sends d on socket s (MAIN or WATCH), the subscription first when the
/// station may have forgotten that socket: 0 or the error.
int send_on(z21_t *z, int fd, int s, const std::vector<u8> &d) {
  std::vector<u8> out;
  if (z->sent[s].tv_sec == 0 || ln_ms_since(z->sent[s]) >= RENEW_MS)
    z21_put_u32(&out, Z21_SET_BROADCASTFLAGS, Z21_FLAG_LOCONET);
  out.insert(out.end(), d.begin(), d.end());
  const int e = ln_udp_send(fd, out.data(), out.size());
  if (e == 0) clock_gettime(CLOCK_MONOTONIC, &z->sent[s]);
  return e;
}

/// What the open learns from the station's answers.
struct presence_t {
  std::array<bool, 2> answered{};  ///< a socket's subscription came back
  bool hw = false;                 ///< the hardware type came
  std::uint32_t type = 0, fw = 0;
  int from = MAIN;  ///< the socket of the datagram being looked at
};

void on_presence(void *arg, const z21_record_t &r) {
  auto *p = static_cast<presence_t *>(arg);
  if (r.header == Z21_GET_BROADCASTFLAGS && r.len >= 4) p->answered[p->from] = true;
  if (r.header == Z21_GET_HWINFO && r.len >= 8) {
    p->hw = true;
    p->type = z21_u32(r.data);
    p->fw = z21_u32(r.data + 4);
  }
}

/// Asks the station, on both sockets, to subscribe and to answer, until it
/// has or PRESENCE_MS have passed: 0, or the error that ended the asking
/// (ETIMEDOUT: no answer at all).
int ask_presence(lif_t *lif, z21_t *z) {
  const int fds[2] = {lif->fd, z->watch};
  presence_t p;
  struct timespec t0;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  std::int64_t next = 0;  // when to ask again, in ms since t0
  u8 buf[RX_MAX];
  while (!(p.answered[MAIN] && p.answered[WATCH] && p.hw)) {
    const std::int64_t now = ln_ms_since(t0);
    if (now >= PRESENCE_MS) break;
    if (now >= next) {
      // Subscription and question in one datagram: an answer shows that
      // both arrived.
      for (int s : {MAIN, WATCH}) {
        if (p.answered[s] && (s == WATCH || p.hw)) continue;
        std::vector<u8> d;
        z21_put_u32(&d, Z21_SET_BROADCASTFLAGS, Z21_FLAG_LOCONET);
        z21_put(&d, Z21_GET_BROADCASTFLAGS);
        if (s == MAIN) z21_put(&d, Z21_GET_HWINFO);
        if (const int e = ln_udp_send(fds[s], d.data(), d.size()); e != 0) return e;
        clock_gettime(CLOCK_MONOTONIC, &z->sent[s]);
      }
      next = now + ASK_EVERY_MS;
    }
    int e = 0;
    const long n = ln_udp_recv(fds, 2, buf, sizeof buf,
                               static_cast<int>(std::min(next, PRESENCE_MS) - now), &p.from, &e);
    if (n < 0 && e == ETIMEDOUT) continue;
    if (n < 0) return e;
    z21_split(buf, static_cast<std::size_t>(n), on_presence, &p);
  }
  if (!p.answered[MAIN]) return ETIMEDOUT;
  if (!p.answered[WATCH]) {
    // Releases go unwatched: as often as the watch would send them again.
    ln_udp_close(z->watch);
    z->watch = -1;
  }
  const char *name = z21_hw_name(p.type);
  if (p.hw && !z21_hw_has_loconet(p.type))
    ln_warn("%s is a %s (hardware type 0x%x), which has no LocoNet socket: no module can answer\n",
            z->what.c_str(), name, static_cast<unsigned>(p.type));
  else if (p.hw && p.fw < Z21_FW_LOCONET)
    ln_warn("%s has firmware %x.%02x, which passes no LocoNet messages: 1.20 or later does\n",
            z->what.c_str(), static_cast<unsigned>(p.fw >> 8), static_cast<unsigned>(p.fw & 0xFF));
  return 0;
}

bool z21_open(lif_t *lif, const char *port, const name2lif_t *kind, std::string *err) {
  std::string host, p, what;
  if (!lif_net_port(port, kind->tcp_port, &host, &p, &what, err)) return false;
  int e = 0;
  std::string text;
  const int main_fd = ln_udp_socket(host, p, &e, &text);
  const int watch_fd = main_fd >= 0 ? ln_udp_socket(host, p, &e, &text) : -1;
  if (watch_fd < 0) {
    if (main_fd >= 0) ln_udp_close(main_fd);
    return lif_open_failed(err, what, text.c_str(), e);
  }
  auto *z = new (std::nothrow) z21_t;
  e = ENOMEM;
  if (z != nullptr) {
    lif->fd = main_fd;
    z->watch = watch_fd;
    z->what = what;
    e = ask_presence(lif, z);
    if (e == 0) {
      lif->kind_state = z;
      return true;
    }
    delete z;
  }
  ln_udp_close(main_fd);
  ln_udp_close(watch_fd);
  if (e == ETIMEDOUT) {
    *err = "Can't open " + what + ": no Z21 answered within 3 s";
    return false;
  }
  return lif_open_failed(err, what, e == ENOMEM ? strerror(e) : ln_net_error_text(e).c_str(), e);
}

/// A record from the station on the main socket: LocoNet into the framing.
void on_main(void *arg, const z21_record_t &r) {
  auto *lif = static_cast<lif_t *>(arg);
  if (r.header != Z21_LOCONET_RX && r.header != Z21_LOCONET_TX && r.header != Z21_LOCONET_FROM_LAN)
    return;
  for (std::size_t i = 0; i < r.len;) {
    const std::size_t k = std::min<std::size_t>(ln_frame_want(lif), r.len - i);
    std::memcpy(lif->cur->msg + lif->level, r.data + i, k);
    ln_frame_feed(lif, static_cast<unsigned>(k));
    i += k;
  }
}

/// A record on the watch: another client's message, ours among them.
void on_watch(void *arg, const z21_record_t &r) {
  auto *lif = static_cast<lif_t *>(arg);
  z21_t *z = state(lif);
  if (r.header != Z21_LOCONET_FROM_LAN || r.len == 0 || r.len > LN_MSG_MAX) return;
  auto same = [&r](const std::array<u8, LN_MSG_MAX + 1> &p) {
    return p[0] == r.len && std::equal(r.data, r.data + r.len, p.begin() + 1);
  };
  ln_lock(&lif->lock);
  if (std::any_of(z->recent.begin(), z->recent.begin() + static_cast<long>(z->n_recent), same))
    z->passes_on = true;
  const auto at = std::find_if(z->awaited.begin(), z->awaited.end(), same);
  if (at != z->awaited.end()) {
    z->awaited.erase(at);
    pthread_cond_broadcast(&lif->cond);
  }
  ln_unlock(&lif->lock);
}

void *z21_reader(void *vif) {
  auto *lif = static_cast<lif_t *>(vif);
  const z21_t *z = state(lif);
  const int fds[2] = {lif->fd, z->watch};
  std::vector<u8> buf(RX_MAX);
  for (;;) {
    int which = MAIN, e = 0;
    const long n = ln_udp_recv(fds, z->watch >= 0 ? 2 : 1, buf.data(), buf.size(), -1, &which, &e);
    if (n < 0) {
      if (e == ETIMEDOUT) continue;
      ln_fatal("Can't read from LocoNet interface: %s (errno: %d)\n", ln_net_error_text(e).c_str(),
               e);
    }
    clock_gettime(CLOCK_REALTIME, &lif->last_read);
    if (which == MAIN)
      z21_take(lif, buf.data(), static_cast<std::size_t>(n));
    else
      z21_split(buf.data(), static_cast<std::size_t>(n), on_watch, lif);
  }
}

int z21_write(lif_t *lif, const ln_msg_t *m) {
  z21_t *z = state(lif);
  if (z->ended) return 0;
  ln_lock(&lif->lock);
  if (z->n_recent == z->recent.size()) {
    std::copy(z->recent.begin() + 1, z->recent.end(), z->recent.begin());
    --z->n_recent;
  }
  z->recent[z->n_recent++] = packed(m);
  ln_unlock(&lif->lock);
  std::vector<u8> d;
  z21_put(&d, Z21_LOCONET_FROM_LAN, m->msg, m->len);
  return send_on(z, lif->fd, MAIN, d);
}

void z21_watch(lif_t *lif, const ln_msg_t *m) {
  z21_t *z = state(lif);
  if (z->watch < 0 || z->ended) return;
  ln_msg_t sealed = *m;
  ln_msg_seal(&sealed);
  ln_lock(&lif->lock);
  z->awaited.push_back(packed(&sealed));
  ln_unlock(&lif->lock);
  // A watch the station has forgotten would see nothing.
  if (ln_ms_since(z->sent[WATCH]) >= RENEW_MS) send_on(z, z->watch, WATCH, {});
}

bool z21_carried(lif_t *lif, int ms) {
  z21_t *z = state(lif);
  const struct timespec end = ln_deadline(static_cast<std::uint32_t>(std::min(ms, 999)) * 1000000u);
  ln_lock(&lif->lock);
  // A station that never passed a message of ours on to the watch does not:
  // after a whole release's worth of waiting in vain, nothing waits again.
  const bool mute = !z->passes_on && z->unseen >= LN_SURE_TRIES;
  int rc = 0;
  if (z->watch >= 0 && !mute)
    while (!z->awaited.empty() && rc == 0) rc = ln_cond_wait_until(lif, &end);
  const bool seen = z->watch >= 0 && z->awaited.empty();
  z->unseen = seen ? 0 : z->unseen + 1;
  z->awaited.clear();
  ln_unlock(&lif->lock);
  if (rc != 0 && rc != ETIMEDOUT)
    ln_fatal("Can't wait on cond: %s (errno: %d)\n", strerror(rc), rc);
  return seen;
}

void z21_end(lif_t *lif) {
  z21_t *z = state(lif);
  if (z == nullptr || z->ended) return;
  std::vector<u8> d;
  z21_put(&d, Z21_LOGOFF);
  ln_udp_send(lif->fd, d.data(), d.size());
  if (z->watch >= 0) ln_udp_send(z->watch, d.data(), d.size());
  z->ended = true;
}

}  // namespace

void z21_take(lif_t *lif, const u8 *d, std::size_t n) { z21_split(d, n, on_main, lif); }

const ln_io_t ln_z21 = {z21_open, z21_reader, z21_write, false, z21_watch, z21_carried, z21_end};
