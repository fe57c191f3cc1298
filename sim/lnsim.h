// lnsim: a LocoNet interface with modules of article number 1235 behind it,
// presented on a pseudo-terminal.
//
// Principles of operation
// - The pty slave is what a client opens as its serial port. lnsim keeps a
//   slave fd of its own open for its whole life, so the master never sees a
//   hang-up while clients come and go, and terminal settings persist.
// - Three threads per instance: the project's reader frames what the host
//   writes to the master; the bus thread answers each message as the
//   interface and the modules would and schedules the answers; the output
//   thread writes them to the master when they fall due. Nothing waits in the
//   framing path, so a delayed reply never holds back the next echo.
// - Output nobody reads is dropped, never waited for: an instance without a
//   client cannot hang.
// - Modules keep programming mode as their firmware does: a select naming a
//   module enters it, only a release naming it leaves it. Every module in
//   programming mode answers every CV read and write of the article, each
//   reply after the one before it has passed the bus. The log shows each
//   change ("= module N enters programming mode", "... leaves ...").
// - Every random choice comes from one generator seeded by sim_opts::seed and
//   drawn on the bus thread only, so a run is reproducible for the same input.
// - State file: CVs 145..160 of every module, one sens line per module. Its
//   modules that are not emulated are kept in the file but stay off the bus.
//   It is rewritten atomically after each change, before the change is
//   acknowledged.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "host_types.h"

struct sim_opts {
  std::vector<u16> modules{1};    ///< module addresses emulated
  bool echo = true;               ///< echo every complete host message
  unsigned turnaround_us = 3000;  ///< module reply delay after the request
  unsigned delay_us = 0;          ///< extra fault delay added to every reply
  double drop = 0.0;              ///< probability a reply is dropped (echo never dropped)
  double noise = 0.0;             ///< probability of a noise burst before each echo/reply
  bool traffic = false;           ///< other devices fill the bus with messages at bus speed
  bool bytewise = false;          ///< deliver replies one byte per write, ~200 us apart
  bool pace = false;              ///< every byte occupies the bus for 600 us
  std::vector<u16> silent;        ///< modules that never answer
  std::vector<std::pair<u16, unsigned>>
      answer_only;               ///< module answers only its first N CV requests
  std::vector<u16> impostor;     ///< modules whose replies come with two look-alikes first
  std::vector<u16> programming;  ///< modules in programming mode from the start
  std::vector<u16> flags80;      ///< modules whose select replies carry flags 0x80
  std::vector<std::pair<u16, unsigned>> select_us;  ///< module answers a select after N us
  std::vector<std::pair<u16, u16>> stuck;  ///< module acknowledges writes of CV but keeps it
  std::vector<std::pair<u16, unsigned>>
      intruder;            ///< module enters programming mode by itself at the host's N-th message
  std::string state_file;  ///< load/save CVs 145..160 in sens line format
  unsigned seed = 1;       ///< for every random choice
  FILE *log = nullptr;     ///< every message both ways, one line each
};

struct lnsim;

/// Starts an instance; null and *err set on failure (bad state file, no pty,
/// no thread). Nothing is left running or open on failure.
lnsim *lnsim_start(const sim_opts *o, std::string *err);
/// Path of the pty slave for a client to open.
const char *lnsim_path(const lnsim *s);
/// Stops the threads, closes the fds and frees s; removes nothing on disk.
void lnsim_stop(lnsim *s);

// Test hooks; thread-safe.

/// Every complete message the host sent so far, in order, checksum included.
std::vector<std::vector<u8>> lnsim_host_msgs(lnsim *s);
/// CV cv (0..3 or 145..160) of emulated module addr; false if there is none.
bool lnsim_get_cv(lnsim *s, u16 addr, u16 cv, u16 *val);
/// The modules in programming mode now, ascending.
std::vector<u16> lnsim_programming(lnsim *s);
/// Sets CV 145..160 of emulated module addr (and saves the state file); false
/// if there is no such module or CV.
bool lnsim_set_cv(lnsim *s, u16 addr, u16 cv, u16 val);

/// Parses an address list such as "1-3,12" (decimal, ranges ascending) and
/// appends its addresses; false on any other text.
bool sim_parse_list(const char *text, std::vector<u16> *out);
