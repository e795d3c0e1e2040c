// SPDX-License-Identifier: MIT
#include "errorhandling/KITE_LogMsg_Bjournal.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "errorhandling/KITE_LogMsg_Sys.h"
#include "errorhandling/KITE_LogMsg_Trouble.h"

namespace {

// One field of the native protocol: "NAME=value\n", or, for a value that holds a newline,
// "NAME\n", the value's length as 64-bit little-endian, the value and "\n".
void add(std::string& entry, const char* name, const char* value, size_t length) {
  entry.append(name);
  if (std::memchr(value, '\n', length) == nullptr) {
    entry.append(1, '=').append(value, length).append(1, '\n');
    return;
  }
  entry.append(1, '\n');
  for (int byte = 0; byte < 8; ++byte) entry.append(1, static_cast<char>(length >> (8 * byte)));
  entry.append(value, length).append(1, '\n');
}

void add(std::string& entry, const char* name, const char* value) {
  add(entry, name, value, std::strlen(value));
}

void add(std::string& entry, const char* name, long number) {
  char digits[24];
  add(entry, name, digits,
      static_cast<size_t>(std::to_chars(digits, digits + sizeof digits, number).ptr - digits));
}

}  // namespace

KITE_LogMsg_Bjournal::KITE_LogMsg_Bjournal()
    : open_error_(KITE_LogMsg_Sys::socket_error(SOCKET_PATH)),
      fd_(-1),
      trouble_(std::make_unique<KITE_LogMsg_Trouble>("journal")) {}

KITE_LogMsg_Bjournal::~KITE_LogMsg_Bjournal() {
  if (fd_ >= 0) close(fd_);
}

void KITE_LogMsg_Bjournal::write(int priority, const char* buffer, int len) {
  if (!passes(priority)) return;
  if (open_error_) {
    trouble_->failed("nothing listens at its socket", open_error_, "lines go to standard error");
  } else if (int error = send(priority, buffer, len)) {
    trouble_->failed("sending failed", error,
                     "lines go to standard error until the journal takes one again");
  } else {
    trouble_->worked();
    return;
  }
  stderr_.write(priority, buffer, len);
}

// Returns 0 or the errno of the failed send.
int KITE_LogMsg_Bjournal::send(int priority, const char* buffer, int len) {
  if (buffer[len - 1] == '\n') --len;
  entry_.clear();
  add(entry_, "MESSAGE", buffer, static_cast<size_t>(len));
  add(entry_, "PRIORITY", static_cast<long>(KITE_LogMsg_Sys::level(priority)));
  add(entry_, "SYSLOG_IDENTIFIER", KITE_LogMsg_Sys::identity());
  add(entry_, "TID", static_cast<long>(KITE_LogMsg_Stamp::current().tid));
  if (const KITE_LogMsg_Origin* origin = KITE_LogMsg_Origin::current()) {
    add(entry_, "CODE_FILE", origin->file);
    add(entry_, "CODE_LINE", static_cast<long>(origin->line));
    if (origin->errnum != 0) add(entry_, "ERRNO", static_cast<long>(origin->errnum));
  }
  static const sockaddr_un journal = [] {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", SOCKET_PATH);
    return address;
  }();
  if (fd_ < 0 && (fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) < 0) return errno;
  for (;;) {
    if (sendto(fd_, entry_.data(), entry_.size(), MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&journal), sizeof journal) >= 0)
      return 0;
    if (errno != EINTR) return errno;
  }
}
