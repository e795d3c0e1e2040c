// SPDX-License-Identifier: MIT
#include "support/failing_new.h"

#include <cstddef>
#include <new>

namespace kite_test {

std::atomic<long> nothrow_new_calls{0};

namespace {
std::atomic<int> countdown{-1};  // -1: fail none
}

void fail_nothrow_new_after(int n) {
  countdown = n;
}

}  // namespace kite_test

namespace {

// Counts the allocation and tells whether it is the one to fail.
bool fails_now() {
  ++kite_test::nothrow_new_calls;
  int left = kite_test::countdown.load();
  while (left >= 0 && !kite_test::countdown.compare_exchange_weak(left, left - 1)) {
  }
  return left == 0;
}

}  // namespace

// Each allocates through its throwing form, so the ordinary delete of that form matches.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  if (fails_now()) return nullptr;
  try {
    return ::operator new(n);
  } catch (...) {
    return nullptr;
  }
}

void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  if (fails_now()) return nullptr;
  try {
    return ::operator new[](n);
  } catch (...) {
    return nullptr;
  }
}
