// SPDX-License-Identifier: MIT
#include "errorhandling/KITE_LogMsg_Bfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "errorhandling/KITE_LogMsg_FileHead.h"
#include "errorhandling/KITE_LogMsg_Sys.h"
#include "errorhandling/KITE_LogMsg_Trouble.h"

namespace {

std::string absolute(const char* path) {
  char directory[PATH_MAX];
  if (path[0] == '/' || path[0] == '\0' || !getcwd(directory, sizeof directory)) return path;
  return std::string(directory) + "/" + path;
}

// A FIFO or socket: a write to it waits while its reader lags.
bool waits_for_reader(mode_t mode) {
  return S_ISFIFO(mode) || S_ISSOCK(mode);
}

// Opens path to append lines; returns 0 and sets fd, or returns the errno of what failed.
// O_NONBLOCK: a FIFO without reader would make open() wait for one; it is refused, like
// every file that waits for a reader. A descriptor below 3 (the process started with
// standard streams closed) moves up, or whatever is written to that stream lands here too.
int open_for_lines(const char* path, int& fd) {
  int opened = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0640);
  struct stat status;
  if (opened < 0) {
    const int error = errno;
    return error == ENXIO && stat(path, &status) == 0 && waits_for_reader(status.st_mode)
               ? EWOULDBLOCK
               : error;
  }
  int error = fstat(opened, &status) != 0        ? errno
              : waits_for_reader(status.st_mode) ? EWOULDBLOCK
                                                 : 0;
  if (!error && opened <= 2) {
    const int moved = fcntl(opened, F_DUPFD_CLOEXEC, 3);
    error = moved < 0 ? errno : 0;
    close(opened);
    opened = moved;
  }
  if (error) {
    if (opened >= 0) close(opened);
    return error;
  }
  fd = opened;
  return 0;
}

}  // namespace

std::atomic<unsigned> KITE_LogMsg_Bfile::generation_{0};

KITE_LogMsg_Bfile::KITE_LogMsg_Bfile(const char* path, Form form)
    : path_(absolute(path)),
      fd_(-1),
      open_error_(0),
      opened_generation_(0),
      head_(form == STAMPED ? std::make_unique<KITE_LogMsg_FileHead>() : nullptr),
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
  fd_ = -1;
  open_error_ = open_for_lines(path_.c_str(), fd_);
}

void KITE_LogMsg_Bfile::write(int priority, const char* buffer, int len) {
  if (!passes(priority)) return;
  if (fd_ < 0 || opened_generation_ != generation_.load(std::memory_order_relaxed)) open_file();
  if (fd_ < 0) {
    trouble_->failed("cannot open it", open_error_, "lines are lost until it opens again");
    return;
  }
  const std::string* head = head_ ? &head_->head(priority) : nullptr;
  if (int error = KITE_LogMsg_Sys::write_lines(fd_, head ? head->data() : nullptr,
                                               head ? head->size() : 0, buffer, len))
    trouble_->failed("write failed", error, "lines are lost until a write works again");
  else
    trouble_->worked();
}
