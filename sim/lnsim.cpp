// The running simulator: pty, threads, modules and the output schedule.
#include "lnsim.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <pthread.h>
#include <random>
#include <set>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include "loconet.h"
#include "net.h"
#include "reader.h"
#include "state.h"
#include "station.h"
#include "util.h"
#include "wire.h"

namespace {

constexpr u16 CV_FIRST = 145;               // CVs 145..160 hold the sens values
constexpr std::int64_t US = 1000;           // in ns
constexpr std::int64_t BYTE_NS = 600 * US;  // one byte on the bus: 10 bits at 16.66 kbit/s
constexpr std::int64_t BYTEWISE_NS = 200 * US;
constexpr unsigned ECHO_MIN_US = 300, ECHO_SPAN_US = 1700;  // an interface echoes after 0.3..2 ms
constexpr int WRITE_WAIT_MS = 100;  // a write making no progress this long is dropped
// Unread bytes at the slave beyond which output is dropped: well below the
// line discipline's 4 KiB, so a write of one message can never block.
constexpr int BACKLOG_MAX = 3072;

std::int64_t now_ns() {
  struct timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

struct timespec to_ts(std::int64_t ns) {
  return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

void sleep_until(std::int64_t ns) {
  const struct timespec t = to_ts(ns);
  while (clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &t, nullptr) == EINTR) {
  }
}

/// One scheduled write to the host.
struct out_item {
  std::vector<u8> bytes;
  bool is_msg;    // logged once delivered
  bool echo;      // never split by bytewise
  bool mute;      // a request with echo off: occupies the paced bus, only a Z21 station hears it
  sim_send from;  // the client's message it echoes (LbServer SEND, Z21), if any
};

/// On-bus behaviour of one emulated module.
struct sim_mod_t {
  bool silent = false;
  bool impostor = false;
  bool limited = false;  // answers only budget more CV requests
  unsigned budget = 0;
  bool flags80 = false;           // select replies carry flags 0x80
  std::int64_t select_ns = -1;    // select turnaround; -1: the common one
  std::set<u16> stuck;            // CVs that acknowledge writes and keep their value
  bool broadcast_enters = false;  // enters programming mode on a broadcast
  bool broadcast_deaf = false;    // ignores a broadcast
  int twins = 1;                  // modules at this address: 1, or 2 with a twin
  bool twin_own = false;          // the twin holds values of its own, in twin_cvs
  sim_cvs_t twin_cvs{};
};

/// What one module sends back for one request: look-alikes, then its reply,
/// a turnaround after the request.
struct answer_t {
  std::vector<std::vector<u8>> lookalikes;
  std::vector<u8> reply;
  std::int64_t turnaround_ns = 0;
  /// The turnaround counts from the end of the answer before it, as firmware
  /// answering a broadcast waits its turn; these keep the order they are in.
  bool chained = false;
};

bool answers(const sim_mod_t &m) { return !m.silent && (!m.limited || m.budget > 0); }
bool is_sens_cv(u16 cv) { return cv >= CV_FIRST && cv < CV_FIRST + 16; }

/// CVs 1..3 identify the module and are read only, as CV 0 (the address) is:
/// article number low and high byte, firmware version.
constexpr std::array<u16, 3> ID_CVS = {SIM_ART_NO & 0xFF, SIM_ART_NO >> 8, 1};
bool is_id_cv(u16 cv) { return cv >= 1 && cv <= ID_CVS.size(); }

}  // namespace

struct lnsim {
  explicit lnsim(const sim_opts &opts) : o(opts), rng(opts.seed) {
    pthread_mutex_init(&lock, nullptr);
    pthread_mutex_init(&out_lock, nullptr);
    pthread_cond_init(&out_cond, nullptr);
  }

  sim_opts o;
  std::string path;
  int master = -1, slave = -1;
  lif_t *lif = nullptr;    // frames what the host writes to the master; every host's queue
  sim_net *net = nullptr;  // the TCP clients; null without servers
  sim_z21 *z21 = nullptr;  // the Z21 LAN clients; null without that side
  ln_msg_t wake{};         // queued behind the host's messages to stop the bus thread
  bool bus_up = false, out_up = false, excl_up = false;
  pthread_t bus_tid{}, out_tid{}, excl_tid{};
  bool traffic_up = false;
  pthread_t traffic_tid{};
  bool traffic_stop = false;  // guarded by out_lock; out_cond wakes the traffic thread too
  int notify = -1;            // inotify on the slave: a client closed it
  int excl_stop = -1;         // eventfd that ends the exclusive-claim watcher
  std::mt19937 rng;           // bus thread only

  pthread_mutex_t lock{};         // guards cvs, mods, programming, host
  sim_state_t cvs;                // every module of the state, emulated or not
  std::map<u16, sim_mod_t> mods;  // emulated modules
  std::set<u16> programming;      // modules in programming mode
  std::vector<std::vector<u8>> host;

  pthread_mutex_t out_lock{};                   // guards queue and out_stop
  pthread_cond_t out_cond{};                    // queue changed or stop requested
  std::multimap<std::int64_t, out_item> queue;  // by due time; equal times in order
  bool out_stop = false;
  std::int64_t bus_free = 0;  // paced bus busy until (output thread only)
  std::int64_t row_end = 0;   // a row of broadcast answers holds the bus until (bus thread only)
  // --usb-latency: bytes for the pty the adapter holds, and when it hands
  // them over; 0: it holds none (output thread only).
  std::vector<u8> usb_held;
  std::int64_t usb_due = 0;
};

namespace {

void log_msg(FILE *log, const char *mark, const ln_msg_t *m) {
  flockfile(log);
  fputs(mark, log);
  ln_msg_dump(log, m);
  fflush(log);
  funlockfile(log);
}

/// Saves the state file, if any; the caller holds lock.
bool save(lnsim *s) {
  if (s->o.state_file.empty()) return true;
  std::string err;
  if (sim_state_save(s->o.state_file, s->cvs, &err)) return true;
  fprintf(stderr, "lnsim: %s\n", err.c_str());
  return false;
}

void schedule(lnsim *s, std::int64_t due, out_item it) {
  pthread_mutex_lock(&s->out_lock);
  s->queue.emplace(due, std::move(it));
  pthread_cond_broadcast(&s->out_cond);
  pthread_mutex_unlock(&s->out_lock);
}

/// True with probability p; draws nothing when p is 0.
bool chance(lnsim *s, double p) {
  return p > 0 && static_cast<double>(s->rng()) / 4294967296.0 < p;
}

void maybe_noise(lnsim *s, std::int64_t due) {
  if (!chance(s, s->o.noise)) return;
  std::vector<sim_chunk_t> burst;
  sim_noise_burst(&s->rng, &burst);
  for (auto &c : burst) schedule(s, due, {std::move(c.bytes), c.is_msg, false, false, {}});
}

/// A module's answer: two look-alikes first when it is an impostor.
answer_t answer_of(const sim_mod_t &mod, u16 cv, u16 lookalike_val, std::vector<u8> reply) {
  answer_t a;
  if (mod.impostor && !reply.empty()) {
    a.lookalikes.push_back(sim_prog_msg(PROG_SRC_MODULE, SIM_ART_NO - 1, cv, lookalike_val));
    a.lookalikes.push_back(
        sim_prog_msg(PROG_SRC_MODULE, SIM_ART_NO, static_cast<u16>(cv + 1), lookalike_val));
  }
  a.reply = std::move(reply);
  return a;
}

/// The sens CVs of module addr, or of its twin (second) when it holds its own.
sim_cvs_t &sens_cvs(lnsim *s, u16 addr, bool second) {
  sim_mod_t &mod = s->mods[addr];
  if (second && mod.twin_own) return mod.twin_cvs;
  return s->cvs[addr];
}

/// What module addr (or its twin) holds in cv, if it has cv.
bool cv_value(lnsim *s, u16 addr, u16 cv, u16 *val, bool second = false) {
  if (cv == 0)
    *val = addr;
  else if (is_id_cv(cv))
    *val = ID_CVS[cv - 1];
  else if (is_sens_cv(cv))
    *val = sens_cvs(s, addr, second)[cv - CV_FIRST];
  else
    return false;
  return true;
}

std::vector<u8> cv_read_reply(lnsim *s, u16 addr, u16 cv, bool second) {
  u16 val;
  if (!cv_value(s, addr, cv, &val, second)) return sim_long_ack(PROG_ACK_NO_CV);
  return sim_prog_msg(PROG_SRC_MODULE, SIM_ART_NO, cv, val);
}

std::vector<u8> cv_write_reply(lnsim *s, u16 addr, const sim_mod_t &mod, u16 cv, u16 val,
                               bool second) {
  if (cv == 0 || is_id_cv(cv)) return sim_long_ack(PROG_ACK_READ_ONLY);
  if (!is_sens_cv(cv)) return sim_long_ack(PROG_ACK_NO_CV);
  if (mod.stuck.count(cv) != 0) return sim_long_ack(PROG_ACK_OK);  // a cell that lost its hold
  u16 &held = sens_cvs(s, addr, second)[cv - CV_FIRST];
  const u16 old = held;
  held = val;
  // The acknowledge promises the value is kept: no file, no acknowledge,
  // and the host will try again. A twin's own values live in memory only.
  if (old != val && !(second && mod.twin_own) && !save(s)) {
    held = old;
    return {};
  }
  return sim_long_ack(PROG_ACK_OK);
}

/// "= <who> N <what>" in the log: what a module did.
void log_note(lnsim *s, const char *who, u16 addr, const char *what) {
  if (s->o.log == nullptr) return;
  flockfile(s->o.log);
  fprintf(s->o.log, "= %s %u %s\n", who, static_cast<unsigned>(addr), what);
  fflush(s->o.log);
  funlockfile(s->o.log);
}

/// Module addr enters (on) or leaves programming mode; the caller holds lock.
void set_programming(lnsim *s, u16 addr, bool on) {
  if (on ? s->programming.insert(addr).second : s->programming.erase(addr) != 0)
    log_note(s, "module", addr, on ? "enters programming mode" : "leaves programming mode");
}

const char *who(int copy) { return copy == 0 ? "module" : "second module"; }

/// A module's answer to a select, or to the broadcast select: its address.
answer_t select_answer(lnsim *s, const sim_mod_t &mod, u16 addr) {
  const u8 flags = mod.flags80 ? PROG_FLAG_ON : 0;
  answer_t a = answer_of(mod, 0, addr, sim_prog_msg(PROG_SRC_MODULE, SIM_ART_NO, 0, addr, flags));
  a.turnaround_ns = mod.select_ns >= 0 ? mod.select_ns : s->o.turnaround_us * US;
  return a;
}

/// The modules' answers to one host message; the caller holds lock.
///
/// As module firmware does: a select naming a module puts it into
/// programming mode, and only a release naming it takes it out again; a
/// select of another address leaves it there. Reads and writes carry no
/// address, so every module in programming mode answers each of them.
void answer(lnsim *s, const ln_msg_t *m, std::vector<answer_t> *out) {
  ln_prog_t p;
  if (!prog_decode_request(&p, m) || p.art_no != SIM_ART_NO) return;
  const u8 opc = m->msg[0];
  if (opc == OPC_PEER_XFER && p.cmd == PROG_CMD_READ && p.flags == PROG_FLAG_OFF) {
    set_programming(s, p.cv_val, false);
    return;
  }
  if (opc != OPC_IMM_PACKET) return;
  if (p.cmd == PROG_CMD_READ && p.flags == PROG_FLAG_ON) {
    if (p.cv_val == SIM_BROADCAST) {
      // Every module answers with its own address; only one still at the
      // factory address takes it as its own select, and some firmware
      // enters programming mode on it or ignores it altogether.
      std::vector<u16> order;
      for (u16 a : s->o.broadcast_order)
        if (s->mods.count(a) != 0 && std::find(order.begin(), order.end(), a) == order.end())
          order.push_back(a);
      for (const auto &entry : s->mods)
        if (std::find(order.begin(), order.end(), entry.first) == order.end())
          order.push_back(entry.first);
      for (u16 addr : order) {
        sim_mod_t &mod = s->mods[addr];
        if (!answers(mod)) continue;
        if (mod.broadcast_deaf) {
          log_note(s, "module", addr, "ignores the broadcast");
          continue;
        }
        if (addr == SIM_BROADCAST || mod.broadcast_enters) set_programming(s, addr, true);
        for (int copy = 0; copy < mod.twins; ++copy) {
          log_note(s, who(copy), addr, "answers the broadcast");
          out->push_back(select_answer(s, mod, addr));
          out->back().chained = true;
        }
      }
      return;
    }
    const auto it = s->mods.find(p.cv_val);
    if (it == s->mods.end() || !answers(it->second)) return;
    set_programming(s, p.cv_val, true);
    for (int copy = 0; copy < it->second.twins; ++copy)
      out->push_back(select_answer(s, it->second, p.cv_val));
    return;
  }
  if (p.flags != 0 || (p.cmd != PROG_CMD_READ && p.cmd != PROG_CMD_WRITE)) return;
  for (u16 addr : s->programming) {
    sim_mod_t &mod = s->mods[addr];
    if (!answers(mod)) continue;
    if (mod.limited) --mod.budget;
    const u16 cv = p.cv_addr;
    for (int copy = 0; copy < mod.twins; ++copy) {
      const bool second = copy == 1;
      answer_t a;
      if (p.cmd == PROG_CMD_READ) {
        u16 val = 0;
        cv_value(s, addr, cv, &val, second);
        a = answer_of(mod, cv, static_cast<u16>(val ^ 0xFF), cv_read_reply(s, addr, cv, second));
      } else {
        a = answer_of(mod, cv, static_cast<u16>(p.cv_val ^ 0xFF),
                      cv_write_reply(s, addr, mod, cv, p.cv_val, second));
      }
      a.turnaround_ns = s->o.turnaround_us * US;
      out->push_back(std::move(a));
    }
  }
}

/// Modules that enter programming mode on their own at the n-th host
/// message, as another program's select would put them; the caller holds lock.
void intrude(lnsim *s, std::size_t n) {
  for (const auto &[addr, at] : s->o.intruder)
    if (at == n && s->mods.count(addr) != 0) set_programming(s, addr, true);
}

/// Echoes one host message and schedules the modules' answers; from names
/// the LbServer SEND it is.
void on_host_msg(lnsim *s, const ln_msg_t *m, const sim_send &from) {
  std::int64_t now = now_ns();
  // On a paced bus the request took the bus when its first byte arrived (the
  // reader's stamp), not when this thread got to it.
  const std::int64_t arrived = m->stamp.tv_sec * 1000000000LL + m->stamp.tv_nsec;
  if (s->o.pace && arrived > 0 && arrived < now) now = arrived;
  // Modules answering a broadcast take the bus one after the other, each a
  // turnaround after the one before, sooner than an interface may: a host
  // message goes out behind the row.
  now = std::max(now, s->row_end);
  if (s->o.log != nullptr) log_msg(s->o.log, "> ", m);
  std::vector<u8> bytes(m->msg, m->msg + m->len);
  std::vector<answer_t> answers;
  pthread_mutex_lock(&s->lock);
  s->host.push_back(bytes);
  // A message with a bad checksum (an LbServer passes what it is given) is
  // nothing to a module.
  if (ln_frame_one(m->msg, m->len)) answer(s, m, &answers);
  intrude(s, s->host.size());
  pthread_mutex_unlock(&s->lock);

  // When the request has passed the bus and been echoed.
  std::int64_t passed = now;
  if (s->o.pace) {
    passed = now + m->len * BYTE_NS;
    if (s->o.echo) maybe_noise(s, now);
    schedule(s, now, {std::move(bytes), true, true, !s->o.echo, from});
  } else if (s->o.echo) {
    passed = now + (ECHO_MIN_US + static_cast<unsigned>(s->rng() % ECHO_SPAN_US)) * US;
    maybe_noise(s, passed);
    schedule(s, passed, {std::move(bytes), true, true, false, from});
  } else if (s->z21 != nullptr) {
    // No echo through the interface; a station beside it on the bus hears it.
    schedule(s, passed, {std::move(bytes), true, true, true, from});
  }
  // Modules answer a turnaround after the request: on a paced bus after its
  // last byte, otherwise never before its echo. Two answers never overlap:
  // the later one waits until the earlier has passed the bus.
  if (answers.empty() || !answers.front().chained)
    std::stable_sort(answers.begin(), answers.end(), [](const answer_t &x, const answer_t &y) {
      return x.turnaround_ns < y.turnaround_ns;
    });
  std::int64_t bus_free = 0;
  for (answer_t &a : answers) {
    if (a.reply.empty()) continue;
    std::int64_t due =
        s->o.pace ? passed + a.turnaround_ns : std::max(passed, now + a.turnaround_ns);
    if (a.chained) due = std::max(passed, bus_free) + a.turnaround_ns;
    due += s->o.delay_us * US;
    due = std::max(due, bus_free);
    maybe_noise(s, due);
    std::size_t len = a.reply.size();
    for (auto &l : a.lookalikes) {
      len += l.size();
      schedule(s, due, {std::move(l), true, false, false, {}});
    }
    bus_free = due + static_cast<std::int64_t>(len) * BYTE_NS;
    if (chance(s, s->o.drop)) continue;
    schedule(s, due, {std::move(a.reply), true, false, false, {}});
  }
  if (!answers.empty() && answers.front().chained) s->row_end = bus_free;
}

void *bus_main(void *arg) {
  auto *s = static_cast<lnsim *>(arg);
  for (;;) {
    ln_msg_t *m = ln_msg_rx(s->lif);
    if (m == &s->wake) return nullptr;
    if (m->len != 0) {
      on_host_msg(s, m, {});
    } else {
      // An LbServer SEND or a Z21 client's message: the marker names it and
      // its sender.
      ln_msg_t tx{};
      sim_send from;
      const sim_origin origin = sim_marker_origin(m);
      if ((origin == SIM_FROM_LBSERVER && s->net != nullptr &&
           sim_net_take(s->net, m, &tx, &from)) ||
          (origin == SIM_FROM_Z21 && s->z21 != nullptr && sim_z21_take(s->z21, m, &tx, &from)))
        on_host_msg(s, &tx, from);
    }
    ln_msg_free(s->lif, m);
  }
}

/// Writes n bytes to the master, giving up when the host stops reading.
bool write_bounded(lnsim *s, const u8 *p, std::size_t n) {
  while (n > 0) {
    struct pollfd pfd = {s->master, POLLOUT, 0};
    const int r = poll(&pfd, 1, WRITE_WAIT_MS);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    const ssize_t w = write(s->master, p, n);
    if (w < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (w < 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

bool backlogged(const lnsim *s) {
  int unread = 0;
  return ioctl(s->slave, FIONREAD, &unread) == 0 && unread > BACKLOG_MAX;
}

/// What a USB adapter's chip holds for the host, handed over when its
/// latency timer runs out or its packet is full.
constexpr std::size_t USB_PACKET = 62;

/// Hands what the adapter holds to the host.
void usb_flush(lnsim *s) {
  if (!backlogged(s)) write_bounded(s, s->usb_held.data(), s->usb_held.size());
  s->usb_held.clear();
  s->usb_due = 0;
}

/// n bytes on the bus: to the master while *pty holds (a host that stops
/// reading loses the rest), through the adapter's buffer with --usb-latency,
/// and to every raw TCP client.
void to_hosts(lnsim *s, bool *pty, const u8 *p, std::size_t n) {
  if (*pty && s->o.usb_latency_ms > 0) {
    const std::int64_t now = now_ns(), tick = std::int64_t{s->o.usb_latency_ms} * 1000 * US;
    if (s->usb_due != 0 && now >= s->usb_due) usb_flush(s);
    // The timer runs freely: bytes wait up to one period, half on average.
    if (s->usb_due == 0) s->usb_due = (now / tick + 1) * tick;
    s->usb_held.insert(s->usb_held.end(), p, p + n);
    if (s->usb_held.size() >= USB_PACKET) usb_flush(s);
  } else if (*pty && !write_bounded(s, p, n)) {
    *pty = false;
  }
  if (s->net != nullptr) sim_net_bytes(s->net, p, n);
}

void deliver(lnsim *s, std::int64_t due, const out_item &it) {
  const std::size_t n = it.bytes.size();
  if (it.mute) {
    // An unechoed request: the interface's hosts do not see it, a Z21
    // station on the bus does, once it has passed.
    if (s->o.pace)
      s->bus_free = std::max(due, s->bus_free) + static_cast<std::int64_t>(n) * BYTE_NS;
    if (s->z21 == nullptr) return;
    if (s->o.pace) sleep_until(s->bus_free);
    sim_z21_passed(s->z21, it.bytes, it.from);
    return;
  }
  bool pty = !backlogged(s);
  // Byte by byte only for somebody who hears the bytes come.
  const bool timed = pty || (s->net != nullptr && sim_net_raw_clients(s->net));
  if (s->o.pace) {
    // Byte times are absolute, so lateness in one write does not add up.
    const std::int64_t start = std::max(due, s->bus_free);
    s->bus_free = start + static_cast<std::int64_t>(n) * BYTE_NS;
    for (std::size_t i = 0; i < n && timed; ++i) {
      sleep_until(start + static_cast<std::int64_t>(i + 1) * BYTE_NS);
      to_hosts(s, &pty, &it.bytes[i], 1);
    }
    if (!timed) sleep_until(s->bus_free);
  } else if (s->o.bytewise && !it.echo) {
    const std::int64_t start = now_ns();
    for (std::size_t i = 0; i < n && timed; ++i) {
      if (i > 0) sleep_until(start + static_cast<std::int64_t>(i) * BYTEWISE_NS);
      to_hosts(s, &pty, &it.bytes[i], 1);
    }
  } else {
    to_hosts(s, &pty, it.bytes.data(), n);
  }
  // An LbServer and a Z21 station have the message once its last byte has come.
  if (s->net != nullptr) sim_net_passed(s->net, it.bytes, it.from);
  if (s->z21 != nullptr) sim_z21_passed(s->z21, it.bytes, it.from);
  if (it.is_msg && s->o.log != nullptr) {
    ln_msg_t m{};
    clock_gettime(CLOCK_REALTIME, &m.stamp);
    m.len = static_cast<u8>(std::min(n, LN_MSG_MAX));
    std::copy(it.bytes.begin(), it.bytes.begin() + m.len, m.msg);
    log_msg(s->o.log, "< ", &m);
  }
}

void *out_main(void *arg) {
  auto *s = static_cast<lnsim *>(arg);
  // Paced bytes fall due every 600 us; the default timer slack of 50 us
  // would make every one of them late.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  bool passed_z21 = false;  // the station's clients have records waiting
  pthread_mutex_lock(&s->out_lock);
  while (!s->out_stop) {
    if (s->usb_due != 0 && s->usb_due <= now_ns()) {
      pthread_mutex_unlock(&s->out_lock);
      usb_flush(s);
      pthread_mutex_lock(&s->out_lock);
      continue;
    }
    const bool idle = s->queue.empty() || s->queue.begin()->first > now_ns();
    if (idle && passed_z21) {
      // What passed the bus goes to the station's clients before any wait,
      // packed when it passed back to back.
      passed_z21 = false;
      pthread_mutex_unlock(&s->out_lock);
      sim_z21_flush(s->z21);
      pthread_mutex_lock(&s->out_lock);
      continue;
    }
    if (s->queue.empty() && s->usb_due == 0) {
      pthread_cond_wait(&s->out_cond, &s->out_lock);
      continue;
    }
    const auto head = s->queue.begin();
    std::int64_t next = s->queue.empty() ? INT64_MAX : head->first;
    if (s->usb_due != 0) next = std::min(next, s->usb_due);
    if (next > now_ns()) {
      const struct timespec t = to_ts(next);
      pthread_cond_timedwait(&s->out_cond, &s->out_lock, &t);
      continue;
    }
    const std::int64_t due = head->first;
    const out_item it = std::move(head->second);
    s->queue.erase(head);
    pthread_mutex_unlock(&s->out_lock);
    deliver(s, due, it);
    passed_z21 = s->z21 != nullptr;
    pthread_mutex_lock(&s->out_lock);
  }
  pthread_mutex_unlock(&s->out_lock);
  return nullptr;
}

/// Other devices' traffic filling the bus: noise messages one after the
/// other at bus speed, as long as the instance runs. Its own generator keeps
/// the bus thread's draws, and so every run's replies, as they were.
void *traffic_main(void *arg) {
  auto *s = static_cast<lnsim *>(arg);
  std::mt19937 rng(s->o.seed ^ 0x7AFF1Cu);
  std::int64_t t = now_ns();
  pthread_mutex_lock(&s->out_lock);
  while (!s->traffic_stop) {
    std::vector<sim_chunk_t> burst;
    sim_noise_burst(&rng, &burst);
    for (sim_chunk_t &c : burst) {
      const std::int64_t due = t;
      t += static_cast<std::int64_t>(c.bytes.size()) * BYTE_NS;
      s->queue.emplace(due, out_item{std::move(c.bytes), c.is_msg, false, false, {}});
    }
    pthread_cond_broadcast(&s->out_cond);
    const struct timespec until = to_ts(t);
    while (!s->traffic_stop && now_ns() < t)
      pthread_cond_timedwait(&s->out_cond, &s->out_lock, &until);
  }
  pthread_mutex_unlock(&s->out_lock);
  return nullptr;
}

/// Clears an exclusive claim on the terminal that no client holds any more.
/// A client sets the terminal's exclusive flag and its lock while it runs,
/// and clears the flag on its way out; one that was killed cannot, and the
/// flag outlives it because lnsim keeps the slave open: the next client
/// would be refused. The lock dies with its holder, so a flag without a lock
/// is a leftover.
void *excl_main(void *arg) {
  auto *s = static_cast<lnsim *>(arg);
  alignas(struct inotify_event) char buf[4096];
  for (;;) {
    struct pollfd p[2] = {{s->notify, POLLIN, 0}, {s->excl_stop, POLLIN, 0}};
    if (poll(p, 2, -1) < 0) continue;
    if (p[1].revents != 0) return nullptr;
    if (read(s->notify, buf, sizeof buf) <= 0) continue;
    int excl = 0;
    if (ioctl(s->slave, TIOCGEXCL, &excl) != 0 || excl == 0) continue;
    const bool held = flock(s->slave, LOCK_EX | LOCK_NB) != 0;  // its holder still runs
    if (!held) {
      ioctl(s->slave, TIOCNXCL);
      flock(s->slave, LOCK_UN);
    }
    if (s->o.log != nullptr) {
      flockfile(s->o.log);
      fputs(held ? "= exclusive claim kept, its client still runs\n"
                 : "= exclusive claim of a closed client cleared\n",
            s->o.log);
      fflush(s->o.log);
      funlockfile(s->o.log);
    }
  }
}

bool open_pty(lnsim *s, std::string *err) {
  s->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128];
  if (s->master < 0 || grantpt(s->master) != 0 || unlockpt(s->master) != 0 ||
      ptsname_r(s->master, name, sizeof name) != 0) {
    *err = sim_sys_error("Can't open a pseudo-terminal", errno);
    return false;
  }
  s->path = name;
  s->slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  struct termios t;
  if (s->slave < 0 || tcgetattr(s->slave, &t) != 0) {
    *err = sim_sys_error("Can't open " + s->path, errno);
    return false;
  }
  cfmakeraw(&t);
  tcsetattr(s->slave, TCSANOW, &t);
  return true;
}

bool start_thread(pthread_t *tid, void *(*fn)(void *), void *arg, bool *up, std::string *err) {
  const int e = pthread_create(tid, nullptr, fn, arg);
  if (e != 0) *err = sim_sys_error("Can't create thread", e);
  *up = e == 0;
  return *up;
}

/// Builds the module tables from the options and the state file.
bool load_modules(lnsim *s, std::string *err) {
  const sim_opts &o = s->o;
  if (!o.state_file.empty() && !sim_state_load(o.state_file, &s->cvs, err)) return false;
  for (u16 a : o.modules) {
    s->mods[a];
    s->cvs.try_emplace(a, sim_pattern(a));
  }
  auto mark = [s](u16 a, auto set) {
    const auto it = s->mods.find(a);
    if (it != s->mods.end()) set(it->second);
  };
  for (u16 a : o.silent) mark(a, [](sim_mod_t &m) { m.silent = true; });
  for (u16 a : o.impostor) mark(a, [](sim_mod_t &m) { m.impostor = true; });
  for (const auto &[a, n] : o.answer_only)
    mark(a, [n = n](sim_mod_t &m) {
      m.limited = true;
      m.budget = n;
    });
  for (u16 a : o.flags80) mark(a, [](sim_mod_t &m) { m.flags80 = true; });
  for (const auto &[a, us] : o.select_us)
    mark(a, [us = us](sim_mod_t &m) { m.select_ns = std::int64_t{us} * US; });
  for (const auto &[a, cv] : o.stuck) mark(a, [cv = cv](sim_mod_t &m) { m.stuck.insert(cv); });
  for (u16 a : o.broadcast_enters) mark(a, [](sim_mod_t &m) { m.broadcast_enters = true; });
  for (u16 a : o.broadcast_deaf) mark(a, [](sim_mod_t &m) { m.broadcast_deaf = true; });
  for (u16 a : o.twins) mark(a, [](sim_mod_t &m) { m.twins = 2; });
  for (u16 a : o.twins_own)
    mark(a, [s, a](sim_mod_t &m) {
      m.twins = 2;
      m.twin_own = true;
      for (std::size_t i = 0; i < m.twin_cvs.size(); ++i)
        m.twin_cvs[i] = static_cast<u16>(s->cvs[a][i] ^ 0xFF);
    });
  for (u16 a : o.programming)
    if (s->mods.count(a) != 0) set_programming(s, a, true);
  return o.state_file.empty() || sim_state_save(o.state_file, s->cvs, err);
}

}  // namespace

lnsim *lnsim_start(const sim_opts *o, std::string *err) {
  auto *s = new lnsim(*o);
  if (!load_modules(s, err) || !open_pty(s, err)) {
    lnsim_stop(s);
    return nullptr;
  }
  s->notify = inotify_init1(IN_CLOEXEC);
  s->excl_stop = eventfd(0, EFD_CLOEXEC);
  if (s->notify < 0 || s->excl_stop < 0 ||
      inotify_add_watch(s->notify, s->path.c_str(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
    *err = sim_sys_error("Can't watch " + s->path, errno);
    lnsim_stop(s);
    return nullptr;
  }
  s->lif = lif_attach(s->master);
  if (s->lif == nullptr) *err = "Can't start the reader: no memory or thread";
  if (s->lif == nullptr ||
      ((!o->lbserver.empty() || !o->tcp.empty()) &&
       (s->net = sim_net_start(s->o, s->lif, err)) == nullptr) ||
      (!o->z21.empty() && (s->z21 = sim_z21_start(s->o, s->lif, err)) == nullptr) ||
      !start_thread(&s->excl_tid, excl_main, s, &s->excl_up, err) ||
      !start_thread(&s->out_tid, out_main, s, &s->out_up, err) ||
      (s->o.traffic && !start_thread(&s->traffic_tid, traffic_main, s, &s->traffic_up, err)) ||
      !start_thread(&s->bus_tid, bus_main, s, &s->bus_up, err)) {
    lnsim_stop(s);
    return nullptr;
  }
  return s;
}

const char *lnsim_path(const lnsim *s) { return s->path.c_str(); }

unsigned lnsim_lbserver_port(const lnsim *s) {
  return s->net != nullptr ? sim_net_port(s->net, true) : 0;
}

unsigned lnsim_tcp_port(const lnsim *s) {
  return s->net != nullptr ? sim_net_port(s->net, false) : 0;
}

unsigned lnsim_z21_port(const lnsim *s) { return s->z21 != nullptr ? sim_z21_port(s->z21) : 0; }

void lnsim_stop(lnsim *s) {
  // First, so that nothing is queued behind the bus thread's wake-up.
  if (s->net != nullptr) sim_net_stop(s->net);
  if (s->z21 != nullptr) sim_z21_stop(s->z21);
  if (s->traffic_up) {
    pthread_mutex_lock(&s->out_lock);
    s->traffic_stop = true;
    pthread_cond_broadcast(&s->out_cond);
    pthread_mutex_unlock(&s->out_lock);
    pthread_join(s->traffic_tid, nullptr);
  }
  if (s->excl_up) {
    const std::uint64_t one = 1;
    if (write(s->excl_stop, &one, sizeof one) == sizeof one) pthread_join(s->excl_tid, nullptr);
  }
  if (s->notify >= 0) close(s->notify);
  if (s->excl_stop >= 0) close(s->excl_stop);
  // The reader blocks only in read(), a cancellation point, and holds the
  // lock only around code that has none.
  if (s->lif != nullptr) lif_stop(s->lif);
  if (s->bus_up) {
    // Behind everything the reader queued; the reader is gone, so the queue
    // cannot drop it as its oldest.
    ln_msg_append(s->lif, &s->wake);
    pthread_join(s->bus_tid, nullptr);
  }
  if (s->out_up) {
    pthread_mutex_lock(&s->out_lock);
    s->out_stop = true;
    pthread_cond_broadcast(&s->out_cond);
    pthread_mutex_unlock(&s->out_lock);
    pthread_join(s->out_tid, nullptr);
  }
  // The bus thread consumed the queue up to the wake-up buffer.
  if (s->lif != nullptr) lif_detach(s->lif);
  if (s->net != nullptr) sim_net_free(s->net);
  if (s->z21 != nullptr) sim_z21_free(s->z21);
  pthread_mutex_destroy(&s->lock);
  pthread_mutex_destroy(&s->out_lock);
  pthread_cond_destroy(&s->out_cond);
  if (s->slave >= 0) close(s->slave);
  if (s->master >= 0) close(s->master);
  delete s;
}

std::vector<std::vector<u8>> lnsim_host_msgs(lnsim *s) {
  pthread_mutex_lock(&s->lock);
  std::vector<std::vector<u8>> copy = s->host;
  pthread_mutex_unlock(&s->lock);
  return copy;
}

bool lnsim_get_cv(lnsim *s, u16 addr, u16 cv, u16 *val) {
  pthread_mutex_lock(&s->lock);
  const bool ok = s->mods.count(addr) != 0 && cv_value(s, addr, cv, val);
  pthread_mutex_unlock(&s->lock);
  return ok;
}

std::vector<u16> lnsim_programming(lnsim *s) {
  pthread_mutex_lock(&s->lock);
  std::vector<u16> v(s->programming.begin(), s->programming.end());
  pthread_mutex_unlock(&s->lock);
  return v;
}

bool lnsim_set_cv(lnsim *s, u16 addr, u16 cv, u16 val) {
  pthread_mutex_lock(&s->lock);
  bool ok = s->mods.count(addr) != 0 && is_sens_cv(cv);
  if (ok) {
    u16 &held = s->cvs[addr][cv - CV_FIRST];
    const u16 old = held;
    held = val;
    if (!save(s)) {
      held = old;
      ok = false;
    }
  }
  pthread_mutex_unlock(&s->lock);
  return ok;
}
