// lnsim's TCP servers: clients, the LbServer's transmissions and the output
// to every client.
#include "net.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <random>
#include <string_view>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "lbserver.h"
#include "reader.h"
#include "state.h"

namespace {

/// Output a client has not taken, beyond which more is dropped: seconds of
/// a busy bus in RECEIVE lines, so only a client that stopped reading loses
/// anything.
constexpr std::size_t OUT_MAX = std::size_t{64} * 1024;
/// The kernel's share of it (doubled by the kernel), fixed so that a client
/// that stopped reading meets OUT_MAX soon instead of a buffer that grows.
constexpr int SNDBUF = 16 * 1024;
/// A SEND whose echo has not come by then is answered with SENT ERROR.
constexpr std::int64_t ECHO_WAIT_NS = 1000000000;
constexpr const char *VERSION_LINE = "VERSION lnsim LbServer";
constexpr const char *JMRI_VERSION_LINE = "VERSION JMRI Server 5.8";
/// The reason given for a SEND refused by --lb-error.
constexpr const char *REFUSED = "transmission failed";

std::int64_t mono_ns() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

struct client {
  sim_net *net = nullptr;
  std::uint32_t id = 0;
  int fd = -1;
  bool lb = false;  // LbServer; else raw bytes
  // Guarded by the net's lock:
  std::string out;        // written, not yet taken by the socket
  bool closing = false;   // takes no more output; the net thread closes it
  unsigned received = 0;  // RECEIVE lines written (--lb-drop)
  std::vector<u8> last;   // --lb-jmri: the SEND whose echo would be answered
  // Net thread only:
  lb_lines_t lines{};
  lif_t *lif = nullptr;  // raw: frames the client's bytes
};

/// A SEND waiting for its turn.
struct waiting {
  std::uint32_t client;
  std::vector<u8> msg;
};

}  // namespace

struct sim_net {
  explicit sim_net(const sim_opts &opts, lif_t *b) : o(opts), bus(b), rng(opts.seed ^ 0x1B5E7u) {
    pthread_mutex_init(&lock, nullptr);
  }

  sim_opts o;
  lif_t *bus;
  int lb_fd = -1, tcp_fd = -1;
  unsigned lb_port = 0, tcp_port = 0;
  int wake = -1;  // eventfd: something for the net thread to look at
  pthread_t tid{};
  bool up = false;
  // Its own generator: the bus thread's draws, and so every run's replies,
  // stay as they are whatever the clients do.
  std::mt19937 rng;  // net thread only

  pthread_mutex_t lock{};
  bool stop = false;
  std::vector<client *> clients;
  std::uint32_t next_id = 1;
  std::deque<waiting> sends;       // SENDs waiting for the one on the bus
  std::uint32_t pending = 0;       // ticket of the SEND on the bus; 0: none
  std::uint32_t pending_from = 0;  // its sender
  std::int64_t pending_end = 0;    // no echo by then (monotonic): SENT ERROR
  sim_tickets tickets;             // SENDs the bus thread has not taken yet
};

namespace {

[[gnu::format(printf, 2, 3)]] void note(const sim_net *n, const char *fmt, ...) {
  if (n->o.log == nullptr) return;
  flockfile(n->o.log);
  fputs("= ", n->o.log);
  va_list ap;
  va_start(ap, fmt);
  vfprintf(n->o.log, fmt, ap);
  va_end(ap);
  fputc('\n', n->o.log);
  fflush(n->o.log);
  funlockfile(n->o.log);
}

void kick(sim_net *n) {
  const std::uint64_t one = 1;
  if (write(n->wake, &one, sizeof one) < 0) {
    // Only a counter at its maximum refuses, and then a wake-up is pending.
  }
}

client *find(sim_net *n, std::uint32_t id) {
  for (client *c : n->clients)
    if (c->id == id) return c;
  return nullptr;
}

/// Writes pieces to c, each in a write of its own, all or none: a client
/// that left more than OUT_MAX untaken loses them whole, so no line is ever
/// cut. Never blocks; the caller holds lock.
void put(sim_net *n, client *c, const std::vector<std::string_view> &pieces) {
  if (c->closing) return;
  std::size_t total = 0;
  for (std::string_view p : pieces) total += p.size();
  if (c->out.size() + total > OUT_MAX) return;
  for (std::string_view p : pieces) {
    if (c->out.empty()) {
      const ssize_t w = send(c->fd, p.data(), p.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        c->closing = true;
        kick(n);
        return;
      }
      if (w > 0) p.remove_prefix(static_cast<std::size_t>(w));
      if (p.empty()) continue;
      kick(n);  // the net thread writes the rest when there is room
    }
    c->out.append(p);
  }
}

/// Lines to an LbServer client: in one write, or with --lb-split every line
/// and its line end in writes of their own. The caller holds lock.
void put_lines(sim_net *n, client *c, const std::vector<std::string> &lines) {
  const char *eol = n->o.lb_lf ? "\n" : "\r\n";
  std::vector<std::string_view> pieces;
  std::string all;
  for (const std::string &l : lines) {
    if (n->o.lb_split) {
      pieces.emplace_back(l);
      pieces.emplace_back(eol);
    } else {
      all += l + eol;
    }
  }
  if (!n->o.lb_split) pieces.emplace_back(all);
  put(n, c, pieces);
}

/// A RECEIVE line to c, and after it the lines in then; with --lb-drop the
/// connection ends after the last RECEIVE it may have, before anything
/// else. The caller holds lock.
void put_receive(sim_net *n, client *c, const std::string &rx,
                 const std::vector<std::string> &then) {
  if (c->closing) return;
  const bool last = n->o.lb_drop != 0 && ++c->received >= n->o.lb_drop;
  std::vector<std::string> lines{rx};
  if (!last) lines.insert(lines.end(), then.begin(), then.end());
  put_lines(n, c, lines);
  if (last) {
    c->closing = true;
    kick(n);
  }
}

void refuse(sim_net *n, client *c, const char *why) {
  if (!n->o.lb_no_error) put_lines(n, c, {std::string("SENT ERROR ") + why});
}

std::string hex_line(const sim_net *n, const char *word, const std::vector<u8> &b) {
  ln_msg_t m;
  m.len = static_cast<u8>(b.size());
  std::memcpy(m.msg, b.data(), b.size());
  return lb_format(word, &m, n->o.lb_lower, "");
}

std::string sent_ok(const sim_net *n, const std::vector<u8> &b) {
  return n->o.lb_sent_hex ? hex_line(n, "SENT OK", b) : "SENT OK";
}

bool chance(sim_net *n, double p) {
  return p > 0 && static_cast<double>(n->rng()) / 4294967296.0 < p;
}

/// Hands message b of client id to the bus thread, behind everything queued
/// so far; its ticket, or 0 when no buffer can be had. The caller holds lock.
std::uint32_t inject(sim_net *n, std::uint32_t id, bool seen, const std::vector<u8> &b) {
  return sim_tickets_inject(&n->tickets, n->bus, sim_send{0, id, seen, SIM_FROM_LBSERVER}, b);
}

/// Puts the next waiting SEND on the bus while none is there. The caller
/// holds lock.
void start_next(sim_net *n) {
  while (n->pending == 0 && !n->sends.empty()) {
    const waiting w = std::move(n->sends.front());
    n->sends.pop_front();
    client *c = find(n, w.client);
    if (c == nullptr || c->closing) continue;
    if (chance(n, n->o.lb_error)) {
      refuse(n, c, REFUSED);
      continue;
    }
    n->pending = inject(n, c->id, false, w.msg);
    if (n->pending == 0) {
      refuse(n, c, REFUSED);
      continue;
    }
    n->pending_from = c->id;
    n->pending_end = mono_ns() + ECHO_WAIT_NS;
  }
}

/// A SEND whose echo did not come in time. The caller holds lock.
void expire(sim_net *n) {
  if (n->pending == 0 || mono_ns() < n->pending_end) return;
  client *c = find(n, n->pending_from);
  if (c != nullptr) refuse(n, c, "timed out waiting for echo");
  n->pending = 0;
}

struct line_ctx {
  sim_net *n;
  client *c;
};

/// One line from an LbServer client.
void on_line(void *arg, const char *line, std::size_t len) {
  sim_net *n = static_cast<line_ctx *>(arg)->n;
  client *c = static_cast<line_ctx *>(arg)->c;
  ln_msg_t m;
  const char *why = lb_parse_send(line, len, &m);
  if (why != nullptr && *why == '\0') return;  // no SEND: nothing to answer
  pthread_mutex_lock(&n->lock);
  if (n->o.lb_jmri) {
    // Straight onto the bus, no SEND waiting for another; the one before,
    // if its echo has not come yet, stays unanswered. Nothing is refused.
    if (why == nullptr) {
      c->last.assign(m.msg, m.msg + m.len);
      inject(n, c->id, false, c->last);
    }
  } else if (why != nullptr) {
    refuse(n, c, why);
  } else {
    std::vector<u8> b(m.msg, m.msg + m.len);
    if (!n->o.lb_early_echo) {
      n->sends.push_back({c->id, std::move(b)});
    } else if (chance(n, n->o.lb_error)) {
      refuse(n, c, REFUSED);
    } else {
      // As a server that answers at once and transmits later: it waits for
      // no echo, so SENDs do not wait for each other either.
      put_receive(n, c, hex_line(n, "RECEIVE", b), {sent_ok(n, b)});
      inject(n, c->id, true, b);
    }
  }
  pthread_mutex_unlock(&n->lock);
}

/// Frames n bytes a raw client sent, as the pty's reader frames what it
/// reads, and puts every message they complete on the bus. Nothing waits:
/// what the client sent before it closed is all on the bus when it is gone.
void frame_client(sim_net *n, client *c, const char *buf, std::size_t len) {
  lif_t *f = c->lif;
  clock_gettime(CLOCK_REALTIME, &f->last_read);
  for (std::size_t i = 0; i < len;) {
    const std::size_t k = std::min<std::size_t>(ln_frame_want(f), len - i);
    std::memcpy(f->cur->msg + f->level, buf + i, k);
    ln_frame_feed(f, static_cast<unsigned>(k));
    i += k;
  }
  while (ln_msg_t *m = ln_msg_rx_now(f)) {
    ln_msg_t *b = ln_msg_alloc(n->bus);
    if (b != nullptr) {
      b->len = m->len;
      std::memcpy(b->msg, m->msg, m->len);
      b->stamp = m->stamp;
      ln_msg_append(n->bus, b);
    }
    ln_msg_free(f, m);
  }
}

void close_client(sim_net *n, client *c) {
  if (c->lif != nullptr) lif_detach(c->lif);
  if (c->fd >= 0) {
    // What the socket still holds goes out before the end of the stream.
    shutdown(c->fd, SHUT_WR);
    close(c->fd);
    note(n, "client %u closed", static_cast<unsigned>(c->id));
  }
  delete c;
}

void accept_client(sim_net *n, int lfd, bool lb) {
  struct sockaddr_storage a;
  socklen_t len = sizeof a;
  const int fd =
      accept4(lfd, reinterpret_cast<struct sockaddr *>(&a), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  // One line, or one byte on a paced bus, per write: each should leave at
  // once. The split server is the one that keeps Nagle's delay.
  if (!(lb && n->o.lb_split)) {
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  const int room = SNDBUF;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
  auto *c = new client;
  c->net = n;
  c->fd = fd;
  c->lb = lb;
  if (!lb && (c->lif = lif_framer()) == nullptr) {
    c->fd = -1;
    close(fd);
    close_client(n, c);
    return;
  }
  pthread_mutex_lock(&n->lock);
  c->id = n->next_id++;
  note(n, "client %u connected to %s from %s", static_cast<unsigned>(c->id),
       lb ? "lbserver" : "tcp",
       sim_addr_text(reinterpret_cast<struct sockaddr *>(&a), len).c_str());
  n->clients.push_back(c);
  if (lb && !n->o.lb_no_version) put_lines(n, c, {n->o.lb_jmri ? JMRI_VERSION_LINE : VERSION_LINE});
  pthread_mutex_unlock(&n->lock);
}

/// Writes what c has not taken yet, as far as the socket takes it.
void flush(sim_net *n, client *c) {
  pthread_mutex_lock(&n->lock);
  if (!c->out.empty()) {
    const ssize_t w = send(c->fd, c->out.data(), c->out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (w > 0) {
      c->out.erase(0, static_cast<std::size_t>(w));
    } else if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      c->out.clear();
      c->closing = true;
    }
  }
  pthread_mutex_unlock(&n->lock);
}

void read_client(sim_net *n, client *c) {
  char buf[4096];
  const ssize_t r = recv(c->fd, buf, sizeof buf, MSG_DONTWAIT);
  if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (r <= 0) {
    pthread_mutex_lock(&n->lock);
    c->closing = true;
    pthread_mutex_unlock(&n->lock);
    return;
  }
  if (c->lb) {
    line_ctx ctx{n, c};
    lb_lines_feed(&c->lines, buf, static_cast<std::size_t>(r), on_line, &ctx);
  } else {
    frame_client(n, c, buf, static_cast<std::size_t>(r));
  }
}

void *net_main(void *arg) {
  auto *n = static_cast<sim_net *>(arg);
  std::vector<struct pollfd> p;
  std::vector<client *> polled, done;
  for (;;) {
    p.assign({{n->wake, POLLIN, 0}, {n->lb_fd, POLLIN, 0}, {n->tcp_fd, POLLIN, 0}});
    polled.clear();
    done.clear();
    int timeout = -1;
    pthread_mutex_lock(&n->lock);
    if (n->stop) {
      pthread_mutex_unlock(&n->lock);
      break;
    }
    for (std::size_t i = 0; i < n->clients.size();) {
      client *c = n->clients[i];
      if (c->closing) {
        done.push_back(c);
        n->clients.erase(n->clients.begin() + static_cast<std::ptrdiff_t>(i));
        continue;
      }
      p.push_back({c->fd, static_cast<short>(POLLIN | (c->out.empty() ? 0 : POLLOUT)), 0});
      polled.push_back(c);
      ++i;
    }
    if (n->pending != 0) {
      const std::int64_t left = n->pending_end - mono_ns();
      timeout = left <= 0 ? 0 : static_cast<int>(left / 1000000 + 1);
    }
    pthread_mutex_unlock(&n->lock);
    for (client *c : done) {
      flush(n, c);
      close_client(n, c);
    }
    if (poll(p.data(), p.size(), timeout) < 0) continue;
    std::uint64_t count;
    if ((p[0].revents & POLLIN) != 0 && read(n->wake, &count, sizeof count) < 0) {
      // Nothing to read after all: the loop looks at everything anyway.
    }
    if ((p[1].revents & POLLIN) != 0) accept_client(n, n->lb_fd, true);
    if ((p[2].revents & POLLIN) != 0) accept_client(n, n->tcp_fd, false);
    for (std::size_t i = 0; i < polled.size(); ++i) {
      const short ev = p[i + 3].revents;
      if ((ev & POLLOUT) != 0) flush(n, polled[i]);
      if ((ev & (POLLIN | POLLHUP | POLLERR)) != 0) read_client(n, polled[i]);
    }
    pthread_mutex_lock(&n->lock);
    expire(n);
    start_next(n);
    pthread_mutex_unlock(&n->lock);
  }
  pthread_mutex_lock(&n->lock);
  std::vector<client *> all;
  all.swap(n->clients);
  pthread_mutex_unlock(&n->lock);
  for (client *c : all) close_client(n, c);
  return nullptr;
}

}  // namespace

bool sim_parse_listen(const std::string &where, std::string *addr, unsigned *port) {
  std::string host = "127.0.0.1", num = where;
  if (!where.empty() && where[0] == '[') {
    const std::size_t close = where.find("]:");
    if (close == std::string::npos || close == 1) return false;
    host = where.substr(1, close - 1);
    num = where.substr(close + 2);
  } else if (const std::size_t colon = where.find(':'); colon != std::string::npos) {
    if (colon == 0 || where.find(':', colon + 1) != std::string::npos) return false;
    host = where.substr(0, colon);
    num = where.substr(colon + 1);
  }
  const char *p = num.c_str();
  unsigned long v = 0;
  if (!sim_read_num(&p, 65535, &v) || *p != '\0') return false;
  *addr = host;
  *port = static_cast<unsigned>(v);
  return true;
}

int sim_bind(const std::string &where, int socktype, unsigned *port, std::string *err) {
  std::string host;
  unsigned want = 0;
  if (!sim_parse_listen(where, &host, &want)) {
    *err = "Bad address to listen on: " + where;
    return -1;
  }
  const std::string what =
      (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(want);
  struct addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = socktype;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  struct addrinfo *res = nullptr;
  const int rc = getaddrinfo(host.c_str(), std::to_string(want).c_str(), &hints, &res);
  if (rc != 0) {
    *err = "Can't listen on " + what + ": " + gai_strerror(rc);
    return -1;
  }
  int fd = -1, e = EADDRNOTAVAIL;
  for (const struct addrinfo *ai = res; ai != nullptr && fd < 0; ai = ai->ai_next) {
    fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (fd < 0) {
      e = errno;
      continue;
    }
    // A TCP port a run before this one used is free again at once. Not for
    // UDP, where it would let two instances share a port.
    const bool stream = socktype == SOCK_STREAM;
    const int one = 1;
    if (stream) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || (stream && listen(fd, 16) != 0)) {
      e = errno;
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(res);
  if (fd < 0) {
    *err = sim_sys_error("Can't listen on " + what, e);
    return -1;
  }
  struct sockaddr_storage a = {};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<struct sockaddr *>(&a), &len);
  *port = ntohs(a.ss_family == AF_INET6 ? reinterpret_cast<struct sockaddr_in6 *>(&a)->sin6_port
                                        : reinterpret_cast<struct sockaddr_in *>(&a)->sin_port);
  return fd;
}

std::string sim_addr_text(const struct sockaddr *a, socklen_t len) {
  char host[NI_MAXHOST], serv[NI_MAXSERV];
  if (getnameinfo(a, len, host, sizeof host, serv, sizeof serv, NI_NUMERICHOST | NI_NUMERICSERV) !=
      0)
    return "?";
  return (a->sa_family == AF_INET6 ? "[" + std::string(host) + "]" : std::string(host)) + ":" +
         serv;
}

std::uint32_t sim_tickets_inject(sim_tickets *t, lif_t *bus, sim_send from,
                                 const std::vector<u8> &b) {
  ln_msg_t *marker = ln_msg_alloc(bus);
  if (marker == nullptr) return 0;
  from.ticket = t->next++;
  if (t->next == 0) t->next = 1;
  t->held[from.ticket] = {from, b};
  marker->len = 0;
  std::memcpy(marker->msg, &from.ticket, sizeof from.ticket);
  marker->msg[sizeof from.ticket] = from.origin;
  // On a paced bus the message takes the bus from now.
  clock_gettime(CLOCK_REALTIME, &marker->stamp);
  ln_msg_append(bus, marker);
  return from.ticket;
}

sim_origin sim_marker_origin(const ln_msg_t *marker) {
  return static_cast<sim_origin>(marker->msg[sizeof(std::uint32_t)]);
}

bool sim_tickets_take(sim_tickets *t, const ln_msg_t *marker, ln_msg_t *m, sim_send *from) {
  std::uint32_t ticket;
  std::memcpy(&ticket, marker->msg, sizeof ticket);
  const auto it = t->held.find(ticket);
  const bool found = it != t->held.end();
  if (found) {
    *from = it->second.first;
    const std::vector<u8> &b = it->second.second;
    m->len = static_cast<u8>(b.size());
    std::memcpy(m->msg, b.data(), b.size());
    m->stamp = marker->stamp;
  }
  // Markers come in ticket order: older ones still here were lost with a
  // full queue.
  t->held.erase(t->held.begin(), found ? std::next(it) : t->held.lower_bound(ticket));
  return found;
}

sim_net *sim_net_start(const sim_opts &o, lif_t *bus, std::string *err) {
  auto *n = new sim_net(o, bus);
  n->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (n->wake < 0) *err = sim_sys_error("Can't create an event counter", errno);
  if (n->wake < 0 ||
      (!o.lbserver.empty() &&
       (n->lb_fd = sim_bind(o.lbserver, SOCK_STREAM, &n->lb_port, err)) < 0) ||
      (!o.tcp.empty() && (n->tcp_fd = sim_bind(o.tcp, SOCK_STREAM, &n->tcp_port, err)) < 0)) {
    sim_net_stop(n);
    sim_net_free(n);
    return nullptr;
  }
  const int e = pthread_create(&n->tid, nullptr, net_main, n);
  n->up = e == 0;
  if (!n->up) {
    *err = sim_sys_error("Can't create thread", e);
    sim_net_stop(n);
    sim_net_free(n);
    return nullptr;
  }
  return n;
}

unsigned sim_net_port(const sim_net *n, bool lbserver) {
  return lbserver ? n->lb_port : n->tcp_port;
}

void sim_net_stop(sim_net *n) {
  if (n->up) {
    pthread_mutex_lock(&n->lock);
    n->stop = true;
    pthread_mutex_unlock(&n->lock);
    kick(n);
    pthread_join(n->tid, nullptr);
    n->up = false;
  }
  for (int *fd : {&n->lb_fd, &n->tcp_fd, &n->wake}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

void sim_net_free(sim_net *n) {
  pthread_mutex_destroy(&n->lock);
  delete n;
}

bool sim_net_take(sim_net *n, const ln_msg_t *marker, ln_msg_t *m, sim_send *from) {
  pthread_mutex_lock(&n->lock);
  const bool found = sim_tickets_take(&n->tickets, marker, m, from);
  pthread_mutex_unlock(&n->lock);
  return found;
}

bool sim_net_raw_clients(sim_net *n) {
  pthread_mutex_lock(&n->lock);
  bool any = false;
  for (const client *c : n->clients) any = any || !c->lb;
  pthread_mutex_unlock(&n->lock);
  return any;
}

void sim_net_bytes(sim_net *n, const u8 *p, std::size_t len) {
  const std::string_view v(reinterpret_cast<const char *>(p), len);
  pthread_mutex_lock(&n->lock);
  for (client *c : n->clients)
    if (!c->lb) put(n, c, {v});
  pthread_mutex_unlock(&n->lock);
}

void sim_net_passed(sim_net *n, const std::vector<u8> &b, const sim_send &from) {
  if (!ln_frame_one(b.data(), b.size())) return;
  // Another side's clients are nobody here.
  const sim_send lb = from.origin == SIM_FROM_LBSERVER ? from : sim_send{};
  const std::string rx = hex_line(n, "RECEIVE", b);
  pthread_mutex_lock(&n->lock);
  const bool answers = lb.ticket != 0 && lb.ticket == n->pending;
  if (answers) {
    n->pending = 0;
    kick(n);  // the next SEND may go
  }
  for (client *c : n->clients) {
    if (!c->lb) continue;
    if (n->o.lb_jmri) {
      // Any message equal to the last SEND answers it, whoever put it on the bus.
      const bool echo = !c->last.empty() && c->last == b;
      if (echo) c->last.clear();
      put_receive(n, c, rx,
                  echo ? std::vector<std::string>{"SENT OK"} : std::vector<std::string>{});
      continue;
    }
    const bool sender = lb.ticket != 0 && c->id == lb.client;
    if (sender && lb.seen) continue;  // had it before the bus
    if (sender && answers)
      put_receive(n, c, rx, {sent_ok(n, b)});
    else
      put_receive(n, c, rx, {});
  }
  pthread_mutex_unlock(&n->lock);
}
