#include "sim_rig.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>

#include "ln_rig.h"

namespace {

std::string join(const std::vector<std::string> &w) {
  std::string s;
  for (const std::string &x : w) s += (s.empty() ? "" : ", ") + x;
  return s;
}

/// Runs of equal neighbours as {word, count}.
std::vector<std::pair<std::string, std::size_t>> runs(const std::vector<std::string> &w) {
  std::vector<std::pair<std::string, std::size_t>> r;
  for (const std::string &x : w) {
    if (r.empty() || r.back().first != x) r.emplace_back(x, 0);
    ++r.back().second;
  }
  return r;
}

/// got matches want request for request, a single request in want also
/// matching up to four copies in got.
bool same_requests(const std::vector<std::string> &got, const std::vector<std::string> &want) {
  const auto g = runs(got), w = runs(want);
  if (g.size() != w.size()) return false;
  for (std::size_t i = 0; i < g.size(); ++i) {
    if (g[i].first != w[i].first) return false;
    if (w[i].second == 1 ? g[i].second > 4 : g[i].second != w[i].second) return false;
  }
  return true;
}

/// "> secs.nsecs: 0xed 0x0f ..." as one word.
std::string word(const std::string &line) {
  bytes m;
  std::istringstream in(line.substr(line.find(": ") + 2));
  for (std::string tok; in >> tok;) m.push_back(static_cast<u8>(std::stoul(tok, nullptr, 16)));
  const ln_msg_t msg = msg_of(m);
  ln_prog_t p{};
  if (!prog_decode_request(&p, &msg) || p.art_no != 1235) return line;
  if (m[0] == 0xED && p.flags == 0x80 && p.cmd == 0x21 && p.cv_addr == 0)
    return "sel " + std::to_string(p.cv_val);
  if (m[0] == 0xE5 && p.flags == 0x40 && p.cmd == 0x21 && p.cv_addr == 0)
    return "rel " + std::to_string(p.cv_val);
  if (m[0] == 0xED && p.flags == 0 && p.cmd == 0x21 && p.cv_val == 0)
    return "rd " + std::to_string(p.cv_addr);
  if (m[0] == 0xED && p.flags == 0 && p.cmd == 0x20)
    return "wr " + std::to_string(p.cv_addr) + "=" + std::to_string(p.cv_val);
  return line;
}

std::chrono::steady_clock::time_point after(int ms) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(rig_scaled_ms(ms));
}

/// The drain thread: reads the log to its end, keeping the host's messages
/// and who is in programming mode.
void collect(sim_rig *r) {
  std::string part;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(r->log_in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    part.append(buf, static_cast<std::size_t>(n));
    std::size_t nl;
    std::lock_guard<std::mutex> g(r->mu);
    while ((nl = part.find('\n')) != std::string::npos) {
      if (part.compare(0, 2, "> ") == 0) r->host.push_back(word(part.substr(0, nl)));
      unsigned a = 0;
      char what[8] = "";
      if (sscanf(part.c_str(), "= module %u %7s programming mode", &a, what) == 2) {
        if (std::string(what) == "enters") r->programming.insert(a);
        if (std::string(what) == "leaves") r->programming.erase(a);
      }
      if (part[0] == '=') r->notes.push_back(part.substr(2, nl - 2));
      part.erase(0, nl + 1);
    }
    r->grown.notify_all();
  }
}

}  // namespace

sim_rig::sim_rig(sim_opts o) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) {
    perror("sim_rig: pipe");
    abort();
  }
  log_in = p[0];
  log = fdopen(p[1], "w");
  drain = std::thread(collect, this);
  o.log = log;
  std::string err;
  s = lnsim_start(&o, &err);
  if (s == nullptr) {
    fprintf(stderr, "sim_rig: %s\n", err.c_str());
    abort();
  }
}

sim_rig::~sim_rig() {
  if (s != nullptr) lnsim_stop(s);
  fclose(log);  // the drain thread sees end of file
  drain.join();
  close(log_in);
}

std::string sim_rig::sent(const std::vector<std::string> &want, int ms) {
  std::unique_lock<std::mutex> g(mu);
  auto since = [&] {
    return std::vector<std::string>(host.begin() + static_cast<std::ptrdiff_t>(seen), host.end());
  };
  grown.wait_until(g, after(ms), [&] {
    return want.empty() ? host.size() > seen : same_requests(since(), want);
  });
  const std::vector<std::string> got = since();
  seen = host.size();
  if (same_requests(got, want)) return "";
  return "sent:   " + join(got) + "\nwanted: " + join(want);
}

std::vector<std::string> sim_rig::wait_sent(std::size_t n, int ms) {
  std::unique_lock<std::mutex> g(mu);
  grown.wait_until(g, after(ms), [&] { return host.size() >= n; });
  return host;
}

std::set<unsigned> sim_rig::wait_clean(int ms) {
  std::unique_lock<std::mutex> g(mu);
  grown.wait_until(g, after(ms), [&] { return programming.empty(); });
  return programming;
}

bool sim_rig::logged(const std::string &note, int ms) {
  std::unique_lock<std::mutex> g(mu);
  auto found = [&] {
    for (; notes_seen < notes.size(); ++notes_seen)
      if (notes[notes_seen].find(note) != std::string::npos) return true;
    return false;
  };
  const bool ok = grown.wait_for(g, std::chrono::milliseconds(rig_scaled_ms(ms)), found);
  if (ok) ++notes_seen;
  return ok;
}

std::string sim_rig::cvs(u16 addr) {
  std::string r;
  for (u16 cv = 145; cv <= 160; ++cv) {
    u16 v = 0;
    if (!lnsim_get_cv(s, addr, cv, &v)) return "none";
    r += " " + std::to_string(v);
  }
  return r;
}

std::string default_line(unsigned addr) {
  std::string s = std::to_string(addr) + ":";
  for (unsigned i = 0; i < 16; ++i) s += " " + std::to_string((addr * 16 + i) & 0xFF);
  return s + "\r\n";
}
