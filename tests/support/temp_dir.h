// SPDX-License-Identifier: MIT
// A private directory for test files (mode 0700), removed with everything in it at the end
// of its scope.
#ifndef KITE_TESTS_SUPPORT_TEMP_DIR_H
#define KITE_TESTS_SUPPORT_TEMP_DIR_H

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace kite_test {

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/kite-test-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string path(const std::string& name) const { return path_ + "/" + name; }

  // Writes bytes to a new file name and returns its path.
  std::string file(const std::string& name, const std::string& bytes) const {
    return file_at(name, bytes, 0, static_cast<off_t>(bytes.size()));
  }

  // A file of file_size bytes, zero (and sparse) apart from bytes written at offset.
  std::string file_at(const std::string& name, const std::string& bytes, off_t offset,
                      off_t file_size) const {
    const std::string p = path(name);
    const int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const bool ok =
        fd >= 0 && ftruncate(fd, file_size) == 0 &&
        pwrite(fd, bytes.data(), bytes.size(), offset) == static_cast<ssize_t>(bytes.size());
    if (fd >= 0) close(fd);
    if (!ok) throw std::runtime_error("cannot write " + p);
    return p;
  }

  // The contents of the file name, empty when there is none.
  std::string read(const std::string& name) const {
    std::ifstream in(path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  std::string path_;
};

}  // namespace kite_test

#endif
