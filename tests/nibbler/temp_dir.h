// SPDX-License-Identifier: MIT
// A private directory for test files, removed with everything in it at the end of scope.
#ifndef KITE_TESTS_NIBBLER_TEMP_DIR_H
#define KITE_TESTS_NIBBLER_TEMP_DIR_H

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

class TempDir {
 public:
  TempDir() {
    std::string pattern = testing::TempDir() + "nibbler-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string path(const std::string& name) const { return path_ + "/" + name; }

  // Writes bytes to a new file name and returns its path.
  std::string file(const std::string& name, const std::string& bytes) const {
    return file_at(name, bytes, 0, bytes.size());
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

 private:
  std::string path_;
};

#endif
