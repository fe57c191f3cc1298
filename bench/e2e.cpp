// bench_e2e: the tool end to end against the simulator, each figure beside
// the limit it must keep.
//
//   bench_e2e [--reps N] [--only PART]
//                          runs every measurement (or one PART: latency,
//                          silent, memory, paced, transports, write, loss, ui) N times
//                          (default 5) and prints one table of medians with
//                          their spread
//   bench_e2e --pool       the in-process pool count alone (run by the above
//                          in a child, since its interface can never be closed)
//
// The simulator runs in this process, a fresh instance per run, so every run
// meets the same bus: the same seed gives the same echo delays to sens and to
// the baseline. The clients run as child processes on its pty (proc_run):
// their wall time is taken around their start and end, their CPU time comes
// from wait4's rusage, their peak RSS from bench_rss. Exchange timings come
// from lnsim's log. This process only waits meanwhile.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include <csignal>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "lnsim.h"
#include "loconet.h"
#include "proc.h"
#include "prog.h"
#include "sens.h"
#include "tmp.h"

namespace {

constexpr double BYTE_US = 600.0;  // one byte on the bus: 10 bits at 16.66 kbit/s

// Limits the tool must keep.
constexpr double MAX_LATENCY_RATIO = 1.10;
constexpr double MAX_SILENT_CPU_MS = 2.0;
constexpr double SILENT_WALL_MIN_MS = 400.0, SILENT_WALL_MAX_MS = 410.0;
// A run also listens one reply window for modules left in programming mode.
constexpr double SWEEP_MS = 100.0;
constexpr long MAX_RSS_GROWTH_KIB = 64;
constexpr double MAX_BUS_RATIO = 1.02;
// Buffers ever in use at once: the exchange's request; the messages one
// exchange can meet (a release's late echo, the request's echo, the reply),
// queued, in the exchange's hands or being pushed by the reader; the fresh
// buffer the reader takes at each push. That is 5; an attempt that times out
// on a loaded machine can meet its late echo and reply beside the retry's,
// which makes 3 more.
constexpr unsigned MAX_BUFFERS = 8;

[[noreturn]] void die(const std::string &what) {
  fprintf(stderr, "bench_e2e: %s\n", what.c_str());
  exit(1);
}

double real_s() {
  struct timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::vector<u16> range(unsigned first, unsigned last) {
  std::vector<u16> v;
  for (unsigned a = first; a <= last; ++a) v.push_back(static_cast<u16>(a));
  return v;
}

unsigned lines(const std::string &s) {
  return static_cast<unsigned>(std::count(s.begin(), s.end(), '\n'));
}

struct run_t : proc_result {
  double start_s = 0;  // realtime clock at the start, as lnsim stamps
};

/// Runs argv to its end with in on its stdin, or /dev/null when in is empty.
run_t spawn_run(const std::vector<std::string> &argv, const std::string &in = "") {
  run_t r;
  r.start_s = real_s();
  proc_opts o;
  if (in.empty())
    o.stdin_path = "/dev/null";
  else
    o.in = in;
  o.timeout_ms = 600000;
  static_cast<proc_result &>(r) = proc_run(argv, o);
  if (r.timed_out) die(argv[0] + " ran for ten minutes");
  return r;
}

/// A fresh simulator for one run; the caller stops it.
lnsim *sim(const sim_opts &o) {
  std::string err;
  lnsim *s = lnsim_start(&o, &err);
  if (s == nullptr) die("lnsim: " + err);
  return s;
}

/// The port argument of argv for this simulator: "%p" its pty, "%l" its
/// LbServer, "%t" its raw TCP server, "%z" its Z21 station.
void fill_port(std::vector<std::string> *argv, lnsim *s) {
  for (std::string &a : *argv) {
    if (a == "%p") a = lnsim_path(s);
    if (a == "%l") a = "127.0.0.1:" + std::to_string(lnsim_lbserver_port(s));
    if (a == "%t") a = "127.0.0.1:" + std::to_string(lnsim_tcp_port(s));
    if (a == "%z") a = "127.0.0.1:" + std::to_string(lnsim_z21_port(s));
  }
}

/// Runs argv (with "%p" standing for the pty path) against a fresh simulator.
run_t run_on(const sim_opts &o, std::vector<std::string> argv) {
  lnsim *s = sim(o);
  fill_port(&argv, s);
  run_t r = spawn_run(argv);
  lnsim_stop(s);
  return r;
}

// --- Statistics and the table -------------------------------------------------

struct stats {
  double med = 0, lo = 0, hi = 0;
};

stats stats_of(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  stats s;
  s.med = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  s.lo = v.front();
  s.hi = v.back();
  return s;
}

int failures = 0;

/// One row: what, the median with unit, the spread, the limit and the verdict
/// ("" for a figure without a limit of its own).
void row(const char *what, const stats &s, const char *fmt, const char *unit, const char *limit,
         const char *verdict) {
  char med[32], spread[64];
  snprintf(med, sizeof med, fmt, s.med);
  char lo[24], hi[24];
  snprintf(lo, sizeof lo, fmt, s.lo);
  snprintf(hi, sizeof hi, fmt, s.hi);
  snprintf(spread, sizeof spread, "%s..%s", lo, hi);
  printf("%-44s %10s %-4s %-22s %-14s %s\n", what, med, unit, spread, limit, verdict);
  if (strcmp(verdict, "MISSED") == 0) ++failures;
}

const char *verdict(bool ok) { return ok ? "met" : "MISSED"; }

void check(bool ok, const std::string &what) {
  if (!ok) die("run went wrong: " + what);
}

// --- lnsim's log ----------------------------------------------------------------

/// What lnsim's log tells of one run.
struct bus_log {
  std::size_t bytes = 0;        ///< on the bus: every request and every reply
  std::vector<double> gaps_us;  ///< a reply's last byte written to the next request's first read
  std::vector<double> late_us;  ///< a request's first byte read to its reply's last byte
                                ///< written, beyond the bus time of echo and reply
  std::vector<double> exch_us;  ///< request read to the next request read, across replies
  std::vector<double> imm_s;    ///< arrival of every 0xED request (selects, CV reads)
  std::vector<double> rel_s;    ///< arrival of every 0xE5 request (releases)
  double first_s = 0;           ///< the first request read
  // The host's programming requests by kind.
  std::size_t selects = 0, reads = 0, writes = 0, releases = 0;
  /// A CV 0 read's reply written to the next request read, when that is a
  /// CV write: write mode's listen for a second module, and the wake-up after it.
  std::vector<double> listen_us;
};

double sum(const std::vector<double> &v) {
  double t = 0;
  for (double x : v) t += x;
  return t;
}

/// Reads lnsim's log: "> stamp: 0x.." for each host message (stamped when
/// its first byte was read), "< stamp: 0x.." for each delivery (stamped after
/// its last byte was written). Only the host's lines are needed to find the
/// requests: a bus without echo still logs every one of them, and its
/// requests still occupy the bus (lnsim paces them unwritten).
bus_log parse_log(const std::string &log) {
  struct entry {
    char mark;
    double t;  // s
    std::size_t len;
    unsigned b[PROG_LEN];  // the first bytes: opcode, length or data, source, ...
  };
  std::vector<entry> e;
  for (std::size_t line = 0; line < log.size();) {
    std::size_t end = log.find('\n', line);
    if (end == std::string::npos) end = log.size();
    unsigned long long sec = 0;
    unsigned long nsec = 0;
    if (end - line > 2 && sscanf(log.c_str() + line + 2, "%llu.%lu", &sec, &nsec) == 2) {
      entry x = {log[line], static_cast<double>(sec) + static_cast<double>(nsec) / 1e9, 0, {}};
      for (std::size_t p = log.find(" 0x", line); p < end; p = log.find(" 0x", p + 3), ++x.len)
        if (x.len < PROG_LEN)
          x.b[x.len] = static_cast<unsigned>(strtoul(log.c_str() + p + 1, nullptr, 16));
      e.push_back(x);
    }
    line = end + 1;
  }
  bus_log r;
  if (!e.empty()) {
    r.first_s = e.front().t;
  }
  std::size_t prev_req = e.size();
  bool after_id_read = false;  // the last request was a read of CV 0
  for (std::size_t i = 0; i < e.size(); ++i) {
    // A request's bytes occupy the bus once, as its echo does; a module's
    // reply (0xE5 from source 0x05) or a write's acknowledge (0xB4)
    // occupies it after.
    const bool reply = e[i].mark == '<' && ((e[i].b[0] == OPC_PEER_XFER && e[i].b[2] == 0x05) ||
                                            e[i].b[0] == OPC_LONG_ACK);
    if (e[i].mark == '>' || reply) r.bytes += e[i].len;
    if (e[i].mark == '>') {
      ln_msg_t m{};
      m.len = static_cast<u8>(std::min<std::size_t>(e[i].len, PROG_LEN));
      for (unsigned k = 0; k < m.len; ++k) m.msg[k] = static_cast<u8>(e[i].b[k]);
      ln_prog_t p{};
      const bool prog = prog_decode_request(&p, &m) != 0;
      const bool write = prog && e[i].b[0] == OPC_IMM_PACKET && p.cmd == PROG_CMD_WRITE;
      const bool read =
          prog && e[i].b[0] == OPC_IMM_PACKET && p.cmd == PROG_CMD_READ && p.flags == 0;
      r.selects += prog && e[i].b[0] == OPC_IMM_PACKET && p.flags == PROG_FLAG_ON;
      r.reads += read;
      r.writes += write;
      r.releases += prog && e[i].b[0] == OPC_PEER_XFER && p.flags == PROG_FLAG_OFF;
      if (write && after_id_read && i > 0 && e[i - 1].mark == '<')
        r.listen_us.push_back((e[i].t - e[i - 1].t) * 1e6);
      after_id_read = read && p.cv_addr == 0;
    }
    // An exchange: a request, what came back, the next request. A release is
    // followed by the next request at once and does not count.
    if (e[i].mark == '>') {
      if (prev_req + 1 < i) r.exch_us.push_back((e[i].t - e[prev_req].t) * 1e6);
      prev_req = i;
      if (e[i].b[0] == OPC_IMM_PACKET) r.imm_s.push_back(e[i].t);
      if (e[i].b[0] == OPC_PEER_XFER) r.rel_s.push_back(e[i].t);
    }
    // Only a request sent after a delivery, onto an idle bus, and answered
    // by its echo and a reply tells how long each side took.
    if (e[i].mark != '>' || i == 0 || e[i - 1].mark != '<') continue;
    r.gaps_us.push_back((e[i].t - e[i - 1].t) * 1e6);
    if (i + 2 < e.size() && e[i + 1].mark == '<' && e[i + 2].mark == '<') {
      const double bus_us = static_cast<double>(e[i + 1].len + e[i + 2].len) * BYTE_US;
      r.late_us.push_back((e[i + 2].t - e[i].t) * 1e6 - bus_us);
    }
  }
  return r;
}

/// run_on with lnsim logging into memory; the log's reading comes back too.
/// in goes to the client's stdin.
run_t run_logged(sim_opts o, std::vector<std::string> argv, bus_log *l,
                 const std::string &in = "") {
  char *buf = nullptr;
  std::size_t len = 0;
  o.log = open_memstream(&buf, &len);
  if (o.log == nullptr) die("open_memstream");
  lnsim *s = sim(o);
  fill_port(&argv, s);
  run_t r = spawn_run(argv, in);
  lnsim_stop(s);
  fclose(o.log);
  *l = parse_log(std::string(buf, len));
  free(buf);
  return r;
}

// --- Measurements ---------------------------------------------------------------

/// The ways sens reaches the bus: its interface name, the port argument, and
/// what the simulator serves.
struct transport {
  const char *label;
  const char *kind;
  const char *port;
  bool split = false;   ///< the LbServer writes each line and its line end apart, no TCP_NODELAY
  bool jmri = false;    ///< the LbServer behaves as JMRI's
  bool echo = true;     ///< the interface echoes; off, a JMRI server answers no SEND at all
  unsigned usb_ms = 0;  ///< the pty hands its bytes over at most every N ms (USB adapter)
  bool limited = true;  ///< the module ratio is held to MAX_BUS_RATIO
};
const transport TRANSPORTS[] = {
    {"serial (pty)", "locobuffer", "%p"},
    {"lbserver", "lbserver", "%l"},
    {"lbserver, split writes", "lbserver", "%l", true},
    {"lbserver, JMRI", "lbserver", "%l", false, true},
    {"lbserver, JMRI, no echo", "lbserver", "%l", false, true, false},
    {"tcp", "tcp", "%t"},
    {"z21", "z21", "%z"},
};
/// The pty behind a USB adapter's latency timer: Linux's default of 16 ms and
/// the 1 ms of low-latency mode. Each costs what the adapter holds back,
/// whatever the client does: no limit of the client's applies.
const transport USB_PTYS[] = {
    {"serial (pty), USB latency 16 ms", "locobuffer", "%p", false, false, true, 16, false},
    {"serial (pty), USB latency 1 ms", "locobuffer", "%p", false, false, true, 1, false},
};

sim_opts serving(sim_opts o, const transport &t) {
  o.lbserver = "127.0.0.1:0";
  o.tcp = "127.0.0.1:0";
  o.z21 = "127.0.0.1:0";
  o.lb_split = t.split;
  o.lb_jmri = t.jmri;
  o.echo = t.echo;
  o.usb_latency_ms = t.usb_ms;
  return o;
}

/// Time per exchange of sens and of the baseline reading the same modules
/// from the same simulator: from one request's arrival at lnsim to the
/// next's, from lnsim's log. The median shows the typical exchange; the mean
/// also carries every stall the machine's other work caused.
void latency(unsigned reps, bool echo, unsigned mods, const char *label) {
  sim_opts o;
  o.modules = range(1, mods);
  o.turnaround_us = 0;
  o.echo = echo;
  const std::string last = std::to_string(mods);
  std::vector<double> med[2], mean[2], ratio_med, ratio_mean;
  for (unsigned rep = 0; rep < reps; ++rep) {
    std::string out[2];
    double m[2], a[2];
    // Alternate which client goes first, so drift of the machine's load hits both.
    for (unsigned k = 0; k < 2; ++k) {
      const unsigned c = (rep + k) % 2;
      bus_log l;
      const run_t r = c == 0 ? run_logged(o, {SENS_BIN, "-r", "locobuffer", "%p", "1-" + last}, &l)
                             : run_logged(o, {BASELINE_BIN, "%p", "1", last}, &l);
      check(r.status == 0 && r.err.empty() && !l.exch_us.empty(),
            std::string(c ? "baseline" : "sens") + ": " + r.err);
      out[c] = r.out;
      m[c] = stats_of(l.exch_us).med;
      a[c] = sum(l.exch_us) / static_cast<double>(l.exch_us.size());
      med[c].push_back(m[c]);
      mean[c].push_back(a[c]);
    }
    check(out[0] == out[1] && lines(out[0]) == mods, "sens and the baseline read different values");
    ratio_med.push_back(m[0] / m[1]);
    ratio_mean.push_back(a[0] / a[1]);
  }
  printf("-- exchange latency, %s, turnaround 0, modules 1-%u --\n", label, mods);
  row("  sens, median exchange", stats_of(med[0]), "%.1f", "us", "", "");
  row("  baseline, median exchange", stats_of(med[1]), "%.1f", "us", "", "");
  const stats r = stats_of(ratio_med);
  char lim[16];
  snprintf(lim, sizeof lim, "<= %.2f", MAX_LATENCY_RATIO);
  row("  ratio sens / baseline, medians", r, "%.3f", "", lim, verdict(r.med <= MAX_LATENCY_RATIO));
  row("  sens, mean exchange", stats_of(mean[0]), "%.1f", "us", "", "");
  row("  baseline, mean exchange", stats_of(mean[1]), "%.1f", "us", "", "");
  row("  ratio sens / baseline, means", stats_of(ratio_mean), "%.3f", "", "", "");
}

/// CPU and wall time of sens while silent modules cost their four attempts.
/// A run with one silent module and a run with five give, by their
/// difference, the CPU one silent module costs without the process's start
/// and end; a process that does nothing and sens ending at a usage error after
/// opening the port show what start-up alone costs on this machine. The four
/// attempts' wall time runs from a module's first select to the next
/// module's, as lnsim saw them arrive. The first 0xED request of a run is the
/// read of CV 0 that finds modules left in programming mode.
void silent(unsigned reps) {
  sim_opts o;
  o.modules = range(1, 5);
  o.silent = o.modules;
  o.turnaround_us = 0;
  std::vector<double> cpu, wall, cpu_per, wall_per, true_cpu, start_cpu, start_wall;
  for (unsigned rep = 0; rep < reps; ++rep) {
    const run_t one = run_on(o, {SENS_BIN, "-r", "locobuffer", "%p", "1"});
    check(one.status == 0 && one.out.empty() && one.err == "No response from 1\n",
          "silent: " + one.err);
    bus_log l;
    const run_t five = run_logged(o, {SENS_BIN, "-r", "locobuffer", "%p", "1-5"}, &l);
    check(five.status == 0 && lines(five.err) == 5 && l.imm_s.size() == 21, "silent: " + five.err);
    cpu.push_back(one.cpu_ms);
    wall.push_back(one.wall_ms);
    cpu_per.push_back((five.cpu_ms - one.cpu_ms) / 4);
    for (std::size_t m = 1; m + 4 < l.imm_s.size(); m += 4)
      wall_per.push_back((l.imm_s[m + 4] - l.imm_s[m]) * 1e3);
    true_cpu.push_back(spawn_run({"/bin/true"}).cpu_ms);
    const run_t u = run_on(o, {SENS_BIN, "-r", "locobuffer", "%p", "x"});
    check(u.status == 1, "start-up reference did not end with status 1");
    start_cpu.push_back(u.cpu_ms);
    start_wall.push_back(u.wall_ms);
  }
  char lim[24];
  snprintf(lim, sizeof lim, "< %.0f ms", MAX_SILENT_CPU_MS);
  char wlim[24];
  snprintf(wlim, sizeof wlim, "%.0f..%.0f ms", SILENT_WALL_MIN_MS, SILENT_WALL_MAX_MS);
  printf("-- waiting: silent modules, four attempts of 100 ms each --\n");
  const stats c = stats_of(cpu_per);
  row("  sens CPU per silent module, user + sys", c, "%.3f", "ms", lim,
      verdict(c.med < MAX_SILENT_CPU_MS));
  const stats w = stats_of(wall_per);
  row("  sens wall of the four attempts", w, "%.1f", "ms", wlim,
      verdict(w.med >= SILENT_WALL_MIN_MS && w.med <= SILENT_WALL_MAX_MS));
  // The whole process also pays for starting up (loading the C++ runtime),
  // which costs more than the limit on this kind of machine even for
  // /bin/true: the verdict goes to what the run adds beyond start-up.
  row("  sens CPU, whole process, 1 silent module", stats_of(cpu), "%.2f", "ms", "", "");
  std::vector<double> beyond;
  for (std::size_t i = 0; i < cpu.size() && i < start_cpu.size(); ++i)
    beyond.push_back(cpu[i] - start_cpu[i]);
  const stats cb = stats_of(beyond);
  row("    of which beyond start-up", cb, "%.2f", "ms", lim, verdict(cb.med < MAX_SILENT_CPU_MS));
  row("    a process doing nothing (/bin/true)", stats_of(true_cpu), "%.2f", "ms", "", "");
  row("    sens up to a usage error after opening", stats_of(start_cpu), "%.2f", "ms", "", "");
  const stats wa = stats_of(wall);
  char plim[24];
  snprintf(plim, sizeof plim, "%.0f..%.0f ms", SILENT_WALL_MIN_MS + SWEEP_MS,
           SILENT_WALL_MAX_MS + SWEEP_MS);
  row("  sens wall, whole process, 1 silent module (with the sweep)", wa, "%.1f", "ms", plim,
      verdict(wa.med >= SILENT_WALL_MIN_MS + SWEEP_MS && wa.med <= SILENT_WALL_MAX_MS + SWEEP_MS));
  row("    sens wall up to a usage error after opening", stats_of(start_wall), "%.1f", "ms", "",
      "");
}

/// Peak RSS of sens reading 1 module and 200 modules, and its anonymous
/// part at exit (the file part follows the page cache, not the work).
void memory(unsigned reps) {
  const unsigned big = 200;
  sim_opts o;
  o.modules = range(1, big);
  o.turnaround_us = 0;
  o.echo = false;
  // [1 module, 200 modules]
  std::vector<double> peak[2], anon[2], peak_growth, anon_growth;
  // Through bench_rss: this process is larger than sens and would lend it
  // its own high-water mark.
  const tmp_dir dir;
  const std::string res = dir.path + "/rss";
  for (unsigned rep = 0; rep < reps; ++rep) {
    for (unsigned k = 0; k < 2; ++k) {
      const std::string list = k ? "1-" + std::to_string(big) : "1";
      const run_t r = run_on(o, {RSS_BIN, res, SENS_BIN, "-r", "locobuffer", "%p", list});
      long p = 0, a = 0, f = 0;
      double cpu = 0;
      check(r.status == 0 && r.err.empty() &&
                sscanf(slurp(res).c_str(), "%ld %lf %ld %ld", &p, &cpu, &a, &f) == 4 && a >= 0,
            "memory: " + r.err);
      peak[k].push_back(static_cast<double>(p));
      anon[k].push_back(static_cast<double>(a));
    }
    peak_growth.push_back(peak[1].back() - peak[0].back());
    anon_growth.push_back(anon[1].back() - anon[0].back());
  }
  printf("-- memory --\n");
  row("  sens peak RSS, 1 module", stats_of(peak[0]), "%.0f", "KiB", "", "");
  row("  sens peak RSS, 200 modules", stats_of(peak[1]), "%.0f", "KiB", "", "");
  const stats g = stats_of(peak_growth);
  char lim[24];
  snprintf(lim, sizeof lim, "< %ld KiB", MAX_RSS_GROWTH_KIB);
  row("  growth from 1 to 200 modules", g, "%.0f", "KiB", lim,
      verdict(g.med < static_cast<double>(MAX_RSS_GROWTH_KIB)));
  row("  sens anonymous RSS at exit, 1 module", stats_of(anon[0]), "%.0f", "KiB", "", "");
  row("  sens anonymous RSS at exit, 200 modules", stats_of(anon[1]), "%.0f", "KiB", "", "");
  const stats ga = stats_of(anon_growth);
  row("  anonymous growth from 1 to 200 modules", ga, "%.0f", "KiB", lim,
      verdict(ga.hi < static_cast<double>(MAX_RSS_GROWTH_KIB)));

  char self[4096];
  const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
  check(len > 0, "can't find this program");
  self[len] = '\0';
  const run_t p = spawn_run({self, "--pool"});
  unsigned after1 = 0, after200 = 0;
  check(p.status == 0 && sscanf(p.out.c_str(), "%u %u", &after1, &after200) == 2,
        "pool count: " + p.err);
  char fig[40];
  snprintf(fig, sizeof fig, "%u / %u", after1, after200);
  const bool flat = after200 <= MAX_BUFFERS;
  snprintf(lim, sizeof lim, "<= %u", MAX_BUFFERS);
  printf("%-44s %10s %-4s %-22s %-14s %s\n", "  buffers after 1 / after 200 modules", fig, "", "",
         lim, verdict(flat));
  if (!flat) ++failures;
}

/// Buffers held by the pool, the queue and the reader: with the main thread
/// holding none, every buffer the interface ever allocated.
unsigned buffers(lif_t *lif) {
  unsigned n = 0;
  pthread_mutex_lock(&lif->lock);
  for (ln_msg_t *m = lif->free; m != nullptr; m = m->next) ++n;
  for (ln_msg_t *m = lif->q_out; m != nullptr; m = m == lif->q_in ? nullptr : m->next) ++n;
  pthread_mutex_unlock(&lif->lock);
  // The last echo has come: the reader sits blocked in read with its buffer.
  return n + (lif->cur != nullptr ? 1 : 0);
}

/// The read loop in this process against the simulator; prints the buffer
/// counts after module 1 and after module 200.
int pool_count() {
  sim_opts o;
  o.modules = range(1, 200);
  o.turnaround_us = 0;
  std::string err;
  lnsim *s = lnsim_start(&o, &err);
  if (s == nullptr) die("lnsim: " + err);
  lif_t *lif = lif_open(lnsim_path(s), 0);
  FILE *null = fopen("/dev/null", "w");
  if (lif == nullptr || null == nullptr) die("can't open the interface");
  const struct timespec settle = {0, 20000000};  // the last release's echo comes within 2 ms
  select_target(lif, SENS_ART_NO, 0, 0);
  unsigned counts[2];
  for (unsigned a = 1; a <= 200; ++a) {
    if (!read_sens(null, lif, static_cast<u16>(a)))
      die("module " + std::to_string(a) + " did not answer");
    if (a == 1 || a == 200) {
      nanosleep(&settle, nullptr);
      counts[a == 1 ? 0 : 1] = buffers(lif);
    }
  }
  printf("%u %u\n", counts[0], counts[1]);
  fflush(stdout);
  // The reader would end the process when the simulator's pty closes.
  _exit(0);
}

/// Wall time of reading 20 modules on a paced bus over the time its bytes
/// take, for sens and for the baseline, with where the difference went.
void paced(unsigned reps) {
  const unsigned mods = 20;
  const std::string last = std::to_string(mods);
  // Per client: wall, ratio, and the wall's parts beyond the bus time: up to
  // the first request, the replies' last bytes to the next requests, lnsim's
  // lateness, and what remains.
  std::vector<double> wall[2], ratio[2], own[2], start[2], gaps[2], late[2], rest[2], bus;
  for (unsigned rep = 0; rep < reps; ++rep) {
    for (unsigned k = 0; k < 2; ++k) {
      const unsigned c = (rep + k) % 2;
      sim_opts o;
      o.modules = range(1, mods);
      o.turnaround_us = 0;
      o.pace = true;
      bus_log l;
      const run_t r = c == 0 ? run_logged(o, {SENS_BIN, "-r", "locobuffer", "%p", "1-" + last}, &l)
                             : run_logged(o, {BASELINE_BIN, "%p", "1", last}, &l);
      check(r.status == 0 && r.err.empty() && lines(r.out) == mods, "paced: " + r.err);
      const double bus_ms = static_cast<double>(l.bytes) * BYTE_US / 1e3;
      if (c == 0) bus.push_back(bus_ms);
      wall[c].push_back(r.wall_ms);
      ratio[c].push_back(r.wall_ms / bus_ms);
      own[c].push_back((r.wall_ms - sum(l.late_us) / 1e3) / bus_ms);
      start[c].push_back((l.first_s - r.start_s) * 1e3);
      gaps[c].push_back(sum(l.gaps_us) / 1e3);
      late[c].push_back(sum(l.late_us) / 1e3);
      rest[c].push_back(r.wall_ms - bus_ms - start[c].back() - gaps[c].back() - late[c].back());
    }
  }
  printf("-- at bus speed: 20 modules, every byte 600 us, turnaround 0 --\n");
  row("  bus time of requests + replies", stats_of(bus), "%.0f", "ms", "", "");
  const stats r = stats_of(ratio[0]);
  char lim[16];
  snprintf(lim, sizeof lim, "<= %.2f", MAX_BUS_RATIO);
  // The whole process also holds the start-up sweep's reply window, in which
  // nothing is on the bus: the verdict goes to the modules (below).
  (void)lim;
  row("  ratio sens wall / bus time, whole process", r, "%.4f", "", "", "");
  row("    baseline wall / bus time", stats_of(ratio[1]), "%.4f", "", "", "");
  row("    sens, lnsim's lateness taken out", stats_of(own[0]), "%.4f", "", "", "");
  row("    baseline, lnsim's lateness taken out", stats_of(own[1]), "%.4f", "", "", "");
  const char *who[2] = {"sens", "baseline"};
  for (unsigned c = 0; c < 2; ++c) {
    char what[64];
    snprintf(what, sizeof what, "  %s wall, whole process", who[c]);
    row(what, stats_of(wall[c]), "%.0f", "ms", "", "");
    row("    spawn to first request read", stats_of(start[c]), "%.1f", "ms", "", "");
    row("    sum: reply written to next request read", stats_of(gaps[c]), "%.1f", "ms", "", "");
    row("    sum: lnsim's lateness beyond bus time", stats_of(late[c]), "%.1f", "ms", "", "");
    row("    the rest of wall - bus time", stats_of(rest[c]), "%.1f", "ms", "", "");
  }
}

}  // namespace

/// sens's median exchange over each transport, beside the serial line's: the
/// same simulator with its echo, turnaround 0, 50 modules.
void transport_latency(unsigned reps) {
  printf(
      "-- exchange latency over each transport, echo after 0.3-2 ms (no echo: none), turnaround 0 "
      "--\n");
  for (const transport &t : TRANSPORTS) {
    sim_opts o;
    o.modules = range(1, 50);
    o.turnaround_us = 0;
    o = serving(o, t);
    std::vector<double> med;
    for (unsigned rep = 0; rep < reps; ++rep) {
      bus_log l;
      const run_t r = run_logged(o, {SENS_BIN, "-r", t.kind, t.port, "1-50"}, &l);
      check(r.status == 0 && r.err.empty() && lines(r.out) == 50,
            std::string(t.label) + ": " + r.err);
      med.push_back(stats_of(l.exch_us).med);
    }
    char what[64];
    snprintf(what, sizeof what, "  sens over %s, median exchange", t.label);
    row(what, stats_of(med), "%.1f", "us", "", "");
  }
}

/// From the last release's arrival at lnsim to the client's end: the wait for
/// a server's answer to it, and the process's exit.
double end_ms(const run_t &r, const bus_log &l) {
  return (r.start_s + r.wall_ms / 1e3 - l.rel_s.back()) * 1e3;
}

/// Reading 20 modules on a paced bus over each transport: each module's wall
/// time, from its select's arrival to the end of its release on the bus, over
/// the bus time of its requests and replies. The run's start (spawn, connect,
/// the release of module 0 and the sweep's reply window) is not a module's.
/// Without echo the requests occupy the bus all the same, unseen: their
/// bytes count as with echo.
void paced_read(unsigned reps, const transport &t) {
  const unsigned mods = 20;
  sim_opts o;
  o.modules = range(1, mods);
  o.turnaround_us = 0;
  o.pace = true;
  o = serving(o, t);
  std::vector<double> ratio, whole, gap, tail;
  for (unsigned rep = 0; rep < reps; ++rep) {
    bus_log l;
    const run_t r = run_logged(o, {SENS_BIN, "-r", t.kind, t.port, "1-20"}, &l);
    check(r.status == 0 && r.err.empty() && lines(r.out) == mods &&
              l.imm_s.size() == 1 + 17 * mods && l.rel_s.size() == 1 + mods,
          std::string("paced ") + t.label + ": " + r.err);
    // Everything but the release of module 0 and the sweep's read, which
    // no module answered.
    const double bus_ms = static_cast<double>(l.bytes - std::size_t{2} * PROG_LEN) * BYTE_US / 1e3;
    const double span_ms = (l.rel_s.back() - l.imm_s[1]) * 1e3 + PROG_LEN * BYTE_US / 1e3;
    ratio.push_back(span_ms / bus_ms);
    whole.push_back(r.wall_ms / bus_ms);
    gap.push_back(stats_of(l.gaps_us).med / 1e3);
    tail.push_back(end_ms(r, l));
  }
  char what[80], lim[16];
  snprintf(what, sizeof what, "  %s, module wall / bus time", t.label);
  snprintf(lim, sizeof lim, "<= %.2f", MAX_BUS_RATIO);
  const stats st = stats_of(ratio);
  if (t.limited)
    row(what, st, "%.4f", "", lim, verdict(st.med <= MAX_BUS_RATIO));
  else
    row(what, st, "%.4f", "", "", "");
  row("    whole process wall / bus time", stats_of(whole), "%.4f", "", "", "");
  row("    reply written to next request read, median", stats_of(gap), "%.3f", "ms", "", "");
  row("    last release read to the process's end", stats_of(tail), "%.1f", "ms", "", "");
}

void paced_transports(unsigned reps) {
  printf("-- at bus speed over each transport: per module, 20 modules, turnaround 0 --\n");
  // The pty behind a USB adapter's timer beside the plain pty.
  paced_read(reps, TRANSPORTS[0]);
  for (const transport &t : USB_PTYS) paced_read(reps, t);
  for (std::size_t i = 1; i < std::size(TRANSPORTS); ++i) paced_read(reps, TRANSPORTS[i]);
}

/// Bytes of a write's acknowledge on the bus: 0xB4 0x6D 0x7F and its checksum.
constexpr std::size_t ACK_LEN = 4;

/// The sens lines write mode gets: modules 1..mods, values that differ
/// from module to module.
std::string sens_lines(unsigned mods) {
  std::string in;
  for (unsigned a = 1; a <= mods; ++a) {
    in += std::to_string(a) + ":";
    for (unsigned i = 0; i < 16; ++i) in += " " + std::to_string((a * 7 + i * 13) & 0xFF);
    in += "\n";
  }
  return in;
}

/// Writing 20 modules on a paced bus over each transport (sens -w, the sens
/// lines on its stdin): each module's wall time, from its select's arrival
/// to the end of its release on the bus, over the bus time of its own
/// requests and replies (select, the read of CV 0, sixteen writes and their
/// acknowledges, sixteen reads back, release). The listen for a second
/// module after the read of CV 0 keeps the bus idle by design, so the ratio
/// is also given with it taken out. Beside it, the bus time of the plain
/// write (select, sixteen writes, release): what the verification costs.
void paced_write(unsigned reps) {
  const unsigned mods = 20;
  const std::string in = sens_lines(mods);
  const double listen_ms = SENS_LATE_NS / 1e6;
  printf(
      "-- write mode at bus speed over each transport: per module, 20 modules, turnaround 0 --\n");
  char lim[16];
  snprintf(lim, sizeof lim, "<= %.2f", MAX_BUS_RATIO);
  std::vector<double> bus_mod, plain_mod;
  for (const transport &t : TRANSPORTS) {
    sim_opts o;
    o.modules = range(1, mods);
    o.turnaround_us = 0;
    o.pace = true;
    o = serving(o, t);
    std::vector<double> ratio, bare, idle, whole, vs_plain, tail;
    for (unsigned rep = 0; rep < reps; ++rep) {
      bus_log l;
      const run_t r = run_logged(o, {SENS_BIN, "-w", t.kind, t.port}, &l, in);
      // Per module 34 requests of 0xED (select, CV 0, 16 writes, 16 reads)
      // and its release; the sweep's read of CV 0 comes first.
      check(r.status == 0 && r.err.empty() && l.imm_s.size() == 1 + 34 * mods &&
                l.rel_s.size() == mods && l.selects == mods && l.writes == std::size_t{16} * mods &&
                l.reads == 1 + 17 * mods && l.releases == mods && l.listen_us.size() == mods,
            std::string("paced write ") + t.label + ": " + r.err);
      // Everything but the sweep's read, which no module answered; the log's
      // count must be what the requests and their replies add up to.
      const std::size_t bytes = l.bytes - PROG_LEN;
      const std::size_t plain =
          l.selects * 2 * PROG_LEN + l.writes * (PROG_LEN + ACK_LEN) + l.releases * PROG_LEN;
      check(bytes == plain + (l.reads - 1) * 2 * PROG_LEN,
            std::string("paced write ") + t.label + ": bus bytes do not add up");
      const double bus_ms = static_cast<double>(bytes) * BYTE_US / 1e3;
      const double plain_ms = static_cast<double>(plain) * BYTE_US / 1e3;
      const double span_ms = (l.rel_s.back() - l.imm_s[1]) * 1e3 + PROG_LEN * BYTE_US / 1e3;
      ratio.push_back(span_ms / bus_ms);
      bare.push_back((span_ms - mods * listen_ms) / bus_ms);
      idle.push_back(sum(l.listen_us) / 1e3 / mods);
      whole.push_back(r.wall_ms / bus_ms);
      vs_plain.push_back(span_ms / plain_ms);
      tail.push_back(end_ms(r, l));
      if (&t == &TRANSPORTS[0]) {
        bus_mod.push_back(bus_ms / mods);
        plain_mod.push_back(plain_ms / mods);
      }
    }
    char what[80];
    snprintf(what, sizeof what, "  %s, module wall / bus time", t.label);
    const stats st = stats_of(ratio);
    row(what, st, "%.4f", "", lim, verdict(st.med <= MAX_BUS_RATIO));
    // The listen is idle bus time by design; what is left is the tool's own.
    const stats sb = stats_of(bare);
    row("    the same, the 20 ms listens taken out", sb, "%.4f", "", lim,
        verdict(sb.med <= MAX_BUS_RATIO));
    row("    CV 0 reply to first write, per module", stats_of(idle), "%.2f", "ms", "", "");
    row("    module wall / plain write's bus time", stats_of(vs_plain), "%.3f", "", "", "");
    row("    whole process wall / bus time", stats_of(whole), "%.4f", "", "", "");
    row("    last release read to the process's end", stats_of(tail), "%.1f", "ms", "", "");
  }
  row("  bus time per module, verified write", stats_of(bus_mod), "%.1f", "ms", "", "");
  row("  bus time per module, plain write", stats_of(plain_mod), "%.1f", "ms", "", "");
  std::vector<double> cost;
  for (std::size_t i = 0; i < bus_mod.size(); ++i) cost.push_back(bus_mod[i] / plain_mod[i]);
  row("  verified / plain write, bus time", stats_of(cost), "%.3f", "", "", "");
}

/// Through a Z21 that loses datagrams both ways: reading 20 modules at bus
/// speed, each module's wall time beside a run without loss; then many quick
/// runs of every mode at a tenth lost, counted: every value printed or
/// written right or its module reported, no module left in programming mode.
void z21_loss(unsigned reps) {
  const unsigned mods = 20;
  printf("-- through a Z21 losing datagrams both ways: 20 modules at bus speed, turnaround 0 --\n");
  std::vector<double> base;
  for (const double loss : {0.0, 0.05, 0.10}) {
    std::vector<double> per_mod, silent, vs_base;
    for (unsigned rep = 0; rep < reps; ++rep) {
      sim_opts o;
      o.modules = range(1, mods);
      o.turnaround_us = 0;
      o.pace = true;
      o.z21 = "127.0.0.1:0";
      o.z21_loss = loss;
      o.seed = rep + 1;
      bus_log l;
      const run_t r = run_logged(o, {SENS_BIN, "-r", "z21", "%z", "1-20"}, &l);
      check(r.status == 0, "z21 loss: " + r.err);
      const double span_ms = (l.rel_s.back() - l.imm_s[1]) * 1e3;
      per_mod.push_back(span_ms / mods);
      silent.push_back(mods - lines(r.out));
      if (loss == 0.0) base.push_back(span_ms / mods);
      vs_base.push_back(span_ms / mods / base[rep]);
    }
    char what[80];
    snprintf(what, sizeof what, "  %.0f%% lost each way, wall per module", loss * 100);
    row(what, stats_of(per_mod), "%.1f", "ms", "", "");
    if (loss > 0) {
      row("    against no loss", stats_of(vs_base), "%.3f", "", "", "");
      row("    modules not read (No response), of 20", stats_of(silent), "%.0f", "", "", "");
    }
  }
  // Many runs without pacing: counts, not times.
  const unsigned runs = reps * 10, n = 10;
  std::string in;
  for (unsigned a = 1; a <= n; ++a) in += std::to_string(a) + ": 9 8 7 6 5 4 3 2 1 0 1 2 3 4 5 6\n";
  unsigned long read_ok = 0, silent = 0, wrong = 0, written = 0, reported = 0, left = 0, found = 0;
  for (unsigned run = 0; run < runs; ++run) {
    sim_opts o;
    o.modules = range(1, n);
    o.z21 = "127.0.0.1:0";
    o.z21_loss = 0.10;
    o.seed = 1000 + run;
    lnsim *s = sim(o);
    const std::string port = "127.0.0.1:" + std::to_string(lnsim_z21_port(s));
    const run_t r = spawn_run({SENS_BIN, "-r", "z21", port, "1-10"});
    left += lnsim_programming(s).size();
    for (unsigned a = 1; a <= n; ++a) {
      std::string want = std::to_string(a) + ":";
      for (unsigned i = 0; i < 16; ++i) want += " " + std::to_string((a * 16 + i) & 0xFF);
      const bool ok = r.out.find(want + "\r\n") != std::string::npos;
      const bool no =
          r.err.find("No response from " + std::to_string(a) + "\n") != std::string::npos;
      read_ok += ok;
      silent += no;
      wrong += ok == no;  // a wrong line, or neither line nor report
    }
    const run_t w = spawn_run({SENS_BIN, "-w", "z21", port}, in);
    left += lnsim_programming(s).size();
    for (unsigned a = 1; a <= n; ++a) {
      const std::string tag = " " + std::to_string(a) + "\n",
                        verify = "module " + std::to_string(a) + ":";
      const bool said =
          w.err.find(tag) != std::string::npos || w.err.find(verify) != std::string::npos;
      u16 v = 0;
      bool right = true;
      for (u16 cv = 145; cv <= 160; ++cv)
        right = right && lnsim_get_cv(s, static_cast<u16>(a), cv, &v) &&
                v == static_cast<u16>(cv <= 154 ? 154 - cv : cv - 154);
      written += right && !said;
      reported += said;
      wrong += !right && !said;  // not written, and not said
    }
    const run_t d = spawn_run({SENS_BIN, "-d", "z21", port});
    left += lnsim_programming(s).size();
    found += d.out == "1-10\n";
    lnsim_stop(s);
  }
  printf("  %u runs of -r, -w and -d each, 10 modules, 10%% lost each way:\n", runs);
  printf("    read right %lu, No response %lu; written and verified %lu, reported %lu;\n", read_ok,
         silent, written, reported);
  printf("    -d found all ten %lu times; wrong values %lu; modules left in programming mode %lu\n",
         found, wrong, left);
  if (wrong != 0 || left != 0) ++failures;
}

/// Reading 20 modules at bus speed through the page's API (POST /api/read,
/// the job polled as the page polls it) beside the same read with -r, from
/// the same simulator: each module's wall time over its bus time, as the
/// paced reads measure it.
void ui_read(unsigned reps) {
  printf("-- through the page's API at bus speed: 20 modules, turnaround 0 --\n");
  const unsigned mods = 20;
  std::vector<double> cli, api, vs;
  for (unsigned rep = 0; rep < reps; ++rep) {
    sim_opts o;
    o.modules = range(1, mods);
    o.turnaround_us = 0;
    o.pace = true;
    bus_log l;
    const run_t r = run_logged(o, {SENS_BIN, "-r", "locobuffer", "%p", "1-20"}, &l);
    check(r.status == 0 && lines(r.out) == mods, "ui: -r " + r.err);
    const double bus_ms = static_cast<double>(l.bytes - std::size_t{2} * PROG_LEN) * BYTE_US / 1e3;
    cli.push_back(((l.rel_s.back() - l.imm_s[1]) * 1e3 + PROG_LEN * BYTE_US / 1e3) / bus_ms);

    char *buf = nullptr;
    std::size_t len = 0;
    o.log = open_memstream(&buf, &len);
    lnsim *s = sim(o);
    proc_bg p;
    std::string url;
    check(proc_start(&p, {SENS_BIN, "-u", "--no-browser", "locobuffer", lnsim_path(s)}) &&
              proc_read_line(&p, &url, 10000),
          "ui: sens -u printed no address");
    const std::size_t colon = url.rfind(':'), at = url.find("/#token=");
    httplib::Client c("127.0.0.1", std::stoi(url.substr(colon + 1, at - colon - 1)));
    const httplib::Headers tok = {{"X-Sens-Token", url.substr(at + 8)}};
    const auto started = c.Post("/api/read", tok, R"({"addresses": "1-20"})", "application/json");
    check(started && started->status == 202, "ui: the read was not taken");
    const std::string job =
        "/api/job/" + std::to_string(nlohmann::json::parse(started->body)["job"].get<unsigned>());
    for (;;) {
      usleep(200000);  // the page's polling
      const auto j = c.Get(job, tok);
      if (j && nlohmann::json::parse(j->body)["state"] != "running") break;
    }
    proc_stop(&p, SIGTERM, 5000);
    lnsim_stop(s);
    fclose(o.log);
    l = parse_log(std::string(buf, len));
    free(buf);
    check(l.rel_s.size() == 1 + mods, "ui: the API's read did not read every module");
    api.push_back(((l.rel_s.back() - l.imm_s[1]) * 1e3 + PROG_LEN * BYTE_US / 1e3) / bus_ms);
    vs.push_back(api.back() / cli.back());
  }
  row("  -r, module wall / bus time", stats_of(cli), "%.4f", "", "", "");
  row("  API, module wall / bus time", stats_of(api), "%.4f", "", "", "");
  const stats st = stats_of(vs);
  row("  API / -r", st, "%.4f", "", "<= 1.01", verdict(st.med <= 1.01));
}

int main(int argc, char **argv) {
  if (argc == 2 && strcmp(argv[1], "--pool") == 0) return pool_count();
  unsigned reps = 5;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--reps") == 0 && i + 1 < argc)
      reps = static_cast<unsigned>(std::max(1ul, strtoul(argv[++i], nullptr, 10)));
    else if (strcmp(argv[i], "--only") == 0 && i + 1 < argc)
      only = argv[++i];
    else
      die("usage: bench_e2e [--reps N] [--only "
          "latency|silent|memory|paced|transports|write|loss|ui]");
  }
  auto wanted = [&](const char *part) { return only.empty() || only == part; };
  printf("%-44s %10s %-4s %-22s %-14s %s\n", "measure", "median", "", "spread (min..max)", "limit",
         "");
  if (wanted("latency")) {
    latency(reps, false, 200, "no echo");
    latency(reps, true, 50, "echo after 0.3-2 ms");
    transport_latency(reps);
  }
  if (wanted("silent")) silent(reps);
  if (wanted("memory")) memory(reps);
  if (wanted("paced")) paced(reps);
  if (wanted("paced") || wanted("transports")) paced_transports(reps);
  if (wanted("write")) paced_write(reps);
  if (wanted("loss")) z21_loss(reps);
  if (wanted("ui")) ui_read(reps);
  printf("%d of the targets missed (%u runs each)\n", failures, reps);
  return failures ? 3 : 0;
}
