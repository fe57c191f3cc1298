#include "tmp.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

tmp_dir::tmp_dir() {
  char t[] = "/tmp/sens-test-XXXXXX";
  if (mkdtemp(t) == nullptr) {
    fprintf(stderr, "tmp_dir: mkdtemp: %s\n", strerror(errno));
    abort();
  }
  path = t;
}

tmp_dir::~tmp_dir() {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

std::string slurp(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}
