// SPDX-License-Identifier: MIT
// rosterquery <environment_variable>: prints the variable as a ':'-separated list with its empty
// fields dropped, after a line telling whether any were dropped. Any other argument count
// prints the usage on standard error and exits with 1.
#include "programs/exit_status.h"
#include "programs/help_version.h"
#include "utility/env_adapter.h"

#include <iostream>

int main(int argc, char* argv[]) {
  if (kite_program::answer_help_or_version(
          argc, argv, "rosterquery", "usage: rosterquery <environment_variable>",
          "Prints an environment variable split at ':' as a list switch, empty fields dropped."))
    return kite_program::checked_exit_status(0);
  if (argc != 2) {
    std::cerr << "usage: " << (argc > 0 ? argv[0] : "rosterquery") << " <environment_variable>"
              << std::endl;
    return 1;
  }
  env_list my_list(argv[1]);
  bool emptyEntriesRemoved = false;
  const env_list::value_list vec = my_list.splitAndPruneValues(emptyEntriesRemoved, ':');
  std::cout << "emptyEntriesRemoved is " << (emptyEntriesRemoved ? 1 : 0) << std::endl;
  for (size_t i = 0; i < vec.size(); ++i) std::cout << vec[i] << std::endl;
  return kite_program::checked_exit_status(0);
}
