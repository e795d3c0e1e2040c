// SPDX-License-Identifier: MIT
// _exit for a child that a test program forked: in a coverage build the child writes its
// coverage counts first (a plain _exit skips them, exit() would run the parent's clean-up).
// A program that uses it is built with KITE_TEST_COVERAGE in a coverage build.
//
//   if (fork() == 0) { code_under_test(); kite_test::child_exit(0); }
#ifndef KITE_TESTS_SUPPORT_CHILD_EXIT_H
#define KITE_TESTS_SUPPORT_CHILD_EXIT_H

#include <unistd.h>

#ifdef KITE_TEST_COVERAGE
extern "C" void __gcov_dump();
#endif

namespace kite_test {

[[noreturn]] inline void child_exit(int status) {
#ifdef KITE_TEST_COVERAGE
  __gcov_dump();
#endif
  _exit(status);
}

}  // namespace kite_test

#endif
