// Discovery mode: which modules are on the bus, found with the broadcast
// select that every module of the article answers with its own address.
#include "prog.h"
#include "sens.h"

namespace {

/// Broadcasts sent at most, and answered at least: replies get lost, and a
/// broadcast that still brings an address not heard before may not have
/// brought them all. Where datagrams get lost both ways, a module goes
/// unheard by a broadcast about one time in five (at a tenth lost): more.
constexpr int BROADCASTS_MAX = 4, BROADCASTS_MAX_LOSSY = 6;
constexpr int BROADCASTS_MIN = 2, BROADCASTS_MIN_LOSSY = 4;

}  // namespace

void discover_modules(lif_t *lif, prog_addrs_t *found_out) {
  prog_addrs_t &found = *found_out;
  prog_addrs_t twice;
  // Modules left in programming mode would answer the broadcast as well;
  // they are found here already.
  release_leftovers(lif, &found);
  int answered = 0;
  const bool lossy = lif_lossy(lif);
  const int most = lossy ? BROADCASTS_MAX_LOSSY : BROADCASTS_MAX;
  const int least = lossy ? BROADCASTS_MIN_LOSSY : BROADCASTS_MIN;
  // Where datagrams travel, one held up on the network brings a broadcast's
  // answers into the next one's window, every address twice: two modules at
  // one address answer twice to every broadcast, so there it takes two.
  prog_addrs_t twice_before;
  for (int sent = 0; sent < most;) {
    prog_addrs_t now;
    const int fresh = prog_broadcast(lif, SENS_ART_NO, &found, &now);
    twice |= lossy ? now & twice_before : now;
    twice_before |= now;
    ++sent;
    if (fresh < 0) continue;  // refused, never on the bus: again, within the four
    ++answered;
    if (answered >= least && fresh == 0) break;
  }
  // Some firmware enters programming mode on a broadcast.
  for (std::size_t a = 0; a < found.size(); ++a)
    if (found.test(a)) select_target(lif, SENS_ART_NO, static_cast<u16>(a), 0);
  // A release may be lost, and firmware may do anything with a broadcast:
  // sweep until none is left in programming mode.
  for (unsigned n = 0; n < PROG_RETRIES + 1; ++n)
    if (release_leftovers(lif, &found) == 0) break;
  prog_disarm(lif);

  for (std::size_t a = 0; a < twice.size(); ++a)
    if (twice.test(a)) report("Module address %zu answered twice: two modules may share it\n", a);
}

void discover(lif_t *lif) {
  prog_addrs_t found;
  discover_modules(lif, &found);
  const std::string list = addr_list_text(found);
  if (list.empty())
    report("No module answered\n");
  else
    put_line(stdout, (list + "\n").c_str());
}
