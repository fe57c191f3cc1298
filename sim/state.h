// The state file of lnsim: CVs 145..160 of each module as sens lines, "%u:"
// with the address, " %u" with each value, "\r\n". Text conversion is pure;
// saving replaces the file atomically so a reader never sees half of it.
#pragma once

#include <array>
#include <map>
#include <string>

#include "host_types.h"

using sim_cvs_t = std::array<u16, 16>;         ///< CVs 145..160
using sim_state_t = std::map<u16, sim_cvs_t>;  ///< by module address

/// The CVs of module addr as it leaves the factory: (addr * 16 + i) & 0xFF.
sim_cvs_t sim_pattern(u16 addr);
/// Reads state text: one line per module, LF or CR LF, blanks and tabs
/// between tokens, empty lines ignored. False and *err on malformed text or
/// a module listed twice; *out is filled only on success.
bool sim_state_parse(const std::string &text, sim_state_t *out, std::string *err);
/// The state text: one sens line per module, ascending addresses.
std::string sim_state_format(const sim_state_t &st);
/// Loads path; a missing file gives an empty state and true.
bool sim_state_load(const std::string &path, sim_state_t *out, std::string *err);
/// Replaces path with the text of st: a temporary file in the same directory
/// is written and synced, then renamed over path, and the directory synced.
/// False and *err on failure, path untouched.
bool sim_state_save(const std::string &path, const sim_state_t &st, std::string *err);

/// "what: <system error text> (errno: e)"; thread-safe.
std::string sim_sys_error(const std::string &what, int e);

/// Reads a decimal number of at most max from *p (digits only), moving *p
/// behind it; false when no digit stands there or the number exceeds max.
bool sim_read_num(const char **p, unsigned long max, unsigned long *out);
