// SPDX-License-Identifier: MIT
#include "errorhandling/KITE_LogMsg_Bstderr.h"

#include <unistd.h>

#include <cerrno>

void KITE_LogMsg_Bstderr::write(int, const char* buffer, int len) {
  put(buffer, len);
}

KITE_LogMsg_Bstderr::~KITE_LogMsg_Bstderr() = default;

void KITE_LogMsg_Bstderr::put(const char* buffer, int len) {
  while (len > 0) {
    ssize_t written = ::write(2, buffer, static_cast<size_t>(len));
    if (written < 0 && errno == EINTR) continue;  // a signal arrived before any byte went out
    if (written <= 0) return;
    buffer += written;
    len -= static_cast<int>(written);
  }
}
