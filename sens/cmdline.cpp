// The usage text and address lists.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "sens.h"
#include "util.h"

void usage(const char *name) {
  // The wording is the tool's established text, although it names neither
  // the option nor the address list.
  fprintf(stderr,
          "Usage: %s <interface> <serial port> <firmware image>\n"
          "       with <interface> one of:\n\n",
          name);
  for (const name2lif_t &row : name2lif) fprintf(stderr, "       %s: %s\n", row.name, row.desc);
  ln_exit(1);
}

int parse_addr_r(const char *text, addr_list_t **out) {
  *out = nullptr;
  if (text[0] == '\0' || text[strspn(text, "0123456789-,")] != '\0') return ADDR_OK;

  addr_list_t *head = nullptr;
  addr_list_t **tail = &head;
  const char *p = text;
  int err = ADDR_OK;
  while (*p != '\0') {
    auto *e = new (std::nothrow) addr_list_t{nullptr, 0, 0};
    if (e == nullptr) {
      err = ADDR_NO_MEM;
      break;
    }
    *tail = e;
    tail = &e->next;

    // A dash where a number is due reads as its sign: "-5" is 65531.
    const char *after = nullptr;
    e->start = static_cast<u16>(str_to_u32(p, &after));
    if (after == p) {
      err = ADDR_NO_NUM_AFTER_COMMA;
      break;
    }
    p = after;
    if (*p == ',') {
      ++p;
      e->end = e->start;
    } else if (*p == '\0') {
      e->end = e->start;
    } else {  // only a dash can follow the digits here
      ++p;
      e->end = static_cast<u16>(str_to_u32(p, &after));
      if (after == p) {
        err = ADDR_NO_NUM_AFTER_DASH;
        break;
      }
      p = after;
      // A comma or a further dash separates; "1-2-3" is 1..2 and 3.
      if (*p != '\0') ++p;
    }
  }
  if (err != ADDR_OK) {
    addr_list_free(head);
    return err;
  }
  *out = head;
  return ADDR_OK;
}

const char *addr_err_text(int err) {
  switch (err) {
    case ADDR_NO_MEM:
      return "Can't alloc list elem\n";
    case ADDR_NO_NUM_AFTER_COMMA:
      return "Missing numeral constant after comma\n";
    case ADDR_NO_NUM_AFTER_DASH:
      return "Missing numeral constant after dash\n";
    default:
      return "";
  }
}

addr_list_t *parse_addr(const char *text) {
  addr_list_t *list = nullptr;
  int err = parse_addr_r(text, &list);
  if (err != ADDR_OK) ln_fatal("%s", addr_err_text(err));
  return list;
}

void addr_list_free(addr_list_t *list) {
  while (list != nullptr) {
    addr_list_t *next = list->next;
    delete list;
    list = next;
  }
}

std::string addr_list_text(const prog_addrs_t &set) {
  std::string text;
  for (std::size_t a = 0; a < set.size(); ++a) {
    if (!set.test(a)) continue;
    std::size_t last = a;
    while (last + 1 < set.size() && set.test(last + 1)) ++last;
    if (!text.empty()) text += ',';
    text += std::to_string(a);
    if (last > a) text += '-' + std::to_string(last);
    a = last;
  }
  return text;
}
