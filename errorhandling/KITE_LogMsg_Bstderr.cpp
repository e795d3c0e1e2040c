// SPDX-License-Identifier: MIT
#include "errorhandling/KITE_LogMsg_Bstderr.h"

#include <sys/stat.h>
#include <sys/uio.h>

#include <cstdio>
#include <cstdlib>

#include "errorhandling/KITE_LogMsg_Sys.h"

namespace {

bool stderr_is_journal_stream() {
  const char* names = std::getenv("JOURNAL_STREAM");
  unsigned long long device, inode;
  char rest;
  struct stat status;
  return names && std::sscanf(names, "%llu:%llu%c", &device, &inode, &rest) == 2 &&
         fstat(2, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

}  // namespace

KITE_LogMsg_Bstderr::KITE_LogMsg_Bstderr() : journal_stream_(stderr_is_journal_stream()) {}

KITE_LogMsg_Bstderr::~KITE_LogMsg_Bstderr() = default;

void KITE_LogMsg_Bstderr::write(int priority, const char* buffer, int len) {
  if (!journal_stream_ || priority < 0 || priority > 7) {
    put(buffer, len);
    return;
  }
  // Only 0 to 7: the journal would read a larger number as facility and level.
  char prefix[3] = {'<', static_cast<char>('0' + priority), '>'};
  iovec parts[2] = {{prefix, sizeof prefix}, {const_cast<char*>(buffer), static_cast<size_t>(len)}};
  KITE_LogMsg_Sys::write_all(2, parts, 2);
}

void KITE_LogMsg_Bstderr::put(const char* buffer, int len) {
  if (len <= 0) return;
  iovec line = {const_cast<char*>(buffer), static_cast<size_t>(len)};
  KITE_LogMsg_Sys::write_all(2, &line, 1);
}
