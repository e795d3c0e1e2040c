// SPDX-License-Identifier: MIT
// Runs a built program of the kit as a child process and captures what it prints,
// so program tests can compare exact output and exit status.
#ifndef KITE_TESTS_RUN_PROGRAM_H
#define KITE_TESTS_RUN_PROGRAM_H

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kite_test {

struct ProgramRun {
  std::string path;                  // executable to run
  std::vector<std::string> args;     // argv[1] onwards
  std::optional<std::string> argv0;  // argv[0]; the path when unset
  std::string input;                 // written to standard input, which is then closed
  // Environment changes on top of this process's environment: a value sets the
  // variable, nullopt removes it.
  std::map<std::string, std::optional<std::string>> env;
  // When false the child starts from an empty environment plus the values in env.
  bool inherit_env = true;
};

struct ProgramResult {
  std::string out;
  std::string err;
  int exit_code = -1;   // valid when the program exited normally
  int term_signal = 0;  // the signal that ended it, or 0

  bool exited() const { return term_signal == 0; }
};

// Throws std::runtime_error when the child cannot be started.
ProgramResult run_program(const ProgramRun& run);

}  // namespace kite_test

#endif
