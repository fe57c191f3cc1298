// Read mode: modules' sens values out as sens lines.
#include <cstdio>

#include "prog.h"
#include "sens.h"

int read_sens_values(lif_t *lif, u16 addr, u8 *val) {
  prog_watch_reset();
  if (!select_target(lif, SENS_ART_NO, addr, 1)) return READ_SILENT;
  bool ok = true, conflict = false;
  for (int i = 0; i < SENS_VALUES && ok && !conflict; ++i) {
    u16 v = 0;
    ok = cv_read(&v, lif, SENS_ART_NO, static_cast<u16>(SENS_CV_FIRST + i)) != 0;
    val[i] = static_cast<u8>(v);
    conflict = prog_conflict(lif) != 0;
  }
  // A selected module stays in programming mode until released, also after
  // a failed read.
  select_target(lif, SENS_ART_NO, addr, 0);
  if (conflict || prog_conflict(lif)) {
    report_conflict(lif, addr);
    return READ_CONFLICT;
  }
  return ok ? READ_DONE : READ_SILENT;
}

std::string sens_line_text(u16 addr, const u8 *val) {
  char line[SENS_LINE_MAX];
  int n = snprintf(line, sizeof line, "%u:", static_cast<unsigned>(addr));
  for (int i = 0; i < SENS_VALUES; ++i)
    n += snprintf(line + n, sizeof line - static_cast<std::size_t>(n), " %u",
                  static_cast<unsigned>(val[i]));
  snprintf(line + n, sizeof line - static_cast<std::size_t>(n), "\r\n");
  return line;
}

int read_sens(FILE *out, lif_t *lif, u16 addr) {
  u8 val[SENS_VALUES];
  const int r = read_sens_values(lif, addr, val);
  if (r == READ_DONE) put_line(out, sens_line_text(addr, val).c_str());
  return r;
}

void read_start(lif_t *lif) {
  select_target(lif, SENS_ART_NO, 0, 0);
  release_leftovers(lif);
}

void read_sens_list(lif_t *lif, addr_list_t *list) {
  unsigned long total = 0, done = 0, read = 0;
  for (const addr_list_t *e = list; e != nullptr; e = e->next)
    total += static_cast<u16>(e->end - e->start) + 1ul;
  read_start(lif);
  while (list != nullptr) {
    u16 addr = list->start;
    for (;;) {
      progress("module %lu of %lu: %lu read, %lu silent", done + 1, total, read, done - read);
      const int r = read_sens(stdout, lif, addr);
      if (r == READ_SILENT) report_no_response(addr);
      read += r == READ_DONE;
      ++done;
      if (addr == list->end) break;
      addr = static_cast<u16>(addr + 1);
    }
    addr_list_t *next = list->next;
    delete list;
    list = next;
  }
}
