// The system's side of the page's server on Linux.
#include "system.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

/// The entries of dir whose names begin with prefix, as paths, sorted.
std::vector<std::string> entries(const std::string &dir, const std::string &prefix) {
  std::vector<std::string> v;
  std::error_code ec;  // a directory that is not there lists nothing
  for (std::filesystem::directory_iterator i(dir, ec), end; !ec && i != end; i.increment(ec)) {
    const std::string name = i->path().filename().string();
    if (name.rfind(prefix, 0) == 0) v.push_back(dir + "/" + name);
  }
  // ttyS10 after ttyS9.
  std::sort(v.begin(), v.end(), [](const std::string &a, const std::string &b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  return v;
}

bool exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

}  // namespace

bool ui_random(void *buf, std::size_t n) {
  auto *p = static_cast<unsigned char *>(buf);
  while (n > 0) {
    const ssize_t got = getrandom(p, n, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

std::vector<std::string> ui_serial_ports() {
  std::vector<std::string> ports = entries("/dev/serial/by-id", "");
  for (const char *prefix : {"ttyUSB", "ttyACM"})
    for (const std::string &p : entries("/dev", prefix)) ports.push_back(p);
  // The kernel keeps ttyS names for ports it never found; one with a device
  // behind it in sysfs is there.
  for (const std::string &p : entries("/dev", "ttyS"))
    if (exists("/sys/class/tty/" + p.substr(5) + "/device/driver")) ports.push_back(p);
  return ports;
}

bool ui_open_browser(const std::string &url) {
  std::string opener;
  const char *path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  for (std::size_t at = 0; at <= dirs.size() && opener.empty();) {
    const std::size_t end = std::min(dirs.find(':', at), dirs.size());
    const std::string candidate = dirs.substr(at, end - at) + "/xdg-open";
    if (access(candidate.c_str(), X_OK) == 0) opener = candidate;
    at = end + 1;
  }
  if (opener.empty()) return false;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  // The browser's chatter is not ours to show, nor may it read our input.
  for (int fd = 0; fd <= 2; ++fd)
    posix_spawn_file_actions_addopen(&fa, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // A new process group: Ctrl-C at the terminal is for sens, not for a browser it started.
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  char *argv[] = {const_cast<char *>(opener.c_str()), const_cast<char *>(url.c_str()), nullptr};
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, opener.c_str(), &fa, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return false;
  // xdg-open ends once the browser is on its way; nobody else waits for it.
  std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
  return true;
}

void ui_listen_options(std::uintptr_t sock) {
  // SO_REUSEADDR alone: SO_REUSEPORT would let two runs share the port, and
  // the kernel would hand each page's requests to either of them.
  const int yes = 1;
  setsockopt(static_cast<int>(sock), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}
