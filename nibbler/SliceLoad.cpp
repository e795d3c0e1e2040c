// SPDX-License-Identifier: MIT
#include "nibbler/SliceLoad.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "BOLT/system_specific.h"

namespace {

const size_t kPageSize = size_t(1) << LPAGESIZE;

// Closes the file on every way out of load.
class FileCloser {
 public:
  explicit FileCloser(int fd) : fd_(fd) {}
  ~FileCloser() { close(fd_); }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;

 private:
  int fd_;
};

// Offsets print as "%lx". Within the 32-bit range they show the digits of a 32-bit off_t
// (a negative one as its 32-bit pattern); wider offsets show all their digits.
unsigned long shown(off_t off) {
  if (off >= INT32_MIN && off <= INT32_MAX) return static_cast<uint32_t>(off);
  return static_cast<unsigned long>(off);
}

// Reads up to one page into buf. A regular file fills it in one read; a pipe or a
// terminal hands over only what it holds at the moment, so a short read is repeated
// until need bytes are in or the data ends.
ssize_t read_page(int fd, char* buf, size_t need) {
  size_t got = 0;
  for (;;) {
    const ssize_t n = read(fd, buf + got, kPageSize - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return n;
    got += static_cast<size_t>(n);
    if (n == 0 || got >= need || got == kPageSize) return static_cast<ssize_t>(got);
  }
}

}  // namespace

SliceLoad::SliceLoad() : fileoffset_(0), segoffset_(0), seg_() {
  std::memset(puffer, 0, sizeof puffer);
}

SliceLoad::SliceLoad(const SliceLoad& other) : fileoffset_(0), segoffset_(0), seg_() {
  *this = other;
}

SliceLoad& SliceLoad::operator=(const SliceLoad& other) {
  if (this == &other) return *this;
  std::memcpy(puffer, other.puffer, sizeof puffer);
  fileoffset_ = other.fileoffset_;
  segoffset_ = other.segoffset_;
  // After a failed load segoffset_ no longer tells where the segment lies; its distance
  // from the start of the buffer does.
  if (other.seg_.begin() == nullptr) {
    seg_ = BOLT::Mseg();
  } else {
    const char* begin = static_cast<const char*>(other.seg_.begin());
    seg_.init(puffer + (begin - other.puffer), static_cast<unsigned int>(other.seg_.size()));
  }
  return *this;
}

void SliceLoad::load(const char* filename, off_t off, size_t size) {
  int fd;
  do fd = open(filename, O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) throw Systemerror(errno, "open", "SliceLoad::load: Can't open %s: %m", filename);
  FileCloser closer(fd);

  fileoffset_ = off & ~OFFSETMASK;
  segoffset_ = off & OFFSETMASK;
  if (fileoffset_ != 0) {
    // A negative offset is refused as a regular file's seek refuses it, also on a device
    // that would ignore the seek and read from the start.
    const int error = off < 0 ? EINVAL : lseek(fd, fileoffset_, SEEK_SET) == -1 ? errno : 0;
    if (error != 0)
      throw Systemerror(error, "lseek", "SliceLoad::load: lseek(%s,%lx):%m", filename,
                        shown(fileoffset_));
  }

  const size_t start = static_cast<size_t>(segoffset_);
  const size_t need = size > kPageSize - start ? kPageSize : start + size;
  const ssize_t nr = read_page(fd, puffer, need);
  if (nr < 0)
    throw Systemerror(errno, "read", "SliceLoad::load: read(%s,%d) at %lx:%m", filename,
                      static_cast<int>(kPageSize), shown(fileoffset_));

  const size_t avail = static_cast<size_t>(nr);
  if (avail < start || avail - start < size)
    throw Error("SliceLoad::load: read only %ld bytes after offset %lx",
                static_cast<long>(nr - segoffset_), shown(fileoffset_));

  // The window fits: start + size <= nr <= 4096.
  seg_.init(puffer + segoffset_, static_cast<unsigned int>(size));
}
