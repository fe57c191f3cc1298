// getline() for Windows, whose C library has none: one line of any length from
// f, the line feed kept, as POSIX reads it. Only the write mode reads lines.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/types.h>

ssize_t getline(char **line, size_t *cap, FILE *f) {
  size_t n = 0;
  for (;;) {
    const int c = getc(f);
    if (c == EOF) {
      if (ferror(f) || n == 0) return -1;
      break;
    }
    if (n + 2 > *cap) {
      const size_t want = *cap < 128 ? 128 : *cap * 2;
      auto *grown = static_cast<char *>(realloc(*line, want));
      if (grown == nullptr) {
        errno = ENOMEM;
        return -1;
      }
      *line = grown;
      *cap = want;
    }
    (*line)[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  (*line)[n] = '\0';
  return static_cast<ssize_t>(n);
}
