// SPDX-License-Identifier: MIT
// Lets a test make a coming `new (std::nothrow)` (of an object or an array) come back empty,
// as it does when memory runs out, and count such allocations. Add support/failing_new.cpp
// to the test program's sources: it replaces the global nothrow operator new of that program
// only.
#ifndef KITE_TESTS_FAILING_NEW_H
#define KITE_TESTS_FAILING_NEW_H

#include <atomic>

namespace kite_test {

// The next n nothrow allocations succeed and the one after fails, once. A negative n
// fails none.
void fail_nothrow_new_after(int n);

// Nothrow allocations made (successful or not) since the program started.
extern std::atomic<long> nothrow_new_calls;

}  // namespace kite_test

#endif
