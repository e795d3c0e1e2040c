#include "nibbler/SliceLoad.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "BOLT/system_specific.h"

namespace {

const size_t page_size = size_t(1) << LPAGESIZE;

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

// Reads until count bytes are in or the file ends: a pipe hands over what it holds at
// the moment, and a short read there is no end of data.
ssize_t read_fully(int fd, char* buf, size_t count) {
  size_t got = 0;
  while (got < count) {
    ssize_t n = read(fd, buf + got, count - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return n;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

}  // namespace

SliceLoad::SliceLoad() : fileoffset_(0), segoffset_(0), seg_() {
  std::memset(puffer, 0, sizeof puffer);
}

void SliceLoad::load(const char* filename, off_t off, size_t size) {
  int fd;
  do fd = open(filename, O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) throw Systemerror(errno, "open", "SliceLoad::load: Can't open %s: %m", filename);
  FileCloser closer(fd);

  fileoffset_ = off & ~OFFSETMASK;
  segoffset_ = off & OFFSETMASK;
  if (fileoffset_ != 0 && lseek(fd, fileoffset_, SEEK_SET) == -1)
    throw Systemerror(errno, "lseek", "SliceLoad::load: lseek(%s,%lx):%m", filename,
                      shown(fileoffset_));

  ssize_t nr = read_fully(fd, puffer, page_size);
  if (nr < 0)
    throw Systemerror(errno, "read", "SliceLoad::load: read(%s,%d) at %lx:%m", filename,
                      static_cast<int>(page_size), shown(fileoffset_));

  const size_t avail = static_cast<size_t>(nr);
  const size_t start = static_cast<size_t>(segoffset_);
  if (avail < start || avail - start < size)
    throw Error("SliceLoad::load: read only %ld bytes after offset %lx",
                static_cast<long>(nr - segoffset_), shown(fileoffset_));

  // size fits: start + size <= nr <= 4096.
  seg_.init(puffer + segoffset_, static_cast<unsigned int>(size));
}
