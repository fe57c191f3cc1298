#include "util.h"

std::uint32_t str_to_u32(const char *s, const char **end) {
  const char *p = s;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool neg = false;
  if (*p == '+' || *p == '-') neg = *p++ == '-';
  if (*p < '0' || *p > '9') {
    *end = s;
    return 0;
  }
  std::uint64_t mag = 0;
  bool over = false;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (!over) {
      mag = mag * 10 + static_cast<unsigned>(*p - '0');
      over = mag > 0xFFFFFFFFu;
    }
  }
  *end = p;
  if (over) return 0xFFFFFFFFu;
  auto v = static_cast<std::uint32_t>(mag);
  return neg ? static_cast<std::uint32_t>(0u - v) : v;
}

struct timespec ts_add_ns(struct timespec now, std::uint32_t ns) {
  now.tv_nsec += static_cast<long>(ns);
  if (now.tv_nsec >= 1000000000L) {
    now.tv_nsec -= 1000000000L;
    now.tv_sec += 1;
  }
  return now;
}

int ts_cmp(const struct timespec &a, const struct timespec &b) {
  if (a.tv_sec != b.tv_sec) return a.tv_sec < b.tv_sec ? -1 : 1;
  if (a.tv_nsec != b.tv_nsec) return a.tv_nsec < b.tv_nsec ? -1 : 1;
  return 0;
}
