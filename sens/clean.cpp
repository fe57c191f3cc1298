// Keeping the bus clean: modules that another run left in programming mode
// answer every read and write next to the module the tool selected, so they
// are found and released before they can mix their values into a session.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "prog.h"
#include "sens.h"
#include "util.h"

namespace {

/// Modules one sweep releases at most; more than this many left selected at
/// once is beyond any real layout, and the next sweep would find the rest.
constexpr unsigned SWEEP_MAX = 64;

}  // namespace

unsigned release_leftovers(lif_t *lif, prog_addrs_t *found) {
  u16 left[SWEEP_MAX];
  const unsigned n = prog_sweep(lif, SENS_ART_NO, left, SWEEP_MAX);
  for (unsigned i = 0; i < n; ++i) {
    select_target(lif, SENS_ART_NO, left[i], 0);
    report("Released module %u, left in programming mode\n", static_cast<unsigned>(left[i]));
    if (found != nullptr) found->set(left[i]);
  }
  return n;
}

void report_conflict(lif_t *lif, u16 addr) {
  report("Conflicting replies for module %u\n", static_cast<unsigned>(addr));
  // addr is released by now; whoever else answered is still in programming
  // mode. The session's late answers pass first: a late answer to the CV 0
  // read of write mode would pass for one to the sweep's.
  prog_listen(lif, SENS_LATE_NS);
  release_leftovers(lif);
}

void output_failed(int e) { ln_fatal("Can't write output: %s (errno: %d)\n", strerror(e), e); }

void put_line(FILE *out, const char *line) {
  if (fputs(line, out) == EOF || fflush(out) == EOF) output_failed(errno);
}

void report_no_response(u16 addr) { report("No response from %u\n", static_cast<unsigned>(addr)); }
