// SPDX-License-Identifier: MIT
// In a coverage build, a test process that ends by SIGABRT (a death test, a fatal report)
// writes its coverage counts first: the profiler writes them only at a normal exit. The
// signal then ends the process as before. Without coverage this does nothing.
#include <signal.h>

extern "C" void __gcov_dump() __attribute__((weak));

namespace {

void dump_then_abort(int signal_number) {
  __gcov_dump();
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

const bool installed = [] {
  if (__gcov_dump != nullptr) ::signal(SIGABRT, dump_then_abort);
  return true;
}();

}  // namespace
