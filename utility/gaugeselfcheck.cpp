// SPDX-License-Identifier: MIT
// gaugeselfcheck: checks the level switch against a fixed table. Each case sets (or removes)
// its variable first, so the environment the program starts with does not matter. Every
// passed case writes one message line; the first failed case writes a failure line and aborts.
#include "programs/exit_status.h"
#include "programs/help_version.h"
#include "utility/env_adapter.h"
#include "utility/output.h"

#include <cstdlib>

namespace {

// One case: the variable, the text to set (null removes it) and the level it must read as.
struct thc {
  thc(const char* name, const char* value, unsigned long level)
      : name(name), value(value), level(level) {}

  void test() const;

  const char* name;
  const char* value;
  unsigned long level;
};

void thc::test() const {
  output::cond_fail(name == nullptr, "thc::test: missing name");
  if (value != nullptr)
    output::cond_fail(setenv(name, value, 1) == -1, "thc::test: setenv failed");
  else
    unsetenv(name);

  env_level my_level_env(name);
  const unsigned long my_level = my_level_env.level();
  const bool my_level_state = my_level_env.is_on();

  // Levels stay within 32 bits, so %u prints them whole.
  output::cond_fail(my_level != level, "thc::test: %s: did not find expected level %u - found %u",
                    name, static_cast<unsigned>(level), static_cast<unsigned>(my_level));
  output::cond_fail(
      (my_level != 0) != my_level_state,
      "thc::test: %s: mismatch in activation state - level is %u and activation is %s", name,
      static_cast<unsigned>(my_level), my_level_state ? "ON" : "OFF");
  output::message("thc::test: %s: SUCCESS", name);
}

const thc thc_array[] = {
    thc("TESTVAR_0A", nullptr, 0),
    thc("TESTVAR_0B", "", 0),
    thc("TESTVAR_0C", "0", 0),
    thc("TESTVAR_0D", "0000", 0),
    thc("TESTVAR_0E", "3333333333333333333333333333333333333333333333333", 0),
    thc("TESTVAR_0F", "abcd7", 0),
    // The unsigned negation of 2 in the level's 32-bit range.
    thc("TESTVAR_MI", "-2", 4294967294UL),
    thc("TESTVAR_1A", "1", 1),
    thc("TESTVAR_1B", "1abcd", 1),
    thc("TESTVAR_2A", "2", 2),
};

}  // namespace

int main(int argc, char* argv[]) {
  if (kite_program::answer_help_or_version(
          argc, argv, "gaugeselfcheck", "usage: gaugeselfcheck",
          "Checks how level switches read the environment, against a table of ten cases."))
    return kite_program::checked_exit_status(0);
  for (const thc& test_case : thc_array) test_case.test();
  return kite_program::checked_exit_status(0, output::console_write_error());
}
