// SPDX-License-Identifier: MIT
// A program whose standard output cannot be written says so and does not report success.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/run_program.h"

namespace {

TEST(Programs, OutputToAFullDeviceIsAnErrorNamedOnStandardError) {
  struct Row {
    std::string path;
    std::vector<std::string> args;
    std::string name;
  };
  const Row rows[] = {
      {FRAMERDEMO, {}, "framerdemo"},
      {GAUGESELFCHECK, {}, "gaugeselfcheck"},
      {GAUGEQUERY, {"PATH"}, "gaugequery"},
      {ROSTERQUERY, {"PATH"}, "rosterquery"},
      {SLICELOAD, {SAMPLE, "--size", "64"}, "sliceload"},
      {GAUGEQUERY, {"--version"}, "gaugequery"},
  };
  for (const Row& row : rows) {
    kite_test::ProgramRun run;
    run.path = "/bin/sh";
    run.args = {"-c", "exec \"$@\" >/dev/full", "sh", row.path};
    run.args.insert(run.args.end(), row.args.begin(), row.args.end());
    run.input = "0 8\n";
    run.env["UTILITY_USE_SYSLOG"] = std::nullopt;
    run.env["UTILITY_SERIALIZED_OUTPUT"] = std::nullopt;
    const kite_test::ProgramResult result = kite_test::run_program(run);
    const std::string message = row.name + ": write error: No space left on device\n";
    ASSERT_GE(result.err.size(), message.size()) << row.name;
    EXPECT_EQ(result.err.substr(result.err.size() - message.size()), message);
    EXPECT_EQ(result.exit_code, 1) << row.name;
  }
}

}  // namespace
