// SPDX-License-Identifier: MIT
// Captures what the process writes to standard output and standard error for the life of the
// object: descriptors 1 and 2, and with them what the C and C++ streams flush into them, so a
// test sees exactly the bytes a backend or the output module wrote.
//
//   kite_test::OutputCapture capture;
//   output::message("ready");
//   EXPECT_EQ(capture.out(), "prog[C++]:: Message: ready\n");
//
// Keep the scope narrow: a test's own failure messages written inside it are captured too.
#ifndef KITE_TESTS_SUPPORT_CAPTURE_H
#define KITE_TESTS_SUPPORT_CAPTURE_H

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

namespace kite_test {

class OutputCapture {
 public:
  enum StandardError { kRecorded, kRefused };

  // kRefused: standard error refuses every write, as a broken destination would.
  explicit OutputCapture(StandardError standard_error = kRecorded)
      : out_(1, temporary_file()),
        err_(2, standard_error == kRecorded ? temporary_file() : open("/dev/null", O_RDONLY)) {}
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  std::string out() const { return out_.text(); }
  std::string err() const { return err_.text(); }

 private:
  static void flush_streams() {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
  }

  static int temporary_file() {
    char path[] = "/tmp/kite-capture-XXXXXX";
    const int fd = mkstemp(path);
    unlink(path);
    return fd;
  }

  // Descriptor fd pointed at target until the end of the scope.
  class Redirect {
   public:
    Redirect(int fd, int target) : fd_(fd), saved_(dup(fd)), target_(target) {
      flush_streams();
      dup2(target_, fd_);
    }
    ~Redirect() {
      flush_streams();
      dup2(saved_, fd_);
      close(saved_);
      close(target_);
    }
    Redirect(const Redirect&) = delete;
    Redirect& operator=(const Redirect&) = delete;

    std::string text() const {
      flush_streams();
      std::string text;
      char buffer[4096];
      ssize_t n;
      for (off_t at = 0; (n = pread(target_, buffer, sizeof buffer, at)) > 0; at += n)
        text.append(buffer, static_cast<size_t>(n));
      return text;
    }

   private:
    int fd_;
    int saved_;
    int target_;
  };

  Redirect out_;
  Redirect err_;
};

}  // namespace kite_test

#endif
