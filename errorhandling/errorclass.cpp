// SPDX-License-Identifier: MIT
#include "errorhandling/errorclass.h"

namespace {

// A null name prints as "(null)" rather than faulting while an error is being reported.
void fill(BOLT::Errmsg& errmsg, const char* format, const char* file, long line,
          const char* function) {
  BOLT::fill_errmsg(errmsg, format, file ? file : "(null)", line, function ? function : "(null)");
}

}  // namespace

NoMoreDynamicMemory::NoMoreDynamicMemory(const char* file, long line, const char* function) {
  fill(errmsg_, "No more Memory at %s:%ld in %s", file, line, function);
}

NoMoreDynamicMemory::~NoMoreDynamicMemory() = default;

const char* NoMoreDynamicMemory::what() const noexcept {
  return errmsg_;
}

MutexFail::MutexFail(const char* file, long line, const char* function) {
  fill(errmsg_, "Mutex failed at %s:%ld in %s", file, line, function);
}

MutexFail::~MutexFail() = default;

const char* MutexFail::what() const noexcept {
  return errmsg_;
}
