// SPDX-License-Identifier: MIT
// The check of a fuzz target: a property that does not hold ends the run with its name on
// standard error, and libFuzzer keeps the input that broke it.
#ifndef KITE_TESTS_SUPPORT_FUZZ_CHECK_H
#define KITE_TESTS_SUPPORT_FUZZ_CHECK_H

#include <errno.h>

#include <cstdio>
#include <cstdlib>

namespace kite_test {

inline void fuzz_check(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, property);
  std::abort();
}

}  // namespace kite_test

#endif
