// SPDX-License-Identifier: MIT
// In a coverage build, a test process that ends by SIGABRT (a death test, a fatal report)
// writes its coverage counts first: the profiler writes them only at a normal exit. The
// signal then ends the process as before.
#ifdef KITE_TEST_COVERAGE
#include <signal.h>

extern "C" void __gcov_dump();

namespace {

void dump_then_abort(int signal_number) {
  __gcov_dump();
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

const bool installed = ::signal(SIGABRT, dump_then_abort) != SIG_ERR;

}  // namespace
#endif
