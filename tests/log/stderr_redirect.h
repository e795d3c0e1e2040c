// SPDX-License-Identifier: MIT
// Points file descriptor 2 somewhere else for the lifetime of the object, so tests can see
// exactly what the standard-error backend writes.
#ifndef KITE_TESTS_LOG_STDERR_REDIRECT_H
#define KITE_TESTS_LOG_STDERR_REDIRECT_H

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace kite_test {

class StderrRedirect {
 public:
  // To an anonymous temporary file whose contents text() returns.
  StderrRedirect() : StderrRedirect(temporary_file()) {}
  ~StderrRedirect() {
    dup2(saved_, 2);
    close(saved_);
    close(target_);
  }
  StderrRedirect(const StderrRedirect&) = delete;
  StderrRedirect& operator=(const StderrRedirect&) = delete;

  // To a descriptor that refuses every write.
  static StderrRedirect unwritable() { return StderrRedirect(open("/dev/null", O_RDONLY)); }

  std::string text() const {
    std::string text;
    char buffer[4096];
    ssize_t n;
    for (off_t at = 0; (n = pread(target_, buffer, sizeof buffer, at)) > 0; at += n)
      text.append(buffer, static_cast<size_t>(n));
    return text;
  }

 private:
  explicit StderrRedirect(int target) : saved_(dup(2)), target_(target) { dup2(target_, 2); }

  static int temporary_file() {
    char path[] = "/tmp/kite_stderr_XXXXXX";
    int fd = mkstemp(path);
    unlink(path);
    return fd;
  }

  int saved_;
  int target_;
};

}  // namespace kite_test

#endif
