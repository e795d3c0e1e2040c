// SPDX-License-Identifier: MIT
// --help and --version, which every program of the kit answers before anything else.
// Internal to the programs; KITE_VERSION comes from the build (the CMake project version).
#ifndef KITE_PROGRAMS_HELP_VERSION_H
#define KITE_PROGRAMS_HELP_VERSION_H

#include <cstring>
#include <iostream>

namespace kite_program {

// When "--help" or "--version" is the only argument, writes the usage line and the
// description, or "<name> (kite) <version>", to standard output and returns true: the
// program then ends with kite_program::checked_exit_status(0) (programs/exit_status.h), as after
// its own output. Any other command line is the program's own.
inline bool answer_help_or_version(int argc, char* argv[], const char* name, const char* usage,
                                   const char* description) {
  if (argc != 2) return false;
  if (std::strcmp(argv[1], "--help") == 0) {
    std::cout << usage << '\n' << description << std::endl;
  } else if (std::strcmp(argv[1], "--version") == 0) {
    std::cout << name << " (kite) " << KITE_VERSION << std::endl;
  } else {
    return false;
  }
  return true;
}

}  // namespace kite_program

#endif
