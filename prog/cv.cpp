// Selecting a module and reading and writing its CVs, and the watch for a
// second module answering.
//
// Reads and writes carry no module address: every module of the article
// that is in programming mode answers them. A module that should not be
// there shows itself by a second reply to a read, with its own value; it may
// come several exchanges later, when the bus was busy. No exchange waits for
// such a reply; the watch instead examines every message that later
// exchanges pass over (and what is still queued before each exchange), which
// costs no time.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "prog.h"
#include "util.h"

namespace {

/// The CV reads answered in this module's session, and whether another
/// answer to one of them disagreed.
struct watch_t {
  struct read_t {
    u16 art_no, cv_addr, cv_val;
  };
  /// A session reads CV 0 and CVs 145..160 at most once each, twice when
  /// writing; beyond that the oldest are forgotten.
  std::array<read_t, 40> reads;
  std::size_t n;  ///< reads recorded, up to reads.size()
  bool conflict;  ///< a second answer to one of them came with another value

  void record(u16 art_no, u16 cv_addr, u16 cv_val) {
    for (std::size_t i = 0; i < n; ++i) {
      if (reads[i].art_no == art_no && reads[i].cv_addr == cv_addr) {
        reads[i].cv_val = cv_val;
        return;
      }
    }
    if (n == reads.size()) {
      std::copy(reads.begin() + 1, reads.end(), reads.begin());
      --n;
    }
    reads[n++] = {art_no, cv_addr, cv_val};
  }
};
watch_t watch;

/// Address of the module selected last and not yet released, or -1.
long selected = -1;
/// The addresses whose releases prog_arm_release armed.
prog_addrs_t armed;

/// Marks a conflict when rx answers an answered read with another value.
void watch_msg(const ln_msg_t *rx) {
  ln_prog_t r;
  if (watch.n == 0 || !prog_decode(&r, rx) || r.cmd != PROG_CMD_REPLY) return;
  for (std::size_t i = 0; i < watch.n; ++i) {
    const watch_t::read_t &w = watch.reads[i];
    if (w.art_no == r.art_no && w.cv_addr == r.cv_addr && w.cv_val != r.cv_val)
      watch.conflict = true;
  }
}

/// Passes every queued message to the watch and back to the pool.
void watch_queue(lif_t *lif) {
  while (ln_msg_t *m = ln_msg_rx_now(lif)) {
    watch_msg(m);
    ln_msg_free(lif, m);
  }
}

/// A qualifier and its argument, with every message it refuses shown to the watch.
struct watched_t {
  ln_qual_t qual;
  void *arg;
  const lif_t *lif;
};

int watched_qual(const ln_msg_t *rx, void *arg) {
  const auto *w = static_cast<const watched_t *>(arg);
  // Before the attempt's echo only late answers to earlier requests come.
  if (!w->lif->echo_due && w->qual(rx, w->arg)) return 1;
  watch_msg(rx);
  return 0;
}

/// The request buffer of one operation; running out of memory is fatal.
ln_msg_t *request_buf(lif_t *lif) {
  ln_msg_t *m = ln_msg_alloc(lif);
  if (m == nullptr) ln_fatal("Can't alloc msg\n");
  return m;
}

/// The release of module addr, encoded.
void encode_release(ln_msg_t *m, u16 art_no, u16 addr) {
  const ln_prog_t req = {art_no, 0, addr, PROG_FLAG_OFF, PROG_CMD_READ};
  prog_encode(m, &req, OPC_PEER_XFER);
}

/// A release sent over a transport that answers each transmission: nothing
/// waits for its answer (a server that gives none would cost a reply window
/// per module), but a refusal sends it again, as a lost release would leave
/// the module in programming mode.
struct pending_t {
  u16 art_no, addr;
  std::uint32_t n;  ///< its transmission's number
  unsigned tries;   ///< sent again so often
};
/// The latest releases; a server answers within milliseconds, so older ones
/// are long answered for.
std::array<pending_t, 8> pending;
std::size_t n_pending = 0;

void send_release(lif_t *lif, u16 art_no, u16 addr, unsigned tries) {
  ln_msg_t *tx = request_buf(lif);
  encode_release(tx, art_no, addr);
  // Nothing answers a release: where messages get lost, it goes until it is
  // seen on its way.
  ln_msg_tx_sure(lif, tx);
  ln_msg_free(lif, tx);
  if (lif->io == nullptr || !lif->io->answered) return;
  if (n_pending == pending.size()) {
    std::copy(pending.begin() + 1, pending.end(), pending.begin());
    --n_pending;
  }
  pending[n_pending++] = {art_no, addr, lif->sends, tries};
}

/// Forgets the pending releases of addr, or of every address (-1).
void forget_pending(long addr) {
  std::size_t k = 0;
  for (std::size_t i = 0; i < n_pending; ++i)
    if (addr >= 0 && pending[i].addr != addr) pending[k++] = pending[i];
  n_pending = k;
}

/// When the first operation on began_lif began.
struct timespec began = {};
const lif_t *began_lif = nullptr;

/// Sends again every pending release that the server refused meanwhile.
void retry_refused(lif_t *lif) {
  if (began_lif != lif) {
    clock_gettime(CLOCK_MONOTONIC, &began);
    began_lif = lif;
  }
  std::array<pending_t, pending.size()> again{};
  std::size_t n_again = 0, k = 0;
  for (std::size_t i = 0; i < n_pending; ++i) {
    if (!ln_msg_refused(lif, pending[i].n))
      pending[k++] = pending[i];
    else if (pending[i].tries < PROG_RETRIES)
      again[n_again++] = pending[i];
  }
  n_pending = k;
  for (std::size_t i = 0; i < n_again; ++i)
    send_release(lif, again[i].art_no, again[i].addr, again[i].tries + 1);
}

/// Sends the release of addr, without waiting for anything, and disarms it
/// when it was the armed one.
void release(lif_t *lif, u16 art_no, u16 addr) {
  retry_refused(lif);
  send_release(lif, art_no, addr, 0);
  if (selected == addr) prog_disarm(lif);
}

/// Sends req with the retried exchange; 1 when qual accepted a reply. req is
/// also the qualifier's argument, so a read's value lands in req->cv_val.
int exchange(lif_t *lif, ln_prog_t *req, ln_qual_t qual) {
  retry_refused(lif);
  watch_queue(lif);
  ln_msg_t *tx = request_buf(lif);
  prog_encode(tx, req, OPC_IMM_PACKET);
  watched_t w = {qual, req, lif};
  ln_msg_t *rx = ln_msg_tx_retry_resp(lif, tx, PROG_RETRIES, PROG_TIMEOUT, watched_qual, &w);
  ln_msg_free(lif, tx);
  if (rx == nullptr) return 0;
  ln_msg_free(lif, rx);
  return 1;
}

/// Collects the address of every module that answers a read of CV 0.
struct sweep_t {
  lif_t *lif;
  u16 art_no;
  u16 *found;
  unsigned max;
  unsigned n;
};

int sweep_qual(const ln_msg_t *rx, void *arg) {
  auto *s = static_cast<sweep_t *>(arg);
  ln_prog_t r;
  if (s->lif->echo_due || !prog_decode(&r, rx) || r.cmd != PROG_CMD_REPLY ||
      r.art_no != s->art_no || r.cv_addr != 0)
    return 0;
  for (unsigned i = 0; i < s->n; ++i)
    if (s->found[i] == r.cv_val) return 0;  // the same module heard twice
  if (s->n < s->max) {
    s->found[s->n++] = r.cv_val;
    // It is in programming mode now: an end of the run from here on releases it.
    prog_arm_release(s->lif, s->art_no, r.cv_val);
  }
  return 0;  // never ends the window: every module in programming mode answers
}

/// Takes the answers to tx, a broadcast select of art_no (CV 0 replies, each
/// module's address), until a whole reply window passes without an address
/// new to *now, which collects them, or PROG_BROADCAST_MAX_MS have passed;
/// heard(addr, new_to_now, early) is told of each, early when it came before
/// the echo of tx that the interface gives. False at once when the far end
/// refuses transmission mine (0: none looked for).
template <typename F>
bool broadcast_window(lif_t *lif, u16 art_no, const ln_msg_t *tx, std::uint32_t mine,
                      prog_addrs_t *now, F heard) {
  struct timespec t0;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  struct timespec end = ln_deadline(PROG_TIMEOUT);
  bool early = lif->echoes;
  while (ln_msg_t *m = ln_msg_rx_to(lif, &end)) {
    ln_prog_t r;
    std::uint32_t n = 0;
    bool refused = false;
    if (m->len == 0) {
      refused = mine != 0 && ln_msg_answer(m, &n) && n == mine;
    } else if (m->len == tx->len && std::memcmp(m->msg, tx->msg, tx->len) == 0) {
      lif->echoes = true;
      early = false;
    } else if (prog_decode(&r, m) && r.cmd == PROG_CMD_REPLY && r.art_no == art_no &&
               r.cv_addr == 0) {
      const bool fresh = !now->test(r.cv_val);
      if (fresh) {
        // Each module answers after the one before it: the window runs on.
        now->set(r.cv_val);
        if (ln_ms_since(t0) < PROG_BROADCAST_MAX_MS) end = ln_deadline(PROG_TIMEOUT);
      }
      heard(r.cv_val, fresh, early);
    }
    ln_msg_free(lif, m);
    if (refused) return false;
  }
  return true;
}

/// A select of the factory address, which every other module of the article
/// answers as the broadcast, one after another, the factory module's answer
/// anywhere among theirs: each attempt hears them out, so that its answer
/// counts wherever it comes, and none of theirs passes for the answer to a
/// later request or for a module left in programming mode. 1 when the module
/// at PROG_BROADCAST answered.
int select_factory(lif_t *lif, const ln_prog_t &req) {
  retry_refused(lif);
  watch_queue(lif);
  ln_msg_t *tx = request_buf(lif);
  prog_encode(tx, &req, OPC_IMM_PACKET);
  bool answered = false;
  for (unsigned attempt = 0; attempt <= PROG_RETRIES && !answered; ++attempt) {
    // Anything queued before this attempt cannot be its reply.
    ln_msg_flush(lif);
    ln_msg_tx(lif, tx);
    prog_addrs_t now;
    broadcast_window(lif, req.art_no, tx, lif->sends, &now, [&](u16 a, bool, bool early) {
      answered = answered || (a == PROG_BROADCAST && !early);
    });
  }
  ln_msg_free(lif, tx);
  return answered;
}

}  // namespace

int select_target_qual(const ln_msg_t *rx, void *arg) {
  const auto *req = static_cast<const ln_prog_t *>(arg);
  ln_prog_t r;
  return prog_decode(&r, rx) && r.cmd == PROG_CMD_REPLY && r.cv_addr == req->cv_addr &&
         r.cv_val == req->cv_val && r.art_no == req->art_no;
}

int cv_read_qual(const ln_msg_t *rx, void *arg) {
  auto *req = static_cast<ln_prog_t *>(arg);
  ln_prog_t r;
  if (!prog_decode(&r, rx) || r.cmd != PROG_CMD_REPLY || r.cv_addr != req->cv_addr ||
      r.art_no != req->art_no)
    return 0;
  req->cv_val = r.cv_val;
  return 1;
}

int cv_write_qual(const ln_msg_t *rx, void *) {
  // The acknowledge names the opcode it answers (0xED without bit 7) and the
  // status 0x7F for success; it does not say which module sent it.
  return rx->len >= 3 && rx->msg[0] == OPC_LONG_ACK && rx->msg[1] == 0x6D && rx->msg[2] == 0x7F;
}

int select_target(lif_t *lif, u16 art_no, u16 addr, int on) {
  if (!on) {
    // The release is fire-and-forget: modules do not answer it.
    release(lif, art_no, addr);
    return 1;
  }
  // The module enters programming mode when it hears the select, whether or
  // not its reply gets back: from now on every end of the run releases it.
  ln_msg_t rel{};
  encode_release(&rel, art_no, addr);
  lif_arm_release(lif, &rel);
  armed.reset();
  selected = addr;
  // Its session ends with a release of its own; an earlier one sent again
  // now would end this session.
  forget_pending(addr);
  ln_prog_t req = {art_no, 0, addr, PROG_FLAG_ON, PROG_CMD_READ};
  if (addr == PROG_BROADCAST ? select_factory(lif, req) : exchange(lif, &req, select_target_qual))
    return 1;
  // Unanswered: it may still have heard a select whose replies were lost.
  release(lif, art_no, addr);
  return 0;
}

int cv_read(u16 *res, lif_t *lif, u16 art_no, u16 addr) {
  ln_prog_t req = {art_no, addr, 0, 0, PROG_CMD_READ};
  if (!exchange(lif, &req, cv_read_qual)) return 0;
  *res = req.cv_val;
  watch.record(art_no, addr, req.cv_val);
  return 1;
}

int cv_write(lif_t *lif, u16 art_no, u16 addr, u16 val) {
  ln_prog_t req = {art_no, addr, val, 0, PROG_CMD_WRITE};
  return exchange(lif, &req, cv_write_qual);
}

void cv_read_print(lif_t *lif, u16 art_no, u16 addr) {
  u16 val;
  if (cv_read(&val, lif, art_no, addr))
    printf("CV[%u]: %u\n", addr, val);
  else
    printf("CV[%u]: No reply\n", addr);
}

void prog_watch_reset() { watch = {}; }

int prog_conflict(lif_t *lif) {
  watch_queue(lif);
  return watch.conflict;
}

void prog_listen(lif_t *lif, std::uint32_t ns) {
  retry_refused(lif);
  const struct timespec end = ln_deadline(ns);
  while (ln_msg_t *m = ln_msg_rx_to(lif, &end)) {
    watch_msg(m);
    ln_msg_free(lif, m);
  }
}

// found is written through the sweep's record, which clang-tidy does not follow.
// NOLINTNEXTLINE(readability-non-const-parameter)
unsigned prog_sweep(lif_t *lif, u16 art_no, u16 *found, unsigned max) {
  retry_refused(lif);
  watch_queue(lif);
  ln_prog_t req = {art_no, 0, 0, 0, PROG_CMD_READ};
  ln_msg_t *tx = request_buf(lif);
  prog_encode(tx, &req, OPC_IMM_PACKET);
  sweep_t s = {lif, art_no, found, max, 0};
  // One attempt that lasts its whole window: the qualifier takes no reply.
  ln_msg_tx_retry_resp(lif, tx, 0, PROG_TIMEOUT, sweep_qual, &s);
  ln_msg_free(lif, tx);
  return s.n;
}

int prog_broadcast(lif_t *lif, u16 art_no, prog_addrs_t *heard, prog_addrs_t *twice) {
  retry_refused(lif);
  // The broadcast is the own select of a module at the factory address.
  prog_arm_release(lif, art_no, PROG_BROADCAST);
  const ln_prog_t req = {art_no, 0, PROG_BROADCAST, PROG_FLAG_ON, PROG_CMD_READ};
  ln_msg_t *tx = request_buf(lif);
  prog_encode(tx, &req, OPC_IMM_PACKET);
  // Anything queued before the broadcast cannot be an answer to it.
  ln_msg_flush(lif);
  ln_msg_tx(lif, tx);
  // 0 over a transport without answers, which counts no transmissions.
  const std::uint32_t mine = lif->sends;
  prog_addrs_t now;  // heard in this window
  int fresh = 0;
  const bool sent = broadcast_window(lif, art_no, tx, mine, &now, [&](u16 a, bool first, bool) {
    if (!first) {
      twice->set(a);
    } else if (!heard->test(a)) {
      heard->set(a);
      ++fresh;
      prog_arm_release(lif, art_no, a);
    }
  });
  ln_msg_free(lif, tx);
  return sent ? fresh : -1;
}

void prog_arm_release(lif_t *lif, u16 art_no, u16 addr) {
  if (armed.test(addr)) return;
  ln_msg_t rel{};
  encode_release(&rel, art_no, addr);
  lif_arm_also(lif, &rel);
  armed.set(addr);
}

void prog_disarm(lif_t *lif) {
  lif_arm_release(lif, nullptr);
  armed.reset();
  selected = -1;
}

void prog_settle(lif_t *lif) {
  const struct timespec end = ln_deadline(PROG_TIMEOUT);
  // A server that has answered nothing for a whole reply window (one on a
  // bus without echo, as JMRI's) answers nothing now either.
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const struct timespec window = ts_add_ns(began, PROG_TIMEOUT);
  const bool mute =
      now.tv_sec > window.tv_sec || (now.tv_sec == window.tv_sec && now.tv_nsec >= window.tv_nsec);
  if (n_pending > 0 && mute && ln_msg_answered(lif) == 0) n_pending = 0;
  for (;;) {
    // Read before the refusals are taken: an answer that comes in between
    // is then looked at in the next round.
    const std::uint32_t answers = n_pending > 0 ? ln_msg_answered(lif) : 0;
    retry_refused(lif);
    if (n_pending == 0) return;
    // Answers come in order: the last release's is the one that names it. A
    // server that leaves some unanswered (JMRI's) never gets there.
    const pending_t &last = pending[n_pending - 1];
    if (answers >= last.n) break;
    ln_msg_t *m = ln_msg_rx_to(lif, &end);
    if (m == nullptr) break;
    ln_msg_t rel{};
    encode_release(&rel, last.art_no, last.addr);
    ln_msg_seal(&rel);
    const bool echo = m->len == rel.len && std::memcmp(m->msg, rel.msg, rel.len) == 0;
    ln_msg_free(lif, m);
    // Its own bytes back from the bus: it went out, and a server refuses
    // only what did not.
    if (echo) break;
  }
  forget_pending(-1);
}
