// bench_rss: runs a program and writes what its memory came to, exactly.
//
//   bench_rss <result file> <program> [args...]
//
// A child's ru_maxrss starts from the high-water mark of the memory it left
// at exec; after a vfork-style spawn that is its parent's, so a large parent
// would hide the child's own figure. This small process forks for real and
// stays far below any program measured.
//
// The program's main thread is traced only to stop it on its way out, while
// its memory is still there, and read its resident set by kind: the file
// pages (code and libraries) vary from run to run with what the page cache
// holds, the anonymous ones (heap, stacks, data) are what could grow with the
// work. Writes "<ru_maxrss KiB> <CPU ms> <RssAnon KiB> <RssFile KiB>\n" and
// exits with the program's status (128 + signal number when a signal ended it).
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

/// The value of field ("RssAnon:") in /proc/<pid>/status, in KiB; -1 if absent.
long status_kib(pid_t pid, const char *field) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
  FILE *f = fopen(path, "r");
  if (f == nullptr) return -1;
  char line[256];
  long v = -1;
  const std::size_t n = strlen(field);
  while (fgets(line, sizeof line, f) != nullptr)
    if (strncmp(line, field, n) == 0) {
      v = strtol(line + n, nullptr, 10);
      break;
    }
  fclose(f);
  return v;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    fputs("usage: bench_rss <result file> <program> [args...]\n", stderr);
    return 127;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    perror("bench_rss: fork");
    return 127;
  }
  if (pid == 0) {
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    execv(argv[2], argv + 2);
    perror("bench_rss: exec");
    _exit(127);
  }
  long anon = -1, file = -1;
  bool started = false;
  int st;
  struct rusage ru;
  for (;;) {
    if (wait4(pid, &st, 0, &ru) < 0) {
      if (errno == EINTR) continue;
      perror("bench_rss: wait4");
      return 127;
    }
    if (!WIFSTOPPED(st)) break;
    int sig = WSTOPSIG(st);
    if (sig == SIGTRAP && (st >> 16) == PTRACE_EVENT_EXIT) {
      anon = status_kib(pid, "RssAnon:");
      file = status_kib(pid, "RssFile:");
      sig = 0;
    } else if (sig == SIGTRAP && !started) {
      // The stop after exec: from now on, stop only on the way out.
      ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void *>(PTRACE_O_TRACEEXIT));
      started = true;
      sig = 0;
    }
    ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void *>(static_cast<long>(sig)));
  }
  FILE *f = fopen(argv[1], "w");
  if (f == nullptr) {
    perror("bench_rss: result file");
    return 127;
  }
  const double cpu_ms = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
                        static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
  fprintf(f, "%ld %.3f %ld %ld\n", ru.ru_maxrss, cpu_ms, anon, file);
  fclose(f);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}
