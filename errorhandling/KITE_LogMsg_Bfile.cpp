// SPDX-License-Identifier: MIT
#include "errorhandling/KITE_LogMsg_Bfile.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "errorhandling/KITE_LogMsg_Sys.h"
#include "errorhandling/KITE_LogMsg_Trouble.h"

namespace {

std::string absolute(const char* path) {
  char directory[PATH_MAX];
  if (path[0] == '/' || path[0] == '\0' || !getcwd(directory, sizeof directory)) return path;
  return std::string(directory) + "/" + path;
}

}  // namespace

std::atomic<unsigned> KITE_LogMsg_Bfile::generation_{0};

KITE_LogMsg_Bfile::KITE_LogMsg_Bfile(const char* path)
    : path_(absolute(path)),
      fd_(-1),
      open_error_(0),
      opened_generation_(0),
      trouble_(std::make_unique<KITE_LogMsg_Trouble>("file " + path_)) {
  open_file();
}

unsigned long KITE_LogMsg_Bfile::failures() const {
  return trouble_->failures();
}

KITE_LogMsg_Bfile::~KITE_LogMsg_Bfile() {
  if (fd_ >= 0) close(fd_);
}

void KITE_LogMsg_Bfile::open_file() {
  opened_generation_ = generation_.load(std::memory_order_relaxed);
  if (fd_ >= 0) close(fd_);
  fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
  open_error_ = fd_ < 0 ? errno : 0;
}

void KITE_LogMsg_Bfile::write(int, const char* buffer, int len) {
  if (fd_ < 0 || opened_generation_ != generation_.load(std::memory_order_relaxed)) open_file();
  if (fd_ < 0) {
    trouble_->failed("cannot open it", open_error_, "lines are lost until it opens again");
    return;
  }
  iovec line = {const_cast<char*>(buffer), static_cast<size_t>(len)};
  if (int error = KITE_LogMsg_Sys::write_all(fd_, &line, 1))
    trouble_->failed("write failed", error, "lines are lost until a write works again");
  else
    trouble_->worked();
}
