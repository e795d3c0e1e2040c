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

// Allocates through the throwing form, so the ordinary operator delete still matches.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  ++kite_test::nothrow_new_calls;
  int left = kite_test::countdown.load();
  while (left >= 0 && !kite_test::countdown.compare_exchange_weak(left, left - 1)) {
  }
  if (left == 0) return nullptr;
  try {
    return ::operator new(n);
  } catch (...) {
    return nullptr;
  }
}

void* operator new[](std::size_t n, const std::nothrow_t& nothrow) noexcept {
  return operator new(n, nothrow);
}
