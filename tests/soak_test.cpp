// Fault soak: the real sens binary against lnsim with echo, noise between
// messages, lost replies, replies close to the 100 ms deadline and byte by
// byte delivery. It checks the promises the tool makes under such a bus:
// every sens line printed equals what the module holds, every module not
// read or not written is reported, and every write not reported reads back.
//
// Size: SENS_SOAK_READS module reads and SENS_SOAK_WRITES module writes in
// all, spread over SENS_SOAK_WORKERS independent lnsim/sens pairs (the bus
// is mostly waiting, so pairs run side by side). The defaults are CI's
// reduced form; scripts/soak runs the full one and prints the figures.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "proc.h"
#include "sim_rig.h"

namespace {

constexpr u16 MODULES = 8;  // modules 1..8 answer
constexpr u16 ABSENT = 9;   // address 9 has no module: always reported

unsigned env_or(const char *name, unsigned dflt) {
  const char *v = getenv(name);
  return v != nullptr && *v != '\0' ? static_cast<unsigned>(strtoul(v, nullptr, 10)) : dflt;
}

struct tally {
  unsigned reads = 0;           // module reads attempted (answering modules)
  unsigned lines = 0;           // sens lines printed
  unsigned read_reported = 0;   // answering modules reported as not answering
  unsigned writes = 0;          // module writes attempted
  unsigned write_reported = 0;  // module writes reported
  unsigned absent_reported = 0;
  std::vector<std::string> faults;  // wrong values, unreported failures, odd output
};

/// Addresses named by "No response from N\n" lines; anything else in err is a fault.
std::set<unsigned> reported(const std::string &err, tally *t) {
  std::set<unsigned> r;
  size_t pos = 0;
  while (pos < err.size()) {
    size_t nl = err.find('\n', pos);
    if (nl == std::string::npos) nl = err.size();
    const std::string line = err.substr(pos, nl - pos);
    unsigned a;
    char tail;
    if (sscanf(line.c_str(), "No response from %u%c", &a, &tail) == 1)
      r.insert(a);
    else
      t->faults.push_back("unexpected stderr line: " + line);
    pos = nl + 1;
  }
  return r;
}

// Every value written or held is below 256, so a sens line shows the CVs as
// they are, in the form of sim_rig::cvs.

void read_round(sim_rig *m, tally *t) {
  const proc_result r =
      proc_run({SENS_BIN, "-r", "locobuffer", m->path(), "1-" + std::to_string(ABSENT)},
               {"", "", 120000, {}});
  if (r.timed_out || r.status != 0) {
    t->faults.push_back("read run ended with status " + std::to_string(r.status));
    return;
  }
  const std::set<unsigned> rep = reported(r.err, t);
  std::set<unsigned> printed;
  size_t pos = 0;
  while (pos < r.out.size()) {
    size_t nl = r.out.find("\r\n", pos);
    if (nl == std::string::npos) {
      t->faults.push_back("sens line without CR LF");
      break;
    }
    const std::string line = r.out.substr(pos, nl - pos);
    pos = nl + 2;
    unsigned addr = 0;
    int n = 0;
    sscanf(line.c_str(), "%u:%n", &addr, &n);
    ++t->lines;
    printed.insert(addr);
    if (n == 0 || addr < 1 || addr > MODULES ||
        line.substr(static_cast<std::size_t>(n)) != m->cvs(static_cast<u16>(addr)))
      t->faults.push_back("wrong sens line: " + line);
  }
  for (unsigned a = 1; a <= ABSENT; ++a) {
    const bool p = printed.count(a) != 0, e = rep.count(a) != 0;
    if (p == e) t->faults.push_back("module " + std::to_string(a) + " printed and reported alike");
    if (a == ABSENT) {
      t->absent_reported += e;
      continue;
    }
    ++t->reads;
    t->read_reported += e;
  }
}

void write_round(sim_rig *m, std::mt19937 *rng, tally *t) {
  std::map<unsigned, std::string> sent;  // as sim_rig::cvs shows them
  std::string in;
  for (unsigned a = 1; a <= MODULES; ++a) {
    std::string v;
    for (int i = 0; i < 16; ++i) v += " " + std::to_string((*rng)() & 0xFFu);
    in += std::to_string(a) + ":" + v + "\r\n";
    sent[a] = v;
  }
  in += std::to_string(ABSENT) + ":";
  for (int i = 0; i < 16; ++i) in += " 0";
  in += "\n";
  const proc_result r = proc_run({SENS_BIN, "-w", "locobuffer", m->path()}, {in, "", 120000, {}});
  if (r.timed_out || r.status != 0) {
    t->faults.push_back("write run ended with status " + std::to_string(r.status));
    return;
  }
  const std::set<unsigned> rep = reported(r.err, t);
  if (rep.count(ABSENT) == 0) t->faults.push_back("absent module's write not reported");
  t->absent_reported += rep.count(ABSENT) != 0;
  for (const auto &[a, v] : sent) {
    ++t->writes;
    if (rep.count(a) != 0) {
      ++t->write_reported;
      continue;
    }
    if (m->cvs(static_cast<u16>(a)) != v)
      t->faults.push_back("unreported write of module " + std::to_string(a) + " did not land");
  }
}

void worker(unsigned id, unsigned read_rounds, unsigned write_rounds, tally *t) {
  sim_opts o;
  o.modules.clear();
  for (u16 a = 1; a <= MODULES; ++a) o.modules.push_back(a);
  o.echo = true;
  o.noise = 0.5;
  o.drop = 0.10;
  o.turnaround_us = 3000;
  o.delay_us = 82000;  // with turnaround and byte-wise delivery, replies land near 90 ms
  o.bytewise = true;
  o.seed = 1000 + id;
  sim_rig m(o);
  std::mt19937 rng(id);
  // Interleave writes among reads so that reads also check written values.
  for (unsigned r = 0, w = 0; r < read_rounds || w < write_rounds;) {
    if (r < read_rounds) read_round(&m, t), ++r;
    if (w < write_rounds) write_round(&m, &rng, t), ++w;
  }
}

TEST(Soak, NoWrongValueAndEveryFailureReported) {
  const unsigned workers = env_or("SENS_SOAK_WORKERS", 3);
  const unsigned reads = env_or("SENS_SOAK_READS", 48);
  const unsigned writes = env_or("SENS_SOAK_WRITES", 24);
  // Each round touches MODULES modules.
  const unsigned per = workers * MODULES;
  const unsigned read_rounds = (reads + per - 1) / per, write_rounds = (writes + per - 1) / per;

  std::vector<tally> tallies(workers);
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < workers; ++i)
    threads.emplace_back(worker, i, read_rounds, write_rounds, &tallies[i]);
  for (std::thread &th : threads) th.join();

  tally all;
  for (const tally &t : tallies) {
    all.reads += t.reads;
    all.lines += t.lines;
    all.read_reported += t.read_reported;
    all.writes += t.writes;
    all.write_reported += t.write_reported;
    all.absent_reported += t.absent_reported;
    all.faults.insert(all.faults.end(), t.faults.begin(), t.faults.end());
  }
  printf(
      "soak: %u module reads (%u lines, %u reported), %u module writes (%u reported), "
      "%u absent-module reports, %zu faults\n",
      all.reads, all.lines, all.read_reported, all.writes, all.write_reported, all.absent_reported,
      all.faults.size());
  for (const std::string &f : all.faults) ADD_FAILURE() << f;
  EXPECT_GE(all.reads, reads);
  EXPECT_GE(all.writes, writes);
  // Most modules answer in spite of the faults: the retries work.
  EXPECT_GT(all.lines, all.reads / 2);
}

}  // namespace
