#include "util.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "loconet.h"

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

struct timespec ln_deadline(std::uint32_t ns) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return ts_add_ns(now, ns);
}

std::int64_t ln_ms_since(const struct timespec &t0) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (std::int64_t{now.tv_sec} - t0.tv_sec) * 1000 + (now.tv_nsec - t0.tv_nsec) / 1000000;
}

void ln_lock(pthread_mutex_t *m) {
  const int rc = pthread_mutex_lock(m);
  if (rc != 0) ln_fatal("Can't lock mutex: %s (errno: %d)\n", strerror(rc), rc);
}

void ln_unlock(pthread_mutex_t *m) {
  const int rc = pthread_mutex_unlock(m);
  if (rc != 0) ln_fatal("Can't unlock mutex: %s (errno: %d)\n", strerror(rc), rc);
}

namespace {

void (*warn_hook)(const char *line) = nullptr;

}  // namespace

void ln_set_warn_hook(void (*hook)(const char *line)) { warn_hook = hook; }

void ln_warn(const char *fmt, ...) {
  char line[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  if (warn_hook != nullptr)
    warn_hook(line);
  else
    fputs(line, stderr);
}
