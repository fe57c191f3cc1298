// Read mode: modules' sens values out as sens lines.
#include <cstdio>

#include "prog.h"
#include "sens.h"

int read_sens(FILE *out, lif_t *lif, u16 addr) {
  if (!select_target(lif, SENS_ART_NO, addr, 1)) return 0;
  u8 val[SENS_VALUES];
  bool ok = true;
  for (int i = 0; i < SENS_VALUES && ok; ++i) {
    u16 v = 0;
    ok = cv_read(&v, lif, SENS_ART_NO, static_cast<u16>(SENS_CV_FIRST + i)) != 0;
    val[i] = static_cast<u8>(v);
  }
  // A selected module stays in programming mode until released, also after
  // a failed read.
  select_target(lif, SENS_ART_NO, addr, 0);
  if (!ok) return 0;

  fprintf(out, "%u:", static_cast<unsigned>(addr));
  for (u8 v : val) fprintf(out, " %u", static_cast<unsigned>(v));
  fputs("\r\n", out);
  return 1;
}

void read_sens_list(lif_t *lif, addr_list_t *list) {
  // Release whatever a previous, interrupted run may have left selected.
  select_target(lif, SENS_ART_NO, 0, 0);
  while (list != nullptr) {
    u16 addr = list->start;
    for (;;) {
      if (!read_sens(stdout, lif, addr))
        fprintf(stderr, "No response from %u\n", static_cast<unsigned>(addr));
      if (addr == list->end) break;
      addr = static_cast<u16>(addr + 1);
    }
    addr_list_t *next = list->next;
    delete list;
    list = next;
  }
}
