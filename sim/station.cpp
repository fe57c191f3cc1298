// lnsim's Z21 side: clients known by their address, their records, and the
// datagrams to them.
#include "station.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <random>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "reader.h"
#include "state.h"

namespace {

/// Records due for a client beyond which more are dropped, whole: only a
/// z21 thread that cannot keep up with the bus ever meets it.
constexpr std::size_t OUT_MAX = std::size_t{64} * 1024;
/// Clients known at once; datagrams from others are ignored until one is
/// forgotten, so that a flood of senders cannot use up the memory.
constexpr std::size_t CLIENTS_MAX = 64;
/// Datagrams taken in a row before the clients' output is sent.
constexpr int READS_PER_ROUND = 64;
/// Room for the largest UDP payload, so that no datagram is cut short.
constexpr std::size_t RECV_MAX = 65536;
constexpr std::uint32_t SERIAL_NUMBER = 123456;
constexpr std::size_t STATE_LEN = 16;  // all zero: track voltage on, no emergency stop

std::int64_t mono_ns() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

struct z21_client {
  std::uint32_t id = 0;
  std::string key;  // peer_key of its address
  struct sockaddr_storage addr = {};
  socklen_t len = 0;
  std::uint32_t flags = 0;  // LAN_SET_BROADCASTFLAGS
  std::int64_t heard = 0;   // its last datagram (monotonic)
  std::vector<u8> out;      // records due, not sent yet
};

}  // namespace

struct sim_z21 {
  sim_z21(const sim_opts &opts, lif_t *b)
      : o(opts), bus(b), rng(opts.seed ^ 0x2121A2u), rng_out(opts.seed ^ 0x2121A0u) {
    pthread_mutex_init(&lock, nullptr);
  }

  sim_opts o;
  lif_t *bus;
  int fd = -1;
  int wake = -1;  // eventfd: the side stops
  unsigned port = 0;
  pthread_t tid{};
  bool up = false;
  std::mt19937 rng;                                 // z21 thread only: its answers
  std::mt19937 rng_out;                             // output thread only: what passed the bus
  std::vector<u8> buf = std::vector<u8>(RECV_MAX);  // z21 thread only: the datagram taken

  pthread_mutex_t lock{};
  bool stop = false;
  std::vector<z21_client> clients;
  std::uint32_t next_id = 1;
  sim_tickets tickets;  // clients' messages the bus thread has not taken yet
};

namespace {

[[gnu::format(printf, 2, 3)]] void note(const sim_z21 *z, const char *fmt, ...) {
  if (z->o.log == nullptr) return;
  flockfile(z->o.log);
  fputs("= z21 ", z->o.log);
  va_list ap;
  va_start(ap, fmt);
  vfprintf(z->o.log, fmt, ap);
  va_end(ap);
  fputc('\n', z->o.log);
  fflush(z->o.log);
  funlockfile(z->o.log);
}

/// Wakes the z21 thread; the caller holds lock, so that a stopped side is
/// never kicked.
void kick(const sim_z21 *z) {
  const std::uint64_t one = 1;
  if (write(z->wake, &one, sizeof one) < 0) {
    // Only a counter at its maximum refuses, and then a wake-up is pending.
  }
}

bool chance(std::mt19937 *rng, double p) {
  return p > 0 && static_cast<double>((*rng)()) / 4294967296.0 < p;
}

/// Bytes equal for the same IP address and UDP port, whatever else the
/// socket address holds.
std::string peer_key(const struct sockaddr_storage &a) {
  std::string k(1, static_cast<char>(a.ss_family));
  auto add = [&k](const void *p, std::size_t n) { k.append(static_cast<const char *>(p), n); };
  if (a.ss_family == AF_INET6) {
    struct sockaddr_in6 v;
    std::memcpy(&v, &a, sizeof v);
    add(&v.sin6_port, sizeof v.sin6_port);
    add(&v.sin6_addr, sizeof v.sin6_addr);
    add(&v.sin6_scope_id, sizeof v.sin6_scope_id);
  } else {
    struct sockaddr_in v;
    std::memcpy(&v, &a, sizeof v);
    add(&v.sin_port, sizeof v.sin_port);
    add(&v.sin_addr, sizeof v.sin_addr);
  }
  return k;
}

std::string text_of(const struct sockaddr_storage &a, socklen_t len) {
  return sim_addr_text(reinterpret_cast<const struct sockaddr *>(&a), len);
}

/// The client at key, or null; the caller holds lock.
z21_client *find(sim_z21 *z, const std::string &key) {
  for (z21_client &c : z->clients)
    if (c.key == key) return &c;
  return nullptr;
}

/// One datagram from a client, while its records are taken.
struct datagram {
  sim_z21 *z;
  const struct sockaddr_storage *from;
  socklen_t len;
  const std::string *key;
  std::int64_t now;
  std::uint32_t id = 0;  // the client its records came from; 0: none
  bool refused = false;  // too many clients: said once per datagram
  std::vector<u8> answers;
};

/// The client a record of d comes from, logged on when unknown; null when
/// there is no room for one more. The caller holds lock.
z21_client *client_of(datagram *d) {
  sim_z21 *z = d->z;
  if (z21_client *c = find(z, *d->key)) return c;
  if (z->clients.size() >= CLIENTS_MAX) {
    if (!d->refused)
      note(z, "datagram from %s ignored: %zu clients known", text_of(*d->from, d->len).c_str(),
           z->clients.size());
    d->refused = true;
    return nullptr;
  }
  z21_client c;
  c.id = z->next_id++;
  if (z->next_id == 0) z->next_id = 1;
  c.key = *d->key;
  c.addr = *d->from;
  c.len = d->len;
  c.heard = d->now;
  note(z, "client %u logged on from %s", static_cast<unsigned>(c.id),
       text_of(c.addr, c.len).c_str());
  z->clients.push_back(std::move(c));
  return &z->clients.back();
}

void put_le32(u8 *p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<u8>(v >> (8 * i));
}

/// One record of a datagram, in its order; the caller holds lock.
void on_record(void *arg, const z21_record_t &r) {
  auto *d = static_cast<datagram *>(arg);
  sim_z21 *z = d->z;
  z21_client *c = client_of(d);
  if (c == nullptr) return;
  d->id = c->id;
  switch (r.header) {
    case Z21_LOGOFF:
      note(z, "client %u logged off", static_cast<unsigned>(c->id));
      z->clients.erase(z->clients.begin() + (c - z->clients.data()));
      break;
    case Z21_SET_BROADCASTFLAGS:
      if (r.len >= 4) c->flags = z21_u32(r.data);
      break;
    case Z21_GET_BROADCASTFLAGS:
      z21_put_u32(&d->answers, Z21_GET_BROADCASTFLAGS, c->flags);
      break;
    case Z21_GET_HWINFO: {
      u8 b[8];
      put_le32(b, z->o.z21_hw);
      put_le32(b + 4, z->o.z21_fw);
      z21_put(&d->answers, Z21_GET_HWINFO, b, sizeof b);
      break;
    }
    case Z21_GET_SERIAL_NUMBER:
      z21_put_u32(&d->answers, Z21_GET_SERIAL_NUMBER, SERIAL_NUMBER);
      break;
    case Z21_SYSTEMSTATE_GETDATA: {
      const u8 state[STATE_LEN] = {};
      z21_put(&d->answers, Z21_SYSTEMSTATE_DATACHANGED, state, sizeof state);
      break;
    }
    case Z21_LOCONET_FROM_LAN:
      // Anything but one good message never reaches the bus. Without a
      // buffer it is lost, as on a station whose queue is full.
      if (ln_frame_one(r.data, r.len))
        sim_tickets_inject(&z->tickets, z->bus, sim_send{0, c->id, false, SIM_FROM_Z21},
                           std::vector<u8>(r.data, r.data + r.len));
      break;
    default:
      break;  // 0x40 (track power, locos) and the rest: nothing for this station
  }
}

/// Sends records (whole, as built here) to a, as few datagrams as hold
/// them, each lost as rng draws; id names the client in the log.
void send_records(sim_z21 *z, std::mt19937 *rng, const struct sockaddr_storage &a, socklen_t alen,
                  std::uint32_t id, const std::vector<u8> &recs) {
  auto len_at = [&recs](std::size_t at) {
    return static_cast<std::size_t>(recs[at] | recs[at + 1] << 8);
  };
  for (std::size_t at = 0; at < recs.size();) {
    std::size_t end = at;
    do {
      end += len_at(end);
    } while (end < recs.size() && end - at + len_at(end) <= Z21_DATAGRAM_MAX);
    if (chance(rng, z->o.z21_loss)) {
      note(z, "datagram to client %u lost", static_cast<unsigned>(id));
    } else if (sendto(z->fd, recs.data() + at, end - at, MSG_DONTWAIT | MSG_NOSIGNAL,
                      reinterpret_cast<const struct sockaddr *>(&a), alen) < 0) {
      // A socket that will not take it now drops it, as the network may.
    }
    at = end;
  }
}

void on_datagram(sim_z21 *z, const struct sockaddr_storage &a, socklen_t alen, const u8 *p,
                 std::size_t n) {
  const std::string key = peer_key(a);
  datagram d{z, &a, alen, &key, mono_ns(), 0, false, {}};
  pthread_mutex_lock(&z->lock);
  z21_client *known = find(z, key);
  if (chance(&z->rng, z->o.z21_loss)) {
    // Lost on the way: the station never learns of it.
    if (known != nullptr)
      note(z, "datagram from client %u lost", static_cast<unsigned>(known->id));
    else
      note(z, "datagram from %s lost", text_of(a, alen).c_str());
  } else {
    if (known != nullptr) known->heard = d.now;
    z21_split(p, n, on_record, &d);
  }
  pthread_mutex_unlock(&z->lock);
  if (!d.answers.empty()) send_records(z, &z->rng, a, alen, d.id, d.answers);
}

/// Takes the datagrams waiting, up to a round's worth.
void receive(sim_z21 *z) {
  std::vector<u8> &buf = z->buf;
  for (int i = 0; i < READS_PER_ROUND; ++i) {
    struct sockaddr_storage a = {};
    socklen_t alen = sizeof a;
    const ssize_t n = recvfrom(z->fd, buf.data(), buf.size(), MSG_DONTWAIT,
                               reinterpret_cast<struct sockaddr *>(&a), &alen);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return;  // none left, or an error that taking it has cleared
    on_datagram(z, a, alen, buf.data(), static_cast<std::size_t>(n));
  }
}

/// Sends every client what is due for it, lost as rng draws.
void flush(sim_z21 *z, std::mt19937 *rng) {
  struct due {
    struct sockaddr_storage addr;
    socklen_t len;
    std::uint32_t id;
    std::vector<u8> recs;
  };
  std::vector<due> all;
  pthread_mutex_lock(&z->lock);
  for (z21_client &c : z->clients)
    if (!c.out.empty() && !z->stop) {
      all.push_back({c.addr, c.len, c.id, std::move(c.out)});
      c.out.clear();
    }
  pthread_mutex_unlock(&z->lock);
  for (const due &d : all) send_records(z, rng, d.addr, d.len, d.id, d.recs);
}

/// Forgets the clients silent for too long; when the next one falls due
/// (monotonic), or -1 for none. The caller holds lock.
std::int64_t forget(sim_z21 *z, std::int64_t now) {
  const std::int64_t after = std::int64_t{z->o.z21_forget_ms} * 1000000;
  std::int64_t next = -1;
  for (auto it = z->clients.begin(); it != z->clients.end();) {
    const std::int64_t due = it->heard + after;
    if (now >= due) {
      note(z, "client %u forgotten", static_cast<unsigned>(it->id));
      it = z->clients.erase(it);
      continue;
    }
    if (next < 0 || due < next) next = due;
    ++it;
  }
  return next;
}

void *z21_main(void *arg) {
  auto *z = static_cast<sim_z21 *>(arg);
  for (;;) {
    pthread_mutex_lock(&z->lock);
    if (z->stop) {
      pthread_mutex_unlock(&z->lock);
      return nullptr;
    }
    const std::int64_t now = mono_ns(), next = forget(z, now);
    pthread_mutex_unlock(&z->lock);
    int timeout = -1;
    if (next >= 0)
      timeout = static_cast<int>(std::min<std::int64_t>((next - now) / 1000000 + 1, INT_MAX));
    struct pollfd p[2] = {{z->fd, POLLIN, 0}, {z->wake, POLLIN, 0}};
    if (poll(p, 2, timeout) < 0) continue;
    std::uint64_t count;
    if ((p[1].revents & POLLIN) != 0 && read(z->wake, &count, sizeof count) < 0) {
      // Nothing to read after all: the output is looked at anyway.
    }
    if (p[0].revents != 0) receive(z);
  }
}

}  // namespace

sim_z21 *sim_z21_start(const sim_opts &o, lif_t *bus, std::string *err) {
  auto *z = new sim_z21(o, bus);
  z->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (z->wake < 0) *err = sim_sys_error("Can't create an event counter", errno);
  if (z->wake < 0 || (z->fd = sim_bind(o.z21, SOCK_DGRAM, &z->port, err)) < 0) {
    sim_z21_stop(z);
    sim_z21_free(z);
    return nullptr;
  }
  const int e = pthread_create(&z->tid, nullptr, z21_main, z);
  z->up = e == 0;
  if (!z->up) {
    *err = sim_sys_error("Can't create thread", e);
    sim_z21_stop(z);
    sim_z21_free(z);
    return nullptr;
  }
  return z;
}

unsigned sim_z21_port(const sim_z21 *z) { return z->port; }

void sim_z21_stop(sim_z21 *z) {
  pthread_mutex_lock(&z->lock);
  z->stop = true;
  if (z->up) kick(z);
  pthread_mutex_unlock(&z->lock);
  if (z->up) pthread_join(z->tid, nullptr);
  z->up = false;
  pthread_mutex_lock(&z->lock);
  z->clients.clear();
  pthread_mutex_unlock(&z->lock);
}

void sim_z21_free(sim_z21 *z) {
  // Only now: the output thread sends on the socket until it has ended.
  for (const int fd : {z->fd, z->wake})
    if (fd >= 0) close(fd);
  pthread_mutex_destroy(&z->lock);
  delete z;
}

bool sim_z21_take(sim_z21 *z, const ln_msg_t *marker, ln_msg_t *m, sim_send *from) {
  pthread_mutex_lock(&z->lock);
  const bool found = sim_tickets_take(&z->tickets, marker, m, from);
  pthread_mutex_unlock(&z->lock);
  return found;
}

void sim_z21_passed(sim_z21 *z, const std::vector<u8> &b, const sim_send &from) {
  if (b.empty()) return;
  // A client's own message goes to the others as what a LAN client put on
  // the bus, and never back to it.
  const bool lan = from.origin == SIM_FROM_Z21 && from.ticket != 0;
  pthread_mutex_lock(&z->lock);
  for (z21_client &c : z->clients) {
    if ((c.flags & Z21_FLAG_LOCONET) == 0 || (lan && c.id == from.client)) continue;
    if (c.out.size() + b.size() + 4 > OUT_MAX) continue;
    z21_put(&c.out, lan ? Z21_LOCONET_FROM_LAN : Z21_LOCONET_RX, b.data(), b.size());
  }
  pthread_mutex_unlock(&z->lock);
}

void sim_z21_flush(sim_z21 *z) { flush(z, &z->rng_out); }
