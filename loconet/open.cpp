// Opening an interface of any kind, and what every system shares of it: the
// record, the reader thread, the names of network ports.
#include <atomic>
#include <cstring>
#include <new>
#include <string>

#include "end.h"
#include "loconet.h"
#include "transport.h"
#include "util.h"

const char *lif_split_hostport(const char *where, unsigned default_port, std::string *host,
                               std::string *port) {
  const std::string s = where;
  std::string rest;
  if (!s.empty() && s[0] == '[') {
    const std::size_t close = s.find(']');
    if (close == std::string::npos) return "no closing bracket ([IPV6]:PORT)";
    *host = s.substr(1, close - 1);
    rest = s.substr(close + 1);
    if (!rest.empty() && rest[0] != ':') return "no colon after the bracket ([IPV6]:PORT)";
  } else if (s.find(':') != s.rfind(':')) {
    *host = s;  // an IPv6 address without brackets: it names no port
  } else {
    const std::size_t colon = s.find(':');
    *host = s.substr(0, colon);
    if (colon != std::string::npos) rest = s.substr(colon);
  }
  if (host->empty()) return "no host given (HOST:PORT)";
  if (rest.empty()) {
    if (default_port == 0) return "no TCP port given (HOST:PORT)";
    *port = std::to_string(default_port);
    return nullptr;
  }
  *port = rest.substr(1);
  if (port->empty() || port->size() > 5 ||
      port->find_first_not_of("0123456789") != std::string::npos || std::stoul(*port) < 1 ||
      std::stoul(*port) > 65535)
    return "the TCP port must be a number from 1 to 65535 (HOST:PORT)";
  return nullptr;
}

bool lif_net_port(const char *where, unsigned default_port, std::string *host, std::string *port,
                  std::string *what, std::string *err) {
  if (const char *why = lif_split_hostport(where, default_port, host, port)) {
    *err = std::string("Can't open ") + where + ": " + why;
    return false;
  }
  // The name reported is the one connected to: the default port included.
  *what = (host->find(':') != std::string::npos ? "[" + *host + "]" : *host) + ":" + *port;
  return true;
}

bool lif_open_failed(std::string *err, const std::string &what, const char *text, int e) {
  *err = "Can't open " + what + ": " + text + " (errno: " + std::to_string(e) + ")";
  return false;
}

namespace {

/// The record lif_open made, for the end of the process.
std::atomic<lif_t *> opened{nullptr};

}  // namespace

lif_t *lif_opened() { return opened.load(); }

lif_t *lif_try_open(const char *name, unsigned iftype, std::string *err) {
  err->clear();
  const name2lif_t *kind = nullptr;
  for (const name2lif_t &row : name2lif)
    if (row.num == iftype) kind = &row;
  if (kind == nullptr) return nullptr;
  lif_t *lif = new (std::nothrow) lif_t{};
  if (lif == nullptr) return nullptr;
  lif->io = kind->io;
  if (!kind->io->open(lif, name, kind, err)) {
    delete lif;
    return nullptr;
  }
  lif_init_sync(lif);
  const int rc = pthread_create(&lif->tid, nullptr, kind->io->reader, lif);
  if (rc != 0) ln_fatal("Can't create reader thread: %s (errno: %d)\n", strerror(rc), rc);
  opened = lif;
  return lif;
}

lif_t *lif_open(const char *name, unsigned iftype) {
  std::string err;
  lif_t *lif = lif_try_open(name, iftype, &err);
  if (!err.empty()) ln_fatal("%s\n", err.c_str());
  return lif;
}

lif_t *lif_attach(int fd) {
  lif_t *lif = new (std::nothrow) lif_t{};
  if (lif == nullptr) return nullptr;
  lif->fd = fd;
  lif_init_sync(lif);
  if (pthread_create(&lif->tid, nullptr, ln_reader, lif) != 0) {
    delete lif;
    return nullptr;
  }
  return lif;
}

lif_t *lif_framer() {
  lif_t *lif = new (std::nothrow) lif_t{};
  if (lif == nullptr) return nullptr;
  lif->fd = -1;
  lif_init_sync(lif);
  return lif;
}

namespace {

void free_chain(ln_msg_t *m) {
  while (m != nullptr) {
    ln_msg_t *next = m->next;
    delete m;
    m = next;
  }
}

}  // namespace

void lif_stop(lif_t *lif) {
  // The reader blocks only in read(), a cancellation point, and holds the
  // lock only around code that has none.
  pthread_cancel(lif->tid);
  pthread_join(lif->tid, nullptr);
}

void lif_detach(lif_t *lif) {
  free_chain(lif->free);
  free_chain(lif->q_out);
  delete lif->cur;
  pthread_mutex_destroy(&lif->lock);
  pthread_cond_destroy(&lif->cond);
  delete lif;
}
