// The sens tool: the command line, address lists, the sens line format and the
// read and write modes that move a module's sixteen sens values between the
// module and text.
//
// Principles of operation
// - Everything here runs on the main thread, one module at a time: select,
//   read or write CVs 145..160, release, then the next module.
// - Parsing has pure cores (parse_addr_r, read_num, parse_sens_line) that
//   neither print nor exit, so they can be driven from tables and fuzzed. The
//   thin wrappers parse_addr and write_sens print the tool's exact messages
//   and exit with status 1 on malformed input.
// - Numbers in text are read as unsigned 32-bit values (sign allowed). In
//   address lists they are cut to 16 bits; in sens lines a number beyond its
//   field is an error, as it could only write a value nobody meant.
// - Address list elements are the caller's once parsed; read_sens_list frees
//   them as it finishes with each, addr_list_free frees a whole list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <string>

#include "host_types.h"
#include "loconet.h"
#include "prog.h"

#ifdef _WIN32
#include <sys/types.h>
/// The C library there has no getline: sens/getline_win.cpp stands in.
ssize_t getline(char **line, size_t *cap, FILE *f);
#endif

constexpr u16 SENS_ART_NO = 1235;   ///< article number of every module the tool talks to
constexpr u16 SENS_CV_FIRST = 145;  ///< CV of sens value 0; value i lives in CV 145 + i
constexpr int SENS_VALUES = 16;     ///< sens values per module
/// Time for a second module's answer to follow the first: its 15 bytes take
/// 9 ms on the bus, after a turnaround that may differ from the first's by a
/// few milliseconds.
constexpr std::uint32_t SENS_LATE_NS = 20000000;

// --- Command line -------------------------------------------------------------

/// Prints the usage text for program name on stderr and exits with status 1.
[[noreturn]] void usage(const char *name);

// --- Address lists ------------------------------------------------------------

/// One element of an address list: the addresses start, start + 1, ... end,
/// counted modulo 65536, so start > end runs through 65535 and 0.
struct addr_list_t {
  addr_list_t *next;  ///< null at the end of the list
  u16 start;          ///< first module address
  u16 end;            ///< last module address
};

/// Outcomes of parse_addr_r.
enum addr_err : int {
  ADDR_OK = 0,
  ADDR_NO_MEM,              ///< a list element could not be allocated
  ADDR_NO_NUM_AFTER_COMMA,  ///< no digits where a first number is due
  ADDR_NO_NUM_AFTER_DASH,   ///< no digits after a range's dash
};

/// Parses a list like "3,7-9,12" into *out, elements in written order. An
/// empty text or one holding anything but digits, '-' and ',' gives ADDR_OK
/// with *out null. On an error *out is null and nothing stays allocated.
int parse_addr_r(const char *text, addr_list_t **out);
/// The line that reports err (ends in "\n"); "" for ADDR_OK.
const char *addr_err_text(int err);
/// parse_addr_r that prints an error's line on stderr and exits with status 1.
/// Null for an empty list.
addr_list_t *parse_addr(const char *text);
/// Frees every element of list; null is allowed.
void addr_list_free(addr_list_t *list);
/// The addresses of set as an address list, ascending, each run of
/// consecutive addresses as "first-last": "1-3,12,65535"; "" for none.
std::string addr_list_text(const prog_addrs_t &set);

// --- Sens lines ---------------------------------------------------------------

/// One parsed sens line.
struct sens_line_t {
  u16 addr;             ///< module address, 0..65535
  u8 val[SENS_VALUES];  ///< sens values, 0..255
  std::size_t illegal;  ///< offset of the first illegal character; the line length if none
};

/// Outcomes of parse_sens_line.
enum sens_err : int {
  SENS_OK = 0,
  SENS_PREMATURE_END,  ///< the line ends where a number is due
  SENS_BAD_CHAR,       ///< something other than a number where one is due
  SENS_NO_COLON,       ///< no colon after the address
  SENS_TRAILING,       ///< more than white space after the sixteenth value
  SENS_RANGE,          ///< an address above 65535 or a value above 255
};

/// Advances *p_cur over line feeds, carriage returns, spaces and tabs.
void skip_ws(const char **p_cur);
/// Skips white space and reads one number. False when no digit follows; the
/// cursor then stands on the first character that is not white space.
bool read_num(const char **p_cur, std::uint32_t *val);

/// Parses the len bytes of line (line[len] must be NUL, as getline leaves it;
/// NUL bytes inside count as illegal characters, not as the end). Fills *out
/// and returns SENS_OK, or returns an error. out->illegal is set either way.
int parse_sens_line(const char *line, std::size_t len, sens_line_t *out);
/// Writes the line that reports err on line number lineno into buf, NUL
/// terminated and cut to size; "" for SENS_OK.
void sens_err_text(char *buf, std::size_t size, int err, unsigned lineno);
/// Input line lineno as write mode takes it: parse_sens_line, and in *warning
/// "Illegal chars in line N, offset K\n" when the line holds a character no
/// sens line may hold, else "". *error the line that reports an error.
int sens_line_check(const char *line, std::size_t len, unsigned lineno, sens_line_t *out,
                    std::string *warning, std::string *error);
/// "12: 5 5 ... 5\r\n": the sens line of module addr holding val, as the
/// read mode prints it.
std::string sens_line_text(u16 addr, const u8 *val);

// --- Modes ----------------------------------------------------------------------

/// Outcomes of read_sens.
enum read_result : int {
  READ_SILENT = 0,    ///< the module did not answer; nothing printed
  READ_DONE = 1,      ///< the sens line was printed
  READ_CONFLICT = 2,  ///< another module answered too; reported, nothing printed
};
/// Longest sens line the read mode prints, NUL included.
constexpr std::size_t SENS_LINE_MAX = 96;

/// Reads CVs 145..160 of module addr into val. A selected module is always
/// released. When another module answered as well, reports it on stderr,
/// releases every module left in programming mode and gives READ_CONFLICT.
int read_sens_values(lif_t *lif, u16 addr, u8 *val);
/// read_sens_values, and the sens line printed on out, flushed.
int read_sens(FILE *out, lif_t *lif, u16 addr);
/// What the read mode sends before its first module: one release to module
/// 0, and the release of the modules left in programming mode.
void read_start(lif_t *lif);
/// Read mode: one release to module 0, the release of modules left in
/// programming mode, then read_sens for every address of list on stdout,
/// "No response from N" on stderr for a silent module. Frees the list.
void read_sens_list(lif_t *lif, addr_list_t *list);
/// Write mode: parses the sens lines of in one at a time and writes each into
/// its module before reading the next line; modules left in programming mode
/// are released before the first select. Each module's values are read back.
/// A malformed line, or a failure to read in, ends the process with status 1.
/// A module that does not answer, whose values do not read back, or next to
/// which another module answers is reported on stderr and the run goes on.
/// Returns 1 when the last line's module was written and verified, else 0.
int write_sens(lif_t *lif, FILE *in);
/// Outcomes of write_module.
enum write_result : int {
  WRITE_SILENT = 0,    ///< the module did not answer, or stopped: "No response from N"
  WRITE_DONE = 1,      ///< written, and every value read back equal
  WRITE_CONFLICT = 2,  ///< another module answered too; released, and every leftover
  WRITE_VERIFY = 3,    ///< values read back different: "Verify failed for module N: CV ..."
};
/// Writes the sixteen values of sl into its module as write mode does, reads
/// them back into back (as far as it came), releases it, and reports what
/// went wrong on stderr; that report's line, without its line end, in *said.
int write_module(lif_t *lif, const sens_line_t &sl, u8 *back, std::string *said);
/// Discovery mode: releases the modules left in programming mode, hears
/// every module answer the broadcast select (two to four times), releases
/// each address heard and sweeps again until no module is left in
/// programming mode. Prints the addresses as an address list on stdout, or
/// "No module answered" on stderr; an address that answered one broadcast
/// twice is reported on stderr. Never selects a single module, never writes.
void discover(lif_t *lif);
/// discover without its printing: the addresses found in *found, an address
/// that answered one broadcast twice reported on stderr.
void discover_modules(lif_t *lif, prog_addrs_t *found);

// --- Keeping the bus clean ----------------------------------------------------------

/// Finds the modules left in programming mode (one reply window), releases
/// each and says so on stderr, one line per module. Adds their addresses to
/// *found unless it is null; returns how many there were.
unsigned release_leftovers(lif_t *lif, prog_addrs_t *found = nullptr);
/// Reports that another module answered next to module addr (already
/// released) and releases every module still in programming mode.
void report_conflict(lif_t *lif, u16 addr);
/// "Can't write output: ...", then the end of the process with status 1.
[[noreturn]] void output_failed(int e);
/// Writes line to out and flushes it, so a run that ends early keeps every
/// line it completed; a failing write ends the process with status 1.
void put_line(FILE *out, const char *line);

// --- Reports and progress -------------------------------------------------------------

/// Decides once whether to show a progress line: only when standard error is
/// a terminal and standard output is not. Call before any thread starts.
void progress_init();
/// Shows the progress line (printf-style, no newline), replacing the last one.
void progress(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
/// Takes the progress line off the terminal, if one is shown.
void progress_clear();
/// "No response from N": the module did not answer, or stopped answering.
void report_no_response(u16 addr);
/// A report on standard error (printf-style, with its newline), after
/// clearing the progress line; also handed, as it stands, to the hook
/// report_hook set.
void report(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
/// Where every report goes besides standard error (the page's log); null:
/// nowhere. Called on the thread that reports.
void report_hook(void (*hook)(const char *line));
