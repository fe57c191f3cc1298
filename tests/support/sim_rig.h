// lnsim in the test's own process, for tests that run the tool against it.
// Its log runs through a pipe into a thread, so a test can wait for the
// host's messages: the tool may exit before lnsim has framed the last one.
//
// Host messages of article 1235 are shown as words: "sel 12", "rel 12",
// "rd 145", "wr 145=200"; any other message as its log line.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lnsim.h"

struct sim_rig {
  lnsim *s = nullptr;  ///< stopped by the destructor unless a test set it null first
  FILE *log = nullptr;
  int log_in = -1;
  std::thread drain;
  std::mutex mu;
  std::condition_variable grown;
  std::vector<std::string> host;   ///< the host's messages so far as words; guarded by mu
  std::set<unsigned> programming;  ///< modules in programming mode, from the log; guarded by mu
  std::size_t seen = 0;            ///< host messages already compared by sent()
  std::vector<std::string> notes;  ///< the log's "= ..." lines, without the "= "; guarded by mu
  std::size_t notes_seen = 0;      ///< notes already passed by logged()

  /// Starts lnsim with o (its log option replaced); an instance that cannot
  /// start ends the process with the reason.
  explicit sim_rig(sim_opts o);
  sim_rig(const sim_rig &) = delete;
  sim_rig &operator=(const sim_rig &) = delete;
  ~sim_rig();

  std::string path() const { return lnsim_path(s); }
  /// Waits until the host's messages since the last call match want, or ms
  /// (scaled) have passed; with want empty, until any message comes. "" when
  /// they match, else what was sent beside what was wanted. A single request
  /// in want also matches up to four copies: on a loaded machine a reply can
  /// miss its 100 ms window, and the request goes out again.
  std::string sent(const std::vector<std::string> &want, int ms = 5000);
  /// Waits until the host has sent n messages in all, or ms (scaled) have
  /// passed; returns them.
  std::vector<std::string> wait_sent(std::size_t n, int ms = 10000);
  /// Waits until no module is in programming mode, or ms (scaled) have
  /// passed; the modules still in it.
  std::set<unsigned> wait_clean(int ms = 5000);
  /// Waits until a note of the log after the last one found holds note, or ms
  /// (scaled) have passed; whether it came.
  bool logged(const std::string &note, int ms = 5000);
  /// CVs 145..160 of module addr as " v v ... v"; "none" without such a module.
  std::string cvs(u16 addr);
};

/// The sens line of a module whose CVs hold lnsim's defaults.
std::string default_line(unsigned addr);
