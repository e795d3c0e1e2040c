// SPDX-License-Identifier: MIT
// Every program answers a lone --help with its usage and a one-line description, and a lone
// --version with the kit's version, on standard output with exit status 0, before doing
// anything of its own.
#include <string>

#include <gtest/gtest.h>

#include "support/run_program.h"

namespace {

struct Program {
  const char* path;
  const char* name;
  const char* help;
};

const Program kPrograms[] = {
    {FRAMERDEMO, "framerdemo",
     "usage: framerdemo\n"
     "Feeds one fixed line through the kite message assembler and prints what it delivers.\n"},
    {GAUGESELFCHECK, "gaugeselfcheck",
     "usage: gaugeselfcheck\n"
     "Checks how level switches read the environment, against a table of ten cases.\n"},
    {GAUGEQUERY, "gaugequery",
     "usage: gaugequery <envvar_name>\n"
     "Tells whether an environment variable, read as a level switch, is on, and its level.\n"},
    {ROSTERQUERY, "rosterquery",
     "usage: rosterquery <environment_variable>\n"
     "Prints an environment variable split at ':' as a list switch, empty fields dropped.\n"},
    {SLICELOAD, "sliceload",
     "Aufruf: sliceload file [--offset off] [--size s]\n"
     "Dumps a window of a file in hexadecimal and as characters, then answers bit-field "
     "queries from standard input.\n"},
};

TEST(Programs, AnswerHelpAndVersionOnStandardOutput) {
  for (const Program& program : kPrograms) {
    const std::string version = std::string(program.name) + " (kite) " KITE_VERSION "\n";
    const std::string answers[][2] = {{"--help", program.help}, {"--version", version}};
    for (const auto& [arg, expected] : answers) {
      kite_test::ProgramRun run;
      run.path = program.path;
      run.args = {arg};
      // Debug output and the output module's switches must not add anything.
      run.env["DBG_ALL"] = "1";
      run.env["UTILITY_USE_SYSLOG"] = std::nullopt;
      const kite_test::ProgramResult result = kite_test::run_program(run);
      EXPECT_EQ(result.out, expected) << program.name << ' ' << arg;
      EXPECT_EQ(result.err, "") << program.name << ' ' << arg;
      EXPECT_TRUE(result.exited()) << program.name << ' ' << arg;
      EXPECT_EQ(result.exit_code, 0) << program.name << ' ' << arg;
    }
  }
}

}  // namespace
