// SPDX-License-Identifier: MIT
#include "nibbler/Error.h"

#include <cerrno>
#include <cstring>

Error::Error() {
  std::strcpy(errmsg, "Unknown");
}

Error::Error(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  BOLT::fill_errmsg(errmsg, fmt, args);
  va_end(args);
}

Systemerror::Systemerror(int err, const char* pcall, const char* msg, ...) : Error() {
  va_list args;
  va_start(args, msg);
  init(err, pcall, msg, args);
  va_end(args);
}

void Systemerror::init(int err, const char* pcall, const char* msg, va_list args) {
  icall = pcall;
  errnr = err;
  // The C library's own %m conversion prints strerror(errno) as plain text. With errno
  // set to err, every "%m" in msg reads as err's text, wherever it stands, and a '%'
  // in that text is printed as it is instead of being parsed as a conversion.
  const int saved = errno;
  errno = err;
  BOLT::fill_errmsg(errmsg, msg, args);
  errno = saved;
}
