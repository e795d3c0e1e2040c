// SPDX-License-Identifier: MIT
#include "errorhandling/KITE_LogMsg_Sys.h"

#include <errno.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "errorhandling/KITE_LogMsg_BackendMgr.h"

namespace KITE_LogMsg_Sys {

namespace {

// Writes all count buffers of iov to fd; changes iov. Returns 0 or the errno of the write
// that failed.
KITE_LOG_INLINE int write_all(int fd, iovec* iov, int count) {
  for (;;) {
    while (count > 0 && iov->iov_len == 0) ++iov, --count;
    if (count == 0) return 0;
    // One buffer (every line but a prefixed one) goes with write(2): the same result, and
    // cheaper than writev(2), which first copies the vector in.
    ssize_t written =
        count == 1 ? ::write(fd, iov->iov_base, iov->iov_len) : ::writev(fd, iov, count);
    if (written < 0 && errno == EINTR) continue;  // a signal came before any byte went out
    if (written < 0) return errno;
    if (written == 0) return EIO;  // nothing taken from a nonempty write: never spin on it
    size_t left = static_cast<size_t>(written);
    for (; count > 0 && left >= iov->iov_len; ++iov, --count) left -= iov->iov_len;
    if (count == 0) return 0;
    iov->iov_base = static_cast<char*>(iov->iov_base) + left;  // the rest of a part taken
    iov->iov_len -= left;
  }
}

}  // namespace

int write_lines(int fd, const char* prefix, size_t prefix_len, const char* text, int len) {
  if (len <= 0) return 0;
  static char newline[] = "\n";
  const char* const end = text + len;
  iovec parts[64];
  const int room = static_cast<int>(sizeof parts / sizeof parts[0]) - 1;  // and the newline
  int count = 0;
  if (prefix_len == 0) {
    parts[count++] = {const_cast<char*>(text), static_cast<size_t>(len)};
  } else {
    for (const char* line = text; line < end;) {
      const char* stop = static_cast<const char*>(std::memchr(line, '\n', end - line));
      const char* next = stop ? stop + 1 : end;
      if (count + 2 > room) {
        if (int error = write_all(fd, parts, count)) return error;
        count = 0;
      }
      parts[count++] = {const_cast<char*>(prefix), prefix_len};
      parts[count++] = {const_cast<char*>(line), static_cast<size_t>(next - line)};
      line = next;
    }
  }
  if (end[-1] != '\n') parts[count++] = {newline, 1};
  return write_all(fd, parts, count);
}

int socket_error(const char* path) {
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path) >=
      static_cast<int>(sizeof address.sun_path))
    return ENAMETOOLONG;
  int error = EPROTOTYPE;
  for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
    int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    error = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
    ::close(fd);
    if (error != EPROTOTYPE) break;
  }
  return error;
}

const char* identity() {
  const char* name = KITE_LogMsg_Stamp::current().progname;
  if (std::strcmp(name, "<unknown>") == 0) return program_invocation_short_name;
  const char* slash = std::strrchr(name, '/');
  return slash ? slash + 1 : name;
}

int level(int priority) {
  return priority < 0 ? 0 : priority > 7 ? 7 : priority;
}

namespace {

std::atomic<pid_t> known_pid{0};  // 0: ask the system

// Registered as the library is loaded, for the reason KITE_LogMsg_Stamp::thread_id() gives.
const bool pid_forgotten_at_fork =
    pthread_atfork(nullptr, nullptr, [] { known_pid.store(0, std::memory_order_relaxed); }) == 0;

}  // namespace

pid_t process_id() {
  pid_t pid = known_pid.load(std::memory_order_relaxed);
  if (pid == 0) {
    pid = getpid();
    if (pid_forgotten_at_fork) known_pid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

}  // namespace KITE_LogMsg_Sys
