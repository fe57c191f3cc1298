// Scratch files for tests and benchmarks.
#pragma once

#include <string>

/// A new private directory under /tmp, named by mkdtemp so that it never meets
/// one another run left, and removed with all it holds when the record goes.
/// A directory that cannot be made ends the process.
struct tmp_dir {
  std::string path;

  tmp_dir();
  ~tmp_dir();
  tmp_dir(const tmp_dir &) = delete;
  tmp_dir &operator=(const tmp_dir &) = delete;
};

/// The whole content of the file at path; empty when it cannot be read.
std::string slurp(const std::string &path);
