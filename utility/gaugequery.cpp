// SPDX-License-Identifier: MIT
// gaugequery <envvar_name>: reports how the variable reads as a level switch, as one message
// line "<argv[0]>: <name> is ON  with level <n>" (or "OFF"). Any other argument count writes a
// usage failure and aborts.
#include "programs/exit_status.h"
#include "programs/help_version.h"
#include "utility/env_adapter.h"
#include "utility/output.h"

int main(int argc, char* argv[]) {
  if (kite_program::answer_help_or_version(
          argc, argv, "gaugequery", "usage: gaugequery <envvar_name>",
          "Tells whether an environment variable, read as a level switch, is on, and its level."))
    return kite_program::checked_exit_status(0);
  const char* const program = argc > 0 ? argv[0] : "gaugequery";
  output::cond_fail(argc != 2, "usage: %s <envvar_name>", program);

  env_level my_level(argv[1]);
  const unsigned long level = my_level.level();
  const bool on = my_level.is_on();
  // "ON " keeps both state words three characters wide; levels stay within 32 bits.
  output::message("%s: %s is %s with level %u", program, argv[1], on ? "ON " : "OFF",
                  static_cast<unsigned>(level));
  return kite_program::checked_exit_status(0, output::console_write_error());
}
