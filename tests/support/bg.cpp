#include "bg.h"

#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

long ms_now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

}  // namespace

bool proc_start(proc_bg *p, const std::vector<std::string> &argv) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return false;
  if (pipe2(err, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  std::vector<char *> args;
  for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  const int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  close(err[1]);
  if (rc != 0) {
    close(out[0]);
    close(err[0]);
    return false;
  }
  p->pid = pid;
  p->out = out[0];
  p->err = err[0];
  return true;
}

bool proc_read_line(proc_bg *p, std::string *line, int timeout_ms) {
  const long end = ms_now() + timeout_ms;
  line->clear();
  for (;;) {
    const long left = end - ms_now();
    if (left <= 0) return false;
    struct pollfd pf = {p->out, POLLIN, 0};
    if (poll(&pf, 1, static_cast<int>(left)) <= 0) continue;
    char c;
    if (read(p->out, &c, 1) != 1) return false;
    if (c == '\n') return true;
    *line += c;
  }
}

proc_result proc_stop(proc_bg *p, int sig, int timeout_ms) {
  proc_result r;
  if (p->pid <= 0) return r;
  kill(p->pid, sig);
  const long end = ms_now() + timeout_ms;
  int st = 0;
  for (;;) {
    const pid_t w = waitpid(p->pid, &st, WNOHANG);
    if (w == p->pid) break;
    if (ms_now() > end) {
      kill(p->pid, SIGKILL);
      waitpid(p->pid, &st, 0);
      r.timed_out = true;
      break;
    }
    struct timespec nap = {0, 5000000};
    nanosleep(&nap, nullptr);
  }
  char buf[4096];
  fcntl(p->err, F_SETFL, O_NONBLOCK);
  for (ssize_t n; (n = read(p->err, buf, sizeof buf)) > 0;)
    r.err.append(buf, static_cast<size_t>(n));
  if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
  if (WIFSIGNALED(st)) r.signal = WTERMSIG(st);
  close(p->out);
  close(p->err);
  p->pid = -1;
  return r;
}
