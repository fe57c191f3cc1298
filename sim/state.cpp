#include "state.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lnsim.h"

namespace {

std::string sys_error(const char *what, const std::string &path) {
  return sim_sys_error(std::string(what) + " " + path, errno);
}

void skip_blanks(const char **p) {
  while (**p == ' ' || **p == '\t' || **p == '\r') ++*p;
}

/// Parses one line; null when it is a sens line, else what is wrong with it.
const char *parse_line(const char *p, u16 *addr, sim_cvs_t *cvs) {
  unsigned long v;
  skip_blanks(&p);
  if (!sim_read_num(&p, 0xFFFF, &v)) return "bad module address";
  *addr = static_cast<u16>(v);
  skip_blanks(&p);
  if (*p++ != ':') return "colon after address is missing";
  for (u16 &cv : *cvs) {
    skip_blanks(&p);
    if (!sim_read_num(&p, 0xFFFF, &v)) return "bad or missing value";
    cv = static_cast<u16>(v);
  }
  skip_blanks(&p);
  return *p != '\0' ? "trailing garbage" : nullptr;
}

bool write_all(int fd, const std::string &text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::string sim_sys_error(const std::string &what, int e) {
  char buf[128];
  // The GNU strerror_r: thread-safe, returns the text (not always in buf).
  return what + ": " + strerror_r(e, buf, sizeof buf) + " (errno: " + std::to_string(e) + ")";
}

bool sim_read_num(const char **p, unsigned long max, unsigned long *out) {
  const char *q = *p;
  unsigned long v = 0;
  for (; *q >= '0' && *q <= '9'; ++q) {
    v = v * 10 + static_cast<unsigned long>(*q - '0');
    if (v > max) return false;
  }
  if (q == *p) return false;
  *p = q;
  *out = v;
  return true;
}

sim_cvs_t sim_pattern(u16 addr) {
  sim_cvs_t cvs;
  for (unsigned i = 0; i < cvs.size(); ++i) cvs[i] = static_cast<u16>((addr * 16u + i) & 0xFF);
  return cvs;
}

bool sim_state_parse(const std::string &text, sim_state_t *out, std::string *err) {
  sim_state_t st;
  unsigned line_no = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++line_no;
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    u16 addr;
    sim_cvs_t cvs;
    const char *why =
        line.find('\0') != std::string::npos ? "NUL byte" : parse_line(line.c_str(), &addr, &cvs);
    if (why == nullptr && !st.emplace(addr, cvs).second) why = "module listed twice";
    if (why != nullptr) {
      *err = "line " + std::to_string(line_no) + ": " + why;
      return false;
    }
  }
  *out = std::move(st);
  return true;
}

std::string sim_state_format(const sim_state_t &st) {
  std::string text;
  for (const auto &[addr, cvs] : st) {
    text += std::to_string(addr) + ":";
    for (u16 v : cvs) text += " " + std::to_string(v);
    text += "\r\n";
  }
  return text;
}

bool sim_state_load(const std::string &path, sim_state_t *out, std::string *err) {
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr) {
    if (errno != ENOENT) return *err = sys_error("Can't open state file", path), false;
    out->clear();
    return true;
  }
  std::string text;
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  const bool bad = ferror(f) != 0;
  fclose(f);
  if (bad) return *err = "Can't read state file " + path, false;
  std::string why;
  if (!sim_state_parse(text, out, &why)) return *err = "Bad state file " + path + ", " + why, false;
  return true;
}

bool sim_state_save(const std::string &path, const sim_state_t &st, std::string *err) {
  // The temporary file lives beside path: rename() is atomic only within
  // one file system.
  std::string tmp = path + ".XXXXXX";
  const int fd = mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) return *err = sys_error("Can't create temporary file for", path), false;
  bool ok = write_all(fd, sim_state_format(st)) && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
  if (!ok) *err = sys_error("Can't write", tmp);
  if (close(fd) != 0 && ok) {
    ok = false;
    *err = sys_error("Can't write", tmp);
  }
  if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
    ok = false;
    *err = sys_error("Can't rename to", path);
  }
  if (!ok) {
    unlink(tmp.c_str());
    return false;
  }
  // The rename itself is durable only once the directory is synced.
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return *err = sys_error("Can't open directory", dir), false;
  const bool synced = fsync(dfd) == 0;
  if (!synced) *err = sys_error("Can't sync directory", dir);
  close(dfd);
  return synced;
}

bool sim_parse_list(const char *text, std::vector<u16> *out) {
  std::vector<u16> got;
  const char *p = text;
  do {
    unsigned long first, last;
    if (!sim_read_num(&p, 0xFFFF, &first)) return false;
    last = first;
    if (*p == '-' && (++p, !sim_read_num(&p, 0xFFFF, &last))) return false;
    if (last < first) return false;
    for (unsigned long a = first; a <= last; ++a) got.push_back(static_cast<u16>(a));
  } while (*p++ == ',');
  if (p[-1] != '\0') return false;
  out->insert(out->end(), got.begin(), got.end());
  return true;
}
