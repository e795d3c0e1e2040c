// SPDX-License-Identifier: MIT
// How the kit's programs end: one whose output did not reach its destination does not report
// success, as conventional tools do ("No space left on device" and a failure status).
// Internal to the programs.
#ifndef KITE_PROGRAMS_EXIT_STATUS_H
#define KITE_PROGRAMS_EXIT_STATUS_H

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace kite_program {

// Flushes standard output and returns status, unless that flush or an earlier write to
// standard output failed, or output_error (an error number, such as the output module's
// console_write_error()) is set: then it writes "<program>: write error: <reason>" to
// standard error and returns 1. Called right after the output that may have failed, errno
// still tells the reason of a write that failed before.
inline int checked_exit_status(int status, int output_error = 0) {
  const auto failed = [] { return !std::cout.good() || std::ferror(stdout); };
  int reason = failed() ? errno : 0;
  errno = 0;
  std::cout.flush();
  std::fflush(stdout);
  if (failed() && errno != 0) reason = errno;
  if (reason == 0) reason = output_error;
  if (!failed() && reason == 0) return status;
  if (reason != 0)
    std::fprintf(stderr, "%s: write error: %s\n", program_invocation_short_name,
                 std::strerror(reason));
  else
    std::fprintf(stderr, "%s: write error\n", program_invocation_short_name);
  return 1;
}

}  // namespace kite_program

#endif
