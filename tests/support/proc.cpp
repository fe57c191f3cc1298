#include "proc.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ln_rig.h"

namespace {

/// Milliseconds left until end, at least 0, rounded up so a wait never ends
/// just short of the deadline.
int ms_left(const struct timespec &end) {
  const double left = rig_ms(rig_now(), end);
  return left <= 0 ? 0 : static_cast<int>(left) + 1;
}

void close_fd(int *fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

/// Starts argv with stdin from in_fd, or from the file in_path when in_fd < 0,
/// and stdout and stderr on new pipes whose read ends land in *out and *err,
/// or where o puts them (-1 then). -1 when the pipes fail or the program
/// cannot be started.
pid_t spawn(const std::vector<std::string> &argv, int in_fd, const char *in_path, int *out,
            int *err, const proc_opts &o = {}) {
  int po[2], pe[2];
  if (pipe2(po, O_CLOEXEC) != 0) return -1;
  if (pipe2(pe, O_CLOEXEC) != 0) {
    close(po[0]);
    close(po[1]);
    return -1;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (in_fd >= 0) {
    posix_spawn_file_actions_adddup2(&fa, in_fd, 0);
  } else {
    posix_spawn_file_actions_addopen(&fa, 0, in_path, O_RDONLY, 0);
  }
  if (o.stdout_path.empty())
    posix_spawn_file_actions_adddup2(&fa, po[1], 1);
  else
    posix_spawn_file_actions_addopen(&fa, 1, o.stdout_path.c_str(), O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, o.stderr_fd >= 0 ? o.stderr_fd : pe[1], 2);
  for (int fd : o.closed) posix_spawn_file_actions_addclose(&fa, fd);
  posix_spawn_file_actions_addclosefrom_np(&fa, 3);
  posix_spawnattr_t at;
  posix_spawnattr_init(&at);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&at, &none);
  posix_spawnattr_setsigdefault(&at, &all);
  posix_spawnattr_setflags(&at, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char *> args;
  for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &fa, &at, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&at);
  close(po[1]);
  close(pe[1]);
  if (rc != 0) {
    close(po[0]);
    close(pe[0]);
    return -1;
  }
  *out = po[0];
  *err = pe[0];
  if (!o.stdout_path.empty() || o.stdout_gone) close_fd(out);
  if (o.stderr_fd >= 0) close_fd(err);
  return pid;
}

/// Appends what fd has to s; closes fd at end of file or error.
void drain_into(int *fd, std::string *s) {
  char buf[65536];
  const ssize_t n = read(*fd, buf, sizeof buf);
  if (n > 0) {
    s->append(buf, static_cast<std::size_t>(n));
  } else if (n == 0 || errno != EINTR) {
    close_fd(fd);
  }
}

double tv_ms(const struct timeval &tv) {
  return static_cast<double>(tv.tv_sec) * 1e3 + static_cast<double>(tv.tv_usec) / 1e3;
}

/// Feeds in to in_fd, collects out_fd and err_fd until both close and the
/// child has exited, killing it at the deadline end. Closes every fd it was given.
proc_result collect(pid_t pid, int in_fd, const std::string &in, int out_fd, int err_fd,
                    const struct timespec &end) {
  proc_result r;
  // A pidfd turns readable when the child exits, so the wait can be polled
  // together with the pipes instead of spinning on waitpid.
  // (glibc's pidfd_open declaration lacks C linkage in C++, hence the syscall.)
  int pfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  std::size_t fed = 0;
  bool exited = pfd < 0;  // without a pidfd, the pipes closing stands for the exit
  if (in_fd >= 0 && in.empty()) close_fd(&in_fd);
  while (!exited || out_fd >= 0 || err_fd >= 0) {
    struct pollfd p[4];
    int n = 0;
    int i_in = -1, i_out = -1, i_err = -1, i_pid = -1;
    if (in_fd >= 0) p[i_in = n++] = {in_fd, POLLOUT, 0};
    if (out_fd >= 0) p[i_out = n++] = {out_fd, POLLIN, 0};
    if (err_fd >= 0) p[i_err = n++] = {err_fd, POLLIN, 0};
    if (!exited) p[i_pid = n++] = {pfd, POLLIN, 0};
    const int left = ms_left(end);
    if (left == 0) {
      if (!r.timed_out && !exited) {
        kill(pid, SIGKILL);
        r.timed_out = true;
      }
      // After the kill only the pipes can still hold us; give up on them.
      close_fd(&in_fd);
      close_fd(&out_fd);
      close_fd(&err_fd);
      break;
    }
    if (poll(p, static_cast<nfds_t>(n), left) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (i_in >= 0 && (p[i_in].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      const ssize_t w = write(in_fd, in.data() + fed, in.size() - fed);
      if (w > 0) fed += static_cast<std::size_t>(w);
      if ((w < 0 && errno != EINTR && errno != EAGAIN) || fed == in.size()) close_fd(&in_fd);
    }
    if (i_out >= 0 && (p[i_out].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
      drain_into(&out_fd, &r.out);
    if (i_err >= 0 && (p[i_err].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
      drain_into(&err_fd, &r.err);
    if (i_pid >= 0 && (p[i_pid].revents & POLLIN) != 0) exited = true;
  }
  close_fd(&in_fd);
  close_fd(&pfd);
  int st = 0;
  struct rusage ru = {};
  while (wait4(pid, &st, 0, &ru) < 0 && errno == EINTR) {
  }
  r.cpu_ms = tv_ms(ru.ru_utime) + tv_ms(ru.ru_stime);
  if (WIFEXITED(st)) {
    r.status = WEXITSTATUS(st);
  } else if (WIFSIGNALED(st)) {
    r.signal = WTERMSIG(st);
  }
  return r;
}

}  // namespace

bool proc_windows() { return getenv("SENS_TEST_WINDOWS") != nullptr; }

bool proc_ended_by(const proc_result &r, int sig) {
  return r.signal == sig || (proc_windows() && sig == SIGINT && r.status == 58) ||
         (getenv("SENS_TEST_QEMU") != nullptr && r.status == 1 && r.err.empty());
}

proc_result proc_run(const std::vector<std::string> &argv, const proc_opts &opts) {
  const struct timespec t0 = rig_now();
  const struct timespec end = rig_in_ms(rig_scaled_ms(opts.timeout_ms));
  // A child that exits before reading all its input must not kill the test.
  signal(SIGPIPE, SIG_IGN);
  proc_result failed;
  failed.status = 127;
  int pi[2] = {-1, -1};
  if (opts.stdin_path.empty() && pipe2(pi, O_CLOEXEC) != 0) return failed;
  int out = -1, err = -1;
  const pid_t pid = spawn(argv, pi[0], opts.stdin_path.c_str(), &out, &err, opts);
  close_fd(&pi[0]);
  if (pid < 0) {
    close_fd(&pi[1]);
    return failed;
  }
  if (pi[1] >= 0) fcntl(pi[1], F_SETFL, O_NONBLOCK);
  if (opts.started) opts.started(pid);
  proc_result r = collect(pid, pi[1], opts.in, out, err, end);
  r.wall_ms = rig_ms(t0, rig_now());
  return r;
}

bool proc_start(proc_bg *p, const std::vector<std::string> &argv) {
  p->pid = spawn(argv, -1, "/dev/null", &p->out, &p->err);
  return p->pid > 0;
}

bool proc_read_line(proc_bg *p, std::string *line, int timeout_ms) {
  const struct timespec end = rig_in_ms(rig_scaled_ms(timeout_ms));
  line->clear();
  for (int left; (left = ms_left(end)) > 0;) {
    struct pollfd pf = {p->out, POLLIN, 0};
    if (poll(&pf, 1, left) <= 0) continue;
    char c;
    if (read(p->out, &c, 1) != 1) return false;
    if (c == '\n') return true;
    *line += c;
  }
  return false;
}

proc_result proc_stop(proc_bg *p, int sig, int timeout_ms) {
  if (p->pid <= 0) return {};
  kill(p->pid, sig);
  proc_result r = collect(p->pid, -1, "", p->out, p->err, rig_in_ms(rig_scaled_ms(timeout_ms)));
  p->pid = p->out = p->err = -1;
  return r;
}

proc_bg::~proc_bg() {
  if (pid > 0) proc_stop(this, SIGKILL, 5000);
}
