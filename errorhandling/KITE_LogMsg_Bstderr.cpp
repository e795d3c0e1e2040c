// SPDX-License-Identifier: MIT
#include "errorhandling/KITE_LogMsg_Bstderr.h"

#include <sys/stat.h>

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
  if (!passes(priority)) return;
  if (!journal_stream_) {
    put(buffer, len);
    return;
  }
  const char prefix[3] = {'<', static_cast<char>('0' + KITE_LogMsg_Sys::level(priority)), '>'};
  KITE_LogMsg_Sys::write_lines(2, prefix, sizeof prefix, buffer, len);
}

void KITE_LogMsg_Bstderr::put(const char* buffer, int len) {
  KITE_LogMsg_Sys::write_lines(2, nullptr, 0, buffer, len);
}
