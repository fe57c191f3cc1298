// What the tool tells its user on standard error: the reports of the modes,
// and on long runs a progress line, rewritten in place, that every other
// message first clears.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "sens.h"
#include "util.h"

namespace {

/// Whether the progress line is wanted: only a person watching a terminal
/// while the lines go elsewhere sees it; scripts get exactly the reports.
bool enabled = false;
/// A progress line stands on the terminal now.
bool shown = false;

/// "\r" and "clear to the end of the line": a terminal's own way of taking
/// back what stands on the line.
constexpr char CLEAR[] = "\r\033[K";

void clear_hook() { progress_clear(); }
void warned(const char *line);

}  // namespace

void progress_init() {
  // The interface layer's warnings are reports like any other.
  ln_set_warn_hook(warned);
  enabled = isatty(STDERR_FILENO) == 1 && isatty(STDOUT_FILENO) == 0;
  if (enabled) ln_set_end_hook(clear_hook);
}

void progress(const char *fmt, ...) {
  if (!enabled) return;
  char line[128] = "\r";
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line + 1, sizeof line - 1, fmt, ap);
  va_end(ap);
  std::strncat(line, CLEAR + 1, sizeof line - std::strlen(line) - 1);
  fputs(line, stderr);
  shown = true;
}

void progress_clear() {
  if (!shown) return;
  // write(): also safe from the signal thread while the main thread is in stdio.
  if (write(STDERR_FILENO, CLEAR, sizeof CLEAR - 1) < 0) {
    // Nothing to be done about a terminal that went away.
  }
  shown = false;
}

namespace {

void (*hook_of_reports)(const char *line) = nullptr;

void warned(const char *line) { report("%s", line); }

}  // namespace

void report_hook(void (*hook)(const char *line)) { hook_of_reports = hook; }

void report(const char *fmt, ...) {
  progress_clear();
  char line[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  fputs(line, stderr);
  if (hook_of_reports != nullptr) hook_of_reports(line);
}
