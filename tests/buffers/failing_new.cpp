// SPDX-License-Identifier: MIT
#include "failing_new.h"

#include <cstddef>
#include <new>

std::atomic<bool> fail_next_nothrow_new{false};

// Replaces the global nothrow form for this test program only. It allocates through the
// throwing form, so the ordinary operator delete still matches.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  if (fail_next_nothrow_new.exchange(false)) return nullptr;
  try {
    return ::operator new(n);
  } catch (...) {
    return nullptr;
  }
}
