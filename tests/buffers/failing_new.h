// SPDX-License-Identifier: MIT
// Lets a test make the next `new (std::nothrow)` come back empty, as it does when memory
// runs out.
#ifndef KITE_TESTS_FAILING_NEW_H
#define KITE_TESTS_FAILING_NEW_H

#include <atomic>

extern std::atomic<bool> fail_next_nothrow_new;

#endif
