// SPDX-License-Identifier: MIT
// Collects what the output module writes to std::cout and std::cerr while it lives.
#ifndef KITE_TESTS_OUTPUT_CAPTURE_H
#define KITE_TESTS_OUTPUT_CAPTURE_H

#include <iostream>
#include <sstream>
#include <string>

class Capture {
 public:
  Capture() : old_out_(std::cout.rdbuf(out_.rdbuf())), old_err_(std::cerr.rdbuf(err_.rdbuf())) {}
  ~Capture() {
    std::cout.rdbuf(old_out_);
    std::cerr.rdbuf(old_err_);
  }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  std::string out() const { return out_.str(); }
  std::string err() const { return err_.str(); }

 private:
  std::ostringstream out_;
  std::ostringstream err_;
  std::streambuf* old_out_;
  std::streambuf* old_err_;
};

#endif
